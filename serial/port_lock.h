#pragma once

#include <cstdint>

namespace qelmar::serial {

// Serialises the calls of this process on one port number, so that overlapping
// calls wait their turn instead of finding the port busy and dropping their
// frame. Calls on other ports do not wait.
class PortLock {
 public:
  explicit PortLock(std::int32_t port);
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  void* lock_;  // the platform's mutex for this port
};

}  // namespace qelmar::serial
