// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The serial devices as the system describes them, for the host face's listing
// and, through it, the tools. Nothing here opens a device: on many machines
// /dev/ttyS0 is the console. Unlike the calls, listing allocates.
namespace qelmar::serial {

struct SerialDevice {
  std::string path;    // /dev/ttyUSB0, as the machine names it (without the root)
  std::string kind;    // "USB", "native UART", "pseudo-terminal" or "other"
  std::string driver;  // ftdi_sio, serial8250, ...
  // USB only.
  std::string vendor_id, product_id, manufacturer, product, serial;
  std::vector<std::string> by_id;  // links in /dev/serial/by-id, whole paths
  std::vector<int> ports;          // port numbers that resolve to it now
  bool accessible = false;         // this user may open it for writing
  std::string group;               // the group that owns it
  // Other processes that have it open. A flock shows in /proc/locks even where
  // the holder's descriptors cannot be read, so those count too.
  std::vector<long> holders;
  std::vector<std::uint32_t> holder_how;  // per holder: held_open, held_locked
  std::vector<std::string> holder_names;  // per holder, empty when unknown
  int unseen_processes = 0;               // processes whose open files this user may not read
  bool console = false;       // /proc/consoles lists it: no port number falls back to it
  std::uint32_t mode = 0;     // permission bits
  std::string owner;          // the user that owns it
  std::uint32_t running = 0;  // running_* of this machine
  // A pseudo-terminal: processes that hold its other side.
  std::vector<long> masters;
  std::vector<std::string> master_names;
  std::string consoles_unread;       // why /proc/consoles could not be read
  std::vector<std::string> by_path;  // links in /dev/serial/by-path, whole paths
};

// How a holder was found, and what runs beside: as the public header numbers them.
constexpr std::uint32_t held_open = 1, held_locked = 2;
constexpr std::uint32_t running_modem_manager = 1, running_brltty = 2;

// Where to look: "/" for this machine, or a folder laid out like one (dev, sys,
// proc) for tests; and QELMAR_DEVICE_DIR, as the calls read it.
struct Machine {
  std::string root = "/";
  std::string device_dir;
};

// Every serial device, in order of path; false when the machine's root cannot
// be read. Throws what allocating throws.
bool list_ports(const Machine& machine, std::vector<SerialDevice>& devices);

// How a port number leads to a device: the calls' routes (device_path.h) and,
// on Windows, the device namespace.
enum class PortRoute : std::uint8_t { none, device_dir, alias, fallback, console_skipped, com };

// Where a call on `port` would go now, by the calls' own rule; `path` as
// device_path() fills it. Allocates nothing.
PortRoute resolve_port(const Machine& machine, std::int32_t port, char* path,
                       std::size_t size) noexcept;

}  // namespace qelmar::serial
