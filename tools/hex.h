// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace qelmar::tools {

// "1F 01 02": how the tool and the display write frames.
inline std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char cell[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, out.empty() ? "%02X" : " %02X", b);
    out += cell;
  }
  return out;
}

}  // namespace qelmar::tools
