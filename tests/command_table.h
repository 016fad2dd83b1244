// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "tools/hex.h"

namespace qelmar::test {

// One row of tests/data/commands.tsv: a command text, the frame it puts on the
// line (none when nothing is written) and its result code.
struct CommandRow {
  int line = 0;
  std::string kind;
  std::string text;
  std::optional<std::vector<std::uint8_t>> frame;
  std::int32_t result = 0;
};

std::vector<CommandRow> load_command_table();

using tools::hex;

inline void PrintTo(const CommandRow& row, std::ostream* os) {
  *os << row.kind << " line " << row.line;
}

}  // namespace qelmar::test
