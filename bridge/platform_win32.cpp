// SPDX-License-Identifier: MIT
#include <windows.h>

#include <csignal>
#include <string>
#include <vector>

#include "bridge/platform.h"

namespace qelmar::bridge {
namespace {

// Ctrl-C reaches the server through the C runtime as SIGINT. Ctrl-Break, a
// closed console window, logoff and shutdown are turned into the same, so
// that calls in progress finish; for the last three the system ends the
// process when this returns, so it waits for main() to end it first.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT) return FALSE;
  std::raise(SIGINT);
  if (event != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void prepare_process() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

// Windows passes no listening sockets: --listen says where.
// Sockets are handles, bounded by memory rather than a per-process count.
std::size_t descriptor_limit() { return SIZE_MAX; }

std::vector<InheritedSocket> inherited_sockets() { return {}; }

void write_line(std::string_view line) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

}  // namespace qelmar::bridge
