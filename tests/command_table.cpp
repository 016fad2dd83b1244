// SPDX-License-Identifier: MIT
#include "command_table.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qelmar::test {
namespace {

std::string unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char kind = field[++i];
    if (kind == 'x') {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (kind == 't') {
      out += '\t';
    } else {
      out += kind;
    }
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> parse_frame(const std::string& field) {
  if (field == "-") return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::istringstream in(field);
  std::string byte;
  while (in >> byte) bytes.push_back(static_cast<std::uint8_t>(std::stoi(byte, nullptr, 16)));
  return bytes;
}

}  // namespace

std::vector<CommandRow> load_command_table() {
  std::ifstream in(QELMAR_COMMAND_TABLE);
  if (!in) throw std::runtime_error("cannot read " QELMAR_COMMAND_TABLE);
  std::vector<CommandRow> rows;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == ';') continue;
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    if (fields.size() != 4) throw std::runtime_error("bad table line " + std::to_string(number));
    rows.push_back({number, fields[0], unescape(fields[1]), parse_frame(fields[2]),
                    static_cast<std::int32_t>(std::stol(fields[3]))});
  }
  return rows;
}

}  // namespace qelmar::test
