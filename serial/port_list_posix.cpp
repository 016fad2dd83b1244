// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>

#include "serial/device_info.h"
#include "serial/device_path.h"
#include "serial/port_list.h"

namespace qelmar::serial {
namespace {

namespace fs = std::filesystem;

bool this_machine(const Machine& machine) { return machine.root.empty() || machine.root == "/"; }

// The path inside the machine's root.
std::string at(const Machine& machine, const std::string& path) {
  if (this_machine(machine)) return path;
  return (fs::path(machine.root) / fs::path(path).relative_path()).string();
}

// As the machine itself names it: without the root in front.
std::string shown(const Machine& machine, const std::string& path) {
  const std::string root = fs::path(machine.root).string();
  if (this_machine(machine) || path.rfind(root, 0) != 0) return path;
  return path.substr(root.size());
}

std::string read_attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
  return value;
}

// The real path a name leads to, or nothing when it leads nowhere.
std::string real(const fs::path& path) {
  std::error_code error;
  const fs::path target = fs::canonical(path, error);
  return error ? std::string() : target.string();
}

// Directory entries, none when the directory is not there.
std::vector<fs::path> entries(const fs::path& dir) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Whether a name leads to something, following links, as access(F_OK) does;
// a loop or a folder it may not read counts as nothing.
bool leads_somewhere(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// N for a name "comN" exactly as device_path() forms it, or -1.
int com_number(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "com") != 0) return -1;
  try {
    const int n = std::stoi(name.substr(3));
    return name == "com" + std::to_string(n) ? n : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

// Where the port numbers' names are looked up: the device folder, else /dev.
std::string names_folder(const Machine& machine) {
  return machine.device_dir.empty() ? at(machine, "/dev") : machine.device_dir;
}

// The USB device above a tty in sysfs, if there is one.
fs::path usb_device(const Machine& machine, const fs::path& tty_device) {
  const std::string sys = real(at(machine, "/sys"));
  for (fs::path p = real(tty_device); !p.empty() && p.string().size() > sys.size();
       p = p.parent_path()) {
    if (leads_somewhere(p / "idVendor")) return p;
  }
  return {};
}

SerialDevice from_sysfs(const Machine& machine, const fs::path& tty) {
  SerialDevice d;
  const std::string name = tty.filename().string();
  d.path = at(machine, "/dev/" + name);
  d.driver = fs::path(real(tty / "device" / "driver")).filename().string();
  if (const fs::path usb = usb_device(machine, tty / "device"); !usb.empty()) {
    d.kind = "USB";
    d.vendor_id = read_attribute(usb / "idVendor");
    d.product_id = read_attribute(usb / "idProduct");
    d.manufacturer = read_attribute(usb / "manufacturer");
    d.product = read_attribute(usb / "product");
    d.serial = read_attribute(usb / "serial");
  } else if (name.rfind("ttyS", 0) == 0 || name.rfind("ttyAMA", 0) == 0) {
    d.kind = "native UART";
  } else {
    d.kind = "other";
  }
  return d;
}

// A device a port number leads to that the listing of sysfs left out: a UART
// that reads as having none, a pseudo-terminal, anything linked.
SerialDevice beyond_sysfs(const Machine& machine, const std::string& target) {
  const fs::path tty = at(machine, "/sys/class/tty/" + fs::path(target).filename().string());
  const bool pty = target.find("/pts/") != std::string::npos;
  SerialDevice d;
  if (!pty && leads_somewhere(tty / "device")) d = from_sysfs(machine, tty);
  d.path = target;
  if (d.kind.empty()) d.kind = pty ? "pseudo-terminal" : "other";
  return d;
}

// The port numbers that lead to `device` now. Each name comN in the folder the
// calls look in, and for /dev/ttyS<N-1> the number N, is put to the calls' own
// rule: an alias before the fallback, never a console by fallback.
std::vector<int> port_numbers(const Machine& machine, const std::string& device) {
  std::vector<int> numbers;
  if (device.empty()) return numbers;
  std::set<int> candidates;
  for (const fs::path& link : entries(names_folder(machine))) {
    const int n = com_number(link.filename().string());
    if (n >= 0) candidates.insert(n);
  }
  const std::string name = fs::path(device).filename().string();
  if (name.rfind("ttyS", 0) == 0) {
    const int n = com_number("com" + name.substr(4));
    if (n >= 0 && n < INT_MAX) candidates.insert(n + 1);
  }
  char path[PATH_MAX];
  for (const int n : candidates) {
    const Route route =
        device_path(n, machine.device_dir.c_str(), machine.root.c_str(), path, sizeof path);
    const bool used =
        route == Route::device_dir || route == Route::alias || route == Route::fallback;
    if (used && real(path) == device) numbers.push_back(n);
  }
  return numbers;
}

// Other processes that have `device` open, from /proc, and those holding a
// flock or a record lock on it.
std::vector<long> holders(const Machine& machine, const std::string& device) {
  std::vector<long> pids;
  if (device.empty()) return pids;
  for (const fs::path& process : entries(at(machine, "/proc"))) {
    long pid = 0;
    try {
      pid = std::stol(process.filename().string());
    } catch (const std::exception&) {
      continue;
    }
    if (pid == ::getpid()) continue;
    for (const fs::path& fd : entries(process / "fd")) {
      if (real(fd) == device) {
        pids.push_back(pid);
        break;
      }
    }
  }
  long locking[64];
  const int found = lock_holders(device.c_str(), at(machine, "/proc/locks").c_str(), locking, 64);
  for (int i = 0; i < found; ++i) {
    if (locking[i] != ::getpid() && std::find(pids.begin(), pids.end(), locking[i]) == pids.end()) {
      pids.push_back(locking[i]);
    }
  }
  return pids;
}

void complete(const Machine& machine, SerialDevice& d) {
  const std::string device = real(d.path);
  for (const fs::path& link : entries(at(machine, "/dev/serial/by-id"))) {
    if (!device.empty() && real(link) == device) {
      d.by_id.push_back("/dev/serial/by-id/" + link.filename().string());
    }
  }
  d.console = listed_as_console(d.path.c_str(), at(machine, "/proc/consoles").c_str());
  d.ports = port_numbers(machine, device);
  // The calls open for writing only.
  d.accessible = ::access(d.path.c_str(), W_OK) == 0;
  char group[64];
  owner_group(d.path.c_str(), group, sizeof group);
  d.group = group;
  d.holders = holders(machine, device);
}

}  // namespace

bool list_ports(const Machine& machine, std::vector<SerialDevice>& devices) {
  if (::access(this_machine(machine) ? "/" : machine.root.c_str(), R_OK | X_OK) != 0) return false;
  devices.clear();
  std::set<std::string> seen;
  for (const fs::path& tty : entries(at(machine, "/sys/class/tty"))) {
    // Virtual consoles have no device; 8250 ports without a UART read type 0.
    if (!leads_somewhere(tty / "device")) continue;
    if (leads_somewhere(tty / "type") && read_attribute(tty / "type") == "0") continue;
    devices.push_back(from_sysfs(machine, tty));
    seen.insert(real(devices.back().path));
  }
  // What port numbers lead to beyond those: pseudo-terminals, mostly.
  for (const fs::path& link : entries(names_folder(machine))) {
    const std::string target = real(link);
    if (com_number(link.filename().string()) < 0 || target.empty() || !seen.insert(target).second) {
      continue;
    }
    devices.push_back(beyond_sysfs(machine, target));
  }
  for (SerialDevice& d : devices) complete(machine, d);
  for (SerialDevice& d : devices) d.path = shown(machine, d.path);
  return true;
}

PortRoute resolve_port(const Machine& machine, std::int32_t port, char* path,
                       std::size_t size) noexcept {
  switch (device_path(port, machine.device_dir.c_str(), machine.root.c_str(), path, size)) {
    case Route::none:
      return PortRoute::none;
    case Route::device_dir:
      return PortRoute::device_dir;
    case Route::alias:
      return PortRoute::alias;
    case Route::fallback:
      return PortRoute::fallback;
    case Route::console_skipped:
    case Route::consoles_unknown:
      // Never taken, either way.
      return PortRoute::console_skipped;
  }
  return PortRoute::none;
}

}  // namespace qelmar::serial
