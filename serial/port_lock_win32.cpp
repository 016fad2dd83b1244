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
    : slot_(&table.value.slot(port)), port_(port), entered_(now_ticks()) {
  AcquireSRWLockExclusive(&slot_of(slot_).mutex.lock);
  // Read and written only under the slot's lock. A shared slot (a full table)
  // holds another port's mark, which says nothing about this one.
  const Table::Slot& slot = slot_of(slot_);
  behind_held_up_call_ = slot.held_up_port == port_ && slot.held_up_at > entered_;
}

PortLock::~PortLock() { ReleaseSRWLockExclusive(&slot_of(slot_).mutex.lock); }

void PortLock::mark_held_up() noexcept {
  slot_of(slot_).held_up_port = port_;
  slot_of(slot_).held_up_at = now_ticks();
}

}  // namespace qelmar::serial
