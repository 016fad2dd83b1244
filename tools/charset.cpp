// SPDX-License-Identifier: MIT
#include "tools/charset.h"

#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <stdexcept>
#include <vector>

namespace qelmar::tools {

std::string locale_charset() {
  // Only the character set, and only for the commands that convert text:
  // loading the whole locale would slow every run of the tool.
  static const bool from_environment = std::setlocale(LC_CTYPE, "") != nullptr;
  static_cast<void>(from_environment);
  return nl_langinfo(CODESET);
}

Charset::Charset(const std::string& to, const std::string& from)
    : cd_(iconv_open(to.c_str(), from.c_str())) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's documented failure value
  if (cd_ == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("cannot convert from " + from + " to " + to);
  }
}

Charset::~Charset() { iconv_close(cd_); }

Charset::Result Charset::convert(std::string_view in) {
  iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  std::vector<char> input(in.begin(), in.end());
  Result result;
  char* src = input.data();
  std::size_t src_left = input.size();
  char buffer[256];
  for (;;) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    const std::size_t done = src_left > 0 ? iconv(cd_, &src, &src_left, &dst, &dst_left)
                                          : iconv(cd_, nullptr, nullptr, &dst, &dst_left);
    result.text.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (done != static_cast<std::size_t>(-1)) {
      if (src_left == 0) return result;
    } else if (errno != E2BIG) {
      result.failed_at = static_cast<std::size_t>(src - input.data());
      return result;
    }
  }
}

}  // namespace qelmar::tools
