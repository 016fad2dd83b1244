#pragma once

#include <cstdint>

namespace qelmar::serial {

// A call's turn on a port among the calls of this process, so that overlapping
// calls wait instead of finding the port busy and dropping their frame. Calls
// on other ports do not wait. Other processes are kept out by the connection.
//
// The table behind it is made once at a fixed size and never destroyed: a call
// allocates nothing, a host that exits while threads are calling finds it still
// in place, and a forked child starts with every port free.
class PortLock {
 public:
  explicit PortLock(std::int32_t port) noexcept;
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // A call that held the port while this one waited was held up (the line
  // was stuck, or the port stayed busy to the end of its wait), so this one
  // gives up at once rather than pay the same deadline again.
  bool behind_held_up_call() const noexcept { return behind_held_up_call_; }

  // This call was held up.
  void mark_held_up() noexcept;

 private:
  void* slot_;
  std::int32_t port_;
  long long entered_;
  bool behind_held_up_call_ = false;
};

}  // namespace qelmar::serial
