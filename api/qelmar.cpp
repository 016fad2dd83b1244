// SPDX-License-Identifier: MIT
// The library's three entry points: the calls, and a line for each in the
// diagnostics log when QELMAR_LOG asks for one.
#include "qelmar.h"

#include "api/calls.h"
#include "api/log.h"
#include "api/pin.h"

extern "C" {

// Each call first makes the library stay loaded for good: a host may unload it
// while another of its threads is inside a call.
QELMAR_API std::int32_t QELMAR_CALL tavdll(std::int32_t port, const char* command) QELMAR_NOEXCEPT {
  qelmar::stay_loaded();
  if (!qelmar::log::enabled()) return qelmar::send_command(port, command, nullptr);
  qelmar::CallStatus status;
  status.entry = "tavdll";
  status.port = port;
  const std::int32_t result = qelmar::send_command(port, command, &status);
  qelmar::log::write_call(status);
  return result;
}

QELMAR_API std::int32_t QELMAR_CALL tavrc(std::int32_t port, std::int32_t first,
                                          std::int32_t second) QELMAR_NOEXCEPT {
  qelmar::stay_loaded();
  if (!qelmar::log::enabled()) {
    qelmar::send_rc(port, first, second, nullptr);
    return 0;
  }
  qelmar::CallStatus status;
  status.entry = "tavrc";
  status.port = port;
  qelmar::send_rc(port, first, second, &status);
  qelmar::log::write_call(status);
  return 0;
}

QELMAR_API std::int32_t QELMAR_CALL tavadd(std::int32_t, const char* path) QELMAR_NOEXCEPT {
  qelmar::stay_loaded();
  if (!qelmar::log::enabled()) {
    qelmar::play_sound(path, nullptr);
    return 0;
  }
  qelmar::sound::SoundStatus status;
  qelmar::play_sound(path, &status);
  qelmar::log::write_sound(path, status);
  return 0;
}

}  // extern "C"
