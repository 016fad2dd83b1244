// SPDX-License-Identifier: MIT
#include "encoder/builders.h"

namespace qelmar {
namespace {

// The characters up to the closing '@' as parameter bytes between two marks.
// Without the closing '@', or too long for the frame, nothing is sent.
void build_digit_string(const Text& text, Command& command) {
  Frame& frame = command.frame;
  frame.put(digit_string_mark);
  for (std::size_t i = text.start + 1;; ++i) {
    if (i >= text.chars.size() || frame.overflowed()) {
      command.dropped_because = frame.overflowed() ? "longer than a frame holds" : "no closing '@'";
      return;
    }
    const unsigned char ch = text.at(i);
    if (ch == '@') break;
    frame.put(parameter(ch));
  }
  frame.put(digit_string_mark);
  command.send = !frame.overflowed();
}

}  // namespace

void build_control(const Text& text, Command& command) {
  Frame& frame = command.frame;
  const unsigned char kind = text.at(text.start);
  const unsigned char next = text.at(text.start + 1);
  for (const SingleControl& control : single_controls) {
    if (kind == static_cast<unsigned char>(control.command)) {
      frame.put(control.byte);
      command.send = true;
      return;
    }
  }
  switch (kind) {
    case '$':
      frame.put(dollar_lead, parameter(next));
      break;
    case '^':
      frame.put(caret_mark);
      frame.put(is_caret_letter(next) ? letter_byte(next) : no_code_byte);
      frame.put(caret_mark);
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
