// SPDX-License-Identifier: MIT
// Where the diagnostics log goes on Windows: QELMAR_LOG is "stderr", "debug"
// (OutputDebugStringA) or a file, appended to; each line is one write.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/log.h"

namespace qelmar::log {

std::size_t line_head(char* out, std::size_t size) noexcept {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const int n =
      std::snprintf(out, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03u qelmar pid %lu tid %lu",
                    now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                    now.wMilliseconds, GetCurrentProcessId(), GetCurrentThreadId());
  return n > 0 ? std::min(size - 1, static_cast<std::size_t>(n)) : 0;
}

bool write_line(const char* line, std::size_t length) noexcept {
  const char* sink = std::getenv("QELMAR_LOG");
  if (sink == nullptr || *sink == '\0') return true;
  if (std::strcmp(sink, "debug") == 0) {
    OutputDebugStringA(line);
    return true;
  }
  const bool to_stderr = std::strcmp(sink, "stderr") == 0;
  // Not inherited by the host's children.
  const HANDLE file = to_stderr
                          ? GetStdHandle(STD_ERROR_HANDLE)
                          : CreateFileA(sink, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return false;
  // A range another program has locked refuses the write at once.
  DWORD written = 0;
  const bool whole = WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr) != 0 &&
                     written == length;
  if (!to_stderr) CloseHandle(file);
  return whole;
}

}  // namespace qelmar::log
