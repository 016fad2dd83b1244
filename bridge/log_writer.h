// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "bridge/platform.h"

namespace qelmar::bridge {

// The request log, written to stderr by a thread of its own. A host that
// starts the bridge and never reads its stderr fills the pipe, and the write
// then blocks: only this thread waits, never the I/O thread or a worker.
// Past `limit` bytes waiting, lines are dropped and counted; once writing
// works again a line says how many went. The host library's own lines take
// a writer of their own, to the sink QELMAR_LOG names.
class LogWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  // `what` and `where` name the lines and the sink in the line on those dropped.
  explicit LogWriter(std::size_t limit, Sink sink = write_line, std::string what = "log lines",
                     std::string where = "stderr")
      : state_(std::make_shared<State>()) {
    state_->limit = limit;
    state_->sink = std::move(sink);
    state_->what = std::move(what);
    state_->where = std::move(where);
    // The thread owns the state with us: when it is left stuck in a write, it
    // outlives this object.
    thread_ = std::thread([state = state_] { run(*state); });
  }

  // What is queued gets a moment to go out; a write that is stuck is not
  // waited for, since the process must end within its second.
  ~LogWriter() {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->ready.notify_all();
    const bool done = state_->idle.wait_for(lock, std::chrono::milliseconds(100),
                                            [this] { return state_->done; });
    lock.unlock();
    if (done) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // `line` ends with its newline.
  void write(std::string line) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->bytes + line.size() > state_->limit) {
        ++state_->dropped;
        ++state_->unreported;
        return;
      }
      state_->bytes += line.size();
      state_->lines.push_back(std::move(line));
    }
    state_->ready.notify_one();
  }

  std::uint64_t dropped() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ready, idle;
    std::deque<std::string> lines;
    std::size_t bytes = 0, limit = 0;
    std::uint64_t dropped = 0, unreported = 0;
    Sink sink;
    std::string what, where;
    bool stopping = false, done = false;
  };

  static void run(State& state) {
    for (;;) {
      std::deque<std::string> batch;
      std::uint64_t lost = 0;
      {
        std::unique_lock lock(state.mutex);
        state.ready.wait(
            lock, [&] { return !state.lines.empty() || state.unreported != 0 || state.stopping; });
        if (state.lines.empty() && state.unreported == 0) {
          state.done = true;
          state.idle.notify_all();
          return;
        }
        batch.swap(state.lines);
        state.bytes = 0;
        lost = std::exchange(state.unreported, 0);
      }
      for (const std::string& line : batch) state.sink(line);
      // The lines dropped came after those just written.
      if (lost != 0) {
        state.sink("qelmar serve: " + std::to_string(lost) + " " + state.what +
                   " dropped: " + state.where + " was not being read\n");
      }
    }
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace qelmar::bridge
