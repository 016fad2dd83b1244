// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>

#include "encoder/interpreter.h"

namespace qelmar {

// The command text as the frame builders read it.
struct Text {
  std::string_view chars;
  std::size_t start = 0;  // first character that is not a space

  // The terminating NUL, and anything beyond it, reads as 0.
  unsigned char at(std::size_t i) const {
    return i < chars.size() ? static_cast<unsigned char>(chars[i]) : 0;
  }
};

// Each builder assembles its frame into command.frame and sets command.send
// when the frame is to be written.
void build_numeric(const Text& text, Command& command);
void build_key(const Text& text, Command& command);
void build_control(const Text& text, Command& command);
void build_fullwidth(const Text& text, Command& command);

}  // namespace qelmar
