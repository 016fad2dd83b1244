// SPDX-License-Identifier: MIT
// `soak --check`: the books against made-up lines, so that a soak run's zero
// means no frame went astray, not that the books could not tell.
#include <cstdio>
#include <functional>
#include <vector>

#include "bench/soak.h"
#include "bench/soak_ledger.h"
#include "encoder/protocol.h"

namespace qelmar::soak {
namespace {

constexpr int threads = 2;

// One port, so that every call's frame shares a line with the others.
struct Bench {
  Ledger ledger{threads, 1};
  LineParser line{ledger, 1};
  Bench() { ledger.host_started(0); }

  static std::vector<std::uint8_t> bytes(const CallId& id, int slot) {
    const Plan p = plan(id, slot, threads, 1);
    if (p.rc) return {rc_lead, p.a, p.b};
    std::vector<std::uint8_t> frame{digit_string_mark};
    for (const std::uint8_t d : digits_of(id)) frame.push_back(d);
    frame.push_back(digit_string_mark);
    return frame;
  }
  // The first `cut` bytes of the call's frame (all by default) reach the line.
  void frame(const CallId& id, std::size_t cut = 99, int slot = 0) {
    const std::vector<std::uint8_t> b = bytes(id, slot);
    line.feed(b.data(), std::min(cut, b.size()));
  }
  void told(const CallId& id, Outcome outcome) {
    Record r{id.gen, id.thread, id.seq, static_cast<std::uint8_t>(outcome), 1, 0, 0, 0, 1};
    ledger.report(r, true);
  }
  void both(const CallId& id) {
    frame(id);
    told(id, Outcome::delivered);
  }
};

struct Expect {
  std::uint64_t delivered = 0, lost = 0, duplicated = 0, mangled = 0, phantom = 0, unknown = 0;
  std::uint64_t in_flight = 0, in_flight_arrived = 0, fragments = 0;
};

struct Case {
  const char* name;
  std::function<void(Bench&)> steps;
  Expect expect;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"whole frames of both kinds, once each",
       [](Bench& b) {
         for (std::uint32_t seq = 0; seq < 4; ++seq) b.both({1, seq % 2, seq});
       },
       {.delivered = 4}},
      {"frames told delivered that never arrive",
       [](Bench& b) {
         b.told({1, 0, 0}, Outcome::delivered);
         b.told({1, 0, 1}, Outcome::delivered);
         b.both({1, 0, 2});
       },
       {.delivered = 1, .lost = 2}},
      {"an @ frame twice",
       [](Bench& b) {
         b.both({1, 0, 1});
         b.frame({1, 0, 1});
       },
       {.delivered = 1, .duplicated = 1}},
      {"a 0x12 frame twice, between later calls",
       [](Bench& b) {
         b.both({1, 0, 0});
         b.frame({1, 0, 0});
         b.both({1, 0, 2});
       },
       {.delivered = 2, .duplicated = 1}},
      {"a 0x12 frame read before its report",
       [](Bench& b) {
         b.frame({1, 0, 0});
         b.frame({1, 0, 2});
         b.told({1, 0, 0}, Outcome::delivered);
         b.told({1, 0, 2}, Outcome::delivered);
       },
       {.delivered = 2}},
      {"stuck calls cut short, then whole frames",
       [](Bench& b) {
         b.frame({1, 0, 0}, 2);
         b.told({1, 0, 0}, Outcome::stuck);
         b.frame({1, 0, 1}, 7);
         b.told({1, 0, 1}, Outcome::stuck);
         b.both({1, 0, 2});
         b.both({1, 0, 3});
       },
       {.delivered = 2, .fragments = 2}},
      {"a stuck @ frame cut before its closing mark, then another",
       [](Bench& b) {
         b.frame({1, 0, 1}, id_digits + 1);
         b.told({1, 0, 1}, Outcome::stuck);
         b.both({1, 1, 1});
         b.both({1, 0, 3});
       },
       {.delivered = 2, .fragments = 1}},
      {"a stopped line's filler, and a cut frame before it",
       [](Bench& b) {
         const std::uint8_t filler[] = {filler_byte, filler_byte, filler_byte};
         b.line.feed(filler, sizeof filler);
         b.both({1, 0, 0});
         b.frame({1, 0, 1}, 4);
         b.told({1, 0, 1}, Outcome::stuck);
         b.line.feed(filler, sizeof filler);
         b.both({1, 0, 2});
       },
       {.delivered = 2, .fragments = 1}},
      {"an @ frame with a digit too many",
       [](Bench& b) {
         std::vector<std::uint8_t> longer = Bench::bytes({1, 0, 1}, 0);
         longer.insert(longer.begin() + 1, 1);
         b.line.feed(longer.data(), longer.size());
         b.told({1, 0, 1}, Outcome::delivered);
         b.both({1, 0, 3});
       },
       {.delivered = 1, .lost = 1, .mangled = 1, .fragments = 1}},
      {"a frame cut short that no give-up explains",
       [](Bench& b) {
         b.frame({1, 0, 1}, 5);
         b.told({1, 0, 1}, Outcome::delivered);
         b.both({1, 0, 2});
       },
       {.delivered = 1, .lost = 1, .mangled = 1, .fragments = 1}},
      {"two @ frames interleaved",
       [](Bench& b) {
         const std::vector<std::uint8_t> first = Bench::bytes({1, 0, 1}, 0);
         b.line.feed(first.data(), 10);
         b.frame({1, 1, 1});
         b.line.feed(first.data() + 10, first.size() - 10);
         b.told({1, 0, 1}, Outcome::delivered);
         b.told({1, 1, 1}, Outcome::delivered);
         b.line.end();
       },
       {.lost = 2, .mangled = 4, .fragments = 4}},
      // A 0x12 frame is matched among the calls that wrote: one told not sent is no call's.
      {"a frame of a call told busy, and one told not found",
       [](Bench& b) {
         b.frame({1, 0, 0});
         b.told({1, 0, 0}, Outcome::busy);
         b.frame({1, 0, 1});
         b.told({1, 0, 1}, Outcome::not_found);
       },
       {.phantom = 1, .unknown = 1}},
      {"frames no call made",
       [](Bench& b) {
         b.both({1, 0, 0});
         b.frame({1, 0, 3});  // never reported, and its host lives on
         b.frame({7, 0, 1});  // no such host
         Digits d = digits_of({1, 1, 1});
         d[3] = static_cast<std::uint8_t>((d[3] + 1) % 10);  // a mangled id
         const std::uint8_t mark = digit_string_mark;
         b.line.feed(&mark, 1);
         b.line.feed(d.data(), d.size());
         b.line.feed(&mark, 1);
         b.line.end();
       },
       {.delivered = 1, .mangled = 1, .unknown = 2, .fragments = 1}},
      {"calls in flight when their host was killed, arrived, cut or not",
       [](Bench& b) {
         b.both({1, 0, 0});
         b.frame({1, 0, 1});
         b.frame({1, 1, 0}, 2);
         b.ledger.host_killed(1);
         b.ledger.host_started(0);
         b.both({2, 0, 0});
       },
       {.delivered = 2, .in_flight = 2, .in_flight_arrived = 1, .fragments = 1}},
      {"a killed host's frames read after its successor started",
       [](Bench& b) {
         b.ledger.host_started(1);  // host 2, in the second slot
         b.told({1, 0, 0}, Outcome::delivered);
         b.told({1, 0, 2}, Outcome::delivered);
         b.ledger.host_killed(1);
         const std::uint32_t successor = b.ledger.host_started(0);
         b.both({successor, 0, 0});
         b.frame({1, 0, 0});
         b.frame({1, 0, 2});
       },
       {.delivered = 3, .in_flight = 2}},
      {"a killed host's lost frame in flight, and its successor's with the same bytes",
       [](Bench& b) {
         // Call 442 is the first after 0 whose 0x12 frame repeats call 0's second byte.
         for (std::uint32_t seq = 0; seq < 442; ++seq) b.told({1, 0, seq}, Outcome::not_found);
         b.ledger.host_killed(1);
         b.ledger.host_started(0);
         b.ledger.host_killed(2);
         b.ledger.host_started(0);
         b.both({3, 0, 0});
       },
       {.delivered = 1, .in_flight = 4}},
  };
  return table;
}

bool check(const Case& c) {
  Bench bench;
  c.steps(bench);
  bench.line.end();
  const Summary s = bench.ledger.finish();
  const Expect& e = c.expect;
  const std::uint64_t got[] = {s.delivered_whole, s.lost,    s.duplicated, s.mangled,
                               s.phantom,         s.unknown, s.in_flight,  s.in_flight_arrived,
                               s.fragments};
  const std::uint64_t want[] = {e.delivered, e.lost,    e.duplicated, e.mangled,
                                e.phantom,   e.unknown, e.in_flight,  e.in_flight_arrived,
                                e.fragments};
  const char* names[] = {"delivered", "lost",      "duplicated",        "mangled",  "phantom",
                         "unknown",   "in flight", "in flight arrived", "fragments"};
  bool ok = true;
  for (std::size_t i = 0; i < std::size(got); ++i) {
    if (got[i] == want[i]) continue;
    std::printf("FAILED: %s: %s %llu, want %llu\n", c.name, names[i],
                static_cast<unsigned long long>(got[i]), static_cast<unsigned long long>(want[i]));
    ok = false;
  }
  return ok;
}

}  // namespace

int run_checks() {
  int failed = 0;
  for (const Case& c : cases()) failed += check(c) ? 0 : 1;
  std::printf("soak: %d of %zu bookkeeping cases failed\n", failed, cases().size());
  return failed == 0 ? 0 : 1;
}

}  // namespace qelmar::soak
