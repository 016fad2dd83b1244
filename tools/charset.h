// SPDX-License-Identifier: MIT
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace qelmar::tools {

// The character set of the user's locale; sets LC_CTYPE from the environment.
std::string locale_charset();

// One iconv conversion. Throws std::runtime_error when iconv knows neither set.
class Charset {
 public:
  Charset(const std::string& to, const std::string& from);
  ~Charset();
  Charset(const Charset&) = delete;
  Charset& operator=(const Charset&) = delete;

  struct Result {
    std::string text;
    // Where the first character without a counterpart (or malformed) starts.
    std::size_t failed_at = std::string_view::npos;
    bool ok() const { return failed_at == std::string_view::npos; }
  };
  // Not const: iconv keeps its shift state in the descriptor.
  Result convert(std::string_view in);

 private:
  iconv_t cd_;
};

}  // namespace qelmar::tools
