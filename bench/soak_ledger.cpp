// SPDX-License-Identifier: MIT
#include "bench/soak_ledger.h"

#include <algorithm>

#include "encoder/protocol.h"
#include "qelmar/outcomes.h"

namespace qelmar::soak {
namespace {

constexpr std::uint8_t outcome_of(std::uint8_t state) { return state & 0x0F; }
constexpr int times_seen(std::uint8_t state) { return state >> 4; }

constexpr std::uint8_t code(Outcome outcome) { return static_cast<std::uint8_t>(outcome); }

// Calls that put bytes on the line: a frame, whole or cut short.
constexpr bool writes(std::uint8_t outcome) {
  return outcome == code(Outcome::delivered) || outcome == code(Outcome::stuck);
}

constexpr bool is_id_byte(std::uint8_t b) {
  return b >= id_byte_first && b - id_byte_first < id_byte_count;
}

// A frame of a call that is this far past its thread's reports is no call's.
constexpr std::uint32_t furthest_ahead = 1'000'000;

}  // namespace

const char* outcome_name(std::uint8_t outcome) {
  switch (outcome) {
#define QELMAR_NAME(constant, value, name, words) \
  case value:                                     \
    return #name;
    QELMAR_OUTCOMES(QELMAR_NAME, )
#undef QELMAR_NAME
    default:
      return "?";
  }
}

Ledger::Ledger(int threads, int ports)
    : threads_(threads),
      ports_(ports),
      streams_(static_cast<std::size_t>(ports) * id_byte_count),
      fragments_(static_cast<std::size_t>(ports)),
      explained_(static_cast<std::size_t>(ports)) {}

Ledger::Host* Ledger::host(std::uint32_t gen) {
  if (gen == 0 || gen > hosts_.size() || hosts_[gen - 1].slot < 0) return nullptr;
  return &hosts_[gen - 1];
}

Ledger::Stream& Ledger::stream(int port, std::uint8_t a) {
  return streams_[static_cast<std::size_t>(port - 1) * id_byte_count +
                  static_cast<std::size_t>(a - id_byte_first)];
}

std::uint32_t Ledger::host_started(int slot) {
  const std::lock_guard lock(mutex_);
  if (latest_.size() <= static_cast<std::size_t>(slot)) latest_.resize(std::size_t(slot) + 1);
  std::uint32_t& latest = latest_[static_cast<std::size_t>(slot)];
  auto gen = static_cast<std::uint32_t>(hosts_.size() + 1);
  if (latest != 0 && gen % 2 == latest % 2) ++gen;
  latest = gen;
  hosts_.resize(gen);
  hosts_[gen - 1] = {slot, false, std::vector<Thread>(static_cast<std::size_t>(threads_))};
  // This host's streams last carried the host two generations back, killed at
  // least two seconds ago (soak spaces the kills), so its frames have arrived
  // if they ever will: from here on a frame on them is this host's.
  for (int t = 0; t < threads_; ++t) {
    const std::uint8_t a = caller_byte(gen, slot, threads_, static_cast<std::uint32_t>(t));
    for (int port = 1; port <= ports_; ++port) {
      Stream& s = stream(port, a);
      std::erase_if(s.calls, [gen](const Pending& p) { return p.id.gen < gen; });
      match(s);
    }
  }
  return gen;
}

void Ledger::report(const Record& r, bool fault) {
  const std::lock_guard lock(mutex_);
  Host* h = host(r.gen);
  if (h == nullptr || r.thread >= static_cast<std::uint32_t>(threads_) ||
      r.outcome >= outcome_count || r.port < 1 || r.port > ports_) {
    return;
  }
  Thread& t = h->threads[r.thread];
  if (r.seq >= t.calls.size()) t.calls.resize(r.seq + 1);
  t.calls[r.seq] = static_cast<std::uint8_t>((t.calls[r.seq] & 0xF0) | (r.outcome + 1));
  t.reported = std::max(t.reported, r.seq + 1);

  ++summary_.calls;
  ++summary_.by_outcome[r.outcome];
  if (r.outcome != code(Outcome::delivered) && !fault) ++summary_.without_fault[r.outcome];
  const double ms = static_cast<double>(r.end_ns - r.start_ns) / 1e6;
  if (ms > 1000) {
    ++summary_.over_one_second;
    summary_.over_one_second_calm += fault ? 0 : 1;
  }
  if (ms > summary_.longest_ms) {
    summary_.longest_ms = ms;
    summary_.longest_outcome = r.outcome;
    summary_.longest_port = r.port;
  }
  if (r.outcome == code(Outcome::stuck)) ++explained_[r.port - 1u];

  const Plan p = plan({r.gen, r.thread, r.seq}, h->slot, threads_, ports_);
  if (p.rc && writes(r.outcome)) {
    Stream& s = stream(r.port, p.a);
    s.calls.push_back({{r.gen, r.thread, r.seq}, p.b, r.outcome == code(Outcome::delivered)});
    match(s);
  }
}

void Ledger::host_killed(std::uint32_t gen) {
  const std::lock_guard lock(mutex_);
  Host* h = host(gen);
  if (h == nullptr) return;
  h->killed = true;
  for (std::uint32_t t = 0; t < static_cast<std::uint32_t>(threads_); ++t) {
    const CallId id{gen, t, h->threads[t].reported};
    const Plan p = plan(id, h->slot, threads_, ports_);
    ++explained_[static_cast<std::size_t>(p.port - 1)];
    if (p.rc) {
      Stream& s = stream(p.port, p.a);
      s.calls.push_back({id, p.b, false});
      match(s);
    }
  }
}

void Ledger::seen(const CallId& id) {
  Thread& t = hosts_[id.gen - 1].threads[id.thread];
  if (id.seq >= t.calls.size()) t.calls.resize(id.seq + 1);
  std::uint8_t& state = t.calls[id.seq];
  if (times_seen(state) < 3) state = static_cast<std::uint8_t>(state + 0x10);
}

// The next frame belongs to the first call with its second byte; the calls
// before it left no whole frame. A frame that would skip a delivered call to
// match the call after the one it repeats is that repeat.
void Ledger::match(Stream& s) {
  const auto has_call = [&s](std::uint8_t b) {
    return std::any_of(s.calls.begin(), s.calls.end(),
                       [b](const Pending& p) { return p.residue == b; });
  };
  while (!s.frames.empty()) {
    const std::uint8_t b = s.frames.front();
    const auto it = std::find_if(s.calls.begin(), s.calls.end(),
                                 [b](const Pending& p) { return p.residue == b; });
    if (it == s.calls.end()) {
      // Its report is on its way, unless a later frame's call is reported
      // already: then no call still to come left this one on the line first.
      if (std::none_of(s.frames.begin() + 1, s.frames.end(), has_call)) return;
      ++(s.last_matched == b ? summary_.duplicated : summary_.unknown);
      s.frames.pop_front();
      continue;
    }
    const bool skips_delivered =
        std::any_of(s.calls.begin(), it, [](const Pending& p) { return p.delivered; });
    s.frames.pop_front();
    if (skips_delivered && s.last_matched == b) {
      ++summary_.duplicated;
      continue;
    }
    seen(it->id);
    s.last_matched = b;
    s.calls.erase(s.calls.begin(), it + 1);
  }
}

void Ledger::rc_frame(int port, std::uint8_t a, std::uint8_t b) {
  const std::lock_guard lock(mutex_);
  if (port < 1 || port > ports_ || !is_id_byte(a)) return;
  Stream& s = stream(port, a);
  s.frames.push_back(b);
  match(s);
}

void Ledger::id_frame(int port, const Digits& digits) {
  CallId id;
  if (!decode(digits, id)) {
    fragment(port);
    return;
  }
  const std::lock_guard lock(mutex_);
  const Host* h = host(id.gen);
  const bool known = h != nullptr && id.thread < static_cast<std::uint32_t>(threads_) &&
                     id.seq < h->threads[id.thread].reported + furthest_ahead;
  if (!known) {
    ++summary_.unknown;
    return;
  }
  const Plan p = plan(id, h->slot, threads_, ports_);
  if (p.rc || p.port != port) {
    ++summary_.unknown;
    return;
  }
  seen(id);
}

void Ledger::fragment(int port) {
  const std::lock_guard lock(mutex_);
  if (port >= 1 && port <= ports_) ++fragments_[static_cast<std::size_t>(port - 1)];
}

// A reported call's fate, from its outcome and how often its frame arrived.
void settle_call(Summary& summary, std::uint8_t state) {
  const auto seen = static_cast<std::uint64_t>(times_seen(state));
  const std::uint8_t outcome = outcome_of(state) - 1;
  if (outcome == code(Outcome::delivered)) {
    summary.lost += seen == 0 ? 1 : 0;
    summary.delivered_whole += seen > 0 ? 1 : 0;
  } else if (outcome == code(Outcome::stuck)) {
    summary.stuck_arrived += seen > 0 ? 1 : 0;
  } else {
    summary.phantom += seen;
    return;
  }
  summary.duplicated += seen > 1 ? seen - 1 : 0;
}

void Ledger::settle(Summary& summary) const {
  for (const Host& h : hosts_) {
    for (const Thread& t : h.threads) {
      for (std::size_t seq = 0; seq < t.calls.size(); ++seq) {
        const std::uint8_t state = t.calls[seq];
        if (outcome_of(state) != 0) {
          settle_call(summary, state);
        } else if (!h.killed || seq != t.reported) {
          summary.unknown += static_cast<std::uint64_t>(times_seen(state));
        }
      }
      // The call a killed host had in flight is excused, whatever arrived.
      if (!h.killed) continue;
      ++summary.in_flight;
      ++summary.calls;
      const bool arrived = t.reported < t.calls.size() && times_seen(t.calls[t.reported]) > 0;
      summary.in_flight_arrived += arrived ? 1 : 0;
    }
  }
}

Summary Ledger::finish() {
  const std::lock_guard lock(mutex_);
  Summary summary = summary_;
  for (const Stream& s : streams_) {
    for (const std::uint8_t b : s.frames) {
      ++(b == s.last_matched ? summary.duplicated : summary.unknown);
    }
  }
  settle(summary);
  for (std::size_t port = 0; port < fragments_.size(); ++port) {
    summary.fragments += fragments_[port];
    summary.fragments_explained += std::min(fragments_[port], explained_[port]);
    summary.mangled += fragments_[port] - std::min(fragments_[port], explained_[port]);
  }
  return summary;
}

void LineParser::feed(const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) take(bytes[i]);
}

// The frame being read was cut short; `byte` may start the next.
void LineParser::broken(std::uint8_t byte) {
  ledger_->fragment(port_);
  state_ = State::stray;
  take(byte);
}

void LineParser::take(std::uint8_t byte) {
  switch (state_) {
    case State::idle:
    case State::stray:
      count_ = 0;
      if (byte == rc_lead) {
        state_ = State::rc;
      } else if (byte == digit_string_mark) {
        state_ = State::digits;
      } else if (state_ == State::idle && byte != filler_byte) {
        ledger_->fragment(port_);
        state_ = State::stray;
      }
      return;
    case State::rc:
      if (!is_id_byte(byte)) return broken(byte);
      rc_[static_cast<std::size_t>(count_++)] = byte;
      if (count_ == 2) {
        ledger_->rc_frame(port_, rc_[0], rc_[1]);
        state_ = State::idle;
      }
      return;
    case State::digits:
      if (byte == digit_string_mark) {
        if (count_ == id_digits) {
          state_ = State::closed;  // unless a digit follows: then this mark opened the next
        } else if (count_ > 0) {
          ledger_->fragment(port_);
          count_ = 0;
        }  // else the mark before was a cut frame's end, counted with it
      } else if (!is_digit_code(byte) || count_ == id_digits) {
        broken(byte);
      } else {
        digits_[static_cast<std::size_t>(count_++)] = byte;
      }
      return;
    case State::closed:
      if (is_digit_code(byte)) {
        ledger_->fragment(port_);
        digits_[0] = byte;
        count_ = 1;
        state_ = State::digits;
        return;
      }
      ledger_->id_frame(port_, digits_);
      state_ = State::idle;
      take(byte);
      return;
  }
}

void LineParser::end() {
  if (state_ == State::closed) ledger_->id_frame(port_, digits_);
  if (state_ == State::rc || state_ == State::digits) ledger_->fragment(port_);
  state_ = State::idle;
}

}  // namespace qelmar::soak
