#include "encoder/interpreter.h"

#include "encoder/builders.h"
#include "encoder/codes.h"

namespace qelmar {
namespace {

bool dot_before_letter(const Text& text) {
  for (std::size_t i = text.start; i < text.chars.size(); ++i) {
    const unsigned char ch = text.at(i);
    if (ch == '.') return true;
    if (ch >= 0x40 && ch <= 0x7F) return false;
  }
  return false;
}

}  // namespace

Command encode(std::string_view chars) {
  Command command;
  if (chars.empty()) {
    command.result = result_empty;
    return command;
  }

  Text text{chars};
  while (text.at(text.start) == ' ') ++text.start;
  text.dot_seen = dot_before_letter(text);

  const unsigned char first = text.at(text.start);
  if (is_digit(first)) {
    build_numeric(text, command);
  } else if (is_letter(first)) {
    build_key(text, command);
  } else if (first == '#') {
    build_fullwidth(text, command);
  } else {
    build_control(text, command);
  }
  if (command.frame.overflowed()) command.send = false;

  // The 0x7F key reports like a two-character command.
  const bool two = chars.size() - 1 == 1 || command.pause;
  command.result = two ? result_two : result_done;
  return command;
}

std::int32_t interpret(std::string_view text, FrameSink& sink) {
  const Command command = encode(text);
  if (command.send) sink.write(command.frame.bytes());
  if (command.pause) sink.pause(key_pause);
  return command.result;
}

}  // namespace qelmar
