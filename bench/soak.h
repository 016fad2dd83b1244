// SPDX-License-Identifier: MIT
#pragma once

// What the soak run and its host processes agree on: which call a host makes
// next, the id its frame carries, and the record it reports the outcome in.

#include <array>
#include <cstdint>

namespace qelmar::soak {

// The bytes of a 0x12 frame's id: none is a frame's lead, an @ frame's mark or
// a digit code, so a frame cut short is never read as part of another.
inline constexpr std::uint8_t id_byte_first = 0x20;
inline constexpr int id_byte_count = 0xFD - 0x20;
// The first byte names the caller and its generation's parity: a host started
// in place of a killed one never shares its predecessor's stream.
inline constexpr int max_callers = id_byte_count / 2;

// What soak fills a stopped line with, so that calls meet a full line: no
// frame of a soak host holds it, and the line is raw, so it arrives as it is.
inline constexpr std::uint8_t filler_byte = 0x0A;

// An @ frame's id: generation (5 digits), thread (3), call number (9), check digit.
inline constexpr int id_digits = 18;
using Digits = std::array<std::uint8_t, id_digits>;

struct CallId {
  std::uint32_t gen = 0;  // one per host process started, from 1
  std::uint32_t thread = 0;
  std::uint32_t seq = 0;
};

// The call a host thread makes: even calls tavrc, odd ones tavdll with an @ frame.
struct Plan {
  int port = 0;
  bool rc = false;
  std::uint8_t a = 0, b = 0;
  char text[id_digits + 3] = {};
};

// The same for a host and for soak, which works out the call a killed host had
// in flight. `slot` is the host's place (0..processes-1).
Plan plan(const CallId& id, int slot, int threads, int ports);

std::uint8_t caller_byte(std::uint32_t gen, int slot, int threads, std::uint32_t thread);
std::uint8_t residue_byte(std::uint32_t seq);

Digits digits_of(const CallId& id);
// False when the check digit does not match: a mangled frame.
bool decode(const Digits& digits, CallId& id);

// One call as its host saw it, written whole to the report pipe (well under
// PIPE_BUF, so a killed host leaves whole records only).
struct Record {
  std::uint32_t gen = 0;
  std::uint32_t thread = 0;
  std::uint32_t seq = 0;
  std::uint8_t outcome = 0;  // qelmar::Outcome, host_killed or child_hung
  std::uint8_t port = 0;
  std::uint8_t flags = 0;   // made_by_child, log_slept
  std::uint8_t log_ms = 0;  // what its log line took, in whole ms rounded up, 255 at most
  std::int64_t start_ns = 0;
  std::int64_t end_ns = 0;
};
static_assert(sizeof(Record) == 32);

// Written by soak after a killed host's last record.
inline constexpr std::uint8_t host_killed = 0xFF;
inline constexpr std::uint8_t made_by_child = 1;  // a child the host forked for the call
inline constexpr std::uint8_t log_slept = 2;      // the log line put its thread to sleep

// Written by a host whose forked child did not finish its call in time.
inline constexpr std::uint8_t child_hung = 0xFE;

// CLOCK_MONOTONIC: the same clock in every process.
std::int64_t now_ns();

// A host process: `threads` threads calling until its standard input ends,
// each call reported on descriptor 3, and logged when QELMAR_LOG is set. A
// thread hands every `fork_every`th call (0: none) to a child it forks.
int run_host(std::uint32_t gen, int slot, int threads, int ports, int fork_every);

// `soak --check`: the bookkeeping against made-up lines.
int run_checks();

}  // namespace qelmar::soak
