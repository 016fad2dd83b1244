#include "encoder/builders.h"

namespace qelmar {
namespace {

constexpr std::uint8_t ideographic_space = 0xA1;

bool is_printable(unsigned char ch) { return ch >= 0x20 && ch <= 0x7E; }

// Full-width ASCII (row 0xA3) and both levels of Chinese characters.
bool is_accepted_lead(unsigned char ch) { return ch == 0xA3 || (ch >= 0xB0 && ch <= 0xF7); }
bool is_trail(unsigned char ch) { return ch >= 0xA1 && ch <= 0xFE; }

}  // namespace

// The text between two '#' marks as GB2312 double-byte codes. Without the
// closing '#', or longer than the frame holds, nothing is sent.
void build_fullwidth(const Text& text, Command& command) {
  Frame& frame = command.frame;
  unsigned pair_counter = 0;  // odd after a lead byte
  std::size_t i = text.start + 1;
  while (true) {
    if (i >= text.chars.size() || frame.overflowed()) return;
    const unsigned char ch = text.at(i);
    if (ch == '#') break;

    if (is_printable(ch)) {
      if (ch == ' ') {
        frame.put(ideographic_space, ideographic_space);
      } else {
        frame.put(0xA3, static_cast<std::uint8_t>(ch + 0x80));
      }
      ++i;
      continue;
    }

    ++pair_counter;
    if (pair_counter % 2 == 0) {
      frame.put(ch);  // trail byte of an accepted character
      ++i;
    } else if (is_accepted_lead(ch) && is_trail(text.at(i + 1))) {
      frame.put(ch);
      ++i;
    } else {
      // The byte after a bad lead goes with it, whatever it is.
      frame.put(ideographic_space, ideographic_space);
      ++pair_counter;
      i += 2;
    }
  }
  command.send = !frame.overflowed();
}

}  // namespace qelmar
