// SPDX-License-Identifier: MIT
#pragma once

// Soak's books: every call's reported outcome against the frames that arrived
// on its port, so that each delivered call is seen to arrive exactly once and
// whole, and anything else on a line is explained by a give-up.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "bench/soak.h"
#include "core/status.h"

namespace qelmar::soak {

// Outcomes by their value; a call's state keeps its outcome + 1 in four bits.
inline constexpr std::size_t outcome_count = 15;
static_assert(static_cast<std::size_t>(Outcome::behind_held_up) < outcome_count);

struct Summary {
  std::uint64_t calls = 0;  // reported, and in flight when their host was killed
  std::array<std::uint64_t, outcome_count> by_outcome{};
  std::array<std::uint64_t, outcome_count> without_fault{};  // give-ups with no fault on the port
  std::uint64_t in_flight = 0, in_flight_arrived = 0;        // calls of killed hosts
  std::uint64_t delivered_whole = 0;                         // told delivered, arrived whole once
  std::uint64_t stuck_arrived = 0;                           // told stuck, yet arrived whole
  std::uint64_t fragments = 0;            // bytes that made no whole frame, in runs
  std::uint64_t fragments_explained = 0;  // up to one per stuck or killed call on the port
  // Faults of the library, each counted once:
  std::uint64_t lost = 0;        // told delivered, never arrived
  std::uint64_t duplicated = 0;  // extra copies of a frame
  std::uint64_t mangled = 0;     // fragments beyond those the give-ups explain
  std::uint64_t phantom = 0;     // arrived though told not sent (neither delivered nor stuck)
  std::uint64_t unknown = 0;     // whole frames that no call made
  double longest_ms = 0;
  std::uint8_t longest_outcome = 0;
  int longest_port = 0;
  std::uint64_t over_one_second = 0, over_one_second_calm = 0;  // calm: no fault on the port

  std::uint64_t faults() const { return lost + duplicated + mangled + phantom + unknown; }
};

class Ledger {
 public:
  Ledger(int threads, int ports);

  // A host about to start in `slot`: its generation. A host's successor in its
  // slot takes the other parity, which its 0x12 frames carry, so that frames its
  // predecessor left on a stopped line are told apart.
  std::uint32_t host_started(int slot);
  // One call's report; `fault` when a fault was on its port while it lasted.
  void report(const Record& record, bool fault);
  // After the killed host's last report: its threads' next calls were in flight.
  void host_killed(std::uint32_t gen);

  void rc_frame(int port, std::uint8_t a, std::uint8_t b);
  void id_frame(int port, const Digits& digits);
  void fragment(int port);

  // Once every report and every byte is in.
  Summary finish();

 private:
  struct Thread {
    std::vector<std::uint8_t> calls;  // per call: outcome + 1 (0: none yet), times seen << 4
    std::uint32_t reported = 0;       // calls reported so far
  };
  struct Host {
    int slot = -1;
    bool killed = false;
    std::vector<Thread> threads;
  };
  struct Pending {
    CallId id;
    std::uint8_t residue = 0;
    bool delivered = false;  // else stuck, or in flight when its host was killed
  };
  // One caller's 0x12 frames on one port, in line order, and its calls that wrote
  // to that port, in call order: matched by their second byte.
  struct Stream {
    std::deque<Pending> calls;
    std::deque<std::uint8_t> frames;
    int last_matched = -1;
  };

  Host* host(std::uint32_t gen);
  Stream& stream(int port, std::uint8_t a);
  void seen(const CallId& id);
  void match(Stream& s);
  void settle(Summary& summary) const;

  std::mutex mutex_;
  int threads_;
  int ports_;
  std::vector<Host> hosts_;            // by generation - 1
  std::vector<std::uint32_t> latest_;  // by slot
  std::vector<Stream> streams_;
  std::vector<std::uint64_t> fragments_, explained_;  // per port
  Summary summary_;
};

// Splits one port's bytes into 0x12 frames and @ frames; a run of bytes that
// makes no whole frame (a frame cut short by a stuck line) is one fragment.
class LineParser {
 public:
  LineParser(Ledger& ledger, int port) : ledger_(&ledger), port_(port) {}
  void feed(const std::uint8_t* bytes, std::size_t size);
  // At the end of the run: what is left is whole or a fragment.
  void end();

 private:
  enum class State : std::uint8_t { idle, rc, digits, closed, stray };
  void take(std::uint8_t byte);
  void broken(std::uint8_t byte);

  Ledger* ledger_;
  int port_;
  State state_ = State::idle;
  std::array<std::uint8_t, 2> rc_{};
  Digits digits_{};
  int count_ = 0;
};

const char* outcome_name(std::uint8_t outcome);

}  // namespace qelmar::soak
