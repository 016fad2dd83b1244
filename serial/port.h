// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "core/status.h"
#include "encoder/protocol.h"
#include "serial/port_lock.h"

namespace qelmar::serial {

// A write may take this long per byte before what is left of it is discarded.
inline constexpr std::chrono::milliseconds write_time_per_byte{8};

// What opening, configuring and closing the port may take, with room to spare.
inline constexpr std::chrono::milliseconds open_and_close{100};

// How long a call waits in all for other calls, of this process or another,
// or another program, to let go of the port: about the longest that one call
// can hold it (the longest frame at the most each byte may take, the F key's
// pause, opening and closing). It is also the call's bound: a frame leaves
// within it or not at all.
inline constexpr std::chrono::milliseconds port_wait =
    write_time_per_byte * static_cast<std::chrono::milliseconds::rep>(max_frame) + key_pause +
    open_and_close;

// One connection to the numbered port, owned by one call: the constructor opens
// and configures the port (2400 baud, 8N1, raw, no flow control), the destructor
// closes it. A port that another call of this library holds, in any process, is
// waited for up to port_wait, calls waiting in several processes being served
// in the order they came; one that another program holds is never written.
// A port that is missing, still busy or cannot be configured is simply not open,
// and writes to it do nothing. Nothing it does outlives the process: however the
// process ends, the port is free for the next call.
class Connection {
 public:
  // Made while holding the port's `turn` in this process; `status`, when
  // given, learns what became of the call.
  Connection(std::int32_t port, PortLock& turn, CallStatus* status = nullptr) noexcept;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // One synchronous write of the whole frame, bounded by write_time_per_byte
  // and by the call's deadline; nothing when the port is not open, or when the
  // frame could no longer leave by the deadline (the call waited, or was
  // stopped, past it): a late frame would show a stale price.
  void write(std::span<const std::uint8_t> frame) noexcept;

  // Some of a frame reached the line: the key's pause follows only that.
  bool went_out() const noexcept { return went_out_; }

  // The call was held up: a write ran into its deadline (the line does not
  // take bytes), or the port was still busy when the wait for it ended.
  bool held_up() const noexcept { return held_up_; }

 private:
  bool is_open() const noexcept;

  std::intptr_t handle_;  // a descriptor or a HANDLE, by platform
  PortLock& turn_in_process_;
  // What keeps other processes' calls out, where the handle does not.
  [[maybe_unused]] std::intptr_t turn_ = 0;
  bool held_up_ = false;
  bool went_out_ = false;
  CallStatus* status_;
};

// This process's id, for a report that it holds the port itself.
long this_process() noexcept;

// Why a call that reached its write after its deadline sent nothing.
inline constexpr const char* too_late = "the call's time ran out before its frame could go out";

// Keeps the line quiet for a while: the display needs it after the F key.
void pause(std::chrono::milliseconds duration) noexcept;

}  // namespace qelmar::serial
