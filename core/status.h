// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "qelmar/host.h"

namespace qelmar {

// What became of one call: what the diagnostics log writes, the tool says and
// the host library hands its hosts. Fixed buffers only, so that filling it
// allocates nothing. It sits below the port and the sound code, which fill it.
// The outcomes are the host's, value for value (qelmar/outcomes.h).
#define QELMAR_CORE_OUTCOME(constant, value, name, words) name = value
#define QELMAR_CORE_COMMA ,
enum class Outcome : std::uint8_t { QELMAR_OUTCOMES(QELMAR_CORE_OUTCOME, QELMAR_CORE_COMMA) };
#undef QELMAR_CORE_OUTCOME
#undef QELMAR_CORE_COMMA

// The outcome whose value this is; nullopt for a value the list lacks.
std::optional<Outcome> outcome_of(long value) noexcept;

// What the outcome's description begins with; an unknown one's is unfilled's.
const char* outcome_words(Outcome outcome) noexcept;

struct CallStatus {
  const char* entry = "";
  std::int32_t port = 0;
  Outcome outcome = Outcome::unfilled;
  // Each device path tried, in order; as many and as long as the host's record has.
  char tried[std::extent_v<decltype(qelmar_status::tried)>][QELMAR_PATH_SIZE] = {};
  int tried_count = 0;
  // The group that owns the device, for no_permission.
  char group[sizeof(qelmar_status::group)] = {};
  long holder = 0;  // the process holding the port, where the system can tell
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
