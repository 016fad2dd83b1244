// SPDX-License-Identifier: MIT
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/platform.h"
#include "qelmar/host.h"

namespace qelmar::bridge {
namespace {

// Ctrl-C reaches the server through the C runtime as SIGINT. Ctrl-Break, a
// closed console window, logoff and shutdown are turned into the same, so
// that calls in progress finish; for the last three the system ends the
// process when this returns, so it waits for main() to end it first.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT) return FALSE;
  std::raise(SIGINT);
  if (event != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

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

// The cells that glibc's GB2312, which the Linux bridge uses, and CP936 give
// different characters: glibc's, so that both bridges send the same bytes.
struct Remapped {
  wchar_t c;
  const char* bytes;  // none: GB2312 has no such character
};
constexpr Remapped remapped[] = {
    {0x2015, "\xA1\xAA"}, {0x30FB, "\xA1\xA4"}, {0x2014, nullptr}, {0x00B7, nullptr}};

std::wstring wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (n <= 0) throw std::runtime_error("the text between '#' marks is not UTF-8");
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, out.data(), n);
  return out;
}

std::string utf8_of(std::wstring_view text) {
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

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

std::string gb2312_of(std::string_view utf8) {
  const std::wstring text = wide(utf8);
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size();
    const std::wstring_view c(text.data() + i, pair ? 2 : 1);
    const std::string code = gb2312_char(c);
    if (code.empty()) throw std::runtime_error("GB2312 has no character '" + utf8_of(c) + "'");
    out += code;
    i += c.size();
  }
  return out;
}

std::string text_of(const char* field, std::size_t size) { return {field, strnlen(field, size)}; }

}  // namespace

void prepare_process() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

// Windows passes no listening sockets: --listen says where.
// Sockets are handles, bounded by memory rather than a per-process count.
std::size_t descriptor_limit() { return SIZE_MAX; }

std::vector<InheritedSocket> inherited_sockets() { return {}; }

std::string device_text(std::string_view command) {
  const std::size_t open = command.find_first_not_of(' ');
  if (open == std::string_view::npos || command[open] != '#') return std::string(command);
  std::size_t close = command.find('#', open + 1);
  if (close == std::string_view::npos) close = command.size();
  std::string out(command.substr(0, open + 1));
  out += gb2312_of(command.substr(open + 1, close - open - 1));
  out += command.substr(close);
  return out;
}

// The same fields as `qelmar ports --json` on Linux, from the registry's list.
std::string ports_json() {
  std::vector<qelmar_port_info> ports(64);
  QELMAR_PORT_INFO_INIT(ports.front());
  const std::int32_t n = qelmar_list_ports(nullptr, ports.data(), static_cast<int>(ports.size()));
  if (n < 0) throw std::runtime_error("the serial ports cannot be listed");
  nlohmann::json list = nlohmann::json::array();
  for (std::int32_t i = 0; i < n && i < static_cast<std::int32_t>(ports.size()); ++i) {
    const qelmar_port_info& p = ports[static_cast<std::size_t>(i)];
    nlohmann::json entry = {
        {"path", text_of(p.path, sizeof p.path)},
        {"kind", text_of(p.kind, sizeof p.kind)},
        {"driver", text_of(p.driver, sizeof p.driver)},
        {"ports",
         std::vector<int>(p.ports, p.ports + std::min(p.port_count, QELMAR_PORT_LIST_SIZE))},
        {"accessible", p.accessible != 0},
        {"group", text_of(p.group, sizeof p.group)},
        {"holders", std::vector<long long>(
                        p.holders, p.holders + std::min(p.holder_count, QELMAR_PORT_LIST_SIZE))},
        {"console", p.console != 0}};
    if (entry["kind"] == "USB") {
      entry["usb"] = {
          {"vendor_id", text_of(p.vendor_id, sizeof p.vendor_id)},
          {"product_id", text_of(p.product_id, sizeof p.product_id)},
          {"manufacturer", text_of(p.manufacturer, sizeof p.manufacturer)},
          {"product", text_of(p.product, sizeof p.product)},
          {"serial", text_of(p.serial, sizeof p.serial)},
          {"by_id", p.by_id[0] != '\0' ? nlohmann::json::array({text_of(p.by_id, sizeof p.by_id)})
                                       : nlohmann::json::array()},
          {"by_path", nlohmann::json::array()}};
    }
    list.push_back(entry);
  }
  return list.dump(2);
}

void write_line(std::string_view line) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

}  // namespace qelmar::bridge
