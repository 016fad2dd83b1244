// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_lock.h"
#include "serial/port_table.h"

namespace qelmar::serial {
namespace {

struct PosixSync {
  struct Mutex {
    pthread_mutex_t native = PTHREAD_MUTEX_INITIALIZER;
  };
  struct Cond {
    pthread_cond_t native = PTHREAD_COND_INITIALIZER;
  };
  static void lock(Mutex& m) { ::pthread_mutex_lock(&m.native); }
  static void unlock(Mutex& m) { ::pthread_mutex_unlock(&m.native); }
  // False once `deadline` (steady_clock ticks, CLOCK_MONOTONIC's) has passed.
  static bool wait_until(Cond& c, Mutex& m, long long deadline) {
    const timespec until{static_cast<time_t>(deadline / 1'000'000'000),
                         static_cast<long>(deadline % 1'000'000'000)};
    return ::pthread_cond_clockwait(&c.native, &m.native, CLOCK_MONOTONIC, &until) != ETIMEDOUT;
  }
  static void broadcast(Cond& c) { ::pthread_cond_broadcast(&c.native); }
  static void reset(Mutex& m) { m = Mutex{}; }
  static void reset(Cond& c) { c = Cond{}; }
};

using Table = PortTable<PosixSync>;

constinit Forever<Table> table;

Table::Slot& slot_of(void* slot) { return *static_cast<Table::Slot*>(slot); }

// Held, shared, while a call opens or closes a port and notes its descriptor,
// and alone across a fork: a child forked in between would keep the port
// unnoted. Calls do not wait for each other on it; a fork waits only for the
// opens and closes in flight, and goes before any that start later.
struct Opening {
  pthread_rwlock_t native = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
};
constinit Opening opening;

// Descriptors are stored one up, so that 0 means none.
void close_in_child(std::intptr_t open) { ::close(static_cast<int>(open - 1)); }

void before_fork() { ::pthread_rwlock_wrlock(&opening.native); }

void after_fork_in_parent() { ::pthread_rwlock_unlock(&opening.native); }

void reset_in_child() {
  table.value.reset_in_child(close_in_child);
  opening = Opening{};
}

[[maybe_unused]] const int registered =
    ::pthread_atfork(before_fork, after_fork_in_parent, reset_in_child);

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
  if (slot_ == nullptr) return;
  slot_of(slot_).open = 0;
  table.value.leave(slot_of(slot_));
}

void PortLock::mark_held_up() noexcept {
  slot_of(slot_).held_up_port = port_;
  slot_of(slot_).held_up_at = now_ticks();
}

void PortLock::note_open(std::intptr_t handle) noexcept {
  if (slot_ != nullptr) slot_of(slot_).open = handle + 1;
}

int PortLock::open_noted(const char* path, int flags) noexcept {
  ::pthread_rwlock_rdlock(&opening.native);
  const int fd = ::open(path, flags);
  const int error = errno;
  if (fd >= 0) note_open(fd);
  ::pthread_rwlock_unlock(&opening.native);
  errno = error;
  return fd;
}

void PortLock::close_noted(int fd) noexcept {
  // Quick: whatever the line had not taken was discarded before.
  ::pthread_rwlock_rdlock(&opening.native);
  note_open(-1);
  ::close(fd);
  ::pthread_rwlock_unlock(&opening.native);
}

}  // namespace qelmar::serial
