// SPDX-License-Identifier: MIT
#include "bridge/device_jobs.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "bridge/json_body.h"
#include "qelmar/host.h"

namespace qelmar::bridge {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

DeviceReply reply(const json& body) { return {200, dump(body), {}, {}, false}; }

DeviceReply failure(int status, const std::string& message) {
  return {status, dump(json{{"error", message}}), {}, message, false};
}

// Answered without a call: the client is told to come back rather than that
// the display failed.
DeviceReply expired(const Deadline& deadline) {
  DeviceReply r =
      failure(503, "the request waited too long: a frame could no longer go out within its " +
                       std::to_string(deadline.allowed.count()) + " ms; nothing was sent");
  r.refusal = "expired";
  r.retry_later = true;
  return r;
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, out.empty() ? "%02X" : " %02X", bytes[i]);
    out += cell;
  }
  return out;
}

// In the tool's words, from the same function.
json outcome_of(const qelmar_status& status) {
  const bool delivered = status.outcome == QELMAR_DELIVERED;
  json item{{"delivered", delivered}};
  if (!delivered) {
    char why[512];
    qelmar_describe(&status, why, sizeof why);
    item["why"] = why;
  }
  return item;
}

// A text that selects no frame, or that the encoder drops, says nothing of the
// line; any other failure does.
bool line_failed(qelmar_outcome outcome) {
  return outcome != QELMAR_DELIVERED && outcome != QELMAR_EMPTY &&
         outcome != QELMAR_NOTHING_TO_SEND && outcome != QELMAR_DROPPED;
}

void count(Metrics& metrics, int port, const qelmar_status& status, Clock::time_point start) {
  metrics.call(port, qelmar_outcome_name(status.outcome),
               std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace

std::string device_lane(int port) {
  char path[QELMAR_PATH_SIZE] = "";
  std::size_t length = 0;
  const qelmar_route route = qelmar_resolve_port(nullptr, port, path, sizeof path, &length);
  // A path cut short names some other file, or none.
  if (route != QELMAR_ROUTE_NONE && route != QELMAR_ROUTE_CONSOLE_SKIPPED && length < sizeof path) {
    // Links followed: /dev/com1 and the device it names are one line.
    std::error_code ec;
    const std::filesystem::path device = std::filesystem::canonical(path, ec);
    if (!ec) return "device " + device.string();
  }
  return "port " + std::to_string(port);
}

DeviceReply send_texts(Metrics& metrics, int port, const std::vector<std::string>& texts,
                       const Deadline& deadline) {
  if (deadline.no_room_for_a_call()) return expired(deadline);
  // Each text is encoded once here for its frame, and for the result of one
  // that is not sent.
  json results = json::array();
  std::vector<std::size_t> frame_bytes;
  for (const std::string& text : texts) {
    std::uint8_t frame[128];
    std::int32_t result = 0;
    const std::int32_t length =
        qelmar_encode(text.c_str(), frame, sizeof frame, &result, nullptr, 0);
    const auto bytes = static_cast<std::size_t>(std::max(length, 0));
    frame_bytes.push_back(bytes);
    results.push_back({{"result", result}, {"frame", hex(frame, std::min(bytes, sizeof frame))}});
  }
  // The texts go as one turn, so that no other call's frame, of this process
  // or another, comes between them: only those whose frames must have left by
  // the deadline, the first within a call's bound and each later one within
  // its own.
  auto last_frame_by = Clock::now() + std::chrono::milliseconds(QELMAR_CALL_BOUND_MS);
  std::size_t going = 0;
  bool first = true;
  while (going < texts.size() && going < QELMAR_MANY_MAX) {
    if (!first && frame_bytes[going] > 0) {
      last_frame_by += std::chrono::milliseconds(QELMAR_FRAME_BOUND_MS(frame_bytes[going]));
    }
    if (last_frame_by > deadline.at) break;
    first = first && frame_bytes[going] == 0;
    ++going;
  }
  std::vector<const char*> commands;
  for (std::size_t i = 0; i < going; ++i) commands.push_back(texts[i].c_str());
  std::vector<qelmar_status> statuses(std::max<std::size_t>(going, 1));
  QELMAR_STATUS_INIT(statuses.front());
  qelmar_send_many(port, commands.data(), static_cast<std::int32_t>(going), statuses.data());
  std::string skipped;  // why the texts from here on are not sent
  for (std::size_t i = 0; i < texts.size(); ++i) {
    json& item = results[i];
    if (skipped.empty() && i >= going) {
      skipped = "not sent: a frame could no longer go out within the request's " +
                std::to_string(deadline.allowed.count()) + " ms";
    }
    if (!skipped.empty()) {
      item.update(json{{"delivered", false}, {"skipped", true}, {"why", skipped}});
      continue;
    }
    const qelmar_status& status = statuses[i];
    item["result"] = status.result;
    metrics.call(port, qelmar_outcome_name(status.outcome), status.milliseconds / 1000.0);
    item.update(outcome_of(status));
    // The line that did not take this frame would not have taken the next.
    if (line_failed(status.outcome)) {
      skipped = "not sent: text " + std::to_string(i + 1) + " of the request did not go out (" +
                qelmar_outcome_name(status.outcome) + ")";
    }
  }
  return reply(json{{"port", port}, {"results", results}});
}

DeviceReply send_rc(Metrics& metrics, int port, std::int32_t a, std::int32_t b,
                    const Deadline& deadline) {
  if (deadline.no_room_for_a_call()) return expired(deadline);
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  const auto start = Clock::now();
  qelmar_send_rc(port, a, b, &status);
  count(metrics, port, status, start);
  std::uint8_t frame[3];
  const auto length = static_cast<std::size_t>(qelmar_rc_frame(a, b, frame, sizeof frame));
  json body{{"port", port}, {"frame", hex(frame, std::min(length, sizeof frame))}};
  body.update(outcome_of(status));
  return reply(body);
}

// The name can hold no '/', and a link is not followed out of the folder.
DeviceReply play_sound(const std::string& sounds_dir, const std::string& name,
                       const Deadline& deadline) {
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::path(sounds_dir) / name;
  if (sounds_dir.empty() ||
      !std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
    return failure(404, "no sound " + name);
  }
  if (deadline.passed()) return expired(deadline);
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  qelmar_play(path.string().c_str(), &status);
  const bool alert = status.outcome == QELMAR_ALERT_INSTEAD;
  json body{{"name", name},
            {"played", status.outcome == QELMAR_DELIVERED},
            {"format", status.sound_format},
            {"seconds", status.sound_seconds},
            {"ending", alert || status.outcome == QELMAR_DELIVERED ? "played" : status.reason}};
  if (alert) body["fallback"] = status.reason;
  return reply(body);
}

}  // namespace qelmar::bridge
