// SPDX-License-Identifier: MIT
#include "tools/ports.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "qelmar/host.h"
#include "tools/wine_port.h"

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

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

// The pids below /proc, with their folders.
std::vector<std::pair<long, fs::path>> processes(const Machine& machine) {
  std::vector<std::pair<long, fs::path>> found;
  for (const fs::path& process : entries(machine.at("/proc"))) {
    try {
      found.emplace_back(std::stol(process.filename().string()), process);
    } catch (const std::exception&) {
    }
  }
  return found;
}

std::string shown(const Machine& machine, const std::string& path) {
  if (machine.root == "/" || path.rfind(machine.root, 0) != 0) return path;
  return path.substr(machine.root.size());
}

// The device a listed path names: below the root, or, for what a link in
// QELMAR_DEVICE_DIR leads to, where it is.
std::string device_of(const Machine& machine, const std::string& listed) {
  const std::string below = real(machine.at(listed));
  return below.empty() ? real(listed) : below;
}

// Names of the links in `folder` that lead to `device`.
std::vector<std::string> links_to(const fs::path& folder, const std::string& device) {
  std::vector<std::string> names;
  for (const fs::path& link : entries(folder)) {
    if (!device.empty() && real(link) == device) names.push_back(link.filename().string());
  }
  return names;
}

template <std::size_t N>
std::vector<long> first(const std::int64_t (&list)[N], std::int32_t count) {
  return {std::begin(list), std::begin(list) + std::clamp<std::int32_t>(count, 0, N)};
}

SerialDevice from_record(const Machine& machine, const qelmar_port_info& p) {
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
  // The record has no room for these: read here.
  d.by_path = links_to(machine.at("/dev/serial/by-path"), device_of(machine, d.path));
  d.ports.assign(p.ports,
                 p.ports + std::clamp<std::int32_t>(p.port_count, 0, QELMAR_PORT_LIST_SIZE));
  d.accessible = p.accessible != 0;
  d.group = p.group;
  d.holders = first(p.holders, p.holder_count);
  d.console = p.console != 0;
  return d;
}

// Processes holding a flock or a record lock (fcntl, lockf) on `device`, from
// /proc/locks: those keep the library out, where a process that only has it
// open does not. The library's record counts them among the holders without
// telling them apart. One-byte open-file locks past offset 0 are the calls'
// own queue, and open-file locks name no process here.
std::set<long> lockers(const Machine& machine, const std::string& device) {
  std::set<long> pids;
  struct stat node {};
  if (device.empty() || ::stat(device.c_str(), &node) != 0) return pids;
  std::ifstream locks(machine.at("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    char kind[16];
    long pid = 0;
    unsigned major_number = 0, minor_number = 0;
    unsigned long inode = 0;
    char start[24] = "", end[24] = "";
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu %23s %23s", kind, &pid,
                    &major_number, &minor_number, &inode, start, end) >= 5 &&
        major_number == major(node.st_dev) && minor_number == minor(node.st_dev) &&
        inode == node.st_ino && pid > 0 && pid != ::getpid()) {
      const std::string what = kind;
      const bool queue_place =
          what == "OFDLCK" && std::strcmp(start, end) == 0 && std::strcmp(start, "0") != 0;
      if (what == "FLOCK" || what == "POSIX" || (what == "OFDLCK" && !queue_place)) {
        pids.insert(pid);
      }
    }
  }
  return pids;
}

// Processes that hold the other side of the pseudo-terminal `device`
// (/dev/pts/N) and so keep it, and its exclusive mode, alive: descriptors of
// /dev/ptmx whose fdinfo names index N.
std::vector<long> pty_masters(const Machine& machine, const std::string& device) {
  std::vector<long> pids;
  if (device.rfind("/dev/pts/", 0) != 0) return pids;
  const std::string index = "tty-index:\t" + device.substr(9);
  for (const auto& [pid, process] : processes(machine)) {
    for (const fs::path& fd : entries(process / "fd")) {
      std::error_code error;
      const fs::path target = fs::read_symlink(fd, error);
      if (error || target.filename() != "ptmx") continue;
      std::ifstream info(process / "fdinfo" / fd.filename());
      std::string line;
      while (std::getline(info, line) && line != index) {
      }
      if (line == index) {
        pids.push_back(pid);
        break;
      }
    }
  }
  return pids;
}

// Vendor and product ids of adapters that brltty claims as braille displays.
const std::set<std::string> brltty_claims = {"1a86:7523", "10c4:ea60", "0403:6001"};

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
  for (const qelmar_port_info& record : records) devices.push_back(from_record(machine, record));
  return devices;
}

Resolution resolve_port(const Machine& machine, int port) {
  char path[QELMAR_PATH_SIZE];
  switch (qelmar_resolve_port(machine.root.c_str(), port, path, sizeof path, nullptr)) {
    case QELMAR_ROUTE_DEVICE_DIR:
      return {path, "QELMAR_DEVICE_DIR"};
    case QELMAR_ROUTE_FALLBACK:
      return {path, "/dev/ttyS<N-1>"};
    case QELMAR_ROUTE_CONSOLE_SKIPPED:
      return {path, "/dev/ttyS<N-1>", true};
    default:
      // The alias, and for port 0 and below nothing else.
      return {path, "/dev/comN"};
  }
}

std::map<long, std::string> running(const Machine& machine) {
  std::map<long, std::string> names;
  for (const auto& [pid, process] : processes(machine))
    names[pid] = read_attribute(process / "comm");
  return names;
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
  out << "\n    " << (d.accessible ? "this user may open it" : "this user may not open it")
      << " (group " << d.group << ")";
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

std::string udev_rule(const Machine& machine, int port, const std::string& device) {
  // /dev/com1 or a /dev/serial/by-id link name the same adapter.
  const std::string target = real(machine.at(device));
  const std::string name = fs::path(target.empty() ? device : target).filename().string();
  const std::vector<SerialDevice> devices = list_ports(machine);
  const auto d = std::find_if(devices.begin(), devices.end(), [&](const SerialDevice& listed) {
    return listed.kind == "USB" && fs::path(listed.path).filename() == name;
  });
  if (d == devices.end()) return {};
  std::string rule = "# /etc/udev/rules.d/70-qelmar-com" + std::to_string(port) + ".rules\n";
  if (d->serial.empty() || d->serial.find('"') != std::string::npos) {
    rule += "# No serial number to match: every adapter of this kind gets this name.\n";
  }
  rule += "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + d->vendor_id + "\", ATTRS{idProduct}==\"" +
          d->product_id + "\"";
  // udev has no escapes: a serial number with a quote cannot be matched.
  if (!d->serial.empty() && d->serial.find('"') == std::string::npos) {
    rule += ", ATTRS{serial}==\"" + d->serial + "\"";
  }
  rule += ", SYMLINK+=\"com" + std::to_string(port) +
          "\", GROUP=\"dialout\", MODE=\"0660\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
  return rule;
}

namespace {

// doctor's findings, one line each.
struct Checks {
  std::ostream& out;
  bool usable = true;

  void ok(const std::string& text) const { out << "ok       " << text << "\n"; }
  void problem(const std::string& text) {
    out << "problem  " << text << "\n";
    usable = false;
  }
  void advice(const std::string& text) const { out << "advice   " << text << "\n"; }
};

// The device as the listing knows it. One it leaves out (the fallback to a UART
// that reads as having none) only as far as this user's access tells.
SerialDevice describe_device(const Machine& machine, const std::string& device) {
  for (const SerialDevice& candidate : list_ports(machine)) {
    if (real(machine.at(candidate.path)) == device || real(candidate.path) == device) {
      return candidate;
    }
  }
  SerialDevice d;
  d.path = shown(machine, device);
  d.kind = "other";
  d.accessible = ::access(device.c_str(), W_OK) == 0;
  struct stat node {};
  const ::group* owner = ::stat(device.c_str(), &node) == 0 ? ::getgrgid(node.st_gid) : nullptr;
  d.group = owner != nullptr ? owner->gr_name : std::to_string(node.st_gid);
  return d;
}

std::string process_name(long pid, const std::map<long, std::string>& processes) {
  const auto name = processes.find(pid);
  return "process " + std::to_string(pid) + " (" + (name != processes.end() ? name->second : "?") +
         ")";
}

void check_holders(const Machine& machine, const std::string& device, SerialDevice& d,
                   const std::map<long, std::string>& processes, Checks& checks) {
  const std::set<long> locked = lockers(machine, device);
  // A lock shows in /proc/locks even where the holder's descriptors do not;
  // the listing counts it, but has not seen a device it leaves out.
  for (const long pid : locked) {
    if (std::find(d.holders.begin(), d.holders.end(), pid) == d.holders.end() &&
        pid != ::getpid()) {
      d.holders.push_back(pid);
    }
  }
  if (d.holders.empty()) checks.ok("no other process has it open");
  for (const long pid : d.holders) {
    const std::string who = process_name(pid, processes);
    if (locked.count(pid) != 0) {
      checks.problem(who + " holds it locked, which keeps this library out");
    } else {
      checks.advice(who + " has it open too; it may be reading or writing the line");
    }
  }
}

void check_services(int port, const SerialDevice& d, const std::map<long, std::string>& processes,
                    Checks& checks) {
  if (d.kind != "USB") return;
  auto is_running = [&](const std::string& name) {
    return std::any_of(processes.begin(), processes.end(),
                       [&](const auto& p) { return p.second == name; });
  };
  if (is_running("ModemManager")) {
    checks.advice(
        "ModemManager is running and probes new USB serial devices; keep it off this one: "
        "qelmar udev-rule -p " +
        std::to_string(port) + " " + d.path + " (it sets ENV{ID_MM_DEVICE_IGNORE}=\"1\")");
  }
  if (is_running("brltty") && brltty_claims.count(d.vendor_id + ":" + d.product_id) != 0) {
    checks.problem("brltty is running and claims " + d.vendor_id + ":" + d.product_id +
                   " adapters: sudo systemctl mask brltty-udev.service brltty.service, or "
                   "remove brltty");
  }
}

// Where the port reaches nothing: the serial devices that are there.
void suggest_devices(const Machine& machine, Checks& checks) {
  std::size_t shown_devices = 0;
  bool console = false;
  for (const SerialDevice& d : list_ports(machine)) {
    console = console || d.console;
    if (d.console) continue;
    checks.advice("a serial device here: " + d.path + " (" + d.kind + ")");
    ++shown_devices;
  }
  if (shown_devices == 0) {
    checks.advice(console ? "no serial device here but the console"
                          : "no serial device found on this machine");
  }
}

// Why the machine's console list cannot be read, as the library reads it (a
// regular file, to its end); empty when it can.
std::string consoles_unreadable(const Machine& machine) {
  const int fd = ::open(machine.at("/proc/consoles").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  struct stat node {};
  std::string why;
  if (::fstat(fd, &node) != 0 || !S_ISREG(node.st_mode)) why = "not a regular file";
  char chunk[512];
  for (ssize_t n = 1; why.empty() && n != 0;) {
    n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno != EINTR) why = std::strerror(errno);
  }
  ::close(fd);
  return why;
}

// Port N would fall back to /dev/ttyS<N-1>, which is the system console, or
// may be: the console list cannot be read.
void console_skipped(const Machine& machine, int port, const std::string& path, Checks& checks) {
  const std::string n = std::to_string(port);
  const std::string device = real(path);
  const SerialDevice d = device.empty() ? SerialDevice{} : describe_device(machine, device);
  const std::string name = fs::path(device.empty() ? path : device).filename().string();
  const std::string rules = "/etc/udev/rules.d/70-qelmar-com" + n + ".rules";
  if (const std::string why = consoles_unreadable(machine); !why.empty()) {
    checks.problem("/proc/consoles cannot be read (" + why + "): the library cannot tell whether " +
                   shown(machine, path) +
                   " is a system console, so it does not fall back to it, and port " + n +
                   " reaches no device");
  } else {
    checks.problem(shown(machine, path) +
                   " is the system console (/proc/consoles lists it): the library does not fall "
                   "back to it, so port " +
                   n + " reaches no device");
  }
  checks.advice(
      "to use it for the display all the same (the kernel's messages and any login prompt on it "
      "go to the display too), name it /dev/com" +
      n + ": " +
      (d.kind == "USB" ? "qelmar udev-rule -p " + n + " " + d.path + " | sudo tee " + rules
                       : "SUBSYSTEM==\"tty\", KERNEL==\"" + name + "\", SYMLINK+=\"com" + n +
                             "\" in " + rules) +
      "; or link it as com" + n + " in a folder that QELMAR_DEVICE_DIR names");
  suggest_devices(machine, checks);
}

// Reads the tty's exclusive mode through `fd`: 1 set, 0 not, -1 cannot tell.
int exclusive_mode(int fd) {
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0) return -1;
  return exclusive != 0 ? 1 : 0;
}

// TIOCEXCL belongs to the tty, not to a process: one that ended, or was killed,
// holding it leaves it set for as long as something keeps the tty open (the
// other side of a pseudo-terminal, mostly). The library never writes to a port
// in exclusive mode.
class ExclusiveCheck {
 public:
  ExclusiveCheck(const Machine& machine, int port, const std::string& device,
                 const std::vector<long>& holders, const std::map<long, std::string>& processes,
                 Checks& checks)
      : machine_(machine),
        port_(std::to_string(port)),
        device_(device),
        holders_(holders),
        processes_(processes),
        checks_(checks) {}

  void run(const DoctorOptions& options) {
    // Never a device that is not a tty: a fake tree has plain files.
    struct stat node {};
    if (::stat(device_.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return;
    // As the library opens it: only root opens a tty in exclusive mode (EBUSY).
    const int fd = ::open(device_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int open_error = errno;
    const int mode = fd >= 0 ? exclusive_mode(fd) : open_error == EBUSY ? 1 : -1;
    if (mode == 0) {
      checks_.ok("exclusive mode (TIOCEXCL) is not set");
    } else if (mode == 1 && options.clear_exclusive) {
      clear(fd, open_error, options.force);
    } else if (mode == 1) {
      report();
    }
    if (fd >= 0) ::close(fd);
  }

 private:
  std::string holder_names() const {
    std::string names;
    for (const long pid : holders_) {
      names += (names.empty() ? "" : ", ") + process_name(pid, processes_);
    }
    return names;
  }

  void report() {
    const std::string clear = "qelmar doctor -p " + port_ + " --clear-exclusive";
    if (!holders_.empty()) {
      checks_.problem("exclusive mode (TIOCEXCL) is set, held by " + holder_names() +
                      ", which has it open; the library will not write to it until that program "
                      "lets it go (" +
                      clear + " --force would take it away from under it)");
      return;
    }
    checks_.problem(
        "exclusive mode (TIOCEXCL) is set and no other program has it open: most likely left "
        "over by a program that ended (older builds of this library set it too); the library "
        "will not write to it. Clear it: sudo " +
        clear);
    for (const long pid : pty_masters(machine_, device_)) {
      checks_.advice(process_name(pid, processes_) +
                     " holds the other side of this pseudo-terminal, which keeps it and its "
                     "exclusive mode alive");
    }
  }

  void clear(int fd, int open_error, bool force) {
    if (::geteuid() != 0) {
      report();
      checks_.problem("--clear-exclusive needs root: sudo qelmar doctor -p " + port_ +
                      " --clear-exclusive");
      return;
    }
    if (fd < 0) {
      report();
      checks_.problem(std::string("cannot open it to clear exclusive mode: ") +
                      std::strerror(open_error));
      return;
    }
    if (!holders_.empty() && !force) {
      report();
      checks_.problem("exclusive mode not cleared: " + holder_names() +
                      " is using it; end that program first, or add --force");
      return;
    }
    if (::ioctl(fd, TIOCNXCL) != 0 || exclusive_mode(fd) != 0) {
      report();
      checks_.problem("exclusive mode could not be cleared");
      return;
    }
    checks_.ok("exclusive mode (TIOCEXCL) was set and is now cleared" +
               (holders_.empty() ? std::string() : ", from under " + holder_names()));
  }

  const Machine& machine_;
  std::string port_;
  const std::string& device_;
  const std::vector<long>& holders_;
  const std::map<long, std::string>& processes_;
  Checks& checks_;
};

}  // namespace

int doctor(const Machine& machine, int port, std::ostream& out, const DoctorOptions& options) {
  Checks checks{out};
  const Resolution where = resolve_port(machine, port);
  const std::string device = real(where.path);
  out << "port " << port << ": " << shown(machine, where.path) << " (by " << where.how << ")\n";
  checks.usable = check_wine_port(machine, port, out) && checks.usable;
  if (where.console_skipped) {
    console_skipped(machine, port, where.path, checks);
    return 2;
  }
  if (device.empty()) {
    checks.problem("no device there");
    suggest_devices(machine, checks);
    return 2;
  }

  SerialDevice d = describe_device(machine, device);
  checks.ok("the device exists: " + d.path + " (" + d.kind +
            (d.driver.empty() ? "" : ", " + d.driver) + ")");
  if (d.console) {
    checks.advice(d.path + " is the system console (/proc/consoles lists it), reached by " +
                  where.how +
                  ": the kernel's messages and any login prompt on it go to the display too");
  }
  if (d.accessible) {
    checks.ok("this user may open it");
  } else {
    checks.problem("this user may not open it; it belongs to group " + d.group +
                   ": sudo usermod -aG " + d.group + " $USER, then log in again");
  }
  const std::map<long, std::string> processes = running(machine);
  check_holders(machine, device, d, processes, checks);
  check_services(port, d, processes, checks);
  if (options.look) {
    ExclusiveCheck(machine, port, device, d.holders, processes, checks).run(options);
  } else if (struct stat node{}; ::stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
    checks.advice(
        "exclusive mode (TIOCEXCL), which another program may have left behind, is "
        "read only with --send-test, which opens the device");
  }
  return checks.usable ? 0 : 2;
}

}  // namespace qelmar::tools
