// SPDX-License-Identifier: MIT
// The tool on Windows: arguments read as UTF-16 and handed on as UTF-8, COM
// ports as Windows lists them, and a doctor that asks Windows what it can tell.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "tools/platform.h"
#include "tools/ports.h"

namespace qelmar::tools {

struct PlatformOptions {
  int port = 1;
  bool json = false, send_test = false;
};

namespace {

std::string utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.pop_back();  // the NUL
  return out;
}

// What Windows says about an error, on one line.
std::string system_words(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = length > 0 ? utf8(text) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
    words.pop_back();
  return "error " + std::to_string(error) + (words.empty() ? "" : ": " + words);
}

// The port opened for reading only: Windows lets one program at a time open a
// COM port, so this tells whether another holds it without writing a byte.
// Closed when it goes.
class Opened {
 public:
  explicit Opened(int port)
      : handle_(::CreateFileW((L"\\\\.\\COM" + std::to_wstring(port)).c_str(), GENERIC_READ, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS) {}
  ~Opened() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;

  HANDLE handle() const { return handle_; }
  DWORD error() const { return error_; }

 private:
  HANDLE handle_;
  DWORD error_;
};

std::string described(const SerialDevice& d) {
  std::string text = d.kind;
  if (!d.driver.empty()) text += ", " + d.driver;
  if (d.kind == "USB") text += ", " + d.vendor_id + ":" + d.product_id;
  if (!d.by_id.empty()) text += ", " + d.by_id;
  return text;
}

void suggest_ports(const std::vector<SerialDevice>& devices, Checks& checks) {
  std::string numbers;
  for (const SerialDevice& d : devices) {
    for (const int n : d.ports) numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
  }
  checks.advice(numbers.empty()
                    ? "Windows lists no COM port: plug the adapter in, and see Device Manager, "
                      "Ports (COM & LPT), for a missing driver"
                    : "the COM ports Windows lists are " + numbers + ": use one with -p");
}

void check_open(int port, const Opened& opened, Checks& checks) {
  const std::string com = "COM" + std::to_string(port);
  switch (opened.error()) {
    case ERROR_SUCCESS:
      checks.ok(com + " opens: no other program holds it");
      return;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      checks.problem(com +
                     " is held by another program (Windows lets one program at a time open a "
                     "COM port, and does not say which)");
      checks.advice(
          "close the program that uses it: a till or terminal program, or the qelmar service "
          "when it serves this port; Resource Monitor's CPU tab, Associated Handles, finds "
          "\\Device\\ names");
      return;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      checks.problem(com + " cannot be opened: no such device");
      return;
    default:
      checks.problem(com + " cannot be opened: " + system_words(opened.error()));
  }
}

int doctor(int port, std::ostream& out) {
  Checks checks{out};
  char path[QELMAR_PATH_SIZE];
  qelmar_resolve_port(nullptr, port, path, sizeof path, nullptr);
  out << "port " << port << ": " << path << "\n";
  const std::vector<SerialDevice> devices = list_ports(this_machine("/"));
  const SerialDevice* listed = nullptr;
  for (const SerialDevice& d : devices) {
    for (const int n : d.ports) {
      if (n == port) listed = &d;
    }
  }
  if (listed != nullptr) {
    checks.ok("Windows lists it: " + listed->path + " (" + described(*listed) + ")");
  }
  const Opened opened(port);
  check_open(port, opened, checks);
  if (listed == nullptr && checks.usable) {
    checks.advice("Windows's list of COM ports (SERIALCOMM) lacks it, but it opens");
  } else if (listed == nullptr) {
    checks.problem("Windows lists no COM" + std::to_string(port));
    suggest_ports(devices, checks);
  }
  return checks.usable ? delivered : not_delivered;
}

// doctor --send-test: a frame that shows nothing (0x0C), then the line's settings.
int send_test_frame(int port) {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  qelmar_send(port, "*", &status);
  const bool sent = status.outcome == QELMAR_DELIVERED;
  std::cout << (sent ? "ok       " : "problem  ") << "test frame: " << words(status) << "\n";
  if (!sent) return not_delivered;
  const Opened opened(port);
  DCB line{};
  line.DCBlength = sizeof line;
  const bool read_back =
      opened.handle() != INVALID_HANDLE_VALUE && ::GetCommState(opened.handle(), &line) != 0;
  const bool right = read_back && line.BaudRate == CBR_2400 && line.ByteSize == 8 &&
                     line.Parity == NOPARITY && line.StopBits == ONESTOPBIT;
  std::cout << (right ? "ok       the line reads back as 2400 8N1\n"
                      : "problem  the line does not read back as 2400 8N1\n");
  return right ? delivered : not_delivered;
}

// The width of the UTF-8 character that starts with `lead`; 0 when none does.
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

}  // namespace

std::vector<SubcommandInfo> platform_subcommands(PlatformOptions& c) {
  return {{"ports",
           "List the serial devices and the port numbers that reach them",
           {{.names = "--json", .help = "As JSON", .into = &c.json}}},
          {"doctor",
           "Find out why port N shows nothing",
           {port_option(c.port, false),
            {.names = "--send-test",
             .help = "Also send a test frame and read back the line settings",
             .into = &c.send_test}}}};
}

std::shared_ptr<PlatformOptions> platform_options() { return std::make_shared<PlatformOptions>(); }

int run_platform(std::string_view subcommand, const PlatformOptions& c) {
  if (subcommand == "ports") {
    print_ports(list_ports(this_machine("/")), c.json, std::cout);
    return delivered;
  }
  if (subcommand == "doctor") {
    const int usable = doctor(c.port, std::cout);
    return usable == delivered && c.send_test ? send_test_frame(c.port) : usable;
  }
  return delivered;
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  // Lines end as on Linux, so that scripts read both alike.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // argv holds the arguments in the ANSI code page, which loses what it
  // cannot hold; the command line itself is UTF-16.
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

int hand_over(int /*argc*/, char** /*argv*/) { return -1; }

namespace {

// UTF-8 text in the ANSI code page, as a program's argv holds it; unchanged
// where that cannot hold it all.
std::string ansi(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int wide_size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (wide_size <= 0) return text;
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), wide_size);
  BOOL lost = FALSE;
  const int out_size =
      ::WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_size, nullptr, 0, nullptr, &lost);
  if (out_size <= 0 || lost) return text;
  std::string out(static_cast<std::size_t>(out_size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_size, out.data(), out_size, nullptr, nullptr);
  return out;
}

}  // namespace

std::string device_text(const std::string& text, bool raw) {
  const std::size_t first = text.find_first_not_of(' ');
  // What is not converted goes as the host's bytes would: a till's GB2312
  // (code page 936) passes through unchanged.
  if (raw || first == std::string::npos || text[first] != '#') return ansi(text);
  const Converted converted = convert(text, "UTF-8");
  if (converted.outcome == QELMAR_DELIVERED) return converted.text;
  if (converted.outcome != QELMAR_DROPPED) {
    throw std::runtime_error("cannot convert from UTF-8 to GB2312");
  }
  const std::size_t at = converted.failed_at;
  const std::size_t length =
      at < text.size() ? utf8_length(static_cast<unsigned char>(text[at])) : 0;
  const std::string where = " at byte " + std::to_string(at);
  if (length == 0 || at + length > text.size()) {
    throw std::runtime_error("'" + text + "': the text between '#' marks is not UTF-8" + where);
  }
  throw std::runtime_error("'" + text + "': GB2312 has no character '" + text.substr(at, length) +
                           "'" + where);
}

}  // namespace qelmar::tools
