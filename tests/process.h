// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qelmar::test {

#ifndef QELMAR_TEST_SLOWDOWN
#define QELMAR_TEST_SLOWDOWN 1
#endif
// How many times as long a timed step may take in this build: the sanitized
// one runs the display's and the tool's own code several times slower.
constexpr int slowdown = QELMAR_TEST_SLOWDOWN;

// A child process with pipes to its stdin, stdout and stderr. The destructor
// ends a child that is still running (SIGTERM), so that a failed assertion
// leaves nothing behind.
class Process {
 public:
  struct Options {
    std::vector<std::string> env;  // NAME=VALUE, added to this process's environment
    std::string dir;               // where it starts; empty for here
  };

  explicit Process(const std::vector<std::string>& argv, const Options& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  int in() const { return in_; }
  int out() const { return out_; }
  int err() const { return err_; }

  struct Result {
    int status = -1;  // the exit code, or -1 when a signal ended it
    std::string out, err;
  };
  // Closes its stdin, reads stdout and stderr together until both end (so that
  // neither can fill up and stall it), and waits for it.
  Result finish();

  // Sends `signal` and waits; returns what waitpid reported.
  int stop(int signal);

 private:
  int wait();

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

// Runs the command to its end.
Process::Result run_process(const std::vector<std::string>& argv,
                            const Process::Options& options = {});

}  // namespace qelmar::test
