// SPDX-License-Identifier: MIT
#include "bridge/metrics.h"

#include <cstdio>

namespace qelmar::bridge {

namespace {

// Shortest exact form: Prometheus reads any float.
std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string bound(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

void head(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void Metrics::call(int port, const std::string& outcome, double seconds) {
  std::lock_guard lock(mutex_);
  ++calls_[{port, outcome}];
  std::size_t i = 0;
  while (i < bounds.size() && seconds > bounds[i]) ++i;
  if (i < bounds.size()) ++buckets_[i];
  ++duration_count_;
  duration_sum_ += seconds;
}

void Metrics::request(int status) {
  std::lock_guard lock(mutex_);
  ++requests_[status];
}

void Metrics::refusal(const std::string& reason) {
  std::lock_guard lock(mutex_);
  ++refusals_[reason];
}

void Metrics::connections(std::int64_t open) {
  std::lock_guard lock(mutex_);
  open_ = open;
}

std::string Metrics::exposition(std::size_t queue_depth, std::uint64_t log_lines_dropped) const {
  std::lock_guard lock(mutex_);
  std::string out;
  head(out, "qelmar_bridge_calls_total", "counter", "Display calls by port and outcome.");
  for (const auto& [key, n] : calls_) {
    out += "qelmar_bridge_calls_total{port=\"" + std::to_string(key.first) + "\",outcome=\"" +
           key.second + "\"} " + std::to_string(n) + "\n";
  }
  head(out, "qelmar_bridge_call_duration_seconds", "histogram",
       "Time of a display call, its wait for the port included.");
  std::uint64_t below = 0;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    below += buckets_[i];
    out += "qelmar_bridge_call_duration_seconds_bucket{le=\"" + bound(bounds[i]) + "\"} " +
           std::to_string(below) + "\n";
  }
  out += "qelmar_bridge_call_duration_seconds_bucket{le=\"+Inf\"} " +
         std::to_string(duration_count_) + "\n";
  out += "qelmar_bridge_call_duration_seconds_sum " + number(duration_sum_) + "\n";
  out += "qelmar_bridge_call_duration_seconds_count " + std::to_string(duration_count_) + "\n";
  head(out, "qelmar_bridge_requests_total", "counter", "Requests answered, by status.");
  for (const auto& [status, n] : requests_) {
    out += "qelmar_bridge_requests_total{status=\"" + std::to_string(status) + "\"} " +
           std::to_string(n) + "\n";
  }
  head(out, "qelmar_bridge_refusals_total", "counter",
       "Requests refused or cut before they were read whole, by reason.");
  for (const auto& [reason, n] : refusals_) {
    out += "qelmar_bridge_refusals_total{reason=\"" + reason + "\"} " + std::to_string(n) + "\n";
  }
  head(out, "qelmar_bridge_open_connections", "gauge", "Connections open now.");
  out += "qelmar_bridge_open_connections " + std::to_string(open_) + "\n";
  head(out, "qelmar_bridge_queue_depth", "gauge", "Requests waiting for a display worker.");
  out += "qelmar_bridge_queue_depth " + std::to_string(queue_depth) + "\n";
  head(out, "qelmar_bridge_log_lines_dropped_total", "counter",
       "Request log lines dropped while stderr was not being read.");
  out += "qelmar_bridge_log_lines_dropped_total " + std::to_string(log_lines_dropped) + "\n";
  return out;
}

}  // namespace qelmar::bridge
