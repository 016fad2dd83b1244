// SPDX-License-Identifier: MIT
#include "encoder/builders.h"

namespace qelmar {

// Only the first letter counts; the rest of the text is not read.
void build_key(const Text& text, Command& command) {
  Frame& frame = command.frame;
  const unsigned char key = text.at(text.start);
  command.send = true;
  for (const KeyFrame& k : key_frames) {
    if (key == static_cast<unsigned char>(k.letter)) {
      frame.put(key_lead, k.number);
      return;
    }
  }
  frame.put(letter_byte(key));
  command.pause_follows = letter_code(key) == letter_code(pause_key);
}

}  // namespace qelmar
