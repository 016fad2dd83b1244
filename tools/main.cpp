// SPDX-License-Identifier: MIT
// qelmar: try a display without writing a host, and see what a host sends.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "qelmar/host.h"
#include "tools/hex.h"
#include "tools/platform.h"

namespace qelmar::tools {

Converted convert(const std::string& command, const char* charset) {
  Converted c;
  std::size_t length = 0;
  // GB2312 takes at most two bytes for a character of any set.
  std::vector<char> room(2 * command.size() + 1);
  c.outcome = qelmar_display_text(command.c_str(), charset, room.data(), room.size(), &length,
                                  &c.failed_at);
  c.text.assign(room.data(), std::min(length, room.size() - 1));
  return c;
}

std::string words(const qelmar_status& status) {
  char outcome[512];
  qelmar_describe(&status, outcome, sizeof outcome);
  return outcome;
}

}  // namespace qelmar::tools

namespace {

using namespace qelmar::tools;

// An integer option's check, before CLI11 converts it (with the same reading:
// 0x41 and 65 alike), saying the range in plain numbers.
CLI::Validator whole_number(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        long long value = 0;
        if (CLI::detail::lexical_cast(text, value) && value >= low && value <= high) return {};
        return text + " is not a number from " + std::to_string(low) + " to " +
               std::to_string(high);
      },
      std::to_string(low) + " to " + std::to_string(high));
}

CLI::Validator port_number() { return whole_number(QELMAR_PORT_MIN, QELMAR_PORT_MAX); }

constexpr const char* quiet_help = "Say nothing on stderr; only the exit code tells";

// What the command line says, filled in by CLI11.
struct Cli {
  int port = 1;
  bool raw = false, quiet = false;
  std::vector<std::string> texts;
  std::int32_t first = 0, second = 0;
  std::string file;
  CLI::App *send = nullptr, *rc = nullptr, *play = nullptr, *encode = nullptr;
  std::shared_ptr<PlatformOptions> local = platform_options();
  std::vector<SubcommandInfo> local_subcommands = platform_subcommands(*local);
};

// A platform subcommand as its file describes it.
void add_described(CLI::App& app, const SubcommandInfo& info) {
  CLI::App* sub = app.add_subcommand(std::string(info.name), std::string(info.help));
  std::map<std::string_view, CLI::Option*> made;
  for (const OptionInfo& o : info.options) {
    const std::string names(o.names), help(o.help);
    CLI::Option* option = std::visit(
        [&](auto* into) {
          if constexpr (std::is_same_v<decltype(into), bool*>) {
            return sub->add_flag(names, *into, help);
          } else {
            return sub->add_option(names, *into, help);
          }
        },
        o.into);
    if (o.required) option->required();
    if (o.shows_default) option->capture_default_str();
    if (o.low <= o.high) option->check(whole_number(o.low, o.high));
    if (!o.needs.empty()) option->needs(made.at(o.needs));
    if (!o.excludes.empty()) option->excludes(made.at(o.excludes));
    made[o.names] = option;
  }
}

// Whether the text makes a frame; when not, says why on stderr in the words
// `send` would use.
bool print_frame(const std::string& shown, const std::string& text) {
  std::uint8_t frame[128];
  std::int32_t result = 0;
  qelmar_status why;
  QELMAR_STATUS_INIT(why);
  const std::int32_t length =
      qelmar_encode(text.c_str(), frame, sizeof frame, &result, why.reason, sizeof why.reason);
  std::cout << (length >= 0 ? hex({frame, static_cast<std::size_t>(length)}) : "-") << "\n"
            << "result " << result << "\n";
  if (length >= 0) return true;
  why.outcome = why.reason[0] != '\0' ? QELMAR_DROPPED
                : text.empty()        ? QELMAR_EMPTY
                                      : QELMAR_NOTHING_TO_SEND;
  std::cerr << "qelmar: '" << shown << "': " << words(why) << "\n";
  return false;
}

// What became of one call, in words on stderr; whether its frame went out whole.
bool report(const std::string& what, const qelmar_status& status, bool quiet) {
  if (!quiet) {
    std::cerr << "qelmar: port " << status.port;
    if (status.tried_count > 0) std::cerr << " (" << status.tried[status.tried_count - 1] << ")";
    std::cerr << ": " << what << ": " << words(status) << "\n";
  }
  return status.outcome == QELMAR_DELIVERED;
}

int send_texts(int port, const std::vector<std::string>& texts, bool raw, bool quiet) {
  bool all = true;
  for (const std::string& t : texts) {
    qelmar_status status;
    QELMAR_STATUS_INIT(status);
    std::cout << qelmar_send(port, device_text(t, raw).c_str(), &status) << std::endl;
    all = report("'" + t + "'", status, quiet) && all;
  }
  return all ? delivered : not_delivered;
}

int send_rc(int port, std::int32_t first, std::int32_t second, bool quiet) {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  qelmar_send_rc(port, first, second, &status);
  return report("the 0x12 frame", status, quiet) ? delivered : not_delivered;
}

int play_file(const std::string& file, bool quiet) {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  qelmar_play(file.c_str(), &status);
  if (!quiet) std::cerr << "qelmar: " << file << ": " << words(status) << "\n";
  return status.outcome == QELMAR_DELIVERED ? delivered : not_delivered;
}

constexpr const char* raw_help = "Pass the text between '#' marks through unconverted";
void add_send(CLI::App& app, Cli& c) {
  c.send = app.add_subcommand("send", "Send each TEXT with tavdll and print its result code");
  c.send->add_option("-p,--port", c.port, "Port number")
      ->capture_default_str()
      ->check(port_number());
  c.send->add_flag("--raw", c.raw, raw_help);
  c.send->add_option("TEXT", c.texts, "Command texts")->required();
  c.send->add_flag("-q,--quiet", c.quiet, quiet_help);
}

void add_rc(CLI::App& app, Cli& c) {
  c.rc = app.add_subcommand("rc", "Send the frame 0x12 BYTE BYTE with tavrc");
  c.rc->add_option("-p,--port", c.port, "Port number")->capture_default_str()->check(port_number());
  // Any value tavrc takes; it sends the low 8 bits.
  const CLI::Validator int32 = whole_number(INT32_MIN, INT32_MAX);
  c.rc->add_option("BYTE", c.first, "First parameter byte (only its low 8 bits are sent)")
      ->required()
      ->check(int32);
  c.rc->add_option("BYTE2", c.second, "Second parameter byte")->required()->check(int32);
  c.rc->add_flag("-q,--quiet", c.quiet, quiet_help);
}

void add_play(CLI::App& app, Cli& c) {
  c.play = app.add_subcommand("play", "Play a sound file with tavadd");
  c.play->add_option("FILE", c.file, "Sound file")->required();
  c.play->add_flag("-q,--quiet", c.quiet, quiet_help);
}

void add_encode(CLI::App& app, Cli& c) {
  c.encode = app.add_subcommand(
      "encode",
      "Print the frame tavdll would write for each TEXT (writes to no port) and its result");
  c.encode->add_flag("--raw", c.raw, raw_help);
  c.encode->add_option("TEXT", c.texts, "Command texts")->required();
}

struct Subcommand {
  std::string_view name;
  std::function<void(CLI::App&, Cli&)> add;
};

// Every subcommand, the shared ones first.
std::vector<Subcommand> subcommands(const Cli& c) {
  std::vector<Subcommand> all = {
      {"send", add_send}, {"rc", add_rc}, {"play", add_play}, {"encode", add_encode}};
  for (const SubcommandInfo& info : c.local_subcommands) {
    all.push_back({info.name, [&info](CLI::App& app, Cli&) { add_described(app, info); }});
  }
  return all;
}

bool given(const CLI::App* subcommand) { return subcommand != nullptr && *subcommand; }

// Runs the subcommand the command line gave.
int dispatch(const CLI::App& app, const Cli& c) {
  if (given(c.send)) return send_texts(c.port, c.texts, c.raw, c.quiet);
  if (given(c.rc)) return send_rc(c.port, c.first, c.second, c.quiet);
  if (given(c.play)) return play_file(c.file, c.quiet);
  if (given(c.encode)) {
    bool all = true;
    for (const std::string& t : c.texts) all = print_frame(t, device_text(t, c.raw)) && all;
    return all ? delivered : not_delivered;
  }
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  return chosen.empty() ? delivered : run_platform(chosen.front()->get_name(), *c.local);
}

// Edits (insert, delete, replace, swap two neighbours) that turn one into the other.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The name `word` was likely meant to be, or empty when none is near.
template <class Names>
std::string_view nearest(std::string_view word, const Names& names) {
  std::string_view found;
  std::size_t best = 3;  // more edits than this is no longer a typo
  for (std::string_view name : names) {
    // The start of a name is as good as a typo in it: udev for udev-rule.
    const std::size_t distance =
        word.size() >= 2 && name.starts_with(word) ? 1 : edit_distance(word, name);
    if (distance < best) {
      best = distance;
      found = name;
    }
  }
  return found;
}

// CLI11 would only say that a subcommand is required: name the word it did
// not know, and the subcommand meant when one is near.
int unknown_subcommand(std::string_view word, const std::vector<Subcommand>& subcommands) {
  std::vector<std::string_view> names;
  std::string all;
  for (const auto& [name, add] : subcommands) {
    names.push_back(name);
    all += (all.empty() ? "" : ", ") + std::string(name);
  }
  const std::string_view nearest_name = nearest(word, names);
  std::cerr << "qelmar: unknown subcommand '" << word << "'";
  if (nearest_name.empty()) {
    std::cerr << " (one of " << all << "; see --help)\n";
  } else {
    std::cerr << ": did you mean '" << nearest_name << "'? (see --help)\n";
  }
  return usage_error;
}

// The first long option on the command line that `where` does not know, and
// the one it is near; both empty when every one is known or none is near.
// Short options are left alone: any letter is one edit from any other.
std::pair<std::string, std::string> mistyped_option(const CLI::App& app, const CLI::App* where,
                                                    int argc, char** argv) {
  std::vector<std::string> names;
  for (const CLI::App* level : {&app, where}) {
    if (level == nullptr) continue;
    for (const CLI::Option* option : level->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  for (int i = where != nullptr ? 2 : 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (!arg.starts_with("--")) continue;
    const std::string_view word = arg.substr(0, arg.find('='));
    if (std::find(names.begin(), names.end(), word) != names.end()) continue;
    const std::string_view meant = nearest(word, names);
    if (!meant.empty()) return {std::string(word), std::string(meant)};
  }
  return {};
}

#ifndef QELMAR_VERSION
#define QELMAR_VERSION "unknown"
#endif

// Everything but the last resort for what nobody expected.
int run(int argc, char** argv) {
  CLI::App app{"Drive a qelmar price display, or stand in for one."};
  app.require_subcommand(1);
  app.set_version_flag("--version", "qelmar " QELMAR_VERSION, "Print the version and exit");

  // Building every subcommand's options costs more than a whole tavrc call, so
  // a run that names one builds only that one; help and errors get them all.
  const std::string_view named = argc > 1 ? argv[1] : "";
  Cli cli;
  const std::vector<Subcommand> all = subcommands(cli);
  const bool one =
      std::any_of(all.begin(), all.end(), [&](const Subcommand& s) { return s.name == named; });
  if (!one && !named.empty() && named[0] != '-') return unknown_subcommand(named, all);
  for (const auto& [name, add] : all) {
    if (!one || name == named) add(app, cli);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    const CLI::App* where = one ? app.get_subcommand(std::string(named)) : nullptr;
    if (const auto [word, meant] = mistyped_option(app, where, argc, argv); !meant.empty()) {
      std::cerr << "qelmar: unknown option '" << word << "': did you mean '" << meant
                << "'? (see --help)\n";
    } else {
      std::cerr << "qelmar: " << e.what() << " (see --help)\n";
    }
    return usage_error;
  }

  try {
    return dispatch(app, cli);
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
    return usage_error;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // As UTF-8 on every system, so that the rest reads them alike.
    std::vector<std::string> arguments = program_arguments(argc, argv);
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const int count = static_cast<int>(arguments.size());
    if (const int handed = hand_over(count, pointers.data()); handed >= 0) return handed;
    return run(count, pointers.data());
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelmar: failed\n";
  }
  return 1;
}
