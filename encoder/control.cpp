#include "encoder/builders.h"
#include "encoder/codes.h"

namespace qelmar {
namespace {

std::uint8_t parameter(unsigned char ch) { return static_cast<std::uint8_t>(ch - 0x30); }

// FD, every character up to the closing '@' less 0x30, FD. Without the closing
// '@', or too long for the frame, nothing is sent.
void build_digit_string(const Text& text, Command& command) {
  Frame& frame = command.frame;
  frame.put(0xFD);
  for (std::size_t i = text.start + 1;; ++i) {
    if (i >= text.chars.size() || frame.overflowed()) return;
    const unsigned char ch = text.at(i);
    if (ch == '@') break;
    frame.put(parameter(ch));
  }
  frame.put(0xFD);
  command.send = !frame.overflowed();
}

}  // namespace

void build_control(const Text& text, Command& command) {
  Frame& frame = command.frame;
  const unsigned char next = text.at(text.start + 1);
  switch (text.at(text.start)) {
    case '$':
      frame.put(0x0D, parameter(next));
      break;
    case '*':
      frame.put(0x0C);
      break;
    case '^':
      frame.put(0xFF);
      frame.put(is_caret_letter(next) ? letter_byte(next) : no_code_byte);
      frame.put(0xFF);
      break;
    case '!':
      frame.put(0x0B);
      break;
    case '%':
      frame.put(0x0E);
      break;
    case '@':
      build_digit_string(text, command);
      return;
    default:
      return;  // selects nothing
  }
  command.send = true;
}

}  // namespace qelmar
