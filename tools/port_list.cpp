// SPDX-License-Identifier: MIT
// The listing of serial devices as the host library gives it, and how the
// tool shows it: the same on every system.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "qelmar/host.h"
#include "tools/ports.h"

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

template <std::size_t N>
std::vector<long> first(const std::int64_t (&list)[N], std::int32_t count) {
  return {std::begin(list), std::begin(list) + std::clamp<std::int32_t>(count, 0, N)};
}

template <std::size_t N, std::size_t M>
std::vector<std::string> texts(const char (&list)[N][M], std::int32_t count) {
  return {std::begin(list), std::begin(list) + std::clamp<std::int32_t>(count, 0, N)};
}

SerialDevice from_record(const qelmar_port_info& p) {
  SerialDevice d;
  d.path = p.path;
  d.kind = p.kind;
  d.driver = p.driver;
  d.vendor_id = p.vendor_id;
  d.product_id = p.product_id;
  d.manufacturer = p.manufacturer;
  d.product = p.product;
  d.serial = p.serial;
  d.by_id = p.by_id;
  for (const std::string& link : texts(p.by_path, p.by_path_count)) {
    d.by_path.push_back(fs::path(link).filename().string());
  }
  d.ports.assign(p.ports,
                 p.ports + std::clamp<std::int32_t>(p.port_count, 0, QELMAR_PORT_LIST_SIZE));
  d.accessible = p.accessible != 0;
  d.group = p.group;
  d.holders = first(p.holders, p.holder_count);
  d.holder_how.assign(p.holder_how, p.holder_how + d.holders.size());
  d.holder_names = texts(p.holder_names, p.holder_count);
  d.unseen_processes = p.unseen_processes;
  d.console = p.console != 0;
  d.mode = p.mode;
  d.owner = p.owner;
  d.running = p.running;
  d.masters = first(p.masters, p.master_count);
  d.master_names = texts(p.master_names, p.master_count);
  d.consoles_unread = p.consoles_unread;
  return d;
}

}  // namespace

std::string Machine::at(const std::string& path) const {
  if (root == "/" || root.empty()) return path;
  return (fs::path(root) / fs::path(path).relative_path()).string();
}

Machine this_machine(const std::string& root) {
  Machine machine;
  machine.root = root.empty() ? "/" : root;
  while (machine.root.size() > 1 && machine.root.back() == '/') machine.root.pop_back();
  return machine;
}

std::vector<SerialDevice> list_ports(const Machine& machine) {
  // The count may change between two calls: ask until all fit.
  std::vector<qelmar_port_info> records(16);
  std::int32_t count = 0;
  // The first record's size tells the library how far apart they are.
  while (QELMAR_PORT_INFO_INIT(records.front()),
         (count = qelmar_list_ports(machine.root.c_str(), records.data(),
                                    static_cast<std::int32_t>(records.size()))) >
             static_cast<std::int32_t>(records.size())) {
    records.resize(static_cast<std::size_t>(count));
  }
  if (count < 0) throw std::runtime_error("cannot read the serial devices of " + machine.root);
  records.resize(static_cast<std::size_t>(count));
  std::vector<SerialDevice> devices;
  devices.reserve(records.size());
  for (const qelmar_port_info& record : records) devices.push_back(from_record(record));
  return devices;
}

std::string ports_json(const std::vector<SerialDevice>& devices) {
  nlohmann::json list = nlohmann::json::array();
  for (const SerialDevice& d : devices) {
    nlohmann::json entry = {{"path", d.path},
                            {"kind", d.kind},
                            {"driver", d.driver},
                            {"ports", d.ports},
                            {"accessible", d.accessible},
                            {"group", d.group},
                            {"holders", d.holders},
                            {"console", d.console}};
    if (d.kind == "USB") {
      // Link names, as before the record gave the first whole path.
      const std::vector<std::string> by_id =
          d.by_id.empty() ? std::vector<std::string>{}
                          : std::vector<std::string>{fs::path(d.by_id).filename().string()};
      entry["usb"] = {{"vendor_id", d.vendor_id},
                      {"product_id", d.product_id},
                      {"manufacturer", d.manufacturer},
                      {"product", d.product},
                      {"serial", d.serial},
                      {"by_id", by_id},
                      {"by_path", d.by_path}};
    }
    list.push_back(entry);
  }
  return list.dump(2);
}

namespace {

void print_text(const SerialDevice& d, std::ostream& out) {
  out << d.path << "  " << d.kind;
  if (!d.driver.empty()) out << ", " << d.driver;
  if (d.kind == "USB") {
    out << ", " << d.vendor_id << ":" << d.product_id << " " << d.manufacturer << " " << d.product;
    if (!d.serial.empty()) out << ", serial " << d.serial;
  }
  out << "\n";
  if (!d.by_id.empty()) out << "    " << d.by_id << "\n";
  for (const std::string& link : d.by_path) out << "    /dev/serial/by-path/" << link << "\n";
  out << "    port numbers: ";
  if (d.ports.empty()) out << "none";
  for (std::size_t i = 0; i < d.ports.size(); ++i) out << (i ? ", " : "") << d.ports[i];
  if (d.console) out << "\n    the system console (/proc/consoles lists it)";
  out << "\n    " << (d.accessible ? "this user may open it" : "this user may not open it");
  // Windows has no group of a COM port.
  if (!d.group.empty()) out << " (group " << d.group << ")";
  for (const long pid : d.holders) out << "; held by process " << pid;
  out << "\n";
}

}  // namespace

void print_ports(const std::vector<SerialDevice>& devices, bool json, std::ostream& out) {
  if (json) {
    out << ports_json(devices) << "\n";
    return;
  }
  for (const SerialDevice& d : devices) print_text(d, out);
}

}  // namespace qelmar::tools
