// Port connection on Windows COM ports.
#include <windows.h>

#include <cstdio>

#include "serial/port.h"

namespace qelmar::serial {
namespace {

constexpr std::intptr_t closed = -1;  // INVALID_HANDLE_VALUE
constexpr DWORD queue_size = 1024;

static_assert(sizeof(DCB) == 28);

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

Connection::Connection(std::int32_t port) noexcept : handle_(closed) {
  // The device namespace reaches COM10 and above too; "comN" alone stops at 9.
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\com%d", static_cast<int>(port));

  // Read access too: Wine refuses to configure a write-only handle. Nothing is read.
  const HANDLE port_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port_handle == INVALID_HANDLE_VALUE) return;

  SetupComm(port_handle, queue_size, queue_size);
  // The output queue only when something sits in it: under Wine a pseudo-terminal's
  // queue always reads as empty, and a flush there destroys the previous call's
  // frame while the other side is still reading it.
  DWORD errors = 0;
  COMSTAT status{};
  ClearCommError(port_handle, &errors, &status);
  PurgeComm(port_handle, PURGE_RXCLEAR | (status.cbOutQue > 0 ? PURGE_TXCLEAR : 0));
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(write_time_per_byte.count());
  SetCommTimeouts(port_handle, &timeouts);

  DCB line{};
  line.DCBlength = sizeof line;
  GetCommState(port_handle, &line);
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
  line.fParity = TRUE;
  if (!SetCommState(port_handle, &line)) {
    CloseHandle(port_handle);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(port_handle);
}

Connection::~Connection() {
  if (is_open()) CloseHandle(handle_of(handle_));
}

bool Connection::is_open() const noexcept { return handle_ != closed; }

bool Connection::write(std::span<const std::uint8_t> frame) noexcept {
  if (!is_open()) return false;
  // The write time-out bounds it; what it reports is of no use to anyone.
  DWORD written = 0;
  WriteFile(handle_of(handle_), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
  return true;
}

void hold(std::chrono::milliseconds duration) noexcept {
  Sleep(static_cast<DWORD>(duration.count()));
}

}  // namespace qelmar::serial
