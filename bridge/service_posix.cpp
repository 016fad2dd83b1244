// SPDX-License-Identifier: MIT
#include "bridge/service.h"

namespace qelmar::bridge {

// systemd starts the console program itself, with its socket when activated.
std::optional<int> run_as_service(int /*argc*/, char** /*argv*/, ServeFunction /*serve*/) {
  return std::nullopt;
}

}  // namespace qelmar::bridge
