#pragma once

#include <cstdint>
#include <optional>

namespace qelmar {

// Sent wherever a letter without a display code has to take its one byte: in a
// numeric frame, as a key command and after '^'. No code or control frame uses it.
inline constexpr std::uint8_t no_code_byte = 0x0A;

inline constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline constexpr bool is_letter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::optional<std::uint8_t> letter_code(unsigned char c);
bool is_header_letter(unsigned char c);
bool is_caret_letter(unsigned char c);

// The letter's code, or no_code_byte.
inline std::uint8_t letter_byte(unsigned char c) { return letter_code(c).value_or(no_code_byte); }

}  // namespace qelmar
