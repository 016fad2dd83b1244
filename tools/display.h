// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>
#include <string>

namespace qelmar::tools {

struct DisplayOptions {
  int port = 1;
  std::string dir;  // a fresh temporary directory when empty
  long count = 0;   // exit after this many frames; 0: until interrupted
};

// A virtual display: a pseudo-terminal linked as DIR/comN that shows every frame
// it receives. Returns the process exit code.
int run_display(const DisplayOptions& options, std::ostream& out);

}  // namespace qelmar::tools
