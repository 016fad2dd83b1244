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

  // A call that held the port while this one waited found the line stuck, so
  // this one gives up at once rather than pay the same deadline again.
  bool behind_stuck_line() const noexcept { return behind_stuck_line_; }

  // This call's write found the line stuck.
  void mark_line_stuck() noexcept;

 private:
  void* slot_;
  long long entered_;
  bool behind_stuck_line_ = false;
};

}  // namespace qelmar::serial
