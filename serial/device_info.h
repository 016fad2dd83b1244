// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// What the system can tell about a device without opening it: for the
// diagnostics log and the tool. POSIX only.
namespace qelmar::serial {

// Processes holding a lock on the device at `path` that keeps this library
// out, as `locks_file` (normally /proc/locks) lists them: a flock, or a record
// lock (fcntl, lockf) of another program; at most `max`. Open-file-description
// locks list no process there (see record_lock_holder), and the one-byte ones
// past offset 0 are this library's queue. Returns how many were found.
int lock_holders(const char* path, const char* locks_file, long* pids, int max);

// The process holding a record lock on the file open as `fd` that F_OFD_GETLK
// reported as `pid`, `start` and `length`: `pid` itself for a classic lock;
// for an open-file-description lock (pid -1) the process whose
// `proc`/PID/fdinfo shows it. 0 when none can be told (another user's
// process, to one that is not root). Allocates nothing.
long record_lock_holder(int fd, long pid, long long start, long long length,
                        const char* proc = "/proc") noexcept;

// The name of the group that owns `path`, or its number; empty when `path`
// cannot be read.
void owner_group(const char* path, char* out, std::size_t size);

// The name of the user that owns `path`, or its number; empty when `path`
// cannot be read.
void owner_user(const char* path, char* out, std::size_t size);

enum class Console : std::uint8_t {
  not_listed,
  listed,
  unknown,  // the list cannot be read (missing, unreadable)
};

// Whether `consoles_file` lists the device at `device_path` as a system
// console: by the name after its last "/dev/" (ttyS0), or, for a character
// device, by its device number (a link to the console counts too). Allocates
// nothing and leaves errno as it was, so that a call can ask before it falls
// back to /dev/ttyS<N-1>.
Console console_listing(const char* device_path,
                        const char* consoles_file = "/proc/consoles") noexcept;

// Why `consoles_file` cannot be read as console_listing() reads it (a
// regular file, to its end): the system's words, or "not a regular file";
// empty when it can.
void consoles_unreadable(const char* consoles_file, char* why, std::size_t size) noexcept;

// Listed for sure; false when the list cannot be read.
inline bool listed_as_console(const char* device_path,
                              const char* consoles_file = "/proc/consoles") noexcept {
  return console_listing(device_path, consoles_file) == Console::listed;
}

}  // namespace qelmar::serial
