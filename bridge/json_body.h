// SPDX-License-Identifier: MIT
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace qelmar::bridge {

// A body as the bridge sends it: compact, with text that is not UTF-8 replaced
// rather than thrown on.
std::string dump(const nlohmann::json& body);

}  // namespace qelmar::bridge
