// Where the diagnostics log goes on POSIX: QELMAR_LOG is "stderr" or a file,
// appended to. Each line is one write, so lines of threads and processes never
// mix; the file is opened for each line, with O_CLOEXEC, so no descriptor is
// left for the host's children.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "api/log.h"

namespace qelmar::log {

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
    [[maybe_unused]] const ssize_t n = ::write(2, line, length);
    return;
  }
  // Non-blocking: a FIFO without a reader must not hold the call.
  const int fd =
      ::open(sink, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, line, length);
  ::close(fd);
}

}  // namespace qelmar::log
