// SPDX-License-Identifier: MIT
#include "tools/charset.h"

#include <langinfo.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cwchar>
#include <stdexcept>
#include <vector>

namespace qelmar::tools {
namespace {

// The names glibc gives the character sets, compared as iconv would.
bool same_name(std::string_view name, std::string_view wanted) {
  std::string plain;
  for (const char c : name) {
    if (c != '-' && c != '_')
      plain += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return plain == wanted;
}

bool is_utf8_name(std::string_view name) { return same_name(name, "UTF8"); }

// What the C and POSIX locales have.
bool is_ascii_name(std::string_view name) {
  return same_name(name, "ANSIX3.41968") || same_name(name, "ASCII") || same_name(name, "USASCII");
}

}  // namespace

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

std::string to_device(std::string_view command, const std::string& from_charset) {
  const std::size_t open = command.find_first_not_of(' ');
  if (open == std::string_view::npos || command[open] != '#') return std::string(command);
  std::size_t close = command.find('#', open + 1);
  if (close == std::string_view::npos) close = command.size();

  const std::string_view text = command.substr(open + 1, close - open - 1);
  const Charset::Result gb2312 = Charset("GB2312", from_charset).convert(text);
  if (!gb2312.ok() && !is_utf8_name(from_charset) &&
      (is_ascii_name(from_charset) || Charset("UTF-8", "UTF-8").convert(text).ok())) {
    // The terminal sends UTF-8 whatever the locale says: the locale is the fault.
    throw std::runtime_error("the locale (" + from_charset +
                             ") is not UTF-8, so the text between '#' marks cannot be read: run "
                             "with LC_ALL=C.UTF-8 or another UTF-8 locale");
  }
  if (!gb2312.ok()) {
    std::mbstate_t state{};
    const std::size_t length =
        std::mbrlen(text.data() + gb2312.failed_at, text.size() - gb2312.failed_at, &state);
    const std::size_t shown = length > 0 && length <= 8 ? length : 1;
    throw std::runtime_error("GB2312 has no character '" +
                             std::string(text.substr(gb2312.failed_at, shown)) + "'");
  }
  std::string out(command.substr(0, open + 1));
  out += gb2312.text;
  out += command.substr(close);
  return out;
}

}  // namespace qelmar::tools
