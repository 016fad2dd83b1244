// qelmar: try a display without writing a host, and see what a host sends.
#include <CLI/CLI.hpp>
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "encoder/interpreter.h"
#include "qelmar.h"
#include "tools/charset.h"
#include "tools/display.h"
#include "tools/hex.h"

namespace {

std::string device_text(const std::string& text, bool raw) {
  return raw ? text : qelmar::tools::to_device(text, qelmar::tools::locale_charset());
}

void print_frame(const qelmar::Command& command) {
  std::cout << (command.send ? qelmar::tools::hex(command.frame.bytes()) : "-") << "\n"
            << "result " << command.result << "\n";
}

// Everything but the last resort for what nobody expected.
int run(int argc, char** argv) {
  CLI::App app{"Drive a qelmar price display, or stand in for one."};
  app.require_subcommand(1);

  int port = 1;
  bool raw = false;
  std::vector<std::string> texts;
  auto* send = app.add_subcommand("send", "Send each TEXT with tavdll and print its result code");
  send->add_option("-p,--port", port, "Port number")->capture_default_str();
  send->add_flag("--raw", raw, "Pass the text between '#' marks through unconverted");
  send->add_option("TEXT", texts, "Command texts")->required();

  std::int32_t first = 0, second = 0;
  auto* rc = app.add_subcommand("rc", "Send the frame 0x12 BYTE BYTE with tavrc");
  rc->add_option("-p,--port", port, "Port number")->capture_default_str();
  rc->add_option("BYTE", first, "First parameter byte (only its low 8 bits are sent)")->required();
  rc->add_option("BYTE2", second, "Second parameter byte")->required();

  std::string file;
  auto* play = app.add_subcommand("play", "Play a sound file with tavadd");
  play->add_option("FILE", file, "Sound file")->required();

  auto* encode = app.add_subcommand(
      "encode",
      "Print the frame tavdll would write for each TEXT (writes to no port) and its result");
  encode->add_flag("--raw", raw, "Pass the text between '#' marks through unconverted");
  encode->add_option("TEXT", texts, "Command texts")->required();

  qelmar::tools::DisplayOptions display_options;
  auto* display = app.add_subcommand("display", "Be a virtual display and show what arrives");
  display->add_option("-p,--port", display_options.port, "Port number")->capture_default_str();
  display->add_option("--dir", display_options.dir,
                      "Where to link comN (default: a fresh temporary directory)");
  display->add_option("--count", display_options.count, "Exit after N frames")
      ->check(CLI::NonNegativeNumber);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "qelmar: " << e.what() << " (see --help)\n";
    return 2;
  }

  try {
    if (*send) {
      for (const std::string& t : texts) {
        std::cout << tavdll(port, device_text(t, raw).c_str()) << std::endl;
      }
    } else if (*rc) {
      tavrc(port, first, second);
    } else if (*play) {
      tavadd(0, file.c_str());
    } else if (*encode) {
      for (const std::string& t : texts) print_frame(qelmar::encode(device_text(t, raw)));
    } else if (*display) {
      return qelmar::tools::run_display(display_options, std::cout);
    }
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qelmar: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelmar: failed\n";
  }
  return 1;
}
