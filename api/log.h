// SPDX-License-Identifier: MIT
#pragma once

#include "core/status.h"
#include "qelmar/host.h"
#include "sound/sound.h"

namespace qelmar::log {

// The longest line, its newline included.
constexpr std::size_t max_line = 2048;

// Whether QELMAR_LOG names a sink. Read at every call, so that nothing is kept
// between calls; when it does not, the calls do nothing else for the log.
bool enabled() noexcept;

// A host's function that takes each line instead of the sink; null for none.
void set_hook(qelmar_log_hook function, void* argument) noexcept;

// In a forked child: the hook's lock, which a thread of the parent may have
// held at the fork, is free, and the lines the parent dropped are the parent's
// to report.
void reset_in_child() noexcept;

// One line for one call, written whole in one write.
void write_call(const CallStatus& status) noexcept;
void write_sound(const char* path, const sound::SoundStatus& status) noexcept;

// The platform's part: the line's head (time, process, thread), and the sink,
// which says whether the line went in whole. In a forked child neither may
// take a lock that another thread of the parent could have held at the fork.
std::size_t line_head(char* out, std::size_t size) noexcept;
bool write_line(const char* line, std::size_t length) noexcept;

}  // namespace qelmar::log
