#include "encoder/builders.h"
#include "encoder/codes.h"

namespace qelmar {

// The walk has room for this many digits and points; a longer number is dropped.
constexpr std::size_t numeric_field_positions = 16;

void build_numeric(const Text& text, Command& command) {
  Frame& frame = command.frame;

  // The header is the first header letter anywhere in the text, even past the
  // letter that ends the number.
  for (std::size_t i = text.start; i < text.chars.size(); ++i) {
    if (is_header_letter(text.at(i))) {
      frame.put(letter_byte(text.at(i)));
      break;
    }
  }

  bool decimal = false;
  for (std::size_t i = text.start;; ++i) {
    const unsigned char ch = text.at(i);
    if ((is_digit(ch) || ch == '.') && i - text.start >= numeric_field_positions) return;

    if (is_digit(ch)) {
      frame.put(static_cast<std::uint8_t>(ch - '0'));
      if (decimal) frame.put(0x00);
    } else if (is_letter(ch)) {
      // A whole number is made up to two decimal places before its letter.
      if (!text.dot_seen) frame.put(0x00, 0x00);
      frame.put(letter_byte(ch));
      break;
    } else if (ch == '.') {
      if (!is_digit(text.at(i + 1))) {
        frame.put(0x00, 0x00);
      } else if (!is_digit(text.at(i + 2))) {
        decimal = true;
      }
    } else {
      break;
    }
  }
  command.send = true;
}

}  // namespace qelmar
