// SPDX-License-Identifier: MIT
// Where the diagnostics log goes on POSIX: QELMAR_LOG is "stderr" or a file,
// appended to. Each line is one write, so lines of threads and processes never
// mix; the file is opened for each line, with O_CLOEXEC, so no descriptor is
// left for the host's children.
//
// A line is whole or absent: a full disk can cut a write short, and the next
// writer's line would then be glued to the cut one. A regular file takes the
// cut part back; a FIFO takes a line whole or not at all. A line never waits:
// a sink that does not take it at once, a file size limit it would cross, or a
// lock held for long drops it, and the next line written says how many were.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "api/log.h"

namespace qelmar::log {
namespace {

// A write of up to PIPE_BUF bytes to a FIFO is never split: with O_NONBLOCK it
// goes in whole or fails.
static_assert(max_line <= PIPE_BUF);

// Whether this process cut a line short on a sink it cannot take bytes back
// from (stderr, a terminal); its next line there starts by ending that one.
std::atomic<bool> line_left_open{false};

std::int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The local time's offset from UTC, worked out by libc in the parent only:
// libc takes a lock of its own for it, which a thread of the parent may hold
// at a fork, and which then stays taken in the child for ever. A child keeps
// the offset it had at the fork, which the fork handler makes at most a
// minute old.
std::atomic<long> utc_offset{0};
constexpr std::int64_t never = INT64_MIN;
std::atomic<std::int64_t> offset_taken_at{never};  // CLOCK_REALTIME seconds
std::atomic<bool> in_forked_child{false};

// At most a minute old, so that a change to or from summer time shows soon.
void refresh_offset(std::time_t now) {
  const std::int64_t taken = offset_taken_at.load(std::memory_order_relaxed);
  if (taken != never && now >= taken && now - taken < 60) return;
  tm local{};
  if (::localtime_r(&now, &local) == nullptr) return;
  utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
  offset_taken_at.store(now, std::memory_order_relaxed);
}

// Writers hold the lock for one write, so one held for longer belongs to
// another program or a stopped process: a call waits a few milliseconds for
// it at most, then drops its line.
constexpr std::int64_t lock_wait_ns = 3'000'000;

enum class Lock { taken, busy, unsupported };

Lock lock(int fd) {
  const std::int64_t start = monotonic_ns();
  for (long pause_ns = 50'000;; pause_ns = std::min(2 * pause_ns, 500'000L)) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::taken;
    if (errno != EWOULDBLOCK && errno != EINTR) return Lock::unsupported;
    const std::int64_t left = start + lock_wait_ns - monotonic_ns();
    if (left <= 0) return Lock::busy;
    const timespec pause{0, std::min(pause_ns, static_cast<long>(left))};
    ::nanosleep(&pause, nullptr);
  }
}

// SIGPIPE (a reader gone), SIGXFSZ (the size limit reached by another writer
// since it was read) and SIGTTOU (a background host on its terminal) would end
// or stop the host for a log line. They are held in this thread for the write,
// and one the write raised is taken back; the host's own dispositions stay.
class QuietSignals {
 public:
  QuietSignals() {
    sigset_t quiet;
    sigemptyset(&quiet);
    for (const int signal : signals) sigaddset(&quiet, signal);
    ::pthread_sigmask(SIG_BLOCK, &quiet, &mask_);
    ::sigpending(&pending_);
  }
  ~QuietSignals() {
    sigset_t pending;
    ::sigpending(&pending);
    for (const int signal : signals) {
      if (sigismember(&pending, signal) == 1 && sigismember(&pending_, signal) == 0) {
        sigset_t raised;
        sigemptyset(&raised);
        sigaddset(&raised, signal);
        const timespec now{};
        ::sigtimedwait(&raised, nullptr, &now);
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  }
  QuietSignals(const QuietSignals&) = delete;
  QuietSignals& operator=(const QuietSignals&) = delete;

 private:
  static constexpr int signals[] = {SIGPIPE, SIGXFSZ, SIGTTOU};
  sigset_t mask_{};
  sigset_t pending_{};
};

// Whether `length` more bytes at the descriptor's position stay within the
// file size limit: a write across it is cut short, and the next one, at the
// limit, raises SIGXFSZ.
bool fits(int fd, const struct stat& file, std::size_t length) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  off_t at = file.st_size;
  if ((::fcntl(fd, F_GETFL) & O_APPEND) == 0) at = ::lseek(fd, 0, SEEK_CUR);
  return at >= 0 && static_cast<rlim_t>(at) + length <= limit.rlim_cur;
}

// The line whole, or nothing of it: under the lock no other writer appends, so
// the size before the write is where the line begins. One write only: after a
// short one, a second would start at the limit.
bool append_whole(int fd, const char* line, std::size_t length) {
  struct stat before {};
  if (::fstat(fd, &before) != 0 || !fits(fd, before, length)) return false;
  ssize_t n = 0;
  do {
    n = ::write(fd, line, length);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(length)) return true;
  if (n > 0) [[maybe_unused]]
    const int taken_back = ::ftruncate(fd, before.st_size);
  return false;
}

ssize_t put(int fd, const char* bytes, std::size_t length, bool socket) {
  return socket ? ::send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(fd, bytes, length);
}

// One write where nothing written can be taken back: the host's stderr is never
// truncated or locked. A line cut short is ended with a newline, now or, when
// that does not fit either, in front of this process's next line; it counts as
// dropped.
bool write_once(int fd, const char* line, std::size_t length, bool socket = false) {
  if (line_left_open.load(std::memory_order_relaxed)) {
    if (put(fd, "\n", 1, socket) != 1) return false;
    line_left_open.store(false, std::memory_order_relaxed);
  }
  const ssize_t n = put(fd, line, length, socket);
  if (n > 0 && static_cast<std::size_t>(n) < length && put(fd, "\n", 1, socket) != 1) {
    line_left_open.store(true, std::memory_order_relaxed);
  }
  return n == static_cast<ssize_t>(length);
}

// The host's stderr, without waiting: its descriptor's flags are shared with
// the host, so a pipe, FIFO or terminal is written through a non-blocking
// descriptor of its own, opened anew.
bool write_stderr(const char* line, std::size_t length) {
  struct stat sink {};
  if (::fstat(STDERR_FILENO, &sink) != 0) return false;
  const std::size_t ending = line_left_open.load(std::memory_order_relaxed) ? 1 : 0;
  if (S_ISREG(sink.st_mode)) {
    return fits(STDERR_FILENO, sink, length + ending) && write_once(STDERR_FILENO, line, length);
  }
  if (S_ISSOCK(sink.st_mode)) return write_once(STDERR_FILENO, line, length, true);
  // Such as /dev/null, which never waits.
  if (S_ISCHR(sink.st_mode) && ::isatty(STDERR_FILENO) == 0) {
    return write_once(STDERR_FILENO, line, length);
  }
  const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    const bool written = write_once(fd, line, length);
    ::close(fd);
    return written;
  }
  if (errno == ENXIO) return false;  // a pipe nobody reads any more
  // Without /proc: a pipe with room for a page takes a line at once, barring
  // another writer in between.
  pollfd room{STDERR_FILENO, POLLOUT, 0};
  return ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0 &&
         write_once(STDERR_FILENO, line, length);
}

bool write_file(const char* path, const char* line, std::size_t length) {
  // Non-blocking: a FIFO without a reader must not hold the call.
  const int fd =
      ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  bool written = false;
  struct stat sink {};
  if (::fstat(fd, &sink) != 0) {
    written = false;
  } else if (!S_ISREG(sink.st_mode)) {
    written = write_once(fd, line, length);
  } else {
    // A file whose lock cannot be had drops the line; one without locks
    // cannot have its cut part taken back safely.
    switch (lock(fd)) {
      case Lock::taken:
        written = append_whole(fd, line, length);
        // Before the close: a child forked meanwhile shares the open file and
        // would keep the lock for as long as it lives.
        ::flock(fd, LOCK_UN);
        break;
      case Lock::unsupported:
        written = fits(fd, sink, length) && write_once(fd, line, length);
        break;
      case Lock::busy:
        break;
    }
  }
  ::close(fd);
  return written;
}

}  // namespace

std::size_t line_head(char* out, std::size_t size) noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (!in_forked_child.load(std::memory_order_relaxed)) refresh_offset(now.tv_sec);
  // The calendar by hand, from days since 1970-01-01 (H. Hinnant's
  // civil_from_days): libc's would take its time zone lock again.
  const std::int64_t local = now.tv_sec + utc_offset.load(std::memory_order_relaxed);
  const std::int64_t days = (local >= 0 ? local : local - 86'399) / 86'400;
  const std::int64_t second = local - days * 86'400;
  const std::int64_t shifted = days + 719'468;
  const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146'096) / 146'097;
  const std::int64_t of_era = shifted - era * 146'097;
  const std::int64_t year_of_era =
      (of_era - of_era / 1460 + of_era / 36'524 - of_era / 146'096) / 365;
  const std::int64_t day_of_year =
      of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_index = (5 * day_of_year + 2) / 153;  // from March
  const std::int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const std::int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  const int n = std::snprintf(
      out, size, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03ld qelmar pid %ld tid %ld",
      static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
      static_cast<long long>(second / 3600), static_cast<long long>(second / 60 % 60),
      static_cast<long long>(second % 60), now.tv_nsec / 1'000'000, static_cast<long>(::getpid()),
      static_cast<long>(::syscall(SYS_gettid)));
  return n > 0 ? std::min(size - 1, static_cast<std::size_t>(n)) : 0;
}

bool write_line(const char* line, std::size_t length) noexcept {
  const char* sink = std::getenv("QELMAR_LOG");
  if (sink == nullptr || *sink == '\0') return true;
  const QuietSignals quiet;
  if (std::strcmp(sink, "stderr") == 0) return write_stderr(line, length);
  return write_file(sink, line, length);
}

namespace {

// Before a fork, an offset at most a minute old for the child, which never
// works one out; a child has only the thread that forked, so the hook's lock,
// which another thread may have held at the fork, is free in it.
[[maybe_unused]] const int registered = ::pthread_atfork(
    [] {
      if (!in_forked_child.load(std::memory_order_relaxed) && enabled()) {
        refresh_offset(std::time(nullptr));
      }
    },
    nullptr,
    [] {
      in_forked_child.store(true, std::memory_order_relaxed);
      reset_in_child();
    });

// With the log on from the start, a child forked before the first line has
// the offset too.
[[maybe_unused]] const bool offset_at_load = [] {
  if (enabled()) refresh_offset(std::time(nullptr));
  return true;
}();

}  // namespace

}  // namespace qelmar::log
