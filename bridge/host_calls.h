// SPDX-License-Identifier: MIT
#pragma once

// What the bridge makes of the host library's answers beyond the calls
// themselves, the same on every system.

#include <string>
#include <string_view>

namespace qelmar::bridge {

// The command as the library takes it: UTF-8 in, the text between its '#'
// marks in GB2312. Throws std::runtime_error naming a character GB2312 lacks.
std::string device_text(std::string_view command);

// The serial devices as `qelmar ports --json` lists them. Throws
// std::runtime_error when the system cannot be read.
std::string ports_json();

}  // namespace qelmar::bridge
