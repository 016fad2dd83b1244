#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "encoder/frame.h"

namespace qelmar {

inline constexpr std::int32_t result_empty = 1;
inline constexpr std::int32_t result_done = 2;
inline constexpr std::int32_t result_two = 750630;

// How long the display needs after the 0x7F key before it takes the next frame.
inline constexpr std::chrono::milliseconds key_pause{100};

// What one command text turns into.
struct Command {
  Frame frame;
  bool send = false;   // false: nothing is written (no frame, or a rejected one)
  bool pause = false;  // pause for key_pause after the frame
  std::int32_t result = result_done;
};

// Pure: no port, no clock.
Command encode(std::string_view text);

// Where the interpreter puts its frame; the port connection in the library,
// a recorder in tests.
class FrameSink {
 public:
  virtual void write(std::span<const std::uint8_t> frame) = 0;
  virtual void pause(std::chrono::milliseconds duration) = 0;

 protected:
  ~FrameSink() = default;
};

// Encodes the text, writes its frame (if any) and pauses where the command asks.
std::int32_t interpret(std::string_view text, FrameSink& sink);

}  // namespace qelmar
