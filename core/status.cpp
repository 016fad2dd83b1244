// SPDX-License-Identifier: MIT
#include "core/status.h"

#include <cstdio>
#include <iterator>

namespace qelmar {
namespace {

// Each outcome with its words, as the list has them.
struct Entry {
  Outcome outcome;
  const char* words;
};
#define QELMAR_CORE_ENTRY(constant, value, name, words) \
  Entry { Outcome::name, words }
#define QELMAR_CORE_COMMA ,
constexpr Entry outcomes[] = {QELMAR_OUTCOMES(QELMAR_CORE_ENTRY, QELMAR_CORE_COMMA)};
#undef QELMAR_CORE_ENTRY
#undef QELMAR_CORE_COMMA

const Entry* entry_of(long value) noexcept {
  for (const Entry& e : outcomes) {
    if (static_cast<long>(e.outcome) == value) return &e;
  }
  return nullptr;
}

}  // namespace

std::optional<Outcome> outcome_of(long value) noexcept {
  const Entry* e = entry_of(value);
  return e != nullptr ? std::optional<Outcome>(e->outcome) : std::nullopt;
}

const char* outcome_words(Outcome outcome) noexcept {
  const Entry* e = entry_of(static_cast<long>(outcome));
  return e != nullptr ? e->words : outcomes[0].words;
}

void note_tried(CallStatus* status, const char* path) {
  if (status == nullptr || status->tried_count >= static_cast<int>(std::size(status->tried))) {
    return;
  }
  // A longer path is noted cut short: the note is for the report only.
  char* note = status->tried[status->tried_count++];
  if (std::snprintf(note, sizeof status->tried[0], "%s", path) < 0) note[0] = '\0';
}

namespace {

// "1 byte", "0 bytes", "6 bytes": the word as the count before it takes it.
const char* bytes_word(std::size_t count) { return count == 1 ? "byte" : "bytes"; }

}  // namespace

std::size_t describe(const CallStatus& s, char* out, std::size_t size) {
  const char* words = outcome_words(s.outcome);
  // The outcome's words, then what this call adds to them.
  int n = 0;
  switch (s.outcome) {
    case Outcome::delivered:
      n = std::snprintf(out, size, "%s %zu %s in %.1f ms", words, s.frame, bytes_word(s.frame),
                        s.milliseconds);
      break;
    case Outcome::dropped:
      n = std::snprintf(out, size, "%s (%s)", words, s.reason);
      break;
    case Outcome::not_found:
      n = s.reason[0] != '\0' ? std::snprintf(out, size, "%s (%s)", words, s.reason)
                              : std::snprintf(out, size, "%s", words);
      break;
    case Outcome::no_permission:
      n = std::snprintf(out, size, "%s (the device belongs to group %s)", words,
                        s.group[0] != '\0' ? s.group : "?");
      break;
    case Outcome::busy:
      if (s.holder != 0) {
        n = std::snprintf(out, size, "%s (held by process %ld)", words, s.holder);
      } else if (s.reason[0] != '\0') {
        n = std::snprintf(out, size, "%s (%s)", words, s.reason);
      } else {
        n = std::snprintf(out, size, "%s (held by another program)", words);
      }
      break;
    case Outcome::stuck:
      n = std::snprintf(out, size, "%s (%zu of %zu %s discarded at the deadline)", words,
                        s.frame - s.sent, s.frame, bytes_word(s.frame));
      break;
    case Outcome::alert_instead:
    case Outcome::not_played:
    case Outcome::bad_file:
      // A sound's own words come with its status; here, only what it says why.
      n = s.reason[0] != '\0' ? std::snprintf(out, size, "%s (%s)", words, s.reason)
                              : std::snprintf(out, size, "%s", words);
      break;
    default:
      n = std::snprintf(out, size, "%s", words);
      break;
  }
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

}  // namespace qelmar
