// SPDX-License-Identifier: MIT
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
//
// Jobs come in lanes (a display port each): a lane runs one job at a time, in
// the order they came, and a worker only takes a job whose lane is free. A
// stalled port thus holds one worker, never all of them, and what waits for
// another port goes ahead of it. Lane 0 is for jobs that need no turn.
class WorkQueue {
 public:
  WorkQueue(std::size_t workers, std::size_t limit, std::size_t lanes)
      : limit_(limit), lanes_(lanes) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~WorkQueue() { stop(); }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // False when the queue is full or stopping, or there is no such lane.
  bool push(std::size_t lane, std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || waiting_ >= limit_ || lane >= lanes_.size()) return false;
      Lane& l = lanes_[lane];
      l.jobs.push_back(std::move(job));
      ++waiting_;
      // Lane 0 is listed once for each of its jobs; another lane once, while free.
      if (lane == 0 || (!l.busy && !l.listed)) {
        ready_lanes_.push_back(lane);
        l.listed = lane != 0;
      }
    }
    ready_.notify_one();
    return true;
  }

  std::size_t depth() const {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

  // Drops what waits; jobs already running finish. Returns whether they did
  // within `patience`; the workers are joined when they have.
  template <class Duration>
  bool stop_within(Duration patience) {
    std::unique_lock lock(mutex_);
    drop_waiting();
    ready_.notify_all();
    return idle_.wait_for(lock, patience, [&] { return running_ == 0; });
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      drop_waiting();
    }
    ready_.notify_all();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  struct Lane {
    std::deque<std::function<void()>> jobs;
    bool busy = false;    // one of its jobs is running
    bool listed = false;  // in ready_lanes_
  };

  void drop_waiting() {
    stopping_ = true;
    for (Lane& l : lanes_) {
      l.jobs.clear();
      l.listed = false;
    }
    ready_lanes_.clear();
    waiting_ = 0;
  }

  void work() {
    for (;;) {
      std::function<void()> job;
      std::size_t lane = 0;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !ready_lanes_.empty() || stopping_; });
        if (stopping_) return;
        lane = ready_lanes_.front();
        ready_lanes_.pop_front();
        Lane& l = lanes_[lane];
        job = std::move(l.jobs.front());
        l.jobs.pop_front();
        l.listed = false;
        l.busy = lane != 0;
        --waiting_;
        ++running_;
      }
      job();
      bool more = false;
      {
        std::lock_guard lock(mutex_);
        --running_;
        Lane& l = lanes_[lane];
        l.busy = false;
        // Behind the lanes already waiting, so that a busy port does not keep
        // a worker to itself.
        if (lane != 0 && !l.jobs.empty() && !stopping_) {
          ready_lanes_.push_back(lane);
          l.listed = true;
          more = true;
        }
      }
      if (more) ready_.notify_one();
      idle_.notify_all();
    }
  }

  std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_, idle_;
  std::vector<Lane> lanes_;
  std::deque<std::size_t> ready_lanes_;  // lanes with a job waiting and none running
  std::size_t waiting_ = 0;
  std::size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qelmar::bridge
