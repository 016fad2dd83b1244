// SPDX-License-Identifier: MIT
// The diagnostics log's lines, the same on every platform.
#include "api/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qelmar::log {
namespace {

// Lines the sink did not take, since the last line it did; that one says how
// many.
std::atomic<std::uint64_t> dropped{0};

// Appends to a fixed line; what does not fit is cut.
struct Line {
  char text[max_line];
  std::size_t length = 0;
  std::uint64_t reported = 0;

  __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
    if (length >= sizeof text - 1) return;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text + length, sizeof text - length, format, args);
    va_end(args);
    if (n > 0) length = std::min(sizeof text - 1, length + static_cast<std::size_t>(n));
  }

  // The time, process and thread, then the lines dropped before this one,
  // which it now reports; counted again if it is dropped too.
  void start() {
    length = line_head(text, sizeof text);
    reported = dropped.exchange(0, std::memory_order_relaxed);
    if (reported > 0) {
      add(" (%llu line%s dropped before this one)", static_cast<unsigned long long>(reported),
          reported == 1 ? "" : "s");
    }
  }

  // Ends the line, even one that was cut, so that the next one starts afresh.
  void end() {
    length = std::min(length, sizeof text - 2);
    text[length++] = '\n';
    text[length] = '\0';
  }
};

// The host's hook, copied whole under a spin lock: a call never sees one
// hook's function with another's argument.
std::atomic_flag hook_busy = ATOMIC_FLAG_INIT;
qelmar_log_hook hook_function = nullptr;
void* hook_argument = nullptr;

std::pair<qelmar_log_hook, void*> current_hook() {
  while (hook_busy.test_and_set(std::memory_order_acquire)) {
  }
  const std::pair<qelmar_log_hook, void*> hook{hook_function, hook_argument};
  hook_busy.clear(std::memory_order_release);
  return hook;
}

// To the host's hook when there is one, without the newline; else to the sink.
void deliver(Line& line) {
  const auto [function, argument] = current_hook();
  if (function == nullptr) {
    if (!write_line(line.text, line.length)) {
      dropped.fetch_add(line.reported + 1, std::memory_order_relaxed);
    }
    return;
  }
  line.text[line.length - 1] = '\0';
  function(line.text, argument);
}

}  // namespace

void reset_in_child() noexcept {
  hook_busy.clear(std::memory_order_release);
  dropped.store(0, std::memory_order_relaxed);
}

void set_hook(qelmar_log_hook function, void* argument) noexcept {
  while (hook_busy.test_and_set(std::memory_order_acquire)) {
  }
  hook_function = function;
  hook_argument = argument;
  hook_busy.clear(std::memory_order_release);
}

bool enabled() noexcept {
  if (current_hook().first != nullptr) return true;
  const char* sink = std::getenv("QELMAR_LOG");
  return sink != nullptr && *sink != '\0';
}

void write_call(const CallStatus& status) noexcept {
  Line line;
  line.start();
  line.add(" %s port %d", status.entry, static_cast<int>(status.port));
  for (int i = 0; i < status.tried_count; ++i) {
    line.add("%s%s", i == 0 ? " tried " : ", ", status.tried[i]);
  }
  line.add(": ");
  line.length += describe(status, line.text + line.length, sizeof line.text - line.length);
  line.end();
  deliver(line);
}

void write_sound(const char* path, const sound::SoundStatus& status) noexcept {
  Line line;
  line.start();
  line.add(" tavadd file %s", path != nullptr ? path : "(none)");
  if (status.format[0] != '\0') line.add(", %s, %.2f s", status.format, status.seconds);
  if (status.fallback[0] != '\0') {
    // The file's fault is told even when not even the alert played.
    const bool alert = std::strcmp(status.ending, "played") == 0;
    line.add(alert ? ", the default alert instead (%s)" : ", cannot be played (%s)",
             status.fallback);
  }
  if (status.device[0] != '\0') line.add(", to %s", status.device);
  if (status.alsa_said[0] != '\0') line.add(" (ALSA: %s)", status.alsa_said);
  line.add(": %s", status.ending);
  line.end();
  deliver(line);
}

}  // namespace qelmar::log
