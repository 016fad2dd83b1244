// SPDX-License-Identifier: MIT
#include "encoder/builders.h"

namespace qelmar {
namespace {

bool is_printable(unsigned char ch) { return ch >= 0x20 && ch <= 0x7E; }

}  // namespace

// The text between two '#' marks as GB2312 double-byte codes: printable ASCII in
// its full-width form, a character the display shows as it is, and anything else
// as an ideographic space. Without the closing '#', or longer than the frame
// holds, nothing is sent.
void build_fullwidth(const Text& text, Command& command) {
  Frame& frame = command.frame;
  std::size_t i = text.start + 1;
  while (true) {
    if (i >= text.chars.size() || frame.overflowed()) {
      command.dropped_because = frame.overflowed() ? "longer than a frame holds" : "no closing '#'";
      return;
    }
    const unsigned char ch = text.at(i);
    if (ch == '#') break;

    if (ch == ' ') {
      frame.put(ideographic_space, ideographic_space);
      i += 1;
    } else if (is_printable(ch)) {
      frame.put(fullwidth_row, static_cast<std::uint8_t>(ch + fullwidth_offset));
      i += 1;
    } else if (is_shown_lead(ch) && is_gb2312_byte(text.at(i + 1))) {
      frame.put(ch, text.at(i + 1));
      i += 2;
    } else {
      // A byte the display cannot show takes the byte after it along, whatever it is.
      frame.put(ideographic_space, ideographic_space);
      i += 2;
    }
  }
  command.send = !frame.overflowed();
}

}  // namespace qelmar
