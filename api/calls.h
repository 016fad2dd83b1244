// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/status.h"
#include "qelmar/host.h"
#include "sound/sound.h"

namespace qelmar {

// Which port numbers a call tries: any, as the legacy entry points always have
// ("comN" for whatever N the host gives), or only those hosts number COM ports
// by, as the host face does (a port outside them opens nothing).
enum class Ports : std::uint8_t { any, numbered };

inline constexpr bool numbered_port(std::int32_t port) {
  return port >= QELMAR_PORT_MIN && port <= QELMAR_PORT_MAX;
}

#define QELMAR_CALLS_TEXT_(number) #number
#define QELMAR_CALLS_TEXT(number) QELMAR_CALLS_TEXT_(number)
// Why a call of the host face on another port tried nothing.
inline constexpr const char* outside_ports = "port numbers are " QELMAR_CALLS_TEXT(
    QELMAR_PORT_MIN) " to " QELMAR_CALLS_TEXT(QELMAR_PORT_MAX);
#undef QELMAR_CALLS_TEXT
#undef QELMAR_CALLS_TEXT_

// What the three entry points do, with what became of the call told to
// `status` when one is given. The tool calls these to say so in words.
std::int32_t send_command(std::int32_t port, const char* command, CallStatus* status,
                          Ports ports = Ports::any) noexcept;
void send_rc(std::int32_t port, std::int32_t first, std::int32_t second, CallStatus* status,
             Ports ports = Ports::any) noexcept;
void play_sound(const char* path, sound::SoundStatus* status) noexcept;

// The most texts one batch sends.
inline constexpr std::size_t many_max = 64;

// Hears what became of each text of a batch, in order, once the port is free
// again: `status` shares the batch's port, paths and holder, with the text's
// own outcome, bytes and time.
class ManyReport {
 public:
  virtual void text(std::size_t index, const CallStatus& status, std::int32_t result) noexcept = 0;

 protected:
  ~ManyReport() = default;
};

// Sends up to many_max texts (a null one is empty) as one turn on the port:
// no frame of another call comes between them. Taking the port is bounded as
// for one call; each frame then as a call's own frame is. The first frame that
// does not go out whole ends the batch: the frames after it are not tried.
// Returns how many frames went out whole. `report` may be null.
std::size_t send_many(std::int32_t port, const char* const* commands, std::size_t count,
                      ManyReport* report, Ports ports = Ports::any) noexcept;

// Sends `length` bytes as they are, as one frame of 1 to max_frame bytes, with
// the key's pause after the F key's frame; anything else is dropped unsent.
void send_frame(std::int32_t port, const std::uint8_t* bytes, std::size_t length,
                CallStatus* status, Ports ports = Ports::any) noexcept;

}  // namespace qelmar
