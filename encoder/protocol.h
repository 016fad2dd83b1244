// SPDX-License-Identifier: MIT
#pragma once

// The display's protocol in one place: the bytes every kind of frame is made
// of, the letter codes, the GB2312 byte ranges and the result codes. The
// encoder builds frames from it and the tool reads frames back with it.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "qelmar.h"

namespace qelmar {

// What tavdll returns; the public header names them for hosts.
inline constexpr std::int32_t result_empty = QELMAR_RESULT_EMPTY;
inline constexpr std::int32_t result_done = QELMAR_RESULT_DONE;
inline constexpr std::int32_t result_two_characters = QELMAR_RESULT_TWO_CHARACTERS;

// No frame is longer than this.
inline constexpr std::size_t max_frame = 81;

// tavrc's frame: this byte, then its two parameter bytes.
inline constexpr std::uint8_t rc_lead = 0x12;
// Of its arguments only the low 8 bits go out.
inline constexpr std::array<std::uint8_t, 3> rc_frame(std::int32_t first, std::int32_t second) {
  return {rc_lead, static_cast<std::uint8_t>(first & 0xFF),
          static_cast<std::uint8_t>(second & 0xFF)};
}

// Keys W, D and X: key_lead, then the key's number.
inline constexpr std::uint8_t key_lead = 0xFE;
struct KeyFrame {
  char letter;
  std::uint8_t number;
};
inline constexpr std::array<KeyFrame, 3> key_frames{{{'W', 0x01}, {'D', 0x02}, {'X', 0x03}}};

// The F key is F's letter code alone, after which the display needs this long
// before it takes the next frame.
inline constexpr char pause_key = 'F';
inline constexpr std::chrono::milliseconds key_pause{100};

// Control frames of one byte.
struct SingleControl {
  char command;
  std::uint8_t byte;
};
inline constexpr std::array<SingleControl, 3> single_controls{
    {{'*', 0x0C}, {'!', 0x0B}, {'%', 0x0E}}};

// '$' and one character: dollar_lead and the character as a parameter byte.
inline constexpr std::uint8_t dollar_lead = 0x0D;
// '^' and a letter: the letter's code between two caret_marks.
inline constexpr std::uint8_t caret_mark = 0xFF;
// '@' characters '@': the characters as parameter bytes between two digit_string_marks.
inline constexpr std::uint8_t digit_string_mark = 0xFD;

// A parameter byte is its character less this.
inline constexpr unsigned char parameter_base = 0x30;
inline constexpr std::uint8_t parameter(unsigned char ch) {
  return static_cast<std::uint8_t>(ch - parameter_base);
}

// Sent wherever a letter without a display code has to take its one byte: in a
// numeric frame, as a key and after '^'. No code or control frame uses it.
inline constexpr std::uint8_t no_code_byte = 0x0A;

// Digits are sent as their value.
inline constexpr std::uint8_t digit_code(unsigned char digit) {
  return static_cast<std::uint8_t>(digit - '0');
}
inline constexpr bool is_digit_code(std::uint8_t b) { return b <= 9; }

// Text is GB2312 double-byte characters; both bytes of one lie in this range.
inline constexpr bool is_gb2312_byte(std::uint8_t b) { return b >= 0xA1 && b <= 0xFE; }
// The ideographic space is two of these.
inline constexpr std::uint8_t ideographic_space = 0xA1;
// Printable ASCII, full width: this row, then the character plus fullwidth_offset.
inline constexpr std::uint8_t fullwidth_row = 0xA3;
inline constexpr std::uint8_t fullwidth_offset = 0x80;
// Lead bytes the display shows: the full-width row and both levels of Chinese characters.
inline constexpr bool is_shown_lead(std::uint8_t b) {
  return b == fullwidth_row || (b >= 0xB0 && b <= 0xF7);
}

// Characters of command texts, by their raw byte values.
inline constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline constexpr bool is_letter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The letter code table.
std::optional<std::uint8_t> letter_code(unsigned char c);
bool is_header_letter(unsigned char c);
bool is_caret_letter(unsigned char c);
// The letter whose code `code` is (F for 0x7F, which f shares), read backwards
// from the same table.
std::optional<char> letter_of(std::uint8_t code);

// The letter's code, or no_code_byte.
inline std::uint8_t letter_byte(unsigned char c) { return letter_code(c).value_or(no_code_byte); }

}  // namespace qelmar
