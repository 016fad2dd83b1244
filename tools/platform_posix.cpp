// SPDX-License-Identifier: MIT
// The tool on Linux and other POSIX systems: arguments in the locale's
// character set, devices under /dev, the virtual display over a
// pseudo-terminal, udev rules and Wine prefixes.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cwchar>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "tools/charset.h"
#include "tools/display.h"
#include "tools/platform.h"
#include "tools/ports.h"
#include "tools/wine_port.h"

namespace qelmar::tools {

struct PlatformOptions {
  int port = 1;
  bool json = false, send_test = false, clear_exclusive = false, force = false;
  std::string root = "/", device;
  DisplayOptions display_options;
  WinePortOptions wine;
};

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

// Only a text command ('#' first) is converted, so only it reads the locale.
std::string locale_text(const std::string& text, bool raw) {
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

constexpr std::string_view root_help = "Read sysfs, /dev and /proc below DIR (for tests)";

int print_udev_rule(const Machine& machine, const PlatformOptions& c) {
  const std::string rule = udev_rule(machine, c.port, c.device);
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

}  // namespace

std::vector<SubcommandInfo> platform_subcommands(PlatformOptions& c) {
  return {
      {"ports",
       "List the serial devices and the port numbers that reach them",
       {{.names = "--json", .help = "As JSON", .into = &c.json},
        {.names = "--root", .help = root_help, .into = &c.root}}},
      {"doctor",
       "Find out why port N shows nothing",
       {port_option(c.port, false),
        {.names = "--send-test",
         .help = "Also check exclusive mode, send a test frame and read back the line settings",
         .into = &c.send_test},
        {.names = "--clear-exclusive",
         .help = "Clear an exclusive mode (TIOCEXCL) that no other program holds (root only)",
         .into = &c.clear_exclusive},
        {.names = "--force",
         .help = "With --clear-exclusive: even under a program using it",
         .into = &c.force,
         .needs = "--clear-exclusive"},
        {.names = "--root", .help = root_help, .into = &c.root}}},
      {"udev-rule",
       "Print a udev rule that names a USB adapter /dev/comN",
       {port_option(c.port, true),
        {.names = "DEVICE",
         .help = "The adapter's tty, e.g. /dev/ttyUSB0",
         .into = &c.device,
         .required = true},
        {.names = "--root", .help = "Read sysfs below DIR (for tests)", .into = &c.root}}},
      {"serve",
       "Serve the display to browser pages and scripts over local HTTP (qelmar serve --help)",
       {}},
      {"display",
       "Be a virtual display and show what arrives",
       {port_option(c.display_options.port, false),
        {.names = "--dir",
         .help = "Where to link comN (default: a fresh temporary directory)",
         .into = &c.display_options.dir},
        {.names = "--count",
         .help = "Exit after N frames (0: never)",
         .into = &c.display_options.count,
         .low = 0,
         .high = 1000000}}},
      {"wine-port",
       "Map COMN of a Wine prefix to DEVICE, for Windows hosts run under Wine",
       {port_option(c.wine.port, true),
        {.names = "--prefix",
         .help = "The Wine prefix (default: $WINEPREFIX, else ~/.wine)",
         .into = &c.wine.prefix},
        {.names = "--remove", .help = "Undo what wine-port mapped on COMN", .into = &c.wine.remove},
        {.names = "DEVICE",
         .help = "The tty, e.g. /dev/serial/by-id/...",
         .into = &c.wine.device,
         .excludes = "--remove"},
        {.names = "--root",
         .help = "Read sysfs and /proc below DIR (for tests)",
         .into = &c.root}}},
  };
}

std::shared_ptr<PlatformOptions> platform_options() { return std::make_shared<PlatformOptions>(); }

int run_platform(std::string_view subcommand, const PlatformOptions& c) {
  if (subcommand == "display") return run_display(c.display_options, std::cout);
  const Machine machine = this_machine(c.root);
  if (subcommand == "ports") {
    print_ports(list_ports(machine), c.json, std::cout);
    return 0;
  }
  if (subcommand == "doctor") {
    const DoctorOptions options{.look = c.send_test || c.clear_exclusive,
                                .clear_exclusive = c.clear_exclusive,
                                .force = c.force};
    const int usable = doctor(machine, c.port, std::cout, options);
    return usable == 0 && c.send_test ? send_test_frame(c.port) : usable;
  }
  if (subcommand == "wine-port") {
    if (!c.wine.remove && c.wine.device.empty()) {
      std::cerr << "qelmar: wine-port: DEVICE is required, or --remove (see --help)\n";
      return usage_error;
    }
    return wine_port(machine, c.wine, std::cout, std::cerr);
  }
  return subcommand == "udev-rule" ? print_udev_rule(machine, c) : delivered;
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  // The text between '#' marks is converted from the locale's set later, as
  // only text commands need it.
  return {argv, argv + argc};
}

int hand_over(int argc, char** argv) {
  return argc > 1 && std::string(argv[1]) == "serve" ? exec_serve(argv) : -1;
}

std::string device_text(const std::string& text, bool raw) { return locale_text(text, raw); }

}  // namespace qelmar::tools
