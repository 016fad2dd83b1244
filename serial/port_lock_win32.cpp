// SPDX-License-Identifier: MIT
#include <windows.h>

#include "serial/port_lock.h"
#include "serial/port_table.h"

namespace qelmar::serial {
namespace {

struct WindowsSync {
  struct Mutex {
    SRWLOCK native = SRWLOCK_INIT;
  };
  struct Cond {
    CONDITION_VARIABLE native = CONDITION_VARIABLE_INIT;
  };
  static void lock(Mutex& m) { AcquireSRWLockExclusive(&m.native); }
  static void unlock(Mutex& m) { ReleaseSRWLockExclusive(&m.native); }
  // False once `deadline` (steady_clock ticks, in nanoseconds) has passed.
  static bool wait_until(Cond& c, Mutex& m, long long deadline) {
    const long long left = deadline - now_ticks();
    if (left <= 0) return false;
    const auto ms = static_cast<DWORD>((left + 999'999) / 1'000'000);
    return SleepConditionVariableSRW(&c.native, &m.native, ms, 0) != FALSE ||
           GetLastError() != ERROR_TIMEOUT;
  }
  static void broadcast(Cond& c) { WakeAllConditionVariable(&c.native); }
  static void reset(Mutex& m) { m = Mutex{}; }
  static void reset(Cond& c) { c = Cond{}; }
};

using Table = PortTable<WindowsSync>;

constinit Forever<Table> table;

Table::Slot& slot_of(void* slot) { return *static_cast<Table::Slot*>(slot); }

}  // namespace

PortLock::PortLock(std::int32_t port, std::chrono::steady_clock::time_point deadline) noexcept
    : port_(port),
      deadline_(deadline),
      entered_(now_ticks()),
      slot_(table.value.enter(port, deadline.time_since_epoch().count())) {
  if (slot_ == nullptr) return;
  // Read and written only while holding the turn.
  const Table::Slot& slot = slot_of(slot_);
  behind_held_up_call_ = slot.held_up_port == port_ && slot.held_up_at > entered_;
}

PortLock::~PortLock() {
  if (slot_ != nullptr) table.value.leave(slot_of(slot_));
}

void PortLock::mark_held_up() noexcept {
  slot_of(slot_).held_up_port = port_;
  slot_of(slot_).held_up_at = now_ticks();
}

// Handles are not inherited by child processes; nothing to track.
void PortLock::note_open(std::intptr_t) noexcept {}

}  // namespace qelmar::serial
