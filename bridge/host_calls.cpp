// SPDX-License-Identifier: MIT
#include "bridge/host_calls.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "qelmar/host.h"

namespace qelmar::bridge {
namespace {

// A text field of a record, which the library ends within it.
std::string text_of(const char* field, std::size_t size) { return {field, strnlen(field, size)}; }

// The bytes of the UTF-8 character that starts with `lead`; 0 for a byte no
// character starts with.
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Linux names the link by its whole path, which the answer never gave.
constexpr std::string_view by_id_folder = "/dev/serial/by-id/";

}  // namespace

std::string device_text(std::string_view command) {
  // A NUL would end the text early: the request is refused for it later.
  if (command.find('\0') != std::string_view::npos) return std::string(command);
  const std::string text(command);
  // GB2312 is never longer than UTF-8.
  std::vector<char> room(text.size() + 1);
  std::size_t length = 0;
  std::size_t at = QELMAR_NO_FAULT;
  const qelmar_outcome outcome =
      qelmar_display_text(text.c_str(), nullptr, room.data(), room.size(), &length, &at);
  if (outcome == QELMAR_DELIVERED) return {room.data(), std::min(length, room.size() - 1)};
  if (outcome != QELMAR_DROPPED || at >= text.size()) {
    throw std::runtime_error("the text between '#' marks cannot be converted to GB2312");
  }
  const std::string where = " at byte " + std::to_string(at);
  std::size_t n = utf8_length(static_cast<unsigned char>(text[at]));
  for (std::size_t i = 1; i < n; ++i) {
    const auto next = at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    if (next < 0x80 || next > 0xBF) n = 0;
  }
  if (n == 0) throw std::runtime_error("the text between '#' marks is not UTF-8" + where);
  throw std::runtime_error("GB2312 has no character '" + text.substr(at, n) + "'" + where);
}

namespace {

// The /dev/serial/by-path links by their names, as `qelmar ports --json` gives them.
nlohmann::json by_path_names(const qelmar_port_info& p) {
  nlohmann::json names = nlohmann::json::array();
  for (std::int32_t i = 0; i < std::min(p.by_path_count, QELMAR_PORT_LIST_SIZE); ++i) {
    const std::string link = text_of(p.by_path[i], sizeof p.by_path[i]);
    names.push_back(link.substr(link.rfind('/') + 1));
  }
  return names;
}

}  // namespace

std::string ports_json() {
  std::vector<qelmar_port_info> ports(1);
  std::int32_t n = 0;
  // The list may grow between the count and the copy.
  while (true) {
    QELMAR_PORT_INFO_INIT(ports.front());
    n = qelmar_list_ports(nullptr, ports.data(), static_cast<std::int32_t>(ports.size()));
    if (n < 0) throw std::runtime_error("the serial ports cannot be listed");
    if (static_cast<std::size_t>(n) <= ports.size()) break;
    ports.resize(static_cast<std::size_t>(n));
  }
  nlohmann::json list = nlohmann::json::array();
  for (std::int32_t i = 0; i < n; ++i) {
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
      std::string by_id = text_of(p.by_id, sizeof p.by_id);
      if (by_id.starts_with(by_id_folder)) by_id.erase(0, by_id_folder.size());
      entry["usb"] = {
          {"vendor_id", text_of(p.vendor_id, sizeof p.vendor_id)},
          {"product_id", text_of(p.product_id, sizeof p.product_id)},
          {"manufacturer", text_of(p.manufacturer, sizeof p.manufacturer)},
          {"product", text_of(p.product, sizeof p.product)},
          {"serial", text_of(p.serial, sizeof p.serial)},
          {"by_id", by_id.empty() ? nlohmann::json::array() : nlohmann::json::array({by_id})},
          {"by_path", by_path_names(p)}};
    }
    list.push_back(entry);
  }
  return list.dump(2);
}

}  // namespace qelmar::bridge
