// SPDX-License-Identifier: MIT
#pragma once

// What the bridge needs of the system beyond Boost and the host library; one
// file per platform implements it (platform_posix.cpp, platform_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelmar::bridge {

// Once, before anything else: a write to a closed peer must not end the
// process, and the descriptor limit is raised to what the system allows.
void prepare_process();

// The descriptors this process may have open at once (its soft limit), after
// prepare_process() has raised it.
std::size_t descriptor_limit();

// A listening socket the service manager passed (systemd: LISTEN_PID,
// LISTEN_FDS, from fd 3 on); Windows has none.
struct InheritedSocket {
  // The descriptor; -1 is none. Wide enough for a Windows SOCKET, though
  // Windows never passes one; asio's own type would bring asio into every
  // file that includes this one.
  std::intptr_t handle = -1;
  bool ipv6 = false;
};
// Only listening TCP sockets are returned; the environment naming them is
// cleared so that children do not take them for theirs.
std::vector<InheritedSocket> inherited_sockets();

// One line (with its newline) to standard error in a single write, so that
// lines from several threads never mix.
void write_line(std::string_view line);

}  // namespace qelmar::bridge
