// SPDX-License-Identifier: MIT
// Port connection on POSIX ttys.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "serial/device_info.h"
#include "serial/device_path.h"
#include "serial/port.h"

namespace qelmar::serial {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::intptr_t closed = -1;

// 10 bits a byte at 2400 baud.
constexpr auto byte_time = std::chrono::microseconds(4167);

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// The device port N leads to, with each path tried noted for the report.
bool port_path(std::int32_t port, char (&path)[PATH_MAX], CallStatus* status) {
  char alias[PATH_MAX] = "";
  const Route route = serial::device_path(port, std::getenv("QELMAR_DEVICE_DIR"), "", path,
                                          sizeof path, alias, sizeof alias);
  if (route == Route::device_dir || route == Route::alias) return true;
  note_tried(status, alias);
  if (route == Route::fallback) return true;
  if (route == Route::console_skipped || route == Route::consoles_unknown) {
    note_tried(status, path);
    if (status != nullptr && *status->reason == '\0') {
      status->reason = route == Route::console_skipped
                           ? "the fallback is a system console, never written"
                           : "/proc/consoles cannot be read, so the fallback, which may be a "
                             "system console, is never written";
    }
  }
  return false;
}

int queued_output(int fd) {
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

// Only when something is queued: on a pseudo-terminal a flush throws away the
// previous frame while the other side is still reading it, and the queue there
// always reads as empty.
void discard_queued_output(int fd) {
  if (queued_output(fd) > 0) ::tcflush(fd, TCOFLUSH);
}

bool configure(int fd) {
  termios line{};
  if (::tcgetattr(fd, &line) != 0) return false;
  ::cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CREAD | CLOCAL;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  ::cfsetispeed(&line, B2400);
  ::cfsetospeed(&line, B2400);
  if (::tcsetattr(fd, TCSANOW, &line) != 0) return false;
  // Output that an earlier program suspended would hold every frame: this line
  // has no flow control.
  ::tcflow(fd, TCOON);

  // A pseudo-terminal has no modem lines; that is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  return true;
}

// Lets go of the lock before the close: a child forked during the call shares
// this open file, and must not keep the port locked for as long as it lives.
void release(int fd, PortLock& turn) {
  ::flock(fd, LOCK_UN);
  turn.close_noted(fd);
}

void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

enum class Turn { taken, wait, give_up };

// No queue place is ever at offset 0: a lock there is another program's.
constexpr off_t first_place = 1;

// What F_OFD_GETLK finds over [at, at + length): a lock of another open file
// (another program's, or a queue place), or F_UNLCK.
struct flock probe(int fd, off_t at, off_t length) {
  struct flock lock {};
  lock.l_type = F_WRLCK;  // finds read locks too
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = length;
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) lock.l_type = F_UNLCK;
  return lock;
}

// The calls' queue places are open-file locks of one byte, past offset 0.
bool is_place(const struct flock& lock) {
  return lock.l_pid == -1 && lock.l_len == 1 && lock.l_start >= first_place;
}

// A record lock of another program on the port (fcntl or lockf, classic or
// open-file): it holds the port as surely as a flock, and is never written over.
class ForeignLock {
 public:
  // Each try starts without one.
  void forget() { now_ = false; }
  bool now() const { return now_; }

  void note(int fd, const struct flock& lock) {
    now_ = true;
    if (known_ && lock.l_pid == pid_ && lock.l_start == start_ && lock.l_len == length_) return;
    known_ = true;
    pid_ = lock.l_pid;
    start_ = lock.l_start;
    length_ = lock.l_len;
    // Once for each lock seen, while the call waits anyway.
    holder_ = record_lock_holder(fd, pid_, start_, length_);
  }

  // Whole-file locks and lockf's from the start cover offset 0.
  bool found_at_start(int fd) {
    const struct flock lock = probe(fd, 0, first_place);
    if (lock.l_type == F_UNLCK) return false;
    note(fd, lock);
    return true;
  }

  long holder() const { return holder_; }

 private:
  bool now_ = false;
  bool known_ = false;
  pid_t pid_ = 0;
  off_t start_ = 0;
  off_t length_ = 0;
  long holder_ = 0;
};

// What stopped the call, with what the system can tell about it.
void note_failure(CallStatus* status, Outcome failure, const char* path,
                  const ForeignLock& foreign) {
  if (status == nullptr) return;
  status->outcome = failure;
  if (failure == Outcome::no_permission) owner_group(path, status->group, sizeof status->group);
  if (failure != Outcome::busy) return;
  status->holder = foreign.now() ? foreign.holder() : 0;
  if (status->holder == 0) lock_holders(path, "/proc/locks", &status->holder, 1);
}

Outcome open_failure(int error) {
  if (error == EACCES || error == EPERM) return Outcome::no_permission;
  if (error == EBUSY) return Outcome::busy;
  return Outcome::not_found;
}

// The queue of calls waiting for a port, across processes: each waiting call
// locks one byte of the device at an offset that tells when it began to wait,
// and takes the port only when no earlier waiter is left, so that a process
// calling back to back cannot starve another. These are open-file locks
// (F_OFD_SETLK), apart from flock's, and like it they go with the last
// descriptor of the open file: a waiter that dies leaves nothing behind.
// Places are microseconds of uptime: a 32-bit offset would wrap in minutes.
// Another program's record lock over the places (a whole-file fcntl lock)
// keeps every waiter out of the queue while it lasts: each joins, at its own
// time, once it is gone.
static_assert(sizeof(off_t) == 8);

class Queue {
 public:
  Queue() : place_(offset_of(Clock::now())) {}

  // Joins the queue on `fd`, at the time this call began to wait (a waiter in
  // the same microsecond of another process takes the next place). False while
  // another program's lock keeps it out, which `foreign` then notes.
  bool join(int fd, ForeignLock& foreign) {
    if (joined_ >= 0 || no_place_) return true;
    for (int tries = 0; tries < 16; ++tries, ++place_) {
      if (byte_lock(fd, F_OFD_SETLK, F_WRLCK, place_, 1) == 0) {
        joined_ = fd;
        // The others it kept out join again within a try or two: none goes
        // ahead of an earlier one meanwhile.
        if (kept_out_) rejoined_ = Clock::now();
        return true;
      }
      if (const struct flock lock = probe(fd, place_, 1);
          lock.l_type != F_UNLCK && !is_place(lock)) {
        foreign.note(fd, lock);
        kept_out_ = true;
        return false;
      }
    }
    // As many waiters in as many microseconds: this one goes without a place.
    no_place_ = true;
    return true;
  }

  // Whether a call that began to wait before this one still waits. One that
  // has waited longer than any call may is stopped (a debugger, SIGSTOP) and
  // is passed over; only calls that began to wait within a few milliseconds
  // after it can reach their own deadline behind it. Another program's lock
  // among the places counts as a waiter, and `foreign` notes it.
  bool earlier_waiting(int fd, ForeignLock& foreign) const {
    if (joined_ < 0) return false;
    if (kept_out_ && Clock::now() - rejoined_ < rejoin_time) return true;
    const off_t window = offset_of(Clock::now() - port_wait - std::chrono::milliseconds(5));
    const off_t from = std::max(first_place, window);
    if (from >= place_) return false;
    const struct flock lock = probe(fd, from, place_ - from);
    if (lock.l_type == F_UNLCK) return false;
    if (!is_place(lock)) foreign.note(fd, lock);
    return true;
  }

  // Before the descriptor is closed, and once the call has the port: a child
  // forked meanwhile shares the open file and would keep the place.
  void leave() {
    if (joined_ >= 0) byte_lock(joined_, F_OFD_SETLK, F_UNLCK, place_, 1);
    joined_ = -1;
  }

 private:
  // Waiters try every millisecond or so.
  static constexpr auto rejoin_time = std::chrono::milliseconds(20);

  // Microseconds of the monotonic clock, which all processes share.
  static off_t offset_of(Clock::time_point t) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
    return first_place + std::max<off_t>(0, static_cast<off_t>(us.count()));
  }

  static int byte_lock(int fd, int command, short type, off_t at, off_t length) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = length;
    return ::fcntl(fd, command, &lock);
  }

  off_t place_;
  int joined_ = -1;
  bool no_place_ = false;
  bool kept_out_ = false;
  Clock::time_point rejoined_;
};

// One try at the port: open it and lock it, unless an earlier waiter, another
// call of this library or another program holds it. `fd` stays open across
// tries that only wait for the lock. `failure` says what stopped the last try.
Turn try_turn(const char* path, int& fd, Queue& queue, PortLock& turn, Outcome& failure,
              ForeignLock& foreign) {
  if (fd < 0) {
    // Non-blocking, so that neither a missing carrier nor a stuck line holds the call.
    fd = turn.open_noted(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // EBUSY: held exclusively by another program (TIOCEXCL), to be waited for.
    if (fd < 0) {
      failure = open_failure(errno);
      return errno == EBUSY || errno == EINTR ? Turn::wait : Turn::give_up;
    }
  }
  failure = Outcome::busy;
  foreign.forget();
  if (!queue.join(fd, foreign) || foreign.found_at_start(fd) ||
      queue.earlier_waiting(fd, foreign)) {
    return Turn::wait;
  }
  // Every call of this library, in any process and as any user, takes this lock;
  // programs that use flock are kept out by it too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK || errno == EINTR ? Turn::wait : Turn::give_up;
  }
  // Root opens a port that another program holds exclusively; it must not write
  // into it, and must leave that program's exclusive mode alone. The library
  // never sets the mode itself: it belongs to the tty, not to the process, and
  // would outlive a host killed in the middle of a call.
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    queue.leave();
    release(fd, turn);
    fd = -1;
    return Turn::wait;
  }
  queue.leave();
  return Turn::taken;
}

// Waits for the written bytes to leave until the deadline; what is still queued
// then is discarded, so that close cannot block on it.
// Returns how many bytes it discarded.
int wait_until_sent(int fd, Clock::time_point deadline) {
  for (;;) {
    const int queued = queued_output(fd);
    // What is left in a UART's own FIFO, a few byte times, close waits for.
    if (queued <= 0) return 0;
    const auto now = Clock::now();
    if (now >= deadline) {
      ::tcflush(fd, TCOFLUSH);
      return queued;
    }
    const auto expected = std::chrono::duration_cast<Clock::duration>(byte_time * queued);
    std::this_thread::sleep_for(std::min(
        deadline - now, std::max(expected, Clock::duration(std::chrono::milliseconds(1)))));
  }
}

// Checked right before the write, whatever held the call up before it: a
// frame that cannot leave by the call's deadline at the line's rate is not
// begun (a stuck line is given up at that deadline too), nor one that another
// program has locked since the call took the port.
bool may_begin(int fd, std::size_t frame_size, Clock::time_point now, Clock::time_point bound,
               CallStatus* status) {
  ForeignLock foreign;
  const bool locked = foreign.found_at_start(fd);
  if (!locked && now + byte_time * static_cast<long>(frame_size) <= bound) return true;
  if (status != nullptr) {
    status->frame += frame_size;
    status->outcome = Outcome::busy;
    status->holder = locked ? foreign.holder() : 0;
    if (!locked) status->reason = too_late;
  }
  return false;
}

}  // namespace

Connection::Connection(std::int32_t port, PortLock& turn, CallStatus* status) noexcept
    : handle_(closed), turn_in_process_(turn), status_(status) {
  char path[PATH_MAX];
  if (!port_path(port, path, status)) {
    if (status != nullptr) status->outcome = Outcome::not_found;
    return;
  }
  note_tried(status, path);

  const Clock::time_point deadline = turn.deadline();
  int fd = -1;
  Queue queue;
  ForeignLock foreign;
  Outcome failure = Outcome::busy;
  for (;;) {
    const Turn got = try_turn(path, fd, queue, turn, failure, foreign);
    if (got == Turn::taken) break;
    if (got == Turn::give_up || Clock::now() >= deadline) {
      held_up_ = got == Turn::wait;
      note_failure(status, failure, path, foreign);
      if (fd >= 0) {
        queue.leave();
        turn.close_noted(fd);
      }
      return;
    }
    pause_briefly();
  }

  ::tcflush(fd, TCIFLUSH);
  discard_queued_output(fd);
  if (!configure(fd)) {
    termios line{};
    const bool tty = ::tcgetattr(fd, &line) == 0 || errno != ENOTTY;
    note_failure(status, tty ? Outcome::not_configured : Outcome::not_a_tty, path, foreign);
    release(fd, turn);
    return;
  }
  handle_ = fd;
}

Connection::~Connection() {
  if (!is_open()) return;
  release(fd_of(handle_), turn_in_process_);
}

bool Connection::is_open() const noexcept { return handle_ != closed; }

void Connection::write(std::span<const std::uint8_t> frame) noexcept {
  if (!is_open()) return;
  const int fd = fd_of(handle_);
  const Clock::time_point now = Clock::now();
  const Clock::time_point bound = turn_in_process_.deadline();
  if (!may_begin(fd, frame.size(), now, bound, status_)) return;
  const Clock::time_point deadline = std::min(now + write_time_per_byte * std::ssize(frame), bound);

  // One write as a rule; the loop only continues a write that the tty cut short.
  std::size_t sent = 0;
  do {
    const ssize_t n = ::write(fd, frame.data() + sent, frame.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 && frame.empty()) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    pollfd ready{fd, POLLOUT, 0};
    ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  } while (sent < frame.size());

  const int discarded = wait_until_sent(fd, deadline);
  held_up_ = held_up_ || sent < frame.size() || discarded > 0;
  went_out_ = went_out_ || sent > static_cast<std::size_t>(discarded);
  if (status_ != nullptr) {
    status_->frame += frame.size();
    status_->sent += sent - std::min(sent, static_cast<std::size_t>(discarded));
    if (held_up_) status_->outcome = Outcome::stuck;
  }
}

void pause(std::chrono::milliseconds duration) noexcept { std::this_thread::sleep_for(duration); }

long this_process() noexcept { return static_cast<long>(::getpid()); }

}  // namespace qelmar::serial
