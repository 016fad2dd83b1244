// SPDX-License-Identifier: MIT
#include "encoder/builders.h"

namespace qelmar {

namespace {

// The walk has room for this many digits and points; a longer number is dropped.
constexpr std::size_t numeric_field_positions = 16;

// Whether a '.' comes before the first byte from 0x40 to 0x7F ('@', the letters,
// the brackets and the other punctuation there). Only then is a number that ends
// in a letter taken to carry its own decimal places.
bool dot_before_upper_ascii(const Text& text) {
  for (std::size_t i = text.start; i < text.chars.size(); ++i) {
    const unsigned char ch = text.at(i);
    if (ch == '.') return true;
    if (ch >= 0x40 && ch <= 0x7F) return false;
  }
  return false;
}

}  // namespace

void build_numeric(const Text& text, Command& command) {
  Frame& frame = command.frame;
  const bool dot_seen = dot_before_upper_ascii(text);

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
    if ((is_digit(ch) || ch == '.') && i - text.start >= numeric_field_positions) {
      command.dropped_because = "a number of more than 16 digits and points";
      return;
    }

    if (is_digit(ch)) {
      frame.put(digit_code(ch));
      if (decimal) frame.put(digit_code('0'));
    } else if (is_letter(ch)) {
      // A whole number is made up to two decimal places before its letter.
      if (!dot_seen) frame.put(digit_code('0'), digit_code('0'));
      frame.put(letter_byte(ch));
      break;
    } else if (ch == '.') {
      if (!is_digit(text.at(i + 1))) {
        frame.put(digit_code('0'), digit_code('0'));
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
