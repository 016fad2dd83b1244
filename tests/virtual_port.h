// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qelmar::test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A temporary directory that QELMAR_DEVICE_DIR points at while it lives.
class DeviceDir {
 public:
  DeviceDir();
  ~DeviceDir();
  DeviceDir(const DeviceDir&) = delete;
  DeviceDir& operator=(const DeviceDir&) = delete;
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// A pseudo-terminal linked as DIR/comN: the library writes to the slave, the
// test reads the line from the master. The slave stays open here so that its
// settings can be read and the master never sees a hang-up.
class VirtualPort {
 public:
  // Links the pseudo-terminal as dir/comN.
  VirtualPort(const std::string& dir, int number);
  ~VirtualPort();
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  int number() const { return number_; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }

  // Everything that arrives until `quiet` passes without a byte.
  std::vector<std::uint8_t> read_quiet(std::chrono::milliseconds quiet) const;

  // Everything that arrives before `tail`, which the caller has sent as the last
  // frame: the bytes of the calls in between, without waiting on silence.
  std::vector<std::uint8_t> read_until(const std::vector<std::uint8_t>& tail) const;

  // read_until a marker frame (tavrc with 0xA5 0x5A) that it sends itself.
  std::vector<std::uint8_t> read_through_marker() const;

  // A display that stops taking bytes: fills the line until a write would block.
  // Reading everything (read_quiet) lets it flow again. It holds on a line that
  // no call has set up yet; once one has, setting it up again can make room.
  void stop_line() const;

 private:
  int number_;
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  std::string link_;
};

}  // namespace qelmar::test
