// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>

namespace qelmar {

// Where a command's line of text lies: between the '#' that is its first
// character after the spaces and the next '#', or the text's end when there is
// none (the frame builder then drops it, but the text is still the host's).
struct MarkedText {
  bool found = false;     // the command is a '#' command
  std::size_t begin = 0;  // the first byte after the opening '#'
  std::size_t end = 0;    // the closing '#', or the command's length
};

// Pure: what is converted to the display's character set, and nothing else.
MarkedText marked_text(std::string_view command);

}  // namespace qelmar
