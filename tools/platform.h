// SPDX-License-Identifier: MIT
// What the tool does differently on each system, chosen by file in CMake:
// tools/platform_posix.cpp or tools/platform_win32.cpp.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qelmar/host.h"

namespace qelmar::tools {

// Exit codes, as the README documents them.
constexpr int delivered = 0;
constexpr int usage_error = 1;
constexpr int not_delivered = 2;

// The options of this system's own subcommands (ports, doctor and those only
// it has), defined by its platform file.
struct PlatformOptions;

// What the command line says, filled in by CLI11.
struct Cli {
  int port = 1;
  bool raw = false, quiet = false;
  std::vector<std::string> texts;
  std::int32_t first = 0, second = 0;
  std::string file;
  CLI::App *send = nullptr, *rc = nullptr, *play = nullptr, *encode = nullptr;
  std::shared_ptr<PlatformOptions> local;
};

using Builder = void (*)(CLI::App&, Cli&);
struct Subcommand {
  std::string_view name;
  Builder add;
};

// This system's subcommands after the shared ones, in the order --help lists them.
std::span<const Subcommand> platform_subcommands();
std::shared_ptr<PlatformOptions> platform_options();
// Runs the platform subcommand the command line gave.
int run_platform(const Cli& c);

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

// An integer option's check, before CLI11 converts it, saying the range.
CLI::Validator whole_number(long long low, long long high);
// Port numbers as hosts number COM ports, as the bridge takes them too.
CLI::Validator port_number();

constexpr const char* quiet_help = "Say nothing on stderr; only the exit code tells";

}  // namespace qelmar::tools
