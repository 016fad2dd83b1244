// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace qelmar::test {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Options& options) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const std::string& e : options.env) ::putenv(const_cast<char*>(e.c_str()));
    if (!options.dir.empty() && ::chdir(options.dir.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

Process::~Process() {
  if (pid_ > 0) stop(SIGTERM);
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
}

int Process::wait() {
  int status = -1;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

int Process::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  return wait();
}

Process::Result Process::finish() {
  close_fd(in_);
  Result result;
  pollfd fds[] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* texts[] = {&result.out, &result.err};
  for (int open = 2; open > 0;) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        texts[i]->append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll skips it from now on
        --open;
      }
    }
  }
  close_fd(out_);
  close_fd(err_);
  const int status = wait();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Process::Result run_process(const std::vector<std::string>& argv, const Process::Options& options) {
  return Process(argv, options).finish();
}

}  // namespace qelmar::test
