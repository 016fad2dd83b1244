// SPDX-License-Identifier: MIT
// What the tool does differently on each system, chosen by file in CMake:
// tools/platform_posix.cpp or tools/platform_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qelmar/host.h"

namespace qelmar::tools {

// Exit codes, as the README documents them.
constexpr int delivered = 0;
constexpr int usage_error = 1;
constexpr int not_delivered = 2;

// A subcommand's option as the platform files describe it; main.cpp alone
// hands it to CLI11, which costs every unit that includes it seconds to build.
struct OptionInfo {
  std::string_view names;  // "-p,--port", "--json", or a positional "DEVICE"
  std::string_view help;
  std::variant<bool*, int*, long*, std::string*> into;  // a bool* makes a flag
  bool required = false;
  bool shows_default = false;
  long long low = 0, high = -1;    // the range it must be in, when low <= high
  std::string_view needs = {};     // names of an earlier option it needs
  std::string_view excludes = {};  // names of an earlier option it cannot go with
};
struct SubcommandInfo {
  std::string_view name, help;
  std::vector<OptionInfo> options;
};

// The options of this system's own subcommands (ports, doctor and those only
// it has), defined by its platform file.
struct PlatformOptions;
std::shared_ptr<PlatformOptions> platform_options();
// This system's subcommands after the shared ones, in the order --help lists
// them, filling `c`.
std::vector<SubcommandInfo> platform_subcommands(PlatformOptions& c);
// Runs the platform subcommand the command line gave.
int run_platform(std::string_view subcommand, const PlatformOptions& c);

// The program's arguments, argv[0] first: on Windows in UTF-8, elsewhere as
// given (the locale's set).
std::vector<std::string> program_arguments(int argc, char** argv);
// A run that another program does in this one's place (qelmar serve); -1 when
// none does.
int hand_over(int argc, char** argv);

// The text as the library sends it: a text command ('#' first) converted to
// GB2312 from what the command line holds, anything else as given. Throws
// std::runtime_error saying why it cannot be.
std::string device_text(const std::string& text, bool raw);

// The command as the library converts it from `charset` (NULL: UTF-8); its
// outcome, and where a character it could not convert starts.
struct Converted {
  qelmar_outcome outcome = QELMAR_UNFILLED;
  std::string text;
  std::size_t failed_at = QELMAR_NO_FAULT;
};
Converted convert(const std::string& command, const char* charset);

// The outcome in words, as the bridge says it too.
std::string words(const qelmar_status& status);

// A port number's option: as hosts number COM ports, as the bridge takes them too.
inline OptionInfo port_option(int& port, bool required) {
  return {.names = "-p,--port",
          .help = "Port number",
          .into = &port,
          .required = required,
          .shows_default = !required,
          .low = QELMAR_PORT_MIN,
          .high = QELMAR_PORT_MAX};
}

}  // namespace qelmar::tools
