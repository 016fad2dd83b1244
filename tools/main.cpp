// SPDX-License-Identifier: MIT
// qelmar: try a display without writing a host, and see what a host sends.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qelmar/host.h"
#include "tools/charset.h"
#include "tools/display.h"
#include "tools/hex.h"
#include "tools/ports.h"
#include "tools/wine_port.h"

namespace {

// The names glibc gives the character sets, compared as iconv would.
bool same_name(std::string_view name, std::string_view wanted) {
  std::string plain;
  for (const char c : name) {
    if (c != '-' && c != '_')
      plain += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return plain == wanted;
}

// The command as the library converts it from `charset` (NULL: UTF-8); its
// outcome, and where a character it could not convert starts.
struct Converted {
  qelmar_outcome outcome = QELMAR_UNFILLED;
  std::string text;
  std::size_t failed_at = QELMAR_NO_FAULT;
};

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

// Only a text command ('#' first) is converted, so only it reads the locale.
std::string device_text(const std::string& text, bool raw) {
  const std::size_t first = text.find_first_not_of(' ');
  if (raw || first == std::string::npos || text[first] != '#') return text;
  const std::string charset = qelmar::tools::locale_charset();
  const Converted converted = convert(text, charset.c_str());
  if (converted.outcome == QELMAR_DELIVERED) return converted.text;
  if (converted.outcome != QELMAR_DROPPED) {
    throw std::runtime_error("cannot convert from " + charset + " to GB2312");
  }
  const bool ascii = same_name(charset, "ANSIX3.41968") || same_name(charset, "ASCII") ||
                     same_name(charset, "USASCII");
  if (!same_name(charset, "UTF8") &&
      (ascii || convert(text, nullptr).outcome == QELMAR_DELIVERED)) {
    // The terminal sends UTF-8 whatever the locale says: the locale is the fault.
    throw std::runtime_error("the locale (" + charset +
                             ") is not UTF-8, so the text between '#' marks cannot be read: run "
                             "with LC_ALL=C.UTF-8 or another UTF-8 locale");
  }
  const std::size_t at = converted.failed_at;
  std::mbstate_t state{};
  const std::size_t length = std::mbrlen(text.data() + at, text.size() - at, &state);
  const std::string where = " at byte " + std::to_string(at);
  if (length == 0 || length > 8) {
    throw std::runtime_error("'" + text + "': the text between '#' marks is not " + charset +
                             where);
  }
  throw std::runtime_error("'" + text + "': GB2312 has no character '" + text.substr(at, length) +
                           "'" + where);
}

// Exit codes, as the README documents them.
constexpr int delivered = 0;
constexpr int usage_error = 1;
constexpr int not_delivered = 2;

// The outcome in words, as the bridge says it too.
std::string words(const qelmar_status& status) {
  char outcome[512];
  qelmar_describe(&status, outcome, sizeof outcome);
  return outcome;
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
  std::cout << (length >= 0 ? qelmar::tools::hex({frame, static_cast<std::size_t>(length)}) : "-")
            << "\n"
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

// doctor --send-test: a frame that shows nothing (0x0C), then the line's settings.
int send_test_frame(int port) {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  qelmar_send(port, "*", &status);
  const bool sent = status.outcome == QELMAR_DELIVERED;
  std::cout << (sent ? "ok       " : "problem  ") << "test frame: " << words(status) << "\n";
  if (!sent || status.tried_count == 0) return not_delivered;
  const int fd =
      ::open(status.tried[status.tried_count - 1], O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios line{};
  const bool read_back = fd >= 0 && ::tcgetattr(fd, &line) == 0;
  if (fd >= 0) ::close(fd);
  const bool right = read_back && cfgetospeed(&line) == B2400 && (line.c_cflag & CSIZE) == CS8 &&
                     (line.c_cflag & (PARENB | CSTOPB)) == 0;
  std::cout << (right ? "ok       the line reads back as 2400 8N1\n"
                      : "problem  the line does not read back as 2400 8N1\n");
  return right ? delivered : not_delivered;
}

#ifndef QELMAR_SERVE_FROM_BIN
#define QELMAR_SERVE_FROM_BIN "."
#endif

// `qelmar serve` is its own program beside this one (in the build tree) or in
// the libexec folder (installed), so that this one stays light to start.
int exec_serve(char** argv) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir =
      n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./qelmar");
  dir.resize(dir.rfind('/') + 1);
  for (const std::string& where :
       {dir + "qelmar-serve", dir + QELMAR_SERVE_FROM_BIN "/qelmar-serve"}) {
    if (::access(where.c_str(), X_OK) == 0) {
      argv[1] = const_cast<char*>("qelmar serve");
      ::execv(where.c_str(), argv + 1);
      std::cerr << "qelmar: cannot run " << where << "\n";
      return usage_error;
    }
  }
  std::cerr << "qelmar: qelmar-serve is not installed beside " << dir << "\n";
  return usage_error;
}

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

// Port numbers as hosts number COM ports, as the bridge takes them too.
const CLI::Validator port_number = whole_number(QELMAR_PORT_MIN, QELMAR_PORT_MAX);

// What the command line says, filled in by CLI11.
struct Cli {
  int port = 1;
  bool raw = false, quiet = false, json = false, send_test = false;
  bool clear_exclusive = false, force = false;
  std::vector<std::string> texts;
  std::int32_t first = 0, second = 0;
  std::string file, root = "/", device;
  qelmar::tools::DisplayOptions display_options;
  qelmar::tools::WinePortOptions wine;
  CLI::App *send = nullptr, *rc = nullptr, *play = nullptr, *encode = nullptr, *ports = nullptr,
           *doctor = nullptr, *udev = nullptr, *display = nullptr, *wine_port = nullptr;
};

constexpr const char* quiet_help = "Say nothing on stderr; only the exit code tells";
constexpr const char* raw_help = "Pass the text between '#' marks through unconverted";
constexpr const char* root_help = "Read sysfs, /dev and /proc below DIR (for tests)";

void add_send(CLI::App& app, Cli& c) {
  c.send = app.add_subcommand("send", "Send each TEXT with tavdll and print its result code");
  c.send->add_option("-p,--port", c.port, "Port number")->capture_default_str()->check(port_number);
  c.send->add_flag("--raw", c.raw, raw_help);
  c.send->add_option("TEXT", c.texts, "Command texts")->required();
  c.send->add_flag("-q,--quiet", c.quiet, quiet_help);
}

void add_rc(CLI::App& app, Cli& c) {
  c.rc = app.add_subcommand("rc", "Send the frame 0x12 BYTE BYTE with tavrc");
  c.rc->add_option("-p,--port", c.port, "Port number")->capture_default_str()->check(port_number);
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

void add_ports(CLI::App& app, Cli& c) {
  c.ports =
      app.add_subcommand("ports", "List the serial devices and the port numbers that reach them");
  c.ports->add_flag("--json", c.json, "As JSON");
  c.ports->add_option("--root", c.root, root_help);
}

void add_doctor(CLI::App& app, Cli& c) {
  c.doctor = app.add_subcommand("doctor", "Find out why port N shows nothing");
  c.doctor->add_option("-p,--port", c.port, "Port number")
      ->capture_default_str()
      ->check(port_number);
  c.doctor->add_flag("--send-test", c.send_test,
                     "Also check exclusive mode, send a test frame and read back the line "
                     "settings");
  CLI::Option* clear = c.doctor->add_flag(
      "--clear-exclusive", c.clear_exclusive,
      "Clear an exclusive mode (TIOCEXCL) that no other program holds (root only)");
  c.doctor->add_flag("--force", c.force, "With --clear-exclusive: even under a program using it")
      ->needs(clear);
  c.doctor->add_option("--root", c.root, root_help);
}

void add_udev(CLI::App& app, Cli& c) {
  c.udev = app.add_subcommand("udev-rule", "Print a udev rule that names a USB adapter /dev/comN");
  c.udev->add_option("-p,--port", c.port, "Port number")->required()->check(port_number);
  c.udev->add_option("DEVICE", c.device, "The adapter's tty, e.g. /dev/ttyUSB0")->required();
  c.udev->add_option("--root", c.root, "Read sysfs below DIR (for tests)");
}

void add_serve(CLI::App& app, Cli&) {
  app.add_subcommand("serve",
                     "Serve the display to browser pages and scripts over local HTTP "
                     "(qelmar serve --help)");
}

void add_display(CLI::App& app, Cli& c) {
  c.display = app.add_subcommand("display", "Be a virtual display and show what arrives");
  c.display->add_option("-p,--port", c.display_options.port, "Port number")
      ->capture_default_str()
      ->check(port_number);
  c.display->add_option("--dir", c.display_options.dir,
                        "Where to link comN (default: a fresh temporary directory)");
  c.display->add_option("--count", c.display_options.count, "Exit after N frames (0: never)")
      ->check(whole_number(0, 1000000));
}

void add_wine_port(CLI::App& app, Cli& c) {
  c.wine_port = app.add_subcommand(
      "wine-port", "Map COMN of a Wine prefix to DEVICE, for Windows hosts run under Wine");
  c.wine_port->add_option("-p,--port", c.wine.port, "Port number")->required()->check(port_number);
  c.wine_port->add_option("--prefix", c.wine.prefix,
                          "The Wine prefix (default: $WINEPREFIX, "
                          "else ~/.wine)");
  CLI::Option* remove =
      c.wine_port->add_flag("--remove", c.wine.remove, "Undo what wine-port mapped on COMN");
  c.wine_port->add_option("DEVICE", c.wine.device, "The tty, e.g. /dev/serial/by-id/...")
      ->excludes(remove);
  c.wine_port->add_option("--root", c.root, "Read sysfs and /proc below DIR (for tests)");
}

using Builder = void (*)(CLI::App&, Cli&);
constexpr std::pair<std::string_view, Builder> subcommands[] = {
    {"send", add_send},          {"rc", add_rc},       {"play", add_play},
    {"encode", add_encode},      {"ports", add_ports}, {"doctor", add_doctor},
    {"udev-rule", add_udev},     {"serve", add_serve}, {"display", add_display},
    {"wine-port", add_wine_port}};

bool given(const CLI::App* subcommand) { return subcommand != nullptr && *subcommand; }

int print_udev_rule(const qelmar::tools::Machine& machine, const Cli& c) {
  const std::string rule = qelmar::tools::udev_rule(machine, c.port, c.device);
  if (rule.empty()) {
    std::error_code error;
    const bool there = std::filesystem::exists(machine.at(c.device), error);
    std::cerr << "qelmar: " << c.device
              << (there ? " is not a USB serial adapter\n" : ": no such device\n");
    return not_delivered;
  }
  std::cout << rule;
  return 0;
}

// Runs the subcommand the command line gave.
int dispatch(const Cli& c) {
  if (given(c.send)) return send_texts(c.port, c.texts, c.raw, c.quiet);
  if (given(c.rc)) return send_rc(c.port, c.first, c.second, c.quiet);
  if (given(c.play)) return play_file(c.file, c.quiet);
  if (given(c.display)) return qelmar::tools::run_display(c.display_options, std::cout);
  if (given(c.encode)) {
    bool all = true;
    for (const std::string& t : c.texts) all = print_frame(t, device_text(t, c.raw)) && all;
    return all ? delivered : not_delivered;
  }
  const qelmar::tools::Machine machine = qelmar::tools::this_machine(c.root);
  if (given(c.ports)) {
    qelmar::tools::print_ports(qelmar::tools::list_ports(machine), c.json, std::cout);
    return 0;
  }
  if (given(c.doctor)) {
    const qelmar::tools::DoctorOptions options{.look = c.send_test || c.clear_exclusive,
                                               .clear_exclusive = c.clear_exclusive,
                                               .force = c.force};
    const int usable = qelmar::tools::doctor(machine, c.port, std::cout, options);
    return usable == 0 && c.send_test ? send_test_frame(c.port) : usable;
  }
  if (given(c.wine_port)) {
    if (!c.wine.remove && c.wine.device.empty()) {
      std::cerr << "qelmar: wine-port: DEVICE is required, or --remove (see --help)\n";
      return usage_error;
    }
    return qelmar::tools::wine_port(machine, c.wine, std::cout, std::cerr);
  }
  return given(c.udev) ? print_udev_rule(machine, c) : delivered;
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
int unknown_subcommand(std::string_view word) {
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
  const bool one = std::any_of(std::begin(subcommands), std::end(subcommands),
                               [&](const auto& s) { return s.first == named; });
  if (!one && !named.empty() && named[0] != '-') return unknown_subcommand(named);
  Cli cli;
  for (const auto& [name, add] : subcommands) {
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
    return dispatch(cli);
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
    return usage_error;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "serve") return exec_serve(argv);
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelmar: failed\n";
  }
  return 1;
}
