#include <pthread.h>

#include <mutex>
#include <new>

#include "serial/port_lock.h"
#include "serial/port_table.h"

namespace qelmar::serial {
namespace {

using Table = PortTable<std::mutex>;

constinit Forever<Table> table;

Table::Slot& slot_of(void* slot) { return *static_cast<Table::Slot*>(slot); }

// A child has only the thread that forked: whatever other threads held is
// free in it.
void free_all_in_child() {
  for (Table::Slot& slot : table.value.slots()) new (&slot.mutex) std::mutex;
}

[[maybe_unused]] const int registered = ::pthread_atfork(nullptr, nullptr, free_all_in_child);

}  // namespace

PortLock::PortLock(std::int32_t port) noexcept
    : slot_(&table.value.slot(port)), port_(port), entered_(now_ticks()) {
  slot_of(slot_).mutex.lock();
  // Read and written only under the slot's lock. A shared slot (a full table)
  // holds another port's mark, which says nothing about this one.
  const Table::Slot& slot = slot_of(slot_);
  behind_held_up_call_ = slot.held_up_port == port_ && slot.held_up_at > entered_;
}

PortLock::~PortLock() { slot_of(slot_).mutex.unlock(); }

void PortLock::mark_held_up() noexcept {
  slot_of(slot_).held_up_port = port_;
  slot_of(slot_).held_up_at = now_ticks();
}

}  // namespace qelmar::serial
