// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace qelmar::tools {

// The real path a name leads to, or nothing when it leads nowhere.
std::string real(const std::filesystem::path& path);

// A serial device as the library lists it (qelmar_list_ports), never opened: on
// many machines /dev/ttyS0 is the console.
struct SerialDevice {
  std::string path;    // /dev/ttyUSB0
  std::string kind;    // "USB", "native UART", "pseudo-terminal" or "other"
  std::string driver;  // ftdi_sio, serial8250, ...
  // USB only.
  std::string vendor_id, product_id, manufacturer, product, serial;
  std::string by_id;                      // the first link in /dev/serial/by-id
  std::vector<std::string> by_path;       // links in /dev/serial/by-path, which the tool reads
  std::vector<int> ports;                 // port numbers that resolve to it now
  bool accessible = false;                // this user may open it for writing
  std::string group;                      // the group that owns it
  std::vector<long> holders;              // other processes that have it open
  std::vector<std::uint32_t> holder_how;  // per holder: QELMAR_HOLDER_OPEN, _LOCKED
  std::vector<std::string> holder_names;  // per holder; empty when unknown
  // Processes whose open files this user may not read: `holders` may lack some.
  int unseen_processes = 0;
  bool console = false;       // /proc/consoles lists it: no port number falls back to it
  std::uint32_t mode = 0;     // permission bits
  std::string owner;          // the user that owns it
  std::uint32_t running = 0;  // QELMAR_RUNNING_* of the machine
  // A pseudo-terminal: the processes that hold its other side.
  std::vector<long> masters;
  std::vector<std::string> master_names;
  std::string consoles_unread;  // why /proc/consoles could not be read
  bool listed = true;           // the library lists it; else only its node was looked at
};

// Where to look: "/" on a real machine, a fake tree in tests.
struct Machine {
  std::string root = "/";

  std::string at(const std::string& path) const;  // the path inside root
};

Machine this_machine(const std::string& root);

// Throws std::runtime_error when the machine cannot be read.
std::vector<SerialDevice> list_ports(const Machine& machine);

// The device port N resolves to, as the library finds it, and how.
struct Resolution {
  std::string path;
  std::string how;  // "QELMAR_DEVICE_DIR", "/dev/comN", "/dev/ttyS<N-1>"
  // The fallback /dev/ttyS<N-1> is the system console, which the library never
  // falls back to: the port reaches nothing.
  bool console_skipped = false;
};
Resolution resolve_port(const Machine& machine, int port);

// The listing as JSON: an array of devices.
std::string ports_json(const std::vector<SerialDevice>& devices);

void print_ports(const std::vector<SerialDevice>& devices, bool json, std::ostream& out);

// doctor's findings, one line each, on every system.
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

struct DoctorOptions {
  // May open the device (never the console it skips) to read its exclusive
  // mode: --send-test opens it anyway.
  bool look = false;
  bool clear_exclusive = false;  // clears a TIOCEXCL that no other program holds (root)
  bool force = false;            // ... even under a program that has it open
};

// `qelmar doctor`: each check as ok, problem or advice. Opens the device only
// when `options.look` allows it. Returns 0 when the port is usable, else 2.
int doctor(const Machine& machine, int port, std::ostream& out, const DoctorOptions& options = {});

// A udev rule naming the USB adapter `device` /dev/comN; empty when it is not USB.
std::string udev_rule(const Machine& machine, int port, const std::string& device);

}  // namespace qelmar::tools
