// SPDX-License-Identifier: MIT
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qelmar::bridge {

// A fixed set of workers behind a queue of fixed length. A job that finds the
// queue full is refused at once, never waited for: the caller answers 503.
//
// Jobs come in lanes (a display device each): a lane runs one job at a time,
// in the order they came, and a worker only takes a job whose lane is free. A
// stalled device thus holds one worker, never all of them, and what waits for
// another device goes ahead of it. A lane may fill only its share of the
// queue, so that one stalled device cannot take every place either. The lane
// "" is for jobs that need no turn: any number of them run at once.
class WorkQueue {
 public:
  enum class Pushed { queued, full, lane_full, stopping };

  WorkQueue(std::size_t workers, std::size_t limit, std::size_t lane_limit)
      : limit_(limit), lane_limit_(lane_limit) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~WorkQueue() { stop(); }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  Pushed push(const std::string& lane, std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return Pushed::stopping;
      if (waiting_ >= limit_) return Pushed::full;
      Lane& l = lanes_[lane];
      if (l.jobs.size() >= lane_limit_) {
        forget_if_idle(lane);
        return Pushed::lane_full;
      }
      l.jobs.push_back(std::move(job));
      ++waiting_;
      // "" is listed once for each of its jobs; another lane once, while free.
      if (lane.empty() || (!l.busy && !l.listed)) {
        ready_lanes_.push_back(lane);
        l.listed = !lane.empty();
      }
    }
    ready_.notify_one();
    return Pushed::queued;
  }

  std::size_t depth() const {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

  std::size_t lane_limit() const { return lane_limit_; }

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

  // A lane lives while it has a job waiting or running: devices come and go,
  // and the map stays as small as what is queued.
  void forget_if_idle(const std::string& lane) {
    const auto found = lanes_.find(lane);
    if (found != lanes_.end() && found->second.jobs.empty() && !found->second.busy)
      lanes_.erase(found);
  }

  void drop_waiting() {
    stopping_ = true;
    for (auto it = lanes_.begin(); it != lanes_.end();) {
      it->second.jobs.clear();
      it->second.listed = false;
      it = it->second.busy ? std::next(it) : lanes_.erase(it);
    }
    ready_lanes_.clear();
    waiting_ = 0;
  }

  void work() {
    for (;;) {
      std::function<void()> job;
      std::string lane;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !ready_lanes_.empty() || stopping_; });
        if (stopping_) return;
        lane = std::move(ready_lanes_.front());
        ready_lanes_.pop_front();
        Lane& l = lanes_[lane];
        job = std::move(l.jobs.front());
        l.jobs.pop_front();
        l.listed = false;
        l.busy = !lane.empty();
        --waiting_;
        ++running_;
        forget_if_idle(lane);
      }
      job();
      bool more = false;
      {
        std::lock_guard lock(mutex_);
        --running_;
        if (!lane.empty()) {
          Lane& l = lanes_[lane];
          l.busy = false;
          // Behind the lanes already waiting, so that a busy device does not
          // keep a worker to itself.
          if (!l.jobs.empty() && !stopping_) {
            ready_lanes_.push_back(lane);
            l.listed = true;
            more = true;
          }
          forget_if_idle(lane);
        }
      }
      if (more) ready_.notify_one();
      idle_.notify_all();
    }
  }

  std::size_t limit_, lane_limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_, idle_;
  std::map<std::string, Lane> lanes_;
  std::deque<std::string> ready_lanes_;  // lanes with a job waiting and none running
  std::size_t waiting_ = 0;
  std::size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qelmar::bridge
