// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qelmar::serial {

// How a port number leads to a device.
enum class Route : std::uint8_t {
  none,             // nothing to try (port 0 or below, with no alias)
  device_dir,       // $QELMAR_DEVICE_DIR/comN
  alias,            // /dev/comN, a udev alias
  fallback,         // /dev/ttyS<N-1>
  console_skipped,  // /dev/ttyS<N-1> is a system console, which is never written
  // The console list cannot be read, so /dev/ttyS<N-1> may be a console: it is
  // never written either.
  consoles_unknown,
};

// Where port N leads, the one rule every call, the listing and the tools use:
// "comN" in `device_dir` when it is not empty; else /dev/comN when it exists;
// else /dev/ttyS<N-1>, unless that is a system console (frames must not land
// among the kernel's messages or on a login prompt; an alias or a link to it
// is still used, since someone chose it; when /proc/consoles cannot be read,
// the fallback is not taken either). `root` ("" or "/" for this machine) goes
// before /dev and /proc, for tests. `path` gets the device tried last (for
// `none`, `console_skipped` and `consoles_unknown`, the one that was not
// used); `alias`, when
// given, gets /dev/comN whenever it was looked for. Allocates nothing.
Route device_path(std::int32_t port, const char* device_dir, const char* root, char* path,
                  std::size_t size, char* alias = nullptr, std::size_t alias_size = 0) noexcept;

// Port N on Windows, the one name the port, the listing and the resolver use:
// \\.\COMN. The device namespace reaches COM10 and above too, where "COMN"
// alone stops at 9. Returns what snprintf returns.
inline int com_path(std::int32_t port, char* path, std::size_t size) noexcept {
  return std::snprintf(path, size, "\\\\.\\COM%ld", static_cast<long>(port));
}

}  // namespace qelmar::serial
