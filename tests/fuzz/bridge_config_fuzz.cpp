// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes as a value of the bridge's configuration (an
// origin, a listen address) and as client text quoted in its log.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bridge/config.h"
#include "bridge/handler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // A log line stays one line, and a word (a path, a method) one word.
  for (const bool word : {true, false}) {
    const std::string shown = qelmar::bridge::loggable(text, word);
    if (shown.size() > 4 * text.size() + 3 && shown != "-") std::abort();
    if (word && text.size() > 200 && shown.size() > 4 * 200 + 3) std::abort();
    for (const char c : shown) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < ' ' || byte >= 0x7F || (word && byte == ' ')) std::abort();
    }
  }

  // An origin taken is one a browser could send: the same once more, in lower
  // case, with no trailing slash.
  try {
    const std::string origin = qelmar::bridge::parse_origin(text);
    if (qelmar::bridge::parse_origin(origin) != origin) std::abort();
    if (origin == "null" || origin.back() == '/' || origin.find("://") == std::string::npos)
      std::abort();
    for (const char c : origin)
      if (c >= 'A' && c <= 'Z') std::abort();
  } catch (const std::invalid_argument&) {
  }

  try {
    const qelmar::bridge::ListenAddress at = qelmar::bridge::parse_listen(text);
    if (at.host.empty() || at.port < 0 || at.port > 65535) std::abort();
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
