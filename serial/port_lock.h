// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

namespace qelmar::serial {

// A call's turn on a port among the calls of this process: calls on one port
// are served one at a time in the order they came, so that none finds the port
// busy and drops its frame, and none is starved by a thread calling back to
// back. Calls on other ports never wait. Other processes are kept out by the
// connection.
//
// The table behind it is fixed in size and never destroyed: a call allocates
// nothing, a host that exits while threads are calling finds it still in place,
// and a forked child starts with every port free.
class PortLock {
 public:
  // Waits for the turn until `deadline`, which also bounds the wait for other
  // processes that follows.
  PortLock(std::int32_t port, std::chrono::steady_clock::time_point deadline) noexcept;
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // Whether the turn came before the deadline; when not, other calls of this
  // process held the port to the end of it.
  bool taken() const noexcept { return slot_ != nullptr; }

  std::chrono::steady_clock::time_point deadline() const noexcept { return deadline_; }

  // Once the turn is taken: a batch holds it for several frames, each bounded
  // from when it begins as a call's own frame is from when the call began.
  void extend_to(std::chrono::steady_clock::time_point deadline) noexcept { deadline_ = deadline; }

  // A call that held the port while this one waited was held up (the line
  // was stuck, or the port stayed busy to the end of its wait), so this one
  // gives up at once rather than pay the same deadline again.
  bool behind_held_up_call() const noexcept { return behind_held_up_call_; }

  // This call was held up.
  void mark_held_up() noexcept;

  // The port this call holds open (a descriptor), which a child forked while
  // it is open must not keep; `-1` once it is closed.
  void note_open(std::intptr_t handle) noexcept;

  // POSIX: opens `path` with `flags` and notes the descriptor, as one step
  // that a fork cannot fall between (a child forked there would keep the port
  // unnoted, and with it the lock the call then takes). -1 with errno set when
  // the open fails.
  int open_noted(const char* path, int flags) noexcept;
  // ... and closes it, noting that it is gone, in the same way.
  void close_noted(int fd) noexcept;

 private:
  std::int32_t port_;
  std::chrono::steady_clock::time_point deadline_;
  long long entered_;  // before the wait for the turn
  void* slot_;
  bool behind_held_up_call_ = false;
};

}  // namespace qelmar::serial
