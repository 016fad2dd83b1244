// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelmar {

// What became of one call: what the diagnostics log writes, the tool says and
// the host library hands its hosts. Fixed buffers only, so that filling it
// allocates nothing. It sits below the port and the sound code, which fill it.
enum class Outcome : std::uint8_t {
  unfilled,         // no call has filled it in
  delivered,        // the frame left whole, or the sound played
  empty,            // an empty text: the port is not opened
  nothing_to_send,  // the text selects no frame
  dropped,          // the encoder dropped the command (see reason)
  not_found,        // no such device
  no_permission,    // see group
  busy,             // held by another call or program to the end of the wait (see holder)
  not_a_tty,
  not_configured,  // the line settings could not be applied
  stuck,           // the line did not take the frame by the deadline
  behind_held_up,  // queued behind a call that was held up, so not tried
};

struct CallStatus {
  const char* entry = "";
  std::int32_t port = 0;
  Outcome outcome = Outcome::unfilled;
  char tried[2][1024] = {};  // each device path tried, in order
  int tried_count = 0;
  char group[64] = {};  // the group that owns the device, for no_permission
  long holder = 0;      // the process holding the port, where the system can tell
  // Why the encoder dropped the command, why no device was tried, or why a
  // busy call sent nothing when no holder is known (its time ran out).
  const char* reason = "";
  std::size_t frame = 0;  // bytes in the frame
  std::size_t sent = 0;   // bytes that left
  double milliseconds = 0;

  bool sent_whole() const { return outcome == Outcome::delivered; }
};

// The path tried, kept for the report.
void note_tried(CallStatus* status, const char* path);

// The outcome in words, without a newline: "delivered 6 bytes in 25.0 ms".
// Returns the length written (at most size - 1).
std::size_t describe(const CallStatus& status, char* out, std::size_t size);

}  // namespace qelmar
