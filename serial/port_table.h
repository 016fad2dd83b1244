// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qelmar::serial {

// The turns of this process's calls, a queue per port number: calls on one port
// are served in the order they came, each waiting no longer than its deadline;
// calls on different ports never wait for each other. A slot belongs to a port only while calls on
// it are in flight, so any number of port numbers can be used over time; only when more ports than
// slots are in flight at once does a call wait for a slot to come free.
//
// `Sync` gives the platform's mutex and condition variable, both of which start
// as zero bytes: the table takes no room in the library file, is ready before
// any constructor runs, and allocates nothing.
template <class Sync>
class PortTable {
 public:
  static constexpr std::size_t size = 1024;

  // A call waiting for its turn, on its own stack while it waits.
  struct Waiter {
    Waiter* next = nullptr;
    bool granted = false;
  };

  struct Slot {
    std::int64_t key = unclaimed;  // key_of(port) while users > 0
    std::uint32_t users = 0;       // calls on the port in flight, the holder included
    bool held = false;             // a call has the turn
    Waiter* first = nullptr;       // the calls waiting, in the order they came
    Waiter* last = nullptr;
    typename Sync::Cond turn_changed;
    // The last call that was held up, and when it ended (steady_clock ticks).
    std::int32_t held_up_port = 0;
    long long held_up_at = 0;
    // The open port of the call holding the turn, as the platform encodes it (0
    // for none): a child forked during the call closes its copy.
    std::atomic<std::intptr_t> open{0};
  };

  // Waits for the port's turn until `deadline` (steady_clock ticks): its slot,
  // or null when the turn did not come by then.
  Slot* enter(std::int32_t port, long long deadline) noexcept {
    Sync::lock(mutex_);
    Slot* slot = claim(port);
    while (slot == nullptr) {
      const bool woken = Sync::wait_until(slot_freed_, mutex_, deadline);
      slot = claim(port);
      if (slot == nullptr && !woken) {
        Sync::unlock(mutex_);
        return nullptr;
      }
    }
    if (!slot->held && slot->first == nullptr) {
      slot->held = true;
      Sync::unlock(mutex_);
      return slot;
    }
    Waiter me;
    (slot->first == nullptr ? slot->first : slot->last->next) = &me;
    slot->last = &me;
    while (!me.granted) {
      if (!Sync::wait_until(slot->turn_changed, mutex_, deadline) && !me.granted) {
        forget(*slot, me);
        let_go(*slot);
        Sync::unlock(mutex_);
        return nullptr;
      }
    }
    Sync::unlock(mutex_);
    return slot;
  }

  // Hands the turn to the call that has waited longest.
  void leave(Slot& slot) noexcept {
    Sync::lock(mutex_);
    if (Waiter* next = slot.first; next != nullptr) {
      slot.first = next->next;
      if (slot.first == nullptr) slot.last = nullptr;
      next->granted = true;
      Sync::broadcast(slot.turn_changed);
    } else {
      slot.held = false;
    }
    let_go(slot);
    Sync::unlock(mutex_);
  }

  // A forked child has only the thread that forked, which holds no turn: every
  // slot is free in it, and the ports its parent's calls hold open are closed,
  // so that the child never keeps them locked.
  template <class Close>
  void reset_in_child(const Close& close) noexcept {
    for (Slot& slot : slots_) {
      const std::intptr_t open = slot.open.exchange(0);
      if (open != 0) close(open);
      slot.key = unclaimed;
      slot.users = 0;
      slot.held = false;
      slot.first = slot.last = nullptr;
      Sync::reset(slot.turn_changed);
    }
    Sync::reset(slot_freed_);
    Sync::reset(mutex_);
  }

 private:
  static constexpr std::int64_t unclaimed = 0;
  // Never 0, whatever the port number.
  static constexpr std::int64_t key_of(std::int32_t port) {
    return std::int64_t{port} + (std::int64_t{1} << 32);
  }

  // Under the mutex: the port's slot, claimed if it has none; null when every
  // slot is in use by other ports.
  Slot* claim(std::int32_t port) noexcept {
    Slot* free = nullptr;
    for (Slot& slot : slots_) {
      if (slot.key == key_of(port)) {
        ++slot.users;
        return &slot;
      }
      if (free == nullptr && slot.key == unclaimed) free = &slot;
    }
    if (free != nullptr) {
      free->key = key_of(port);
      free->users = 1;
      free->held = false;
      free->first = free->last = nullptr;
    }
    return free;
  }

  // Under the mutex: a waiter that gave up leaves the line.
  static void forget(Slot& slot, Waiter& me) noexcept {
    Waiter* before = nullptr;
    for (Waiter* w = slot.first; w != nullptr; before = w, w = w->next) {
      if (w != &me) continue;
      (before == nullptr ? slot.first : before->next) = w->next;
      if (slot.last == w) slot.last = before;
      return;
    }
  }

  // Under the mutex: one call fewer on the slot, which is free once none is left.
  void let_go(Slot& slot) noexcept {
    if (--slot.users > 0) return;
    slot.key = unclaimed;
    Sync::broadcast(slot_freed_);
  }

  typename Sync::Mutex mutex_;
  typename Sync::Cond slot_freed_;
  std::array<Slot, size> slots_;
};

// Holds a value that is never destroyed, so that nothing is torn down under
// threads that are still running while the process exits.
template <class T>
union Forever {
  constexpr Forever() : value() {}
  ~Forever() {}
  T value;
};

inline long long now_ticks() noexcept {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace qelmar::serial
