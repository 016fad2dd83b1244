// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/metrics.h"
#include "qelmar/host.h"

namespace qelmar::bridge {

// What the workers do with a request that reached them: the library's calls,
// each made in time or not at all, and what became of each as JSON.

// A request's deadline: it was read `allowed` before `at`. Past it nothing of
// the request is handed to the library, so that no frame a client has given
// up on reaches the display late.
struct Deadline {
  std::chrono::steady_clock::time_point at;
  std::chrono::milliseconds allowed;

  static Deadline from_now(std::chrono::milliseconds allowed) {
    return {std::chrono::steady_clock::now() + allowed, allowed};
  }
  bool passed() const { return std::chrono::steady_clock::now() >= at; }
  // Whether a send handed over now could still put its frame out after the
  // deadline: the library's bound runs from the call's start.
  bool no_room_for_a_call() const {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(QELMAR_CALL_BOUND_MS) > at;
  }
};

// What a job answers, as the handlers' answers without the HTTP.
struct DeviceReply {
  int status = 200;
  std::string body;          // JSON
  std::string refusal;       // the reason metrics count, or ""
  std::string message;       // an error's words, for the log
  bool retry_later = false;  // a 503 that says Retry-After
};

// The queue's lane for a port's calls: the device it leads to now, so that
// two numbers linked to one device take turns together. A port that leads to
// no device keeps a lane of its own number.
std::string device_lane(int port);

// The texts in order as one turn on the port (no other call's frame comes
// between them), up to the first that does not go out: the line that did not
// take one will not take the next in time either, and a request costs a
// worker one call's wait at most, not one per text. Only texts whose frames
// must leave by the deadline go (QELMAR_CALL_BOUND_MS, QELMAR_FRAME_BOUND_MS).
// The rest are answered as skipped, with why.
DeviceReply send_texts(Metrics& metrics, int port, const std::vector<std::string>& texts,
                       const Deadline& deadline);
DeviceReply send_rc(Metrics& metrics, int port, std::int32_t a, std::int32_t b,
                    const Deadline& deadline);
// Only a regular file directly in `sounds_dir`.
DeviceReply play_sound(const std::string& sounds_dir, const std::string& name,
                       const Deadline& deadline);

}  // namespace qelmar::bridge
