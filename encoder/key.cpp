#include "encoder/builders.h"
#include "encoder/codes.h"

namespace qelmar {

// Only the first letter counts; the rest of the text is not read.
void build_key(const Text& text, Command& command) {
  Frame& frame = command.frame;
  const unsigned char key = text.at(text.start);
  switch (key) {
    case 'D':
      frame.put(0xFE, 0x02);
      break;
    case 'W':
      frame.put(0xFE, 0x01);
      break;
    case 'X':
      frame.put(0xFE, 0x03);
      break;
    case 'F':
    case 'f':
      frame.put(0x7F);
      command.pause = true;
      break;
    default:
      frame.put(letter_byte(key));
      break;
  }
  command.send = true;
}

}  // namespace qelmar
