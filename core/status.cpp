// SPDX-License-Identifier: MIT
#include "core/status.h"

#include <cstdio>

namespace qelmar {

void note_tried(CallStatus* status, const char* path) {
  if (status == nullptr || status->tried_count >= 2) return;
  std::snprintf(status->tried[status->tried_count++], sizeof status->tried[0], "%s", path);
}

namespace {

// "1 byte", "0 bytes", "6 bytes": the word as the count before it takes it.
const char* bytes_word(std::size_t count) { return count == 1 ? "byte" : "bytes"; }

}  // namespace

std::size_t describe(const CallStatus& s, char* out, std::size_t size) {
  int n = 0;
  switch (s.outcome) {
    case Outcome::unfilled:
      n = std::snprintf(out, size, "unknown: no call has filled this status");
      break;
    case Outcome::delivered:
      n = std::snprintf(out, size, "delivered %zu %s in %.1f ms", s.frame, bytes_word(s.frame),
                        s.milliseconds);
      break;
    case Outcome::empty:
      n = std::snprintf(out, size, "nothing to send: the text is empty, the port was not opened");
      break;
    case Outcome::nothing_to_send:
      n = std::snprintf(out, size, "nothing to send: the text selects no frame");
      break;
    case Outcome::dropped:
      n = std::snprintf(out, size, "not sent: the command was dropped (%s)", s.reason);
      break;
    case Outcome::not_found:
      n = s.reason[0] != '\0' ? std::snprintf(out, size, "not sent: no such device (%s)", s.reason)
                              : std::snprintf(out, size, "not sent: no such device");
      break;
    case Outcome::no_permission:
      n = std::snprintf(out, size, "not sent: permission denied (the device belongs to group %s)",
                        s.group[0] != '\0' ? s.group : "?");
      break;
    case Outcome::busy:
      if (s.holder != 0) {
        n = std::snprintf(out, size, "not sent: busy (held by process %ld)", s.holder);
      } else if (s.reason[0] != '\0') {
        n = std::snprintf(out, size, "not sent: busy (%s)", s.reason);
      } else {
        n = std::snprintf(out, size, "not sent: busy (held by another program)");
      }
      break;
    case Outcome::not_a_tty:
      n = std::snprintf(out, size, "not sent: not a tty");
      break;
    case Outcome::not_configured:
      n = std::snprintf(out, size, "not sent: configuring the line failed");
      break;
    case Outcome::stuck:
      n = std::snprintf(out, size,
                        "not sent: the line was stuck (%zu of %zu %s discarded at the deadline)",
                        s.frame - s.sent, s.frame, bytes_word(s.frame));
      break;
    case Outcome::behind_held_up:
      n = std::snprintf(out, size, "not sent: queued behind a call that was held up");
      break;
  }
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

}  // namespace qelmar
