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

}  // namespace qelmar::serial
