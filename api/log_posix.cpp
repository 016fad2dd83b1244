// SPDX-License-Identifier: MIT
// Where the diagnostics log goes on POSIX: QELMAR_LOG is "stderr" or a file,
// appended to. Each line is one write, so lines of threads and processes never
// mix; the file is opened for each line, with O_CLOEXEC, so no descriptor is
// left for the host's children.
//
// A line is whole or absent: a full disk or a file size limit can cut a write
// short, and the next writer's line would then be glued to the cut one. A
// regular file takes the cut part back; a FIFO takes a line whole or not at all.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
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

enum class Lock { taken, busy, unsupported };

// Writers hold the lock for one write, so one held for long belongs to a
// stopped process; the wait is bounded like the calls themselves.
Lock lock(int fd) {
  for (int tries = 0; tries < 200; ++tries) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::taken;
    if (errno != EWOULDBLOCK && errno != EINTR) return Lock::unsupported;
    ::usleep(500);
  }
  return Lock::busy;
}

// The line whole, or nothing of it: under the lock no other writer appends, so
// the size before the write is where the line begins.
void append_whole(int fd, const char* line, std::size_t length) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) return;
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(fd, line + written, length - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (written > 0 && written < length) {
    [[maybe_unused]] const int taken_back = ::ftruncate(fd, before.st_size);
  }
}

// One write where nothing written can be taken back: the host's stderr is never
// truncated or locked. A line cut short is ended with a newline, now or, when
// that does not fit either, in front of this process's next line.
void write_once(int fd, const char* line, std::size_t length) {
  if (line_left_open.load(std::memory_order_relaxed)) {
    if (::write(fd, "\n", 1) != 1) return;
    line_left_open.store(false, std::memory_order_relaxed);
  }
  const ssize_t n = ::write(fd, line, length);
  if (n > 0 && static_cast<std::size_t>(n) < length && ::write(fd, "\n", 1) != 1) {
    line_left_open.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

std::size_t line_head(char* out, std::size_t size) noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
  const int n =
      std::snprintf(out, size, "%s.%03ld qelmar pid %ld tid %ld", when, now.tv_nsec / 1000000,
                    static_cast<long>(::getpid()), static_cast<long>(::syscall(SYS_gettid)));
  return n > 0 ? std::min(size - 1, static_cast<std::size_t>(n)) : 0;
}

void write_line(const char* line, std::size_t length) noexcept {
  const char* sink = std::getenv("QELMAR_LOG");
  if (sink == nullptr || *sink == '\0') return;
  if (std::strcmp(sink, "stderr") == 0) {
    write_once(2, line, length);
    return;
  }
  // Non-blocking: a FIFO without a reader must not hold the call.
  const int fd =
      ::open(sink, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return;
  struct stat sink_status {};
  if (::fstat(fd, &sink_status) != 0 || !S_ISREG(sink_status.st_mode)) {
    write_once(fd, line, length);
  } else {
    // A file whose lock cannot be had drops the line; one without locks
    // cannot have its cut part taken back safely.
    switch (lock(fd)) {
      case Lock::taken:
        append_whole(fd, line, length);
        // Before the close: a child forked meanwhile shares the open file and
        // would keep the lock for as long as it lives.
        ::flock(fd, LOCK_UN);
        break;
      case Lock::unsupported:
        write_once(fd, line, length);
        break;
      case Lock::busy:
        break;
    }
  }
  ::close(fd);
}

namespace {

// A child has only the thread that forked: a hook lock another thread held
// at the fork is free in it.
[[maybe_unused]] const int registered =
    ::pthread_atfork(nullptr, nullptr, [] { reset_in_child(); });

}  // namespace

}  // namespace qelmar::log
