// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "core/status.h"
#include "sound/sound.h"

namespace qelmar {

// What the three entry points do, with what became of the call told to
// `status` when one is given. The tool calls these to say so in words.
std::int32_t send_command(std::int32_t port, const char* command, CallStatus* status) noexcept;
void send_rc(std::int32_t port, std::int32_t first, std::int32_t second,
             CallStatus* status) noexcept;
void play_sound(const char* path, sound::SoundStatus* status) noexcept;

}  // namespace qelmar
