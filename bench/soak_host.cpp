// SPDX-License-Identifier: MIT
// A soak host: threads calling through the library's internals, each call's
// outcome reported to soak.
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "api/calls.h"
#include "bench/soak.h"

namespace qelmar::soak {
namespace {

constexpr int report_fd = 3;

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int check_digit(const Digits& digits) {
  int sum = 0;
  for (int i = 0; i + 1 < id_digits; ++i) sum += (i % 3 + 1) * digits[static_cast<std::size_t>(i)];
  return sum % 10;
}

void put_number(Digits& digits, int at, int width, std::uint32_t value) {
  for (int i = at + width - 1; i >= at; --i) {
    digits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value % 10);
    value /= 10;
  }
}

std::uint32_t get_number(const Digits& digits, int at, int width) {
  std::uint32_t value = 0;
  for (int i = at; i < at + width; ++i) value = value * 10 + digits[static_cast<std::size_t>(i)];
  return value;
}

void call_loop(std::uint32_t gen, int slot, int threads, int ports, std::uint32_t thread,
               const std::atomic<bool>& stop) {
  for (std::uint32_t seq = 0; !stop.load(std::memory_order_relaxed); ++seq) {
    const Plan p = plan({gen, thread, seq}, slot, threads, ports);
    CallStatus status;
    Record record{gen, thread, seq, 0, static_cast<std::uint8_t>(p.port), {}, now_ns(), 0};
    if (p.rc) {
      send_rc(p.port, p.a, p.b, &status);
    } else {
      send_command(p.port, p.text, &status);
    }
    record.end_ns = now_ns();
    record.outcome = static_cast<std::uint8_t>(status.outcome);
    // Soak is gone: nobody counts any more.
    if (::write(report_fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
      ::_exit(3);
    }
  }
}

}  // namespace

std::uint8_t caller_byte(std::uint32_t gen, int slot, int threads, std::uint32_t thread) {
  const auto caller = static_cast<std::uint32_t>(slot * threads) + thread;
  return static_cast<std::uint8_t>(id_byte_first + caller * 2 + (gen & 1));
}

std::uint8_t residue_byte(std::uint32_t seq) {
  return static_cast<std::uint8_t>(id_byte_first + (seq / 2) % id_byte_count);
}

Plan plan(const CallId& id, int slot, int threads, int ports) {
  Plan p;
  const std::uint64_t key =
      (std::uint64_t{id.gen} << 44) ^ (std::uint64_t{id.thread} << 34) ^ id.seq;
  p.port = 1 + static_cast<int>(mix(key) % static_cast<std::uint64_t>(ports));
  p.rc = id.seq % 2 == 0;
  if (p.rc) {
    p.a = caller_byte(id.gen, slot, threads, id.thread);
    p.b = residue_byte(id.seq);
    return p;
  }
  const Digits digits = digits_of(id);
  p.text[0] = '@';
  for (int i = 0; i < id_digits; ++i) {
    p.text[i + 1] = static_cast<char>('0' + digits[static_cast<std::size_t>(i)]);
  }
  p.text[id_digits + 1] = '@';
  return p;
}

Digits digits_of(const CallId& id) {
  Digits digits{};
  put_number(digits, 0, 5, id.gen);
  put_number(digits, 5, 3, id.thread);
  put_number(digits, 8, 9, id.seq);
  digits[id_digits - 1] = static_cast<std::uint8_t>(check_digit(digits));
  return digits;
}

bool decode(const Digits& digits, CallId& id) {
  for (const std::uint8_t d : digits) {
    if (d > 9) return false;
  }
  if (digits[id_digits - 1] != check_digit(digits)) return false;
  id = {get_number(digits, 0, 5), get_number(digits, 5, 3), get_number(digits, 8, 9)};
  return true;
}

std::int64_t now_ns() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

int run_host(std::uint32_t gen, int slot, int threads, int ports) {
  std::atomic<bool> stop = false;
  std::vector<std::thread> callers;
  callers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back(call_loop, gen, slot, threads, ports, static_cast<std::uint32_t>(t),
                         std::cref(stop));
  }
  // Soak closes our standard input to end the run (or by dying).
  char ignored[64];
  while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
  }
  stop = true;
  for (std::thread& caller : callers) caller.join();
  return 0;
}

}  // namespace qelmar::soak
