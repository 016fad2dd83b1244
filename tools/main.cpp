// qelmar: try a display without writing a host, and see what a host sends.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "api/calls.h"
#include "encoder/interpreter.h"
#include "tools/charset.h"
#include "tools/display.h"
#include "tools/hex.h"
#include "tools/ports.h"

namespace {

// Only a text command ('#' first) is converted, so only it reads the locale.
std::string device_text(const std::string& text, bool raw) {
  const std::size_t first = text.find_first_not_of(' ');
  if (raw || first == std::string::npos || text[first] != '#') return text;
  return qelmar::tools::to_device(text, qelmar::tools::locale_charset());
}

void print_frame(const qelmar::Command& command) {
  std::cout << (command.send ? qelmar::tools::hex(command.frame.bytes()) : "-") << "\n"
            << "result " << command.result << "\n";
}

// Exit codes, as the README documents them.
constexpr int delivered = 0;
constexpr int usage_error = 1;
constexpr int not_delivered = 2;

// What became of one call, in words on stderr; whether its frame went out whole.
bool report(const std::string& what, const qelmar::CallStatus& status, bool quiet) {
  if (!quiet) {
    char outcome[512];
    qelmar::describe(status, outcome, sizeof outcome);
    std::cerr << "qelmar: port " << status.port;
    if (status.tried_count > 0) std::cerr << " (" << status.tried[status.tried_count - 1] << ")";
    std::cerr << ": " << what << ": " << outcome << "\n";
  }
  return status.sent_whole();
}

int send_texts(int port, const std::vector<std::string>& texts, bool raw, bool quiet) {
  bool all = true;
  for (const std::string& t : texts) {
    qelmar::CallStatus status;
    status.port = port;
    std::cout << qelmar::send_command(port, device_text(t, raw).c_str(), &status) << std::endl;
    all = report("'" + t + "'", status, quiet) && all;
  }
  return all ? delivered : not_delivered;
}

int send_rc(int port, std::int32_t first, std::int32_t second, bool quiet) {
  qelmar::CallStatus status;
  status.port = port;
  qelmar::send_rc(port, first, second, &status);
  return report("the 0x12 frame", status, quiet) ? delivered : not_delivered;
}

int play_file(const std::string& file, bool quiet) {
  qelmar::sound::SoundStatus status;
  qelmar::play_sound(file.c_str(), &status);
  const bool played = status.fallback[0] == '\0' && std::string(status.ending) == "played";
  if (!quiet) {
    std::cerr << "qelmar: " << file;
    if (status.format[0] != '\0')
      std::cerr << ", " << status.format << ", " << status.seconds << " s";
    if (status.fallback[0] != '\0')
      std::cerr << ", the default alert instead (" << status.fallback << ")";
    std::cerr << ", to " << status.device << ": " << status.ending << "\n";
  }
  return played ? delivered : not_delivered;
}

// doctor --send-test: a frame that shows nothing (0x0C), then the line's settings.
int send_test_frame(int port) {
  qelmar::CallStatus status;
  status.port = port;
  qelmar::send_command(port, "*", &status);
  char outcome[512];
  qelmar::describe(status, outcome, sizeof outcome);
  std::cout << (status.sent_whole() ? "ok       " : "problem  ") << "test frame: " << outcome
            << "\n";
  if (!status.sent_whole() || status.tried_count == 0) return not_delivered;
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

// Everything but the last resort for what nobody expected.
int run(int argc, char** argv) {
  CLI::App app{"Drive a qelmar price display, or stand in for one."};
  app.require_subcommand(1);

  // Building every subcommand's options costs more than a whole tavrc call, so
  // a run that names one builds only that one; help and errors get them all.
  static constexpr std::string_view names[] = {"send",   "rc",        "play",  "encode", "ports",
                                               "doctor", "udev-rule", "serve", "display"};
  const std::string_view named = argc > 1 ? argv[1] : "";
  const bool one = std::find(std::begin(names), std::end(names), named) != std::end(names);
  const auto wanted = [&](std::string_view name) { return !one || name == named; };
  const auto given = [](const CLI::App* subcommand) {
    return subcommand != nullptr && *subcommand;
  };

  int port = 1;
  bool raw = false;
  bool quiet = false;
  std::vector<std::string> texts;
  CLI::App *send = nullptr, *rc = nullptr, *play = nullptr, *encode = nullptr, *ports = nullptr,
           *doctor = nullptr, *udev = nullptr, *display = nullptr;
  if (wanted("send")) {
    send = app.add_subcommand("send", "Send each TEXT with tavdll and print its result code");
    send->add_option("-p,--port", port, "Port number")->capture_default_str();
    send->add_flag("--raw", raw, "Pass the text between '#' marks through unconverted");
    send->add_option("TEXT", texts, "Command texts")->required();
    send->add_flag("-q,--quiet", quiet, "Say nothing on stderr; only the exit code tells");
  }

  std::int32_t first = 0, second = 0;
  if (wanted("rc")) {
    rc = app.add_subcommand("rc", "Send the frame 0x12 BYTE BYTE with tavrc");
    rc->add_option("-p,--port", port, "Port number")->capture_default_str();
    rc->add_option("BYTE", first, "First parameter byte (only its low 8 bits are sent)")
        ->required();
    rc->add_option("BYTE2", second, "Second parameter byte")->required();
    rc->add_flag("-q,--quiet", quiet, "Say nothing on stderr; only the exit code tells");
  }

  std::string file;
  if (wanted("play")) {
    play = app.add_subcommand("play", "Play a sound file with tavadd");
    play->add_option("FILE", file, "Sound file")->required();
    play->add_flag("-q,--quiet", quiet, "Say nothing on stderr; only the exit code tells");
  }

  if (wanted("encode")) {
    encode = app.add_subcommand(
        "encode",
        "Print the frame tavdll would write for each TEXT (writes to no port) and its result");
    encode->add_flag("--raw", raw, "Pass the text between '#' marks through unconverted");
    encode->add_option("TEXT", texts, "Command texts")->required();
  }

  bool json = false, send_test = false;
  std::string root = "/", device;
  if (wanted("ports")) {
    ports =
        app.add_subcommand("ports", "List the serial devices and the port numbers that reach them");
    ports->add_flag("--json", json, "As JSON");
    ports->add_option("--root", root, "Read sysfs, /dev and /proc below DIR (for tests)");
  }

  if (wanted("doctor")) {
    doctor = app.add_subcommand("doctor", "Find out why port N shows nothing");
    doctor->add_option("-p,--port", port, "Port number")->capture_default_str();
    doctor->add_flag("--send-test", send_test,
                     "Also send a test frame and read back the line settings");
    doctor->add_option("--root", root, "Read sysfs, /dev and /proc below DIR (for tests)");
  }

  if (wanted("udev-rule")) {
    udev = app.add_subcommand("udev-rule", "Print a udev rule that names a USB adapter /dev/comN");
    udev->add_option("-p,--port", port, "Port number")->required();
    udev->add_option("DEVICE", device, "The adapter's tty, e.g. /dev/ttyUSB0")->required();
    udev->add_option("--root", root, "Read sysfs below DIR (for tests)");
  }

  if (wanted("serve"))
    app.add_subcommand("serve",
                       "Serve the display to browser pages and scripts over local HTTP "
                       "(qelmar serve --help)");

  qelmar::tools::DisplayOptions display_options;
  if (wanted("display")) {
    display = app.add_subcommand("display", "Be a virtual display and show what arrives");
    display->add_option("-p,--port", display_options.port, "Port number")->capture_default_str();
    display->add_option("--dir", display_options.dir,
                        "Where to link comN (default: a fresh temporary directory)");
    display->add_option("--count", display_options.count, "Exit after N frames")
        ->check(CLI::NonNegativeNumber);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "qelmar: " << e.what() << " (see --help)\n";
    return usage_error;
  }

  try {
    if (given(send)) return send_texts(port, texts, raw, quiet);
    if (given(rc)) return send_rc(port, first, second, quiet);
    if (given(play)) return play_file(file, quiet);
    const qelmar::tools::Machine machine = qelmar::tools::this_machine(root);
    if (given(ports)) {
      qelmar::tools::print_ports(qelmar::tools::list_ports(machine), json, std::cout);
      return 0;
    }
    if (given(doctor)) {
      const int usable = qelmar::tools::doctor(machine, port, std::cout);
      return usable == 0 && send_test ? send_test_frame(port) : usable;
    }
    if (given(udev)) {
      const std::string rule = qelmar::tools::udev_rule(machine, port, device);
      if (rule.empty()) {
        std::cerr << "qelmar: " << device << " is not a USB serial adapter\n";
        return not_delivered;
      }
      std::cout << rule;
      return 0;
    }
    if (given(encode)) {
      for (const std::string& t : texts) print_frame(qelmar::encode(device_text(t, raw)));
    } else if (given(display)) {
      return qelmar::tools::run_display(display_options, std::cout);
    }
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
    return usage_error;
  }
  return delivered;
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
