// SPDX-License-Identifier: MIT
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "bridge/platform.h"

namespace qelmar::bridge {

void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  // Each open connection is a descriptor: the connection cap, not the soft
  // limit's default of 1,024, should be what bounds them.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

std::size_t descriptor_limit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<std::size_t>(files.rlim_cur);
}

std::vector<InheritedSocket> inherited_sockets() {
  std::vector<InheritedSocket> sockets;
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::atol(pid) != static_cast<long>(::getpid()))
    return sockets;
  const int n = std::atoi(count);
  for (int fd = 3; fd < 3 + n && fd < 3 + 16; ++fd) {
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    int type = 0, listening = 0;
    socklen_t int_size = sizeof type;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) == 0 &&
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &int_size) == 0 && type == SOCK_STREAM &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &int_size) == 0 && listening &&
        (where.ss_family == AF_INET || where.ss_family == AF_INET6)) {
      sockets.push_back({fd, where.ss_family == AF_INET6});
    }
  }
  // Not for the children of this process.
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return sockets;
}

void write_line(std::string_view line) {
  // A write to stderr interrupted by a signal is retried; one cut short by a
  // full pipe is not, since its tail alone would be glued to the next line.
  while (::write(STDERR_FILENO, line.data(), line.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace qelmar::bridge
