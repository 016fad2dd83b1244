#include <map>
#include <mutex>

#include "serial/port_lock.h"

namespace qelmar::serial {
namespace {

// One mutex per port number used, kept for the life of the process, so that
// the steady state allocates nothing.
std::mutex& mutex_for(std::int32_t port) {
  static std::mutex table_mutex;
  static std::map<std::int32_t, std::mutex> table;
  const std::lock_guard<std::mutex> guard(table_mutex);
  return table[port];
}

}  // namespace

PortLock::PortLock(std::int32_t port) : lock_(&mutex_for(port)) {
  static_cast<std::mutex*>(lock_)->lock();
}

PortLock::~PortLock() { static_cast<std::mutex*>(lock_)->unlock(); }

}  // namespace qelmar::serial
