// SPDX-License-Identifier: MIT
#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "api/gb2312.h"

namespace qelmar {
namespace {

// Windows' code page 936 is GBK, GB2312 with additions: its double-byte codes
// outside GB2312's rows (lead A1-A9 or B0-F7, trail A1-FE) and the cells GBK
// added inside them are refused, as is the private use area that CP936 maps
// GB2312's empty cells to.
bool in_gb2312(unsigned char lead, unsigned char trail, wchar_t c) {
  const unsigned code = lead << 8U | trail;
  const bool rows = ((lead >= 0xA1 && lead <= 0xA9) || (lead >= 0xB0 && lead <= 0xF7)) &&
                    trail >= 0xA1 && trail <= 0xFE;
  const bool added = (code >= 0xA2A1 && code <= 0xA2AA) || (code >= 0xA6E0 && code <= 0xA6F5) ||
                     (code >= 0xA8BB && code <= 0xA8C0);
  return rows && !added && !(c >= 0xE000 && c <= 0xF8FF);
}

// The cells that glibc's GB2312, which the Linux build uses, and CP936 give
// different characters: glibc's, so that both send the same bytes.
struct Remapped {
  wchar_t c;
  const char* bytes;  // none: GB2312 has no such character
};
constexpr Remapped remapped[] = {
    {0x2015, "\xA1\xAA"}, {0x30FB, "\xA1\xA4"}, {0x2014, nullptr}, {0x00B7, nullptr}};

// The GB2312 code of one character (one UTF-16 unit, or a pair); empty when
// GB2312 has none.
std::string gb2312_char(std::wstring_view c) {
  if (c.size() == 1 && c[0] < 0x80) return std::string(1, static_cast<char>(c[0]));
  if (c.size() != 1) return {};  // beyond the BMP
  for (const Remapped& r : remapped) {
    if (r.c == c[0]) return r.bytes != nullptr ? r.bytes : "";
  }
  char bytes[4] = {};
  BOOL defaulted = FALSE;
  const int n = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, c.data(), 1, bytes, sizeof bytes,
                                      nullptr, &defaulted);
  const auto lead = static_cast<unsigned char>(bytes[0]);
  const auto trail = static_cast<unsigned char>(bytes[1]);
  if (n != 2 || defaulted || !in_gb2312(lead, trail, c[0])) return {};
  return {bytes, 2};
}

// The code page a name stands for: UTF-8 in any spelling, or CPnnn; 0 for
// names Windows has no code page by.
UINT code_page(const char* name) {
  if (name == nullptr) return CP_UTF8;
  std::string plain;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c != '-' && *c != '_')
      plain += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  }
  if (plain == "UTF8") return CP_UTF8;
  if (plain.size() > 2 && plain.starts_with("CP") &&
      plain.find_first_not_of("0123456789", 2) == std::string::npos && plain.size() <= 7) {
    const UINT page = static_cast<UINT>(std::strtoul(plain.c_str() + 2, nullptr, 10));
    CPINFO info;
    return ::GetCPInfo(page, &info) ? page : 0;
  }
  return 0;
}

// The bytes of the character at the text's start, by its first byte; 0 for a
// byte no character starts with.
std::size_t char_length(UINT page, unsigned char lead) {
  if (page != CP_UTF8) return ::IsDBCSLeadByteEx(page, lead) ? 2 : 1;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

Gb2312 to_gb2312(std::string_view text, const char* charset) {
  Gb2312 out;
  const UINT page = code_page(charset);
  if (page == 0) {
    out.fault = Gb2312::Fault::unknown_charset;
    return out;
  }
  // One character at a time, so that the one at fault has its place.
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = char_length(page, static_cast<unsigned char>(text[i]));
    wchar_t wide[2] = {};
    const int units = n > 0 && i + n <= text.size()
                          ? ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data() + i,
                                                  static_cast<int>(n), wide, 2)
                          : 0;
    const std::string code =
        units > 0 ? gb2312_char({wide, static_cast<std::size_t>(units)}) : std::string();
    if (code.empty()) {
      out.fault = Gb2312::Fault::no_character;
      out.failed_at = i;
      out.bytes.clear();
      return out;
    }
    out.bytes += code;
    i += n;
  }
  return out;
}

}  // namespace qelmar
