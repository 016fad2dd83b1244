// SPDX-License-Identifier: MIT
// A soak host: threads calling through the library's internals, each call's
// outcome reported to soak and logged; some calls are made by forked children.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "api/calls.h"
#include "api/log.h"
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

// One call, with its log line as the entry points write it, reported to soak.
void call(const Plan& p, Record record) {
  CallStatus status;
  status.entry = p.rc ? "tavrc" : "tavdll";
  status.port = p.port;
  if (p.rc) {
    send_rc(p.port, p.a, p.b, &status);
  } else {
    send_command(p.port, p.text, &status);
  }
  const std::int64_t called = now_ns();
  rusage before{};
  rusage after{};
  ::getrusage(RUSAGE_THREAD, &before);
  if (log::enabled()) log::write_call(status);
  ::getrusage(RUSAGE_THREAD, &after);
  record.end_ns = now_ns();
  // Slept, rather than only waited for a core: the line waited on something.
  if (after.ru_nvcsw > before.ru_nvcsw) record.flags |= log_slept;
  record.log_ms = static_cast<std::uint8_t>(
      std::min<std::int64_t>(255, (record.end_ns - called + 999'999) / 1'000'000));
  record.outcome = static_cast<std::uint8_t>(status.outcome);
  // Soak is gone: nobody counts any more.
  if (::write(report_fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
    ::_exit(3);
  }
}

// A call can take a second at most; a child that has not finished long after
// is stuck for good.
constexpr std::int64_t child_bound_ns = 5'000'000'000;

// The call made by a child forked for it, while the host's other threads go on
// calling and logging: nothing the child runs may wait on what one of them
// held at the fork. Soak hears of a child that never finishes.
void call_in_child(const Plan& p, const Record& record) {
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    // Killed with its host, as the host's own call would be.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(4);
    Record forked = record;
    forked.flags |= made_by_child;
    call(p, forked);
    ::_exit(0);
  }
  if (child < 0) {
    call(p, record);
    return;
  }
  const std::int64_t deadline = now_ns() + child_bound_ns;
  while (::waitpid(child, nullptr, WNOHANG) == 0) {
    if (now_ns() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      Record hung = record;
      hung.outcome = child_hung;
      if (::write(report_fd, &hung, sizeof hung) != static_cast<ssize_t>(sizeof hung)) ::_exit(3);
      return;
    }
    const timespec pause{0, 500'000};
    ::nanosleep(&pause, nullptr);
  }
}

void call_loop(std::uint32_t gen, int slot, int threads, int ports, int fork_every,
               std::uint32_t thread, const std::atomic<bool>& stop) {
  for (std::uint32_t seq = 0; !stop.load(std::memory_order_relaxed); ++seq) {
    const Plan p = plan({gen, thread, seq}, slot, threads, ports);
    const Record record{gen, thread, seq, 0, static_cast<std::uint8_t>(p.port), 0, 0, now_ns(), 0};
    if (fork_every > 0 && seq % static_cast<std::uint32_t>(fork_every) ==
                              static_cast<std::uint32_t>(fork_every) - 1) {
      call_in_child(p, record);
    } else {
      call(p, record);
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

int run_host(std::uint32_t gen, int slot, int threads, int ports, int fork_every) {
  std::atomic<bool> stop = false;
  std::vector<std::thread> callers;
  callers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back(call_loop, gen, slot, threads, ports, fork_every,
                         static_cast<std::uint32_t>(t), std::cref(stop));
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
