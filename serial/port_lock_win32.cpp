#include <windows.h>

#include <map>

#include "serial/port_lock.h"

namespace qelmar::serial {
namespace {

// One lock per port number used, kept for the life of the process, so that
// the steady state allocates nothing.
SRWLOCK* lock_for(std::int32_t port) {
  static SRWLOCK table_lock = SRWLOCK_INIT;
  static std::map<std::int32_t, SRWLOCK> table;
  AcquireSRWLockExclusive(&table_lock);
  const auto [entry, added] = table.try_emplace(port, SRWLOCK(SRWLOCK_INIT));
  ReleaseSRWLockExclusive(&table_lock);
  return &entry->second;
}

}  // namespace

PortLock::PortLock(std::int32_t port) : lock_(lock_for(port)) {
  AcquireSRWLockExclusive(static_cast<SRWLOCK*>(lock_));
}

PortLock::~PortLock() { ReleaseSRWLockExclusive(static_cast<SRWLOCK*>(lock_)); }

}  // namespace qelmar::serial
