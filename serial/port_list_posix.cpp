// SPDX-License-Identifier: MIT
#include <sys/stat.h>
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

// The processes below /proc, with their folders.
std::vector<std::pair<long, fs::path>> processes(const Machine& machine) {
  std::vector<std::pair<long, fs::path>> found;
  for (const fs::path& process : entries(at(machine, "/proc"))) {
    try {
      found.emplace_back(std::stol(process.filename().string()), process);
    } catch (const std::exception&) {
    }
  }
  return found;
}

// A process's open files; `denied` when this user may not read them (another
// user's process). A process that ended meanwhile has none.
std::vector<fs::path> open_files(const fs::path& process, bool& denied) {
  std::vector<fs::path> found;
  std::error_code error;
  fs::directory_iterator it(process / "fd", error);
  denied = error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
  for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
    found.push_back(it->path());
  }
  return found;
}

// Whether the descriptor `fd` of `process` is the other side of the
// pseudo-terminal whose fdinfo line is `index`: a /dev/ptmx (or
// /dev/pts/ptmx) descriptor.
bool other_side(const fs::path& process, const fs::path& fd, const std::string& index) {
  std::error_code error;
  const fs::path target = fs::read_symlink(fd, error);
  if (error || target.filename() != "ptmx") return false;
  std::ifstream info(process / "fdinfo" / fd.filename());
  for (std::string line; std::getline(info, line);) {
    if (line == index) return true;
  }
  return false;
}

// Other processes that have `device` open, from /proc, and those holding a
// flock or a record lock on it; for a pseudo-terminal, those holding its
// other side.
void find_holders(const Machine& machine, const std::string& device, SerialDevice& d) {
  if (device.empty()) return;
  const std::string index =
      device.rfind("/dev/pts/", 0) == 0 ? "tty-index:\t" + device.substr(9) : std::string();
  for (const auto& [pid, process] : processes(machine)) {
    if (pid == ::getpid()) continue;
    bool denied = false;
    bool holds = false, master = false;
    for (const fs::path& fd : open_files(process, denied)) {
      holds = holds || real(fd) == device;
      master = master || (!index.empty() && other_side(process, fd, index));
    }
    d.unseen_processes += denied ? 1 : 0;
    if (holds) {
      d.holders.push_back(pid);
      d.holder_how.push_back(held_open);
    }
    if (master) d.masters.push_back(pid);
  }
  long locking[64];
  const int found = lock_holders(device.c_str(), at(machine, "/proc/locks").c_str(), locking, 64);
  for (int i = 0; i < found; ++i) {
    if (locking[i] == ::getpid()) continue;
    const auto known = std::find(d.holders.begin(), d.holders.end(), locking[i]);
    if (known == d.holders.end()) {
      d.holders.push_back(locking[i]);
      d.holder_how.push_back(held_locked);
    } else {
      d.holder_how[static_cast<std::size_t>(known - d.holders.begin())] |= held_locked;
    }
  }
  // Names may be read where open files may not.
  const auto name = [&](long pid) {
    return read_attribute(at(machine, "/proc/" + std::to_string(pid) + "/comm"));
  };
  for (const long pid : d.holders) d.holder_names.push_back(name(pid));
  for (const long pid : d.masters) d.master_names.push_back(name(pid));
}

// The programs that probe or claim serial devices, running now.
std::uint32_t probers_running(const Machine& machine) {
  std::uint32_t running = 0;
  for (const auto& [pid, process] : processes(machine)) {
    const std::string name = read_attribute(process / "comm");
    if (name == "ModemManager") running |= running_modem_manager;
    if (name == "brltty") running |= running_brltty;
  }
  return running;
}

void complete(const Machine& machine, SerialDevice& d) {
  const std::string device = real(d.path);
  for (const fs::path& link : entries(at(machine, "/dev/serial/by-id"))) {
    if (!device.empty() && real(link) == device) {
      d.by_id.push_back("/dev/serial/by-id/" + link.filename().string());
    }
  }
  for (const fs::path& link : entries(at(machine, "/dev/serial/by-path"))) {
    if (!device.empty() && real(link) == device) {
      d.by_path.push_back("/dev/serial/by-path/" + link.filename().string());
    }
  }
  d.console = listed_as_console(d.path.c_str(), at(machine, "/proc/consoles").c_str());
  d.ports = port_numbers(machine, device);
  // The calls open for writing only.
  d.accessible = ::access(d.path.c_str(), W_OK) == 0;
  char name[64];
  owner_group(d.path.c_str(), name, sizeof name);
  d.group = name;
  owner_user(d.path.c_str(), name, sizeof name);
  d.owner = name;
  if (struct stat node{}; ::stat(d.path.c_str(), &node) == 0) d.mode = node.st_mode & 07777;
  find_holders(machine, device, d);
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
  char unread[64];
  consoles_unreadable(at(machine, "/proc/consoles").c_str(), unread, sizeof unread);
  const std::uint32_t running = probers_running(machine);
  for (SerialDevice& d : devices) {
    complete(machine, d);
    d.consoles_unread = unread;
    d.running = running;
  }
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
