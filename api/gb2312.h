// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qelmar {

// A text turned into GB2312, the display's character set.
struct Gb2312 {
  enum class Fault {
    none,
    unknown_charset,  // the system has no conversion from the text's set
    no_character,     // a character GB2312 lacks, or one malformed in its set
  };
  Fault fault = Fault::none;
  std::string bytes;
  // For no_character: where that character starts in the text.
  std::size_t failed_at = 0;
};

// From `charset` (as the system names it; nullptr is UTF-8). Both platforms
// give the same bytes for the same text: one file each (gb2312_posix.cpp with
// iconv, gb2312_win32.cpp with code page 936). May throw std::bad_alloc.
Gb2312 to_gb2312(std::string_view text, const char* charset);

}  // namespace qelmar
