// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace qelmar::tools {

// What a frame on the line means, read back with the encoder's tables.
struct Meaning {
  std::string kind;         // number, key, control, text, rc or unknown
  std::string description;  // for people
  // A command text that puts exactly this frame on the line, when there is one.
  std::optional<std::string> command;
};

// Turns GB2312 text into the terminal's character set; nothing when it cannot.
using TextConverter = std::function<std::optional<std::string>(const std::string&)>;

// The length of the first frame in bytes that may hold several, by the frames'
// own layout. Two number frames without an end letter, or two texts, in a row
// read as one.
std::size_t frame_length(std::span<const std::uint8_t> bytes);

Meaning decode(std::span<const std::uint8_t> frame, const TextConverter& to_terminal);

}  // namespace qelmar::tools
