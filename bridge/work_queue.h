#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qelmar::bridge {

// A fixed set of workers behind a queue of fixed length. A job that finds the
// queue full is refused at once, never waited for: the caller answers 503.
class WorkQueue {
 public:
  WorkQueue(std::size_t workers, std::size_t limit) : limit_(limit) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~WorkQueue() { stop(); }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  bool push(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || waiting_.size() >= limit_) return false;
      waiting_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
  }

  std::size_t depth() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }

  // Drops what waits; jobs already running finish. Returns whether they did
  // within `patience`; the workers are joined when they have.
  template <class Duration>
  bool stop_within(Duration patience) {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    waiting_.clear();
    ready_.notify_all();
    return idle_.wait_for(lock, patience, [&] { return running_ == 0; });
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      waiting_.clear();
    }
    ready_.notify_all();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !waiting_.empty() || stopping_; });
        if (stopping_) return;
        job = std::move(waiting_.front());
        waiting_.pop_front();
        ++running_;
      }
      job();
      {
        std::lock_guard lock(mutex_);
        --running_;
      }
      idle_.notify_all();
    }
  }

  std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_, idle_;
  std::deque<std::function<void()>> waiting_;
  std::size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qelmar::bridge
