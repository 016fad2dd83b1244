#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace qelmar::serial {

// A write may take this long per byte before what is left of it is discarded.
inline constexpr std::chrono::milliseconds write_time_per_byte{8};

// One connection to the numbered port, owned by one call: the constructor opens
// and configures the port (2400 baud, 8N1, raw, no flow control), the destructor
// closes it. A port that is missing, busy or cannot be configured is simply not
// open, and writes to it do nothing.
class Connection {
 public:
  explicit Connection(std::int32_t port) noexcept;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool is_open() const noexcept;

  // One synchronous write of the whole frame, bounded by write_time_per_byte.
  // Returns false when the port is not open (nothing was attempted).
  bool write(std::span<const std::uint8_t> frame) noexcept;

 private:
  std::intptr_t handle_;  // a descriptor or a HANDLE, by platform
};

// Keeps the line quiet for a while: the display needs it after some keys.
void hold(std::chrono::milliseconds duration) noexcept;

}  // namespace qelmar::serial
