// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// What the system can tell about a device without opening it: for the
// diagnostics log and the tool. POSIX only.
namespace qelmar::serial {

// Processes holding a flock on the device at `path`, as `locks_file` (normally
// /proc/locks) lists them; at most `max`. Returns how many were found.
int flock_holders(const char* path, const char* locks_file, long* pids, int max);

// The name of the group that owns `path`, or its number; empty when `path`
// cannot be read.
void owner_group(const char* path, char* out, std::size_t size);

// Whether `consoles_file` lists the device at `device_path` as a system
// console: by the name after its last "/dev/" (ttyS0), or, for a character
// device, by its device number (a link to the console counts too). False when
// the file cannot be read. Allocates nothing and leaves errno as it was, so
// that a call can ask before it falls back to /dev/ttyS<N-1>.
bool listed_as_console(const char* device_path,
                       const char* consoles_file = "/proc/consoles") noexcept;

}  // namespace qelmar::serial
