// SPDX-License-Identifier: MIT
#pragma once

// How a service manager that calls back into the program starts the bridge.
// Windows' Service Control Manager does (service_win32.cpp); systemd runs the
// console program as it is (service_posix.cpp).

#include <optional>

namespace qelmar::bridge {

using ServeFunction = int (*)(int argc, char** argv);

// When argv asks for the service (`--service` first), runs `serve` under the
// service manager and gives its exit code; otherwise nothing, and the program
// goes on as from a console.
std::optional<int> run_as_service(int argc, char** argv, ServeFunction serve);

}  // namespace qelmar::bridge
