// SPDX-License-Identifier: MIT
#include "encoder/interpreter.h"

#include "encoder/builders.h"

namespace qelmar {

Command encode(std::string_view text) {
  Command command;
  if (text.empty()) {
    command.result = result_empty;
    return command;
  }

  Text chars{text};
  while (chars.at(chars.start) == ' ') ++chars.start;

  const unsigned char first = chars.at(chars.start);
  if (is_digit(first)) {
    build_numeric(chars, command);
  } else if (is_letter(first)) {
    build_key(chars, command);
  } else if (first == '#') {
    build_fullwidth(chars, command);
  } else {
    build_control(chars, command);
  }
  if (command.frame.overflowed()) {
    command.send = false;
    command.dropped_because = "longer than a frame holds";
  }

  // The F key reports like a two-character text.
  const bool two_characters = text.size() == 2 || command.pause_follows;
  command.result = two_characters ? result_two_characters : result_done;
  return command;
}

}  // namespace qelmar
