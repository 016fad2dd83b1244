// Port connection on POSIX ttys.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "serial/port.h"

namespace qelmar::serial {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::intptr_t closed = -1;

// 10 bits a byte at 2400 baud.
constexpr auto byte_time = std::chrono::microseconds(4167);

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// "comN" in $QELMAR_DEVICE_DIR when set; else /dev/comN (a udev alias), else
// /dev/ttyS<N-1>.
bool device_path(std::int32_t port, char (&path)[PATH_MAX]) {
  const char* dir = std::getenv("QELMAR_DEVICE_DIR");
  if (dir != nullptr && *dir != '\0') {
    const int n = std::snprintf(path, sizeof path, "%s/com%d", dir, port);
    return n > 0 && static_cast<std::size_t>(n) < sizeof path;
  }
  std::snprintf(path, sizeof path, "/dev/com%d", port);
  if (::access(path, F_OK) == 0) return true;
  if (port < 1) return false;
  std::snprintf(path, sizeof path, "/dev/ttyS%d", port - 1);
  return true;
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

  // A pseudo-terminal has no modem lines; that is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  return true;
}

void release(int fd) {
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);  // also drops the flock
}

// Waits for the written bytes to leave until the deadline; what is still queued
// then is discarded, so that close cannot block on it.
void wait_until_sent(int fd, Clock::time_point deadline) {
  for (;;) {
    const int queued = queued_output(fd);
    // What is left in a UART's own FIFO, a few byte times, close waits for.
    if (queued <= 0) return;
    const auto now = Clock::now();
    if (now >= deadline) {
      ::tcflush(fd, TCOFLUSH);
      return;
    }
    const auto expected = std::chrono::duration_cast<Clock::duration>(byte_time * queued);
    std::this_thread::sleep_for(std::min(
        deadline - now, std::max(expected, Clock::duration(std::chrono::milliseconds(1)))));
  }
}

}  // namespace

Connection::Connection(std::int32_t port) noexcept : handle_(closed) {
  char path[PATH_MAX];
  if (!device_path(port, path)) return;

  // Non-blocking, so that neither a missing carrier nor a stuck line holds the call.
  const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;

  // TIOCEXCL keeps other programs out, but not root; the lock keeps out every
  // other connection of this library, root or not.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  ::ioctl(fd, TIOCEXCL);

  ::tcflush(fd, TCIFLUSH);
  discard_queued_output(fd);
  if (!configure(fd)) {
    release(fd);
    return;
  }
  handle_ = fd;
}

Connection::~Connection() {
  if (is_open()) release(fd_of(handle_));
}

bool Connection::is_open() const noexcept { return handle_ != closed; }

bool Connection::write(std::span<const std::uint8_t> frame) noexcept {
  if (!is_open()) return false;
  const int fd = fd_of(handle_);
  const Clock::time_point deadline = Clock::now() + write_time_per_byte * std::ssize(frame);

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

  wait_until_sent(fd, deadline);
  return true;
}

void hold(std::chrono::milliseconds duration) noexcept { std::this_thread::sleep_for(duration); }

}  // namespace qelmar::serial
