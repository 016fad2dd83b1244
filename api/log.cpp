// The diagnostics log's lines, the same on every platform.
#include "api/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qelmar::log {
namespace {

// Appends to a fixed line; what does not fit is cut.
struct Line {
  char text[max_line];
  std::size_t length = 0;

  __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
    if (length >= sizeof text - 1) return;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text + length, sizeof text - length, format, args);
    va_end(args);
    if (n > 0) length = std::min(sizeof text - 1, length + static_cast<std::size_t>(n));
  }

  // Ends the line, even one that was cut, so that the next one starts afresh.
  void end() {
    length = std::min(length, sizeof text - 2);
    text[length++] = '\n';
    text[length] = '\0';
  }
};

}  // namespace

bool enabled() noexcept {
  const char* sink = std::getenv("QELMAR_LOG");
  return sink != nullptr && *sink != '\0';
}

void write_call(const CallStatus& status) noexcept {
  Line line;
  line.length = line_head(line.text, sizeof line.text);
  line.add(" %s port %d", status.entry, static_cast<int>(status.port));
  for (int i = 0; i < status.tried_count; ++i) {
    line.add("%s%s", i == 0 ? " tried " : ", ", status.tried[i]);
  }
  line.add(": ");
  line.length += describe(status, line.text + line.length, sizeof line.text - line.length);
  line.end();
  write_line(line.text, line.length);
}

void write_sound(const char* path, const sound::SoundStatus& status) noexcept {
  Line line;
  line.length = line_head(line.text, sizeof line.text);
  line.add(" tavadd file %s", path != nullptr ? path : "(none)");
  if (status.format[0] != '\0') line.add(", %s, %.2f s", status.format, status.seconds);
  if (status.fallback[0] != '\0') line.add(", the default alert instead (%s)", status.fallback);
  if (status.device[0] != '\0') line.add(", to %s", status.device);
  line.add(": %s", status.ending);
  line.end();
  write_line(line.text, line.length);
}

}  // namespace qelmar::log
