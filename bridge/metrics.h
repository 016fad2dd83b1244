// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace qelmar::bridge {

// What a store's monitoring reads at GET /metrics, in Prometheus' text format
// (0.0.4). Written by hand: it is a few counters, and the format is plain.
class Metrics {
 public:
  void call(int port, const std::string& outcome, double seconds);
  void request(int status);
  void refusal(const std::string& reason);
  void connections(std::int64_t open);

  // The queue's depth and the log lines dropped are read when the text is made.
  std::string exposition(std::size_t queue_depth, std::uint64_t log_lines_dropped) const;

 private:
  static constexpr std::array<double, 10> bounds{0.005, 0.01, 0.025, 0.05, 0.1,
                                                 0.25,  0.5,  1.0,   2.5,  5.0};
  mutable std::mutex mutex_;
  std::map<std::pair<int, std::string>, std::uint64_t> calls_;
  std::array<std::uint64_t, bounds.size()> buckets_{};  // not cumulative here
  std::uint64_t duration_count_ = 0;
  double duration_sum_ = 0;
  std::map<int, std::uint64_t> requests_;
  std::map<std::string, std::uint64_t> refusals_;
  std::int64_t open_ = 0;
};

}  // namespace qelmar::bridge
