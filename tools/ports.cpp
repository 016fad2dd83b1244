// SPDX-License-Identifier: MIT
#include "tools/ports.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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
#include <set>
#include <stdexcept>

#include "qelmar/host.h"
#include "tools/wine_port.h"

namespace qelmar::tools {
namespace {

namespace fs = std::filesystem;

std::string shown(const Machine& machine, const std::string& path) {
  if (machine.root == "/" || path.rfind(machine.root, 0) != 0) return path;
  return path.substr(machine.root.size());
}

// Vendor and product ids of adapters that brltty claims as braille displays.
const std::set<std::string> brltty_claims = {"1a86:7523", "10c4:ea60", "0403:6001"};

}  // namespace

std::string real(const fs::path& path) {
  std::error_code error;
  const fs::path target = fs::canonical(path, error);
  return error ? std::string() : target.string();
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

// The device as the listing knows it. One it leaves out (the fallback to a UART
// that reads as having none) only as far as its node tells.
SerialDevice describe_device(const Machine& machine, const std::string& device) {
  for (const SerialDevice& candidate : list_ports(machine)) {
    if (real(machine.at(candidate.path)) == device || real(candidate.path) == device) {
      return candidate;
    }
  }
  SerialDevice d;
  d.listed = false;
  d.path = shown(machine, device);
  d.kind = "other";
  d.accessible = ::access(device.c_str(), W_OK) == 0;
  struct stat node {};
  const bool there = ::stat(device.c_str(), &node) == 0;
  const ::group* group = there ? ::getgrgid(node.st_gid) : nullptr;
  const ::passwd* user = there ? ::getpwuid(node.st_uid) : nullptr;
  d.group = group != nullptr ? group->gr_name : std::to_string(node.st_gid);
  d.owner = user != nullptr ? user->pw_name : std::to_string(node.st_uid);
  d.mode = node.st_mode & 07777;
  return d;
}

std::string process_name(long pid, const std::string& name) {
  return "process " + std::to_string(pid) + " (" + (name.empty() ? "?" : name) + ")";
}

// The holders by name, as listed.
std::string holder_names(const SerialDevice& d) {
  std::string names;
  for (std::size_t i = 0; i < d.holders.size(); ++i) {
    names += (names.empty() ? "" : ", ") +
             process_name(d.holders[i], i < d.holder_names.size() ? d.holder_names[i] : "");
  }
  return names;
}

std::string udev_rules_file(const std::string& port) {
  return "/etc/udev/rules.d/70-qelmar-com" + port + ".rules";
}

void check_access(int port, const SerialDevice& d, Checks& checks) {
  if (d.accessible) {
    checks.ok("this user may open it");
    return;
  }
  // Joining the group helps only where the group may write, and the groups
  // root and tty would give far more than the port.
  const bool wide = d.group == "root" || d.group == "tty";
  if ((d.mode & S_IWGRP) != 0 && !wide && d.kind != "pseudo-terminal") {
    checks.problem("this user may not open it; it belongs to group " + d.group +
                   ": sudo usermod -aG " + d.group + " $USER, then log in again");
    return;
  }
  const std::string n = std::to_string(port);
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(d.mode));
  const std::string owner = d.owner.empty() ? "root" : d.owner;
  const std::string denied =
      "this user may not open it: it belongs to " + owner + ":" + d.group + " with mode " + mode;
  if (d.kind == "pseudo-terminal") {
    // No udev rule names one: its maker sets its owner and mode.
    checks.problem(denied +
                   "; the program that made this pseudo-terminal decides who may (chown, chmod)");
    return;
  }
  const std::string rule =
      d.kind == "USB"
          ? "qelmar udev-rule -p " + n + " " + d.path + " | sudo tee " + udev_rules_file(n)
          : "SUBSYSTEM==\"tty\", KERNEL==\"" + fs::path(d.path).filename().string() +
                "\", GROUP=\"dialout\", MODE=\"0660\" in " + udev_rules_file(n);
  const std::string who = owner == "root" ? std::string("root") : owner + " and root";
  checks.problem(denied +
                 ((d.mode & S_IWGRP) != 0
                      ? ", and joining the group " + d.group + " would give far more than this port"
                      : ", so only " + who + " may open it") +
                 ". Give it a group for serial devices with a udev rule (" + rule +
                 "), then sudo usermod -aG dialout $USER and log in again");
}

void check_holders(int port, const SerialDevice& d, Checks& checks) {
  if (!d.listed) {
    checks.advice(
        "which processes have it open is not known: the system lists no serial device there");
    return;
  }
  const bool locked = std::any_of(d.holder_how.begin(), d.holder_how.end(), [](std::uint32_t how) {
    return (how & QELMAR_HOLDER_LOCKED) != 0;
  });
  if (d.unseen_processes > 0) {
    // Locks show whoever holds them; open files only where this user may look.
    if (!locked) checks.ok("no process holds it locked");
    checks.advice(
        "cannot tell whether " +
        std::string(d.holders.empty() ? "another process has" : "other processes have") +
        " it open: this user may not see the open files of " + std::to_string(d.unseen_processes) +
        (d.unseen_processes == 1 ? " process" : " processes") +
        " of other users (sudo qelmar doctor -p " + std::to_string(port) + " sees them all)");
  } else if (d.holders.empty()) {
    checks.ok("no other process has it open");
  }
  for (std::size_t i = 0; i < d.holders.size(); ++i) {
    const std::string who =
        process_name(d.holders[i], i < d.holder_names.size() ? d.holder_names[i] : "");
    if (i < d.holder_how.size() && (d.holder_how[i] & QELMAR_HOLDER_LOCKED) != 0) {
      checks.problem(who + " holds it locked, which keeps this library out");
    } else {
      checks.advice(who + " has it open too; it may be reading or writing the line");
    }
  }
}

void check_services(int port, const SerialDevice& d, Checks& checks) {
  if (d.kind != "USB") return;
  if ((d.running & QELMAR_RUNNING_MODEM_MANAGER) != 0) {
    checks.advice(
        "ModemManager is running and probes new USB serial devices; keep it off this one: "
        "qelmar udev-rule -p " +
        std::to_string(port) + " " + d.path + " (it sets ENV{ID_MM_DEVICE_IGNORE}=\"1\")");
  }
  if ((d.running & QELMAR_RUNNING_BRLTTY) != 0 &&
      brltty_claims.count(d.vendor_id + ":" + d.product_id) != 0) {
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

// Port N would fall back to /dev/ttyS<N-1>, which is the system console, or
// may be: the console list cannot be read.
void console_skipped(const Machine& machine, int port, const std::string& path, Checks& checks) {
  const std::string n = std::to_string(port);
  const std::string device = real(path);
  const SerialDevice d = device.empty() ? SerialDevice{} : describe_device(machine, device);
  const std::string name = fs::path(device.empty() ? path : device).filename().string();
  const std::string rules = udev_rules_file(n);
  // Why the list cannot be read is the same in every device's record.
  const std::vector<SerialDevice> devices = list_ports(machine);
  const auto unread = std::find_if(devices.begin(), devices.end(), [](const SerialDevice& listed) {
    return !listed.consoles_unread.empty();
  });
  if (unread != devices.end()) {
    checks.problem("/proc/consoles cannot be read (" + unread->consoles_unread +
                   "): the library cannot tell whether " + shown(machine, path) +
                   " is a system console, so it does not fall back to it, and port " + n +
                   " reaches no device");
  } else if (devices.empty()) {
    checks.problem(shown(machine, path) +
                   " is the system console, or /proc/consoles cannot be read: the library does "
                   "not fall back to it, so port " +
                   n + " reaches no device");
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
  ExclusiveCheck(int port, const std::string& device, const SerialDevice& listed, Checks& checks)
      : port_(std::to_string(port)),
        device_(device),
        holders_(listed.holders),
        listed_(listed),
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
  std::string holder_names() const { return tools::holder_names(listed_); }

  void report() {
    const std::string clear = "qelmar doctor -p " + port_ + " --clear-exclusive";
    if (!holders_.empty()) {
      checks_.problem("exclusive mode (TIOCEXCL) is set, held by " + holder_names() +
                      ", which has it open; the library will not write to it until that program "
                      "lets it go (" +
                      clear + " --force would take it away from under it)");
      return;
    }
    // Only as far as this user could look.
    const char* none = !listed_.listed                ? "is known to have"
                       : listed_.unseen_processes > 0 ? "this user can see has"
                                                      : "has";
    checks_.problem(std::string("exclusive mode (TIOCEXCL) is set and no other program ") + none +
                    " it open: most likely left over by a program that ended (older builds "
                    "of this library set it too); the library will not write to it. Clear it: "
                    "sudo " +
                    clear);
    for (std::size_t i = 0; i < listed_.masters.size(); ++i) {
      checks_.advice(process_name(listed_.masters[i],
                                  i < listed_.master_names.size() ? listed_.master_names[i] : "") +
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

  std::string port_;
  const std::string& device_;
  const std::vector<long>& holders_;
  const SerialDevice& listed_;
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
  check_access(port, d, checks);
  check_holders(port, d, checks);
  check_services(port, d, checks);
  if (options.look) {
    ExclusiveCheck(port, device, d, checks).run(options);
  } else if (struct stat node{}; ::stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
    checks.advice(
        "exclusive mode (TIOCEXCL), which another program may have left behind, is "
        "read only with --send-test, which opens the device");
  }
  return checks.usable ? 0 : 2;
}

}  // namespace qelmar::tools
