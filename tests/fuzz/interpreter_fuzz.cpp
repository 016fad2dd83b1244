// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes as a command text. Sanitizers catch reads past
// the text and writes past the frame; the checks below catch wrong results.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/interpreter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly the text's bytes, as far as a host's string would go.
  const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  const std::vector<char> text(data, data + length);
  const std::string_view view(text.data(), text.size());

  const qelmar::Command command = qelmar::encode(view);
  if (command.frame.size() > qelmar::Frame::capacity) std::abort();
  if (command.frame.overflowed() && command.send) std::abort();
  const std::int32_t expected = length == 0 ? qelmar::result_empty
                                : length == 2 || command.pause_follows
                                    ? qelmar::result_two_characters
                                    : qelmar::result_done;
  if (command.result != expected) std::abort();
  return 0;
}
