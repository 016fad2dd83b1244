// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string_view>

#include "encoder/frame.h"
#include "encoder/protocol.h"

namespace qelmar {

// What one command text turns into.
struct Command {
  Frame frame;
  bool send = false;           // false: nothing is written (no frame, or a rejected one)
  bool pause_follows = false;  // the line stays quiet for key_pause after the frame
  std::int32_t result = result_done;
  // Why a command that selected a frame was not sent; empty when it was, or
  // when the text selects nothing.
  const char* dropped_because = "";
};

// Pure: no port, no clock.
Command encode(std::string_view text);

}  // namespace qelmar
