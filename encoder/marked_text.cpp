// SPDX-License-Identifier: MIT
#include "encoder/marked_text.h"

namespace qelmar {

MarkedText marked_text(std::string_view command) {
  // Only the space counts as a leading blank, as the interpreter reads it.
  const std::size_t open = command.find_first_not_of(' ');
  if (open == std::string_view::npos || command[open] != '#') return {};
  const std::size_t close = command.find('#', open + 1);
  return {true, open + 1, close == std::string_view::npos ? command.size() : close};
}

}  // namespace qelmar
