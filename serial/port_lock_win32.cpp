#include <windows.h>

#include "serial/port_lock.h"
#include "serial/port_table.h"

namespace qelmar::serial {
namespace {

struct SrwMutex {
  SRWLOCK lock = SRWLOCK_INIT;
};

using Table = PortTable<SrwMutex>;

constinit Forever<Table> table;

Table::Slot& slot_of(void* slot) { return *static_cast<Table::Slot*>(slot); }

}  // namespace

PortLock::PortLock(std::int32_t port) noexcept
    : slot_(&table.value.slot(port)), entered_(now_ticks()) {
  AcquireSRWLockExclusive(&slot_of(slot_).mutex.lock);
  behind_stuck_line_ = slot_of(slot_).stuck_at.load(std::memory_order_relaxed) > entered_;
}

PortLock::~PortLock() { ReleaseSRWLockExclusive(&slot_of(slot_).mutex.lock); }

void PortLock::mark_line_stuck() noexcept {
  slot_of(slot_).stuck_at.store(now_ticks(), std::memory_order_relaxed);
}

}  // namespace qelmar::serial
