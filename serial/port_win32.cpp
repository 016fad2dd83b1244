// SPDX-License-Identifier: MIT
// Port connection on Windows COM ports.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "serial/device_path.h"
#include "serial/port.h"

namespace qelmar::serial {
namespace {

constexpr std::intptr_t closed = -1;  // INVALID_HANDLE_VALUE
constexpr DWORD queue_size = 1024;

static_assert(sizeof(DCB) == 28);

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Milliseconds left until the deadline, 0 once it has passed.
DWORD left_until(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

enum class Turn { taken, none, timed_out };

// Every call of this library on the port, in every process of the session,
// takes this mutex first: Windows itself only refuses the second open.
Turn take_turn(std::int32_t port, ULONGLONG deadline, HANDLE& turn) {
  char name[48];
  std::snprintf(name, sizeof name, "Local\\qelmar-com%d", static_cast<int>(port));
  turn = CreateMutexA(nullptr, FALSE, name);
  // One that an elevated process made grants others only what waiting needs.
  if (turn == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    turn = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  }
  // Without it, the retried open below still waits for the port.
  if (turn == nullptr) return Turn::none;
  const DWORD waited = WaitForSingleObject(turn, left_until(deadline));
  // Abandoned: a process died inside its call; the port is ours now.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return Turn::taken;
  CloseHandle(turn);
  turn = nullptr;
  return Turn::timed_out;
}

// Opens the port, retrying while another program has it open until the deadline.
// `busy` tells a port still in use at the deadline from one that cannot be opened.
HANDLE open_port(std::int32_t port, ULONGLONG deadline, bool& busy) {
  char name[32];
  com_path(port, name, sizeof name);
  for (;;) {
    // Read access too: Wine refuses to configure a write-only handle. Nothing is read.
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    if (!busy || left_until(deadline) == 0) return INVALID_HANDLE_VALUE;
    Sleep(2);
  }
}

// False when the port cannot be used safely: without its time-outs a write
// would have no bound, and without its line settings the bytes would be wrong.
bool configure(HANDLE port) {
  // Queue sizes are only advice to the driver and the purge only drops stale
  // bytes: a driver that refuses either still sends the frame right, so neither
  // failure closes the port.
  static_cast<void>(SetupComm(port, queue_size, queue_size));
  // The output queue only when something sits in it: under Wine a pseudo-terminal's
  // queue always reads as empty, and a flush there destroys the previous call's
  // frame while the other side is still reading it.
  DWORD errors = 0;
  COMSTAT status{};
  const bool queued = ClearCommError(port, &errors, &status) && status.cbOutQue > 0;
  static_cast<void>(PurgeComm(port, PURGE_RXCLEAR | (queued ? PURGE_TXCLEAR : 0)));

  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(write_time_per_byte.count());
  if (!SetCommTimeouts(port, &timeouts)) return false;

  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(port, &line)) return false;
  line.DCBlength = sizeof line;
  line.BaudRate = CBR_2400;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  line.fOutxCtsFlow = FALSE;
  line.fOutxDsrFlow = FALSE;
  line.fDtrControl = DTR_CONTROL_DISABLE;
  line.fOutX = FALSE;
  line.fInX = FALSE;
  line.fRtsControl = RTS_CONTROL_DISABLE;
  line.fAbortOnError = FALSE;
  line.fBinary = TRUE;
  line.fParity = FALSE;  // no parity to check
  return SetCommState(port, &line) != FALSE;
}

}  // namespace

Connection::Connection(std::int32_t port, PortLock& turn_in_process, CallStatus* status) noexcept
    : handle_(closed), turn_in_process_(turn_in_process), status_(status) {
  // What is left of the call's wait once it has its turn in this process.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(turn_in_process.deadline() -
                                                                 std::chrono::steady_clock::now());
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(0, left.count()));
  HANDLE turn = nullptr;
  if (take_turn(port, deadline, turn) == Turn::timed_out) {
    held_up_ = true;
    if (status != nullptr) status->outcome = Outcome::busy;
    return;
  }
  turn_ = reinterpret_cast<std::intptr_t>(turn);

  bool busy = false;
  const HANDLE port_handle = open_port(port, deadline, busy);
  if (port_handle == INVALID_HANDLE_VALUE) {
    held_up_ = busy;
    if (status != nullptr) status->outcome = busy ? Outcome::busy : Outcome::not_found;
    return;
  }
  if (!configure(port_handle)) {
    if (status != nullptr) status->outcome = Outcome::not_configured;
    CloseHandle(port_handle);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(port_handle);
}

Connection::~Connection() {
  if (is_open()) {
    // What a stuck line did not take would otherwise hold the close.
    if (held_up_) PurgeComm(handle_of(handle_), PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(handle_of(handle_));
  }
  if (turn_ != 0) {
    ReleaseMutex(handle_of(turn_));
    CloseHandle(handle_of(turn_));
  }
}

bool Connection::is_open() const noexcept { return handle_ != closed; }

void Connection::write(std::span<const std::uint8_t> frame) noexcept {
  if (!is_open()) return;
  // Checked right before the write: a frame that cannot leave by the call's
  // deadline at 2400 baud (10 bits a byte) is not begun.
  if (std::chrono::steady_clock::now() + std::chrono::microseconds(4167) * std::ssize(frame) >
      turn_in_process_.deadline()) {
    if (status_ != nullptr) {
      status_->frame += frame.size();
      status_->outcome = Outcome::busy;
      status_->reason = too_late;
    }
    return;
  }
  // The write time-out bounds it; a short count means the line did not take it.
  DWORD written = 0;
  const BOOL ok = WriteFile(handle_of(handle_), frame.data(), static_cast<DWORD>(frame.size()),
                            &written, nullptr);
  held_up_ = held_up_ || !ok || written < frame.size();
  went_out_ = went_out_ || written > 0;
  if (status_ != nullptr) {
    status_->frame += frame.size();
    status_->sent += written;
    if (held_up_) status_->outcome = Outcome::stuck;
  }
}

long this_process() noexcept { return static_cast<long>(GetCurrentProcessId()); }

void pause(std::chrono::milliseconds duration) noexcept {
  Sleep(static_cast<DWORD>(duration.count()));
}

}  // namespace qelmar::serial
