// SPDX-License-Identifier: MIT
// The qelmar tool: encode over the command table, the virtual display's reading
// of frames, and a send to display round trip over a pseudo-terminal.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command_table.h"
#include "encoder/interpreter.h"
#include "process.h"
#include "qelmar/host.h"
#include "tools/decode.h"
#include "virtual_port.h"

namespace qelmar::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<std::string> tool_env = {"LANG=C.UTF-8", "LC_ALL="};

// Runs the tool with the given arguments and extra environment (which may
// override the locale).
Process::Result run(const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv{QELMAR_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> all_env = tool_env;
  all_env.insert(all_env.end(), env.begin(), env.end());
  return run_process(argv, {all_env, ""});
}

// The whole table in one run of the tool; a row that differs is named.
TEST(Tool, EncodesTheCommandTable) {
  const std::vector<CommandRow> rows = load_command_table();
  std::vector<std::string> args{"encode", "--raw", "--"};
  for (const CommandRow& row : rows) args.push_back(row.text);
  const Process::Result r = run(args);
  // A text that makes no frame is an exit code 2, as for send.
  const bool all_frames =
      std::all_of(rows.begin(), rows.end(), [](const CommandRow& row) { return row.frame; });
  ASSERT_EQ(r.status, all_frames ? 0 : 2) << r.err;
  std::istringstream out(r.out);
  for (const CommandRow& row : rows) {
    std::string frame, result;
    std::getline(out, frame);
    std::getline(out, result);
    EXPECT_EQ(frame, row.frame ? hex(*row.frame) : "-") << ::testing::PrintToString(row);
    EXPECT_EQ(result, "result " + std::to_string(row.result)) << ::testing::PrintToString(row);
  }
}

TEST(Tool, ConvertsTextBetweenHashMarksFromTheLocale) {
  const std::string not_utf8 =
      "qelmar: the locale (ANSI_X3.4-1968) is not UTF-8, so the text between '#' marks cannot be "
      "read: run with LC_ALL=C.UTF-8 or another UTF-8 locale\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err_has;
    std::vector<std::string> env = {};
  } cases[] = {
      {{"encode", "#总计 12.50#"},
       0,
       "D7 DC BC C6 A1 A1 A3 B1 A3 B2 A3 AE A3 B5 A3 B0\nresult 2\n",
       ""},
      {{"encode", "  #你好#@1@"}, 0, "C4 E3 BA C3\nresult 2\n", ""},
      {{"encode", "#总计"},
       2,
       "-\nresult 2\n",
       "qelmar: '#总计': not sent: the command was dropped (no closing '#')\n"},
      {{"encode", "12.5H"}, 0, "1F 01 02 05 00 1F\nresult 2\n", ""},
      {{"encode", "#€ 5#"}, 1, "", "GB2312 has no character '€'"},
      // Where the character starts, so that a long text's fault can be found.
      {{"send", "-p", "3", "#😀#"}, 1, "", "'#😀#': GB2312 has no character '😀' at byte 1\n"},
      {{"encode", "  #ab😀#"}, 1, "", "GB2312 has no character '😀' at byte 5\n"},
      {{"encode", "#a\xFF#"}, 1, "", "the text between '#' marks is not UTF-8 at byte 2\n"},
      {{"encode", "--raw", "#€ #"}, 0, "A1 A1 A1 A1\nresult 2\n", ""},
      // In the C locale the terminal's UTF-8 is not what the locale says: that
      // is the cause to name, not the bytes GB2312 lacks.
      {{"send", "-p", "3", "#总计#"}, 1, "", not_utf8, {"LC_ALL=C"}},
      {{"encode", "#总计#"}, 1, "", not_utf8, {"LC_ALL=C"}},
      {{"encode", "#AB 12#"}, 0, "A3 C1 A3 C2 A1 A1 A3 B1 A3 B2\nresult 2\n", "", {"LC_ALL=C"}},
  };
  for (const auto& c : cases) {
    const Process::Result r = run(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << c.args.back();
    EXPECT_EQ(r.out, c.out) << c.args.back();
    EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
  }
}

// 0 delivered, 1 usage error, 2 not delivered; on stderr, what became of each.
TEST(Tool, SaysWhatBecameOfEachCallAndExitsByIt) {
  TempDir dir;
  const VirtualPort line(dir.path(), 3);
  const std::vector<std::string> env = {"QELMAR_DEVICE_DIR=" + dir.path()};
  // A sound in the library's own words, which depend on this machine's sound:
  // the alert instead, or no sound device at all.
  const std::string missing = dir.path() + "/missing.wav";
  qelmar_status played;
  QELMAR_STATUS_INIT(played);
  qelmar_play(missing.c_str(), &played);
  char played_words[512];
  qelmar_describe(&played, played_words, sizeof played_words);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err_has;
  } cases[] = {
      {{"send", "-p", "3", "12.5H", "D"}, 0, "com3): 'D': delivered 2 bytes in "},
      {{"rc", "-p", "3", "1", "2"}, 0, "the 0x12 frame: delivered 3 bytes"},
      {{"send", "-p", "4", "12"}, 2, "com4): '12': not sent: no such device"},
      {{"send", "-p", "3", "12", "@1"}, 2, "not sent: the command was dropped (no closing '@')"},
      {{"send", "-p", "3", "-12"}, 2, "nothing to send"},
      {{"send", "--quiet", "-p", "4", "12"}, 2, ""},
      {{"rc", "-p", "4", "1", "2"}, 2, "not sent: no such device"},
      {{"play", missing}, 2, "qelmar: " + missing + ": " + played_words + "\n"},
      {{"send", "-p", "x", "12"}, 1, "see --help"},
  };
  for (const auto& c : cases) {
    const Process::Result r = run(c.args, env);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.err_has), std::string::npos)
        << ::testing::PrintToString(c.args) << r.err;
    if (c.err_has.empty()) {
      EXPECT_EQ(r.err, "") << ::testing::PrintToString(c.args);
    }
  }
  line.read_quiet(20ms);
}

// A machine of its own below a folder: sysfs, /dev and /proc as the tool reads
// them. A USB adapter (ttyUSB0) that /dev/com3 names, held locked by minicom; a
// UART (ttyS0) that port 1 falls back to unless it is a console; one without
// hardware (ttyS1, port 2's fallback); an adapter without a /dev node
// (ttyUSB9); links that lead nowhere (com2) or that the library never forms
// (com01). `consoles` is its /proc/consoles (none: there is none).
class FakeMachine {
 public:
  explicit FakeMachine(const std::optional<std::string>& consoles = "") {
    if (consoles.has_value()) {
      fs::create_directories(root / "proc");
      std::ofstream(root / "proc/consoles") << *consoles;
    }
    const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-1";
    const fs::path port = usb / "1-1:1.0/ttyUSB0";
    const fs::path uart = root / "sys/devices/platform/serial8250";
    for (const fs::path& d :
         {port, uart, root / "sys/bus/usb-serial/drivers/ftdi_sio",
          root / "sys/bus/platform/drivers/serial8250", root / "sys/class/tty/tty0",
          root / "dev/serial/by-id", root / "dev/serial/by-path", root / "proc/4321/fd",
          root / "proc/100/fd", root / "proc/77", root / "proc/78"}) {
      fs::create_directories(d);
    }
    const std::pair<fs::path, std::string> files[] = {{usb / "idVendor", "0403"},
                                                      {usb / "idProduct", "6001"},
                                                      {usb / "manufacturer", "FTDI"},
                                                      {usb / "product", "FT232R USB UART"},
                                                      {usb / "serial", "A1B2C3"},
                                                      {root / "proc/4321/comm", "minicom"},
                                                      {root / "proc/77/comm", "ModemManager"},
                                                      {root / "proc/78/comm", "brltty"},
                                                      {root / "dev/ttyUSB0", ""},
                                                      {root / "dev/ttyS0", ""},
                                                      {root / "dev/ttyS1", ""}};
    for (const auto& [file, text] : files) std::ofstream(file) << text << "\n";
    fs::create_symlink(root / "sys/bus/usb-serial/drivers/ftdi_sio", port / "driver");
    fs::create_symlink(root / "sys/bus/platform/drivers/serial8250", uart / "driver");
    for (const char* name : {"ttyUSB0", "ttyUSB9", "ttyS0", "ttyS1"}) {
      const fs::path tty = root / "sys/class/tty" / name;
      fs::create_directories(tty);
      fs::create_symlink(name[3] == 'U' ? port : uart, tty / "device");
      if (name[3] == 'S') std::ofstream(tty / "type") << (name[4] == '0' ? "4" : "0") << "\n";
    }
    fs::create_symlink(root / "dev/ttyUSB0", root / "dev/com3");
    fs::create_symlink(root / "dev/nothing", root / "dev/com2");  // leads nowhere
    fs::create_symlink(root / "dev/ttyS0", root / "dev/com01");   // not a name the library forms
    fs::create_symlink("../../ttyUSB0",
                       root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    fs::create_symlink("../../ttyUSB0",
                       root / "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    fs::create_symlink(root / "dev/ttyUSB0", root / "proc/4321/fd/3");
    fs::create_symlink("pipe:[4242]", root / "proc/100/fd/0");
    // minicom holds the adapter locked, as /proc/locks shows it.
    struct stat adapter {};
    ::stat((root / "dev/ttyUSB0").c_str(), &adapter);
    std::ofstream(root / "proc/locks")
        << "1: FLOCK  ADVISORY  WRITE 4321 " << std::hex << major(adapter.st_dev) << ":"
        << minor(adapter.st_dev) << ":" << std::dec << adapter.st_ino << " 0 EOF\n";
    const ::group* dialout = ::getgrnam("dialout");
    if (dialout != nullptr &&
        ::chown((root / "dev/ttyUSB0").c_str(), ::getuid(), dialout->gr_gid) != 0) {
      ADD_FAILURE() << "chown";
    }
  }

  TempDir temp;
  fs::path root = temp.path();
};

// "MAJOR:MINOR" of a character device; or, `as_locked`, of the file system
// that holds `path`, with its inode, as /proc/locks lists a lock on it.
std::string device_number(const std::string& path, bool as_locked = false) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) return "?";
  if (as_locked) {
    std::ostringstream listed;
    listed << std::hex << std::setfill('0') << std::setw(2) << major(node.st_dev) << ":"
           << std::setw(2) << minor(node.st_dev) << ":" << std::dec << node.st_ino;
    return listed.str();
  }
  return std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev));
}

// ports, doctor and udev-rule read the fake machine; none opens a device.
TEST(Tool, FindsSerialDevicesAndWhyAPortShowsNothing) {
  const FakeMachine machine;
  const std::string root = machine.root.string();
  const std::vector<std::string> env = {"QELMAR_DEVICE_DIR="};
  // The same machine with consoles on ttyS0 (so port 1 reaches nothing) and on
  // ttyUSB0 (still port 3, through its alias); a pseudo-terminal listed by its
  // device number only; ttyS10, which only starts like ttyS1 (port 2 stays
  // usable); the last line unended.
  TempDir pty_dir;
  const VirtualPort pty(pty_dir.path(), 6);
  const FakeMachine with_console(
      "ttyS10               -W- (E  p a)    4:74\n"
      "ttyS0                -W- (EC  p a)    4:64\n"
      "hvc0                 -W- (E  p  )  " +
      device_number(pty.slave_path()) +
      "\n"
      "ttyUSB0              -W- (E  p  )  188:0");
  const std::string console_root = with_console.root.string();
  const std::vector<std::string> pty_env = {"QELMAR_DEVICE_DIR=" + pty_dir.path()};
  // Machines whose console list cannot be read: none falls back, in case the
  // fallback is the console.
  const FakeMachine without_consoles(std::nullopt);
  const std::string unlisted_root = without_consoles.root.string();
  const FakeMachine consoles_folder(std::nullopt);
  fs::create_directories(consoles_folder.root / "proc/consoles");
  const std::string folder_root = consoles_folder.root.string();
  // minicom holds the adapter with a record lock (fcntl, lockf) instead.
  const FakeMachine record_locked;
  std::ofstream(record_locked.root / "proc/locks")
      << "1: POSIX  ADVISORY  WRITE 4321 "
      << device_number(record_locked.root / "dev/ttyUSB0", true) << " 0 EOF\n";
  const std::string record_root = record_locked.root.string();
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out_has;
    std::vector<std::string> out_lacks;
    std::vector<std::string> env = {};  // when not the table's
  } cases[] = {
      {{"ports", "--root", root},
       0,
       {"/dev/ttyS0  native UART, serial8250\n    port numbers: 1\n",
        "/dev/ttyUSB0  USB, ftdi_sio, 0403:6001 FTDI FT232R USB UART, serial A1B2C3\n",
        "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n",
        "    /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0\n", "    port numbers: 3\n",
        "; held by process 4321", "/dev/ttyUSB9  USB, ftdi_sio"},
       {"/dev/ttyS1 ", "port numbers: 1, ", "process 100"}},
      {{"ports", "--json", "--root", root},
       0,
       {"\"path\": \"/dev/ttyUSB0\"", "\"vendor_id\": \"0403\"", "\"serial\": \"A1B2C3\"",
        "\"holders\": [\n      4321\n    ]"},
       {}},
      {{"doctor", "-p", "3", "--root", root},
       2,
       {"port 3: /dev/com3 (by /dev/comN)\n",
        "ok       the device exists: /dev/ttyUSB0 (USB, ftdi_sio)",
        "problem  process 4321 (minicom) holds it locked", "advice   ModemManager is running",
        "ENV{ID_MM_DEVICE_IGNORE}", "problem  brltty is running and claims 0403:6001 adapters"},
       {}},
      {{"doctor", "-p", "2", "--root", root},
       0,
       {"port 2: /dev/ttyS1 (by /dev/ttyS<N-1>)\n"},
       {"DEBUGME"}},
      {{"doctor", "-p", "5", "--root", root},
       2,
       {"port 5: /dev/ttyS4 (by /dev/ttyS<N-1>)\nproblem  no device there\n",
        "advice   a serial device here: /dev/ttyUSB0 (USB)"},
       {}},
      {{"udev-rule", "-p", "3", "/dev/com3", "--root", root},
       0,
       {"# /etc/udev/rules.d/70-qelmar-com3.rules\n"
        "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
        "ATTRS{serial}==\"A1B2C3\", SYMLINK+=\"com3\", GROUP=\"dialout\", MODE=\"0660\", "
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"},
       {}},
      {{"udev-rule", "-p", "2", "/dev/ttyS0", "--root", root}, 2, {}, {}},
      {{"ports", "--json", "--root", root}, 0, {"\"console\": false"}, {"\"console\": true"}},
      // A root that cannot be read lists nothing rather than an empty machine.
      {{"ports", "--json", "--root", root + "/nowhere"}, 1, {}, {"["}},
      // The library never falls back to the console: nothing reaches it as port 1.
      {{"ports", "--root", console_root},
       0,
       {"/dev/ttyS0  native UART, serial8250\n    port numbers: none\n"
        "    the system console (/proc/consoles lists it)\n",
        "/dev/ttyUSB0  USB, ftdi_sio, 0403:6001 FTDI FT232R USB UART, serial A1B2C3\n"
        "    /dev/serial/by-id/"},
       {"port numbers: 1"}},
      {{"ports", "--json", "--root", console_root},
       0,
       {"\"console\": true,\n    \"driver\": \"serial8250\"",
        "\"console\": true,\n    \"driver\": \"ftdi_sio\",\n    \"group\": \"dialout\",\n    "
        "\"holders\": [\n      4321\n    ],\n    \"kind\": \"USB\""},
       {}},
      {{"doctor", "-p", "1", "--send-test", "--root", console_root},
       2,
       {"port 1: /dev/ttyS0 (by /dev/ttyS<N-1>)\nproblem  /dev/ttyS0 is the system console "
        "(/proc/consoles lists it): the library does not fall back to it, so port 1 reaches no "
        "device\n",
        "SUBSYSTEM==\"tty\", KERNEL==\"ttyS0\", SYMLINK+=\"com1\" in "
        "/etc/udev/rules.d/70-qelmar-com1.rules; or link it as com1 in a folder that "
        "QELMAR_DEVICE_DIR names\n",
        "advice   a serial device here: /dev/ttyUSB9 (USB)\n"},
       {"the device exists", "test frame", "a serial device here: /dev/ttyS0",
        "a serial device here: /dev/ttyUSB0"}},
      // An alias to a console is honoured, and said.
      {{"doctor", "-p", "3", "--root", console_root},
       2,
       {"port 3: /dev/com3 (by /dev/comN)\n",
        "advice   /dev/ttyUSB0 is the system console (/proc/consoles lists it), reached by "
        "/dev/comN"},
       {}},
      {{"doctor", "-p", "2", "--root", console_root},
       0,
       {"port 2: /dev/ttyS1 (by /dev/ttyS<N-1>)\nok       the device exists"},
       {"console"}},
      {{"ports", "--root", console_root},
       0,
       {pty.slave_path() + "  pseudo-terminal\n    port numbers: 6\n    the system console "
                           "(/proc/consoles lists it)\n"},
       {},
       pty_env},
      {{"doctor", "-p", "6", "--root", console_root},
       0,
       {"advice   " + pty.slave_path() +
        " is the system console (/proc/consoles lists it), reached by QELMAR_DEVICE_DIR"},
       {},
       pty_env},
      {{"doctor", "-p", "1", "--root", unlisted_root},
       2,
       {"port 1: /dev/ttyS0 (by /dev/ttyS<N-1>)\nproblem  /proc/consoles cannot be read (No such "
        "file or directory): the library cannot tell whether /dev/ttyS0 is a system console, so "
        "it does not fall back to it, and port 1 reaches no device\n",
        "or link it as com1 in a folder that QELMAR_DEVICE_DIR names\n"},
       {"the device exists", "/proc/consoles lists it"}},
      {{"doctor", "-p", "2", "--root", folder_root},
       2,
       {"problem  /proc/consoles cannot be read (not a regular file): the library cannot tell "
        "whether /dev/ttyS1 is a system console"},
       {"the device exists"}},
      {{"ports", "--root", unlisted_root},
       0,
       {"/dev/ttyS0  native UART, serial8250\n    port numbers: none\n"},
       {"port numbers: 1\n", "the system console"}},
      {{"doctor", "-p", "3", "--root", record_root},
       2,
       {"problem  process 4321 (minicom) holds it locked, which keeps this library out"},
       {"has it open too"}},
      // An alias still leads where it says.
      {{"doctor", "-p", "3", "--root", unlisted_root},
       2,
       {"port 3: /dev/com3 (by /dev/comN)\nok       the device exists"},
       {"/proc/consoles"}},
      // This machine's own entries: listed without error, as JSON.
      {{"ports", "--json"}, 0, {"["}, {}},
  };
  // None of it opens a device.
  const int watch = ::inotify_init1(IN_NONBLOCK);
  for (const char* device : {"ttyUSB0", "ttyS0", "ttyS1"}) {
    for (const FakeMachine* m : {&machine, &with_console, &without_consoles, &consoles_folder}) {
      ASSERT_GE(::inotify_add_watch(watch, (m->root / "dev" / device).c_str(), IN_OPEN), 0);
    }
  }
  for (const auto& c : cases) {
    const Process::Result r = run(c.args, c.env.empty() ? env : c.env);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.out << r.err;
    for (const std::string& part : c.out_has) {
      EXPECT_NE(r.out.find(part), std::string::npos)
          << ::testing::PrintToString(c.args) << " lacks " << part << " in:\n"
          << r.out;
    }
    for (const std::string& part : c.out_lacks) {
      EXPECT_EQ(r.out.find(part), std::string::npos)
          << ::testing::PrintToString(c.args) << " has " << part << " in:\n"
          << r.out;
    }
  }
  char event[4096];
  EXPECT_LE(::read(watch, event, sizeof event), 0) << "a device was opened";
  ::close(watch);

  // --send-test writes a frame that shows nothing, and reads the line back.
  TempDir devices;
  const VirtualPort line(devices.path(), 3);
  const Process::Result r =
      run({"doctor", "-p", "3", "--send-test"}, {"QELMAR_DEVICE_DIR=" + devices.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("ok       test frame: delivered 1 bytes in "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ok       the line reads back as 2400 8N1"), std::string::npos) << r.out;
  EXPECT_EQ(hex(line.read_quiet(100ms)), "0C");
}

// `qelmar ports --json` says what the library's listing says, device by device:
// the tool lists through the host face, not beside it.
TEST(Tool, ListsPortsAsTheLibraryDoes) {
  const FakeMachine plain;
  // Beyond the shared machine: a process holding the adapter locked whose
  // descriptors cannot be read, and an alias to the UART that reads as having none.
  const FakeMachine more;
  struct stat adapter {};
  ::stat((more.root / "dev/ttyUSB0").c_str(), &adapter);
  std::ofstream(more.root / "proc/locks", std::ios::app)
      << "2: FLOCK  ADVISORY  WRITE 4400 " << std::hex << major(adapter.st_dev) << ":"
      << minor(adapter.st_dev) << ":" << std::dec << adapter.st_ino << " 0 EOF\n";
  fs::create_symlink(more.root / "dev/ttyS1", more.root / "dev/com4");
  TempDir pty_dir;
  const VirtualPort pty(pty_dir.path(), 6);
  const struct {
    std::string name, root, device_dir;
    std::string listed;                 // a device it must list
    std::vector<long> adapter_holders;  // of /dev/ttyUSB0
  } rows[] = {
      {"plain", plain.root, "", "/dev/ttyS0", {4321}},
      {"a lock and an alias more", more.root, "", "/dev/ttyS1", {4321, 4400}},
      {"a device folder", plain.root, pty_dir.path(), pty.slave_path(), {4321}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Process::Result r =
        run({"ports", "--json", "--root", row.root}, {"QELMAR_DEVICE_DIR=" + row.device_dir});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json listed = nlohmann::json::parse(r.out);
    ::setenv("QELMAR_DEVICE_DIR", row.device_dir.c_str(), 1);
    std::vector<qelmar_port_info> records(16);
    QELMAR_PORT_INFO_INIT(records.front());
    const std::int32_t count = qelmar_list_ports(row.root.c_str(), records.data(), 16);
    EXPECT_EQ(qelmar_list_ports(row.root.c_str(), nullptr, 0), count);
    // Hosts built with other records: the library steps by the first record's
    // size, writes nothing past each record's end, and refuses a size short
    // of the first version's or one never set up, writing nothing at all.
    for (const std::size_t stride :
         {std::size_t{QELMAR_PORT_INFO_V1_SIZE} - 1, std::size_t{QELMAR_PORT_INFO_V1_SIZE},
          sizeof(qelmar_port_info) + 24, std::size_t{QELMAR_RECORD_SIZE_MAX},
          std::size_t{QELMAR_RECORD_SIZE_MAX} + 1}) {
      SCOPED_TRACE("records " + std::to_string(stride) + " bytes apart");
      constexpr unsigned char canary = 0xA5;
      constexpr std::size_t capacity = 4;
      std::vector<unsigned char> bytes(stride * capacity + 64, canary);
      const auto size = static_cast<std::uint32_t>(stride);
      std::memcpy(bytes.data(), &size, sizeof size);
      const std::int32_t n = qelmar_list_ports(
          row.root.c_str(), reinterpret_cast<qelmar_port_info*>(bytes.data()), capacity);
      const bool taken = stride >= QELMAR_PORT_INFO_V1_SIZE && stride <= QELMAR_RECORD_SIZE_MAX;
      EXPECT_EQ(n, taken ? count : -1);
      for (std::size_t i = 0; i < capacity; ++i) {
        const unsigned char* at = bytes.data() + i * stride;
        std::size_t written = i == 0 ? sizeof size : 0;
        if (taken && static_cast<std::int32_t>(i) < count) {
          written = std::min(stride, sizeof(qelmar_port_info));
          std::uint32_t told = 0;
          std::memcpy(&told, at, sizeof told);
          EXPECT_EQ(told, size) << i;
          EXPECT_EQ(std::memcmp(at + sizeof size, &records[i].path, written - sizeof size), 0) << i;
        }
        EXPECT_EQ(static_cast<std::size_t>(std::count(at + written, at + stride, canary)),
                  stride - written)
            << i;
      }
      EXPECT_EQ(std::count(bytes.end() - 64, bytes.end(), canary), 64);
    }
    ::unsetenv("QELMAR_DEVICE_DIR");
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(count)) << r.out;
    bool found = false;
    for (std::size_t i = 0; i < listed.size(); ++i) {
      const qelmar_port_info& p = records[i];
      const nlohmann::json& d = listed[i];
      SCOPED_TRACE(p.path);
      found = found || row.listed == p.path;
      EXPECT_EQ(d["path"], p.path);
      EXPECT_EQ(d["kind"], p.kind);
      EXPECT_EQ(d["driver"], p.driver);
      EXPECT_EQ(d["ports"], std::vector<int>(p.ports, p.ports + p.port_count));
      EXPECT_EQ(d["accessible"], p.accessible != 0);
      EXPECT_EQ(d["group"], p.group);
      EXPECT_EQ(d["holders"], std::vector<long>(p.holders, p.holders + p.holder_count));
      EXPECT_EQ(d["console"], p.console != 0);
      if (std::string(p.path) == "/dev/ttyUSB0") {
        EXPECT_EQ(d["holders"], row.adapter_holders);
        EXPECT_EQ(d["usb"]["by_id"][0], fs::path(p.by_id).filename().string());
        for (const auto& [key, text] : {std::pair{"vendor_id", p.vendor_id},
                                        {"product_id", p.product_id},
                                        {"manufacturer", p.manufacturer},
                                        {"product", p.product},
                                        {"serial", p.serial}}) {
          EXPECT_EQ(d["usb"][key], text) << key;
        }
      }
    }
    EXPECT_TRUE(found) << row.listed << " not in " << r.out;
  }
}

// A pseudo-terminal linked as dir/comN, its slave put in exclusive mode from
// here. A slave that is not kept open is left exclusive as by a program that
// ended: the master here keeps the tty alive.
class ExclusivePty {
 public:
  ExclusivePty(const std::string& dir, int number, bool exclusive, bool keep_slave) {
    char name[256];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Anyone may open it, so that only its exclusive mode keeps a user out.
    ::fchmod(slave_, 0666);
    if (exclusive) ::ioctl(slave_, TIOCEXCL);
    if (!keep_slave) {
      ::close(slave_);
      slave_ = -1;
    }
    link_ = dir + "/com" + std::to_string(number);
    fs::create_symlink(path_, link_);
  }
  ~ExclusivePty() {
    fs::remove(link_);
    if (slave_ >= 0) ::close(slave_);
    ::close(master_);
  }
  ExclusivePty(const ExclusivePty&) = delete;
  ExclusivePty& operator=(const ExclusivePty&) = delete;

  // TIOCGEXCL, read through a descriptor of its own (root opens it all the same).
  int exclusive() const {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int mode = -1;
    if (fd >= 0 && ::ioctl(fd, TIOCGEXCL, &mode) != 0) mode = -1;
    if (fd >= 0) ::close(fd);
    return mode;
  }

  std::string received() const {
    std::string bytes;
    pollfd ready{master_, POLLIN, 0};
    char chunk[256];
    ssize_t n = 0;
    while (::poll(&ready, 1, 100) > 0 && (n = ::read(master_, chunk, sizeof chunk)) > 0) {
      bytes += hex(std::vector<std::uint8_t>(chunk, chunk + n));
    }
    return bytes;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_, link_;
};

// Exclusive mode belongs to the tty, so a program that ended can leave it set;
// doctor names it, says who holds it, and clears it only when nobody does.
TEST(Tool, NamesAndClearsAnExclusiveModeLeftBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: clearing exclusive mode needs root";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
  const std::vector<std::string> env = {"QELMAR_DEVICE_DIR=" + dir.path()};
  const std::string self = "process " + std::to_string(::getpid()) + " (tool_test)";
  const std::string left_over =
      "problem  exclusive mode (TIOCEXCL) is set and no other program has it open: most likely "
      "left over by a program that ended";
  const std::string held = "problem  exclusive mode (TIOCEXCL) is set, held by " + self;
  const bool can_drop_root = ::access("/usr/bin/setpriv", X_OK) == 0;
  const struct {
    bool exclusive, live_holder;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out_has;
    int exclusive_after;
    std::string received;
    bool as_nobody = false;
  } cases[] = {
      // Without --send-test or --clear-exclusive, doctor does not open the device.
      {true,
       false,
       {"doctor", "-p", "5"},
       0,
       {"ok       no other process has it open\nadvice   exclusive mode (TIOCEXCL), which another "
        "program may have left behind, is read only with --send-test"},
       1,
       ""},
      {false,
       false,
       {"doctor", "-p", "5", "--send-test"},
       0,
       {"ok       exclusive mode (TIOCEXCL) is not set\nok       test frame: delivered 1 bytes"},
       0,
       "0C"},
      {true,
       false,
       {"doctor", "-p", "5", "--send-test"},
       2,
       {left_over, "Clear it: sudo qelmar doctor -p 5 --clear-exclusive\n",
        "advice   " + self + " holds the other side of this pseudo-terminal"},
       1,
       ""},
      {true,
       false,
       {"doctor", "-p", "5", "--clear-exclusive", "--send-test"},
       0,
       {"ok       exclusive mode (TIOCEXCL) was set and is now cleared\nok       test frame: "
        "delivered 1 bytes"},
       0,
       "0C"},
      {true, true, {"doctor", "-p", "5", "--send-test"}, 2, {held + ", which has it open"}, 1, ""},
      {true,
       true,
       {"doctor", "-p", "5", "--clear-exclusive"},
       2,
       {held, "problem  exclusive mode not cleared: " + self + " is using it"},
       1,
       ""},
      {true,
       true,
       {"doctor", "-p", "5", "--clear-exclusive", "--force"},
       0,
       {"ok       exclusive mode (TIOCEXCL) was set and is now cleared, from under " + self},
       0,
       ""},
      // A user cannot open it at all, and is told to ask root.
      {true,
       false,
       {"doctor", "-p", "5", "--clear-exclusive"},
       2,
       {"problem  exclusive mode (TIOCEXCL) is set",
        "problem  --clear-exclusive needs root: sudo qelmar doctor -p 5 --clear-exclusive"},
       1,
       "",
       true},
  };
  std::string skipped;
  for (const auto& c : cases) {
    const std::string row = ::testing::PrintToString(c.args) + (c.live_holder ? " held" : "") +
                            (c.as_nobody ? " as nobody" : "");
    if (c.as_nobody && !can_drop_root) {
      skipped += " " + row;
      continue;
    }
    const ExclusivePty pty(dir.path(), 5, c.exclusive, c.live_holder);
    std::vector<std::string> argv{QELMAR_TOOL};
    if (c.as_nobody) {
      argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", QELMAR_TOOL};
    }
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::vector<std::string> all_env = env;
    all_env.insert(all_env.end(), tool_env.begin(), tool_env.end());
    const Process::Result r = run_process(argv, {all_env, ""});
    EXPECT_EQ(r.status, c.status) << row << "\n" << r.out << r.err;
    for (const std::string& part : c.out_has) {
      EXPECT_NE(r.out.find(part), std::string::npos) << row << " lacks " << part << " in:\n"
                                                     << r.out;
    }
    EXPECT_EQ(pty.exclusive(), c.exclusive_after) << row;
    EXPECT_EQ(pty.received(), c.received) << row;
  }
  if (!skipped.empty()) GTEST_SKIP() << "SKIPPED: no setpriv to run as another user:" << skipped;
}

TEST(Tool, BadUsageIsOneLineAndNonZero) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"encode"},
                                             {"send"},
                                             {"rc", "1"},
                                             {"rc", "x", "1"},
                                             {"bogus"},
                                             {"display", "--count", "-1"}}) {
    const Process::Result r = run(args);
    EXPECT_NE(r.status, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  for (const char* sub : {"send", "rc", "play", "encode", "display"}) {
    const Process::Result r = run({sub, "--help"});
    EXPECT_EQ(r.status, 0) << sub;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
  }
}

// Each refusal says what is wrong in plain words, on one line.
TEST(Tool, ExplainsEachRefusal) {
  const FakeMachine machine;
  const std::string root = machine.root.string();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"--version"}, 0, std::string("qelmar ") + qelmar_version() + "\n", ""},
      {{"sned", "12"},
       1,
       "",
       "qelmar: unknown subcommand 'sned': did you mean 'send'? (see --help)\n"},
      {{"dispaly", "-p", "1"}, 1, "", "unknown subcommand 'dispaly': did you mean 'display'?"},
      {{"udev", "-p", "1"}, 1, "", "unknown subcommand 'udev': did you mean 'udev-rule'?"},
      {{"xyzzy"},
       1,
       "",
       "qelmar: unknown subcommand 'xyzzy' (one of send, rc, play, encode, ports, doctor, "
       "udev-rule, serve, display; see --help)\n"},
      {{"encode", "@12"},
       2,
       "-\nresult 2\n",
       "qelmar: '@12': not sent: the command was dropped (no closing '@')\n"},
      {{"encode", "--", "-12", "12"},
       2,
       "-\nresult 2\n01 02\nresult 750630\n",
       "qelmar: '-12': nothing to send: the text selects no frame\n"},
      // Every number a subcommand takes, in plain ranges.
      {{"display", "--count", "-1"},
       1,
       "",
       "qelmar: --count: -1 is not a number from 0 to 1000000 (see --help)\n"},
      // (A folder it cannot make, so that a display is never left running.)
      {{"display", "-p", "256", "--dir", "/dev/null/x"},
       1,
       "",
       "--port: 256 is not a number from 1 to 255"},
      {{"send", "-p", "0", "12"}, 1, "", "--port: 0 is not a number from 1 to 255"},
      {{"send", "-p", "x", "12"}, 1, "", "--port: x is not a number from 1 to 255"},
      {{"rc", "-p", "99999999999", "1", "2"}, 1, "", "--port: 99999999999 is not a number"},
      {{"rc", "1", "0x100000000"},
       1,
       "",
       "BYTE2: 0x100000000 is not a number from -2147483648 to 2147483647"},
      {{"doctor", "-p", "-3"}, 1, "", "--port: -3 is not a number from 1 to 255"},
      {{"udev-rule", "-p", "1000", "/dev/ttyUSB0"}, 1, "", "--port: 1000 is not a number"},
      {{"udev-rule", "-p", "1", "/dev/nonexist", "--root", root},
       2,
       "",
       "qelmar: /dev/nonexist: no such device\n"},
      {{"udev-rule", "-p", "2", "/dev/com2", "--root", root},  // a link to nothing
       2,
       "",
       "qelmar: /dev/com2: no such device\n"},
      {{"udev-rule", "-p", "1", "/dev/ttyS1", "--root", root},
       2,
       "",
       "qelmar: /dev/ttyS1 is not a USB serial adapter\n"},
  };
  for (const auto& c : cases) {
    const Process::Result r = run(c.args, {"QELMAR_DEVICE_DIR=" + root + "/dev"});
    const std::string row = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << row << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << row;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << row << " lacks " << c.err << " in:\n"
                                                    << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << row << "\n" << r.err;
  }
}

// Reading a frame back gives its kind, and a command that gives the same frame.
TEST(Decode, ReadsEveryFrameOfTheTableBack) {
  const std::map<std::string, std::string> kinds = {
      {"numeric", "number"}, {"key", "key"}, {"control", "control"}, {"fullwidth", "text"}};
  const tools::TextConverter none = [](const std::string&) { return std::nullopt; };
  for (const CommandRow& row : load_command_table()) {
    if (!row.frame || row.frame->empty()) continue;
    const tools::Meaning meaning = tools::decode(*row.frame, none);
    if (kinds.count(row.kind)) {
      EXPECT_EQ(meaning.kind, kinds.at(row.kind)) << row.text;
    }
    ASSERT_TRUE(meaning.command.has_value()) << row.text << " " << meaning.description;
    EXPECT_EQ(hex(encode(*meaning.command).frame.bytes()), hex(*row.frame)) << row.text;

    // Followed by another call's frame, it still ends where it ends.
    std::vector<std::uint8_t> two = *row.frame;
    two.insert(two.end(), {0x12, 0xA5, 0x5A});
    EXPECT_EQ(tools::frame_length(two), row.frame->size()) << row.text;
  }
}

TEST(Decode, DescribesWhatTheDisplayShows) {
  const tools::TextConverter ascii = [](const std::string& gb) -> std::optional<std::string> {
    return gb == "\xA3\xC1\xA1\xA1" ? std::optional<std::string>("A ") : std::nullopt;
  };
  const struct {
    std::vector<std::uint8_t> frame;
    std::string description;
  } cases[] = {
      {{0x1F, 0x01, 0x02, 0x05, 0x00, 0x1F}, "number 12.50 H, header H"},
      {{0x1F, 0x01, 0x02, 0x00, 0x00, 0x1A}, "number 12.00 C, header H"},
      {{0x01, 0x02, 0x03}, "number 123"},
      {{0x05, 0x02, 0x00, 0x00, 0x0A}, "number 52.00 (no code)"},
      {{0xFE, 0x02}, "key D"},
      {{0x7F}, "key F (then a pause)"},
      {{0x0E}, "control %"},
      {{0x0D, 0xD0}, "control $ \\x00"},
      {{0xFF, 0x0A, 0xFF}, "control ^ (no code)"},
      {{0xFD, 0x01, 0x31, 0xFD}, "control @ 1a"},
      {{0xA3, 0xC1, 0xA1, 0xA1}, "text \"A \""},
      {{0xB0, 0xA1}, "text \"(cannot be shown here)\""},
      {{0x12, 0x41, 0x42}, "0x12 frame 41 42"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tools::decode(c.frame, ascii).description, c.description) << hex(c.frame);
  }
}

class DisplayRoundTrip : public ::testing::Test {
 protected:
  // Starts `qelmar display` and waits for its export line.
  void start(int frames) { launch(display, frames); }

  void launch(std::unique_ptr<Process>& into, int frames) {
    into = std::make_unique<Process>(
        std::vector<std::string>{QELMAR_TOOL, "display", "-p", "4", "--dir", dir, "--count",
                                 std::to_string(frames)},
        Process::Options{tool_env, ""});
    std::string first;
    while (first.find("export QELMAR_DEVICE_DIR=" + dir) == std::string::npos) {
      char chunk[512];
      pollfd ready{into->out(), POLLIN, 0};
      ASSERT_GT(::poll(&ready, 1, 5000), 0) << "display did not start: " << first;
      const ssize_t n = ::read(into->out(), chunk, sizeof chunk);
      ASSERT_GT(n, 0);
      first.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The frame lines the display printed, without their times, once it has exited.
  std::vector<std::string> finish() {
    const Process::Result r = display->finish();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream text(r.out);
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line.size() > 14 && line[2] == ':' ? line.substr(14) : line);
    }
    return lines;
  }

  TempDir temp;
  std::string dir = temp.path();
  std::unique_ptr<Process> display;
};

TEST_F(DisplayRoundTrip, ShowsEachFrameTheLibrarySends) {
  start(5);
  const std::vector<std::string> host_env = {"QELMAR_DEVICE_DIR=" + dir};
  EXPECT_EQ(run({"send", "-p", "4", "12.5H", "#总计 1#", "D", "F"}, host_env).out,
            "2\n2\n2\n750630\n");
  EXPECT_EQ(run({"rc", "-p", "4", "0x41", "0x142"}, host_env).status, 0);
  EXPECT_EQ(finish(), (std::vector<std::string>{
                          "1F 01 02 05 00 1F  number 12.50 H, header H",
                          "D7 DC BC C6 A1 A1 A3 B1  text \"总计　１\"",
                          "FE 02  key D",
                          "7F  key F (then a pause)",
                          "12 41 42  0x12 frame 41 42",
                      }));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/com4")));
}

TEST_F(DisplayRoundTrip, WarnsWhenTheLineIsNotSetUp) {
  start(1);
  const int tty = ::open((dir + "/com4").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(tty, 0);
  termios line{};
  ASSERT_EQ(::tcgetattr(tty, &line), 0);
  ::cfmakeraw(&line);
  ::cfsetospeed(&line, B9600);
  line.c_cflag |= CSTOPB;  // a pseudo-terminal keeps no parity setting
  ASSERT_EQ(::tcsetattr(tty, TCSANOW, &line), 0);
  ASSERT_EQ(::write(tty, "\x0C", 1), 1);
  ::close(tty);
  const std::vector<std::string> lines = finish();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0C  control *");
  EXPECT_EQ(lines[1], "  warning: the line is not 2400 baud, two stop bits (want 2400 8N1 raw)");
}

// Bytes in any amount are shown in linear time, and a SIGTERM is answered
// however much is still waiting.
TEST_F(DisplayRoundTrip, ShowsAMebibyteOfNoiseAndStopsOnRequest) {
  start(0);
  // Digit codes only, half of them zeros, which read as a number with a decimal
  // point in many ways: the worst case for reading frames back. Then any bytes.
  std::vector<std::uint8_t> noise(1 << 20);
  std::uint32_t state = 12345;
  auto fill = [&](bool digits) {
    for (std::size_t i = 0; i < noise.size(); ++i) {
      const std::uint32_t r = (state = state * 1103515245u + 12345u) >> 24;
      noise[i] = static_cast<std::uint8_t>(!digits ? r : i < noise.size() / 2 ? 0 : r % 10);
    }
  };
  fill(true);
  auto send = [&] {
    const int tty = ::open((dir + "/com4").c_str(), O_WRONLY | O_NOCTTY);
    for (std::size_t sent = 0; tty >= 0 && sent < noise.size();) {
      const ssize_t n = ::write(tty, noise.data() + sent, noise.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::close(tty);
  };
  // Reads what the display prints until `done` says enough of its latest
  // output, or the time is up.
  auto read_output = [&](std::chrono::seconds limit, auto done) {
    std::string tail;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(tail) && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{display->out(), POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char chunk[65536];
      const ssize_t n = ::read(display->out(), chunk, sizeof chunk);
      if (n <= 0) break;
      tail.erase(0, tail.size() > 100 ? tail.size() - 100 : 0);
      tail.append(chunk, static_cast<std::size_t>(n));
    }
    return done(tail);
  };

  std::thread host([&] {
    send();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(run({"rc", "-p", "4", "0xA5", "0x5A"}, {"QELMAR_DEVICE_DIR=" + dir}).status, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  const bool shown = read_output(20s, [](const std::string& text) {
    return text.find("12 A5 5A  0x12 frame A5 5A") != std::string::npos;
  });
  host.join();
  EXPECT_TRUE(shown);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

  // Then a host that never stops writing.
  fill(false);
  std::thread again([&] {
    const int tty = ::open((dir + "/com4").c_str(), O_WRONLY | O_NOCTTY);
    while (tty >= 0 && ::write(tty, noise.data(), noise.size()) > 0) {
    }
    ::close(tty);
  });
  std::this_thread::sleep_for(200ms);
  const auto stop = std::chrono::steady_clock::now();
  ::kill(display->pid(), SIGTERM);
  pollfd ended{display->out(), POLLIN, 0};
  // It ends when its stdout does: read until then.
  EXPECT_TRUE(read_output(3s, [&](const std::string&) {
    return ::poll(&ended, 1, 0) > 0 && (ended.revents & POLLHUP) != 0;
  }));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
  again.join();
  finish();
}

// One display per link: a second one refuses, naming the first, and leaves
// its link alone; once the first is killed, the next one takes the link over.
TEST_F(DisplayRoundTrip, OneDisplayPerLinkAndAKilledOneIsTakenOver) {
  start(0);
  const std::string link = dir + "/com4";
  const std::vector<std::string> host_env = {"QELMAR_DEVICE_DIR=" + dir};
  const fs::path first_target = fs::read_symlink(link);
  // Bounded in time: a second display that is not refused would wait for frames.
  const Process::Result refused =
      run_process({"timeout", "5", QELMAR_TOOL, "display", "-p", "4", "--dir", dir, "--count", "1"},
                  {tool_env, ""});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("qelmar: " + link + " is served by another display (process " +
                             std::to_string(display->pid()) + ")"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(refused.out, "");
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), first_target);
  EXPECT_EQ(run({"send", "-p", "4", "D"}, host_env).status, 0);

  // The first shows the frame (read before the kill: the send returns once
  // the bytes are in the pseudo-terminal, not once the display printed them).
  std::string shown;
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       shown.find("FE 02  key D") == std::string::npos &&
       std::chrono::steady_clock::now() < until;) {
    pollfd ready{display->out(), POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(display->out(), chunk, sizeof chunk);
    if (n <= 0) break;
    shown.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_NE(shown.find("FE 02  key D"), std::string::npos) << shown;
  // Killed, the first leaves its link and its lock file behind.
  ::kill(display->pid(), SIGKILL);
  display->finish();
  std::unique_ptr<Process> next;
  launch(next, 1);
  EXPECT_EQ(run({"send", "-p", "4", "12"}, host_env).status, 0);
  const Process::Result second = next->finish();
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("01 02  number 12"), std::string::npos) << second.out;
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_TRUE(fs::is_empty(dir)) << "the lock file was left behind";
}

// A link that someone else has made since is theirs: the display leaves it.
TEST_F(DisplayRoundTrip, NeverRemovesALinkItDidNotMake) {
  start(0);
  const std::string link = dir + "/com4";
  fs::remove(link);
  fs::create_symlink("/dev/null", link);
  ::kill(display->pid(), SIGINT);
  finish();
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "/dev/null");
}

TEST_F(DisplayRoundTrip, InterruptRemovesTheLink) {
  start(0);
  ASSERT_TRUE(fs::is_symlink(dir + "/com4"));
  ::kill(display->pid(), SIGINT);
  finish();
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/com4")));
}

}  // namespace
}  // namespace qelmar::test
