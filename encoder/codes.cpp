// SPDX-License-Identifier: MIT
#include <array>

#include "encoder/protocol.h"

namespace qelmar {
namespace {

struct Entry {
  unsigned char letter;
  std::uint8_t code;
  bool header;
  bool caret;
};

constexpr std::array<Entry, 45> table{{
    {'C', 0x1A, false, false}, {'D', 0x1B, false, false}, {'E', 0x1D, true, false},
    {'F', 0x7F, false, false}, {'G', 0x1E, true, true},   {'H', 0x1F, true, false},
    {'I', 0x2A, false, true},  {'J', 0x7C, true, false},  {'K', 0x2B, false, true},
    {'L', 0x2D, false, true},  {'M', 0x2E, false, true},  {'N', 0x2C, false, true},
    {'O', 0x3C, false, true},  {'P', 0x4C, false, true},  {'Q', 0x5C, false, true},
    {'R', 0x6C, false, true},  {'S', 0x1C, true, false},  {'W', 0x0E, false, false},
    {'X', 0x0F, false, false}, {'Y', 0x7D, true, false},  {'Z', 0x7E, true, false},
    {'a', 0x2F, false, true},  {'b', 0x3A, false, true},  {'c', 0x3B, false, true},
    {'d', 0x3D, false, true},  {'e', 0x3E, false, true},  {'f', 0x7F, false, false},
    {'g', 0x3F, false, true},  {'h', 0x4A, false, true},  {'i', 0x4B, false, true},
    {'j', 0x4D, false, true},  {'k', 0x4E, false, true},  {'l', 0x4F, false, true},
    {'m', 0x5A, false, true},  {'n', 0x5B, false, true},  {'o', 0x5D, false, true},
    {'p', 0x5E, false, true},  {'q', 0x5F, false, true},  {'r', 0x6A, false, true},
    {'s', 0x6B, false, true},  {'t', 0x6D, false, true},  {'u', 0x6E, false, true},
    {'v', 0x6F, false, true},  {'w', 0x7A, false, true},  {'x', 0x7B, false, true},
}};

// Indexed by the character, for a lookup per byte of a long text.
constexpr std::array<Entry, 256> by_char = [] {
  std::array<Entry, 256> index{};
  for (const Entry& e : table) index[e.letter] = e;
  return index;
}();

// Indexed by the code; where two letters share one, the first in the table.
constexpr std::array<unsigned char, 256> by_code = [] {
  std::array<unsigned char, 256> index{};
  for (const Entry& e : table) {
    if (index[e.code] == 0) index[e.code] = e.letter;
  }
  return index;
}();

const Entry* find(unsigned char c) {
  const Entry& e = by_char[c];
  return e.letter == c && c != 0 ? &e : nullptr;
}

}  // namespace

std::optional<std::uint8_t> letter_code(unsigned char c) {
  const Entry* e = find(c);
  if (e == nullptr) return std::nullopt;
  return e->code;
}

bool is_header_letter(unsigned char c) {
  const Entry* e = find(c);
  return e != nullptr && e->header;
}

bool is_caret_letter(unsigned char c) {
  const Entry* e = find(c);
  return e != nullptr && e->caret;
}

std::optional<char> letter_of(std::uint8_t code) {
  const unsigned char letter = by_code[code];
  if (letter == 0) return std::nullopt;
  return static_cast<char>(letter);
}

}  // namespace qelmar
