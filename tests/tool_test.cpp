// SPDX-License-Identifier: MIT
// The qelmar tool: encode over the command table, the virtual display's reading
// of frames, and a send to display round trip over a pseudo-terminal.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
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
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "built_paths.h"
#include "command_table.h"
#include "encoder/interpreter.h"
#include "process.h"
#include "qelmar/host.h"
#include "tool_rows.h"
#include "tools/decode.h"
#include "virtual_port.h"

namespace qelmar::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// No Wine prefix of the machine's own: doctor reports on one when it is there.
const std::vector<std::string> tool_env = {"LANG=C.UTF-8",
                                           "LC_ALL=", "WINEPREFIX=/nonexistent/wine-prefix"};

// Whether the tool can be run as an ordinary user (nobody): by root, with setpriv.
bool can_run_as_nobody() { return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0; }

// Runs the tool with the given arguments and extra environment (which may
// override the locale); `as_nobody`, as an ordinary user.
Process::Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                    bool as_nobody = false) {
  std::vector<std::string> argv{QELMAR_TOOL};
  if (as_nobody) {
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", QELMAR_TOOL};
  }
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
      {{"encode", "#a\xFF#"}, 1, "", "the text between '#' marks is not UTF-8 at byte 2\n"},
      // --raw passes the locale's bytes, which only the locale's set tells apart.
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
      {{"send", "-p", "3", "*"}, 0, "com3): '*': delivered 1 byte in "},
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

// Counts in words as the tool, the log and the bridge say them: one byte, many bytes.
TEST(Tool, CountsBytesInWords) {
  const struct {
    qelmar_outcome outcome;
    std::uint32_t frame, sent;
    std::string words;
  } cases[] = {
      {QELMAR_DELIVERED, 0, 0, "delivered 0 bytes in 1.5 ms"},
      {QELMAR_DELIVERED, 1, 1, "delivered 1 byte in 1.5 ms"},
      {QELMAR_DELIVERED, 2, 2, "delivered 2 bytes in 1.5 ms"},
      {QELMAR_STUCK, 1, 0, "not sent: the line was stuck (1 of 1 byte discarded at the deadline)"},
      {QELMAR_STUCK, 2, 1, "not sent: the line was stuck (1 of 2 bytes discarded at the deadline)"},
  };
  for (const auto& c : cases) {
    qelmar_status status;
    QELMAR_STATUS_INIT(status);
    status.outcome = c.outcome;
    std::snprintf(status.call, sizeof status.call, "send");
    status.frame_bytes = c.frame;
    status.sent_bytes = c.sent;
    status.milliseconds = 1.5;
    char words[256];
    qelmar_describe(&status, words, sizeof words);
    EXPECT_EQ(words, c.words);
  }
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
  // For an ordinary user: the adapter and the UART root's alone (0600), and
  // minicom's open files hidden from other users; on the second machine minicom
  // holds no lock, and the adapter is dialout's to write.
  const FakeMachine private_devices;
  const FakeMachine unseen_holder;
  std::ofstream(unseen_holder.root / "proc/locks", std::ios::trunc);
  const bool nobody = can_run_as_nobody();
  if (nobody) {
    for (const FakeMachine* m : {&private_devices, &unseen_holder}) {
      fs::permissions(m->root, fs::perms::others_read | fs::perms::others_exec,
                      fs::perm_options::add);
      fs::permissions(m->root / "proc/4321/fd", fs::perms::owner_all, fs::perm_options::replace);
    }
    for (const char* device : {"dev/ttyUSB0", "dev/ttyS0"}) {
      const fs::path node = private_devices.root / device;
      ASSERT_EQ(::chown(node.c_str(), 0, 0), 0);
      fs::permissions(node, fs::perms::owner_read | fs::perms::owner_write,
                      fs::perm_options::replace);
    }
    fs::permissions(unseen_holder.root / "dev/ttyUSB0",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::group_write,
                    fs::perm_options::replace);
  }
  // The pseudo-terminal as root's, with the group tty that may write to it
  // where there is one.
  const ::group* tty = ::getgrnam("tty");
  const std::string pty_owner =
      tty != nullptr ? "root:tty with mode 0620" : "root:root with mode 0600";
  if (nobody) {
    fs::permissions(pty_dir.path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::permissions(machine.root, fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    ASSERT_EQ(::chown(pty.slave_path().c_str(), 0, tty != nullptr ? tty->gr_gid : 0), 0);
    ASSERT_EQ(::chmod(pty.slave_path().c_str(), tty != nullptr ? 0620 : 0600), 0);
  }
  const std::string private_root = private_devices.root.string();
  const std::string unseen_root = unseen_holder.root.string();
  // Wine prefixes whose COM2 leads nowhere (by its link; by the Ports value
  // Wine links it from) or to the pseudo-terminal, whose COM6 leads there too.
  TempDir dangling, value_only, mapped;
  for (const TempDir* prefix : {&dangling, &value_only, &mapped}) {
    fs::create_directories(prefix->path() + "/dosdevices");
  }
  fs::create_symlink("/nonexistent/tty", dangling.path() + "/dosdevices/com2");
  std::ofstream(value_only.path() + "/system.reg")
      << "WINE REGISTRY Version 2\n\n[Software\\\\Wine\\\\Ports] 1796816205\n"
         "\"COM2\"=\"/nonexistent/usb\"\n";
  fs::create_symlink(pty.slave_path(), mapped.path() + "/dosdevices/com2");
  fs::create_symlink(pty.slave_path(), mapped.path() + "/dosdevices/com6");
  auto wine_env = [](const TempDir& prefix) {
    return std::vector<std::string>{"QELMAR_DEVICE_DIR=", "WINEPREFIX=" + prefix.path()};
  };
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out_has;
    std::vector<std::string> out_lacks;
    std::vector<std::string> env = {};  // when not the table's
    bool as_nobody = false;
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
      {{"doctor", "-p", "2", "--root", root},
       2,
       {"port 2: /dev/ttyS1 (by /dev/ttyS<N-1>)\nproblem  Wine's COM2 in " + dangling.path() +
        " leads to /nonexistent/tty, which is not there: plug it in, or map it anew: qelmar "
        "wine-port -p 2 DEVICE\n"},
       {},
       wine_env(dangling)},
      {{"doctor", "-p", "2", "--root", root},
       2,
       {"problem  Wine's COM2 in " + value_only.path() + " leads to /nonexistent/usb, which"},
       {},
       wine_env(value_only)},
      {{"doctor", "-p", "2", "--root", root},
       0,
       {"ok       Wine's COM2 in " + mapped.path() + " leads to " + pty.slave_path() + "\n"},
       {},
       wine_env(mapped)},
      {{"doctor", "-p", "6", "--root", console_root},
       2,
       {"problem  Wine's COM6 in " + mapped.path() + " leads to " + pty.slave_path() +
        ", the system console (/proc/consoles lists it)"},
       {},
       {"QELMAR_DEVICE_DIR=" + pty_dir.path(), "WINEPREFIX=" + mapped.path()}},
      // This machine's own entries: listed without error, as JSON.
      {{"ports", "--json"}, 0, {"["}, {}},
      // An ordinary user is not sent to join the group root, and is told what
      // it cannot see rather than that nobody has the device open.
      {{"doctor", "-p", "3", "--root", private_root},
       2,
       {"problem  this user may not open it: it belongs to root:root with mode 0600, so only root "
        "may open it. Give it a group for serial devices with a udev rule (qelmar udev-rule -p 3 "
        "/dev/ttyUSB0 | sudo tee /etc/udev/rules.d/70-qelmar-com3.rules), then sudo usermod -aG "
        "dialout $USER and log in again\n",
        "advice   cannot tell whether other processes have it open: this user may not see the "
        "open files of 1 process of other users (sudo qelmar doctor -p 3 sees them all)\n",
        "problem  process 4321 (minicom) holds it locked, which keeps this library out\n"},
       {"usermod -aG root", "no other process has it open", "no process holds it locked"},
       {},
       true},
      {{"doctor", "-p", "1", "--root", private_root},
       2,
       {"problem  this user may not open it: it belongs to root:root with mode 0600, so only root "
        "may open it. Give it a group for serial devices with a udev rule (SUBSYSTEM==\"tty\", "
        "KERNEL==\"ttyS0\", GROUP=\"dialout\", MODE=\"0660\" in "
        "/etc/udev/rules.d/70-qelmar-com1.rules), then sudo usermod -aG dialout $USER"},
       {"usermod -aG root"},
       {},
       true},
      {{"doctor", "-p", "3", "--root", unseen_root},
       2,
       {"problem  this user may not open it; it belongs to group dialout: sudo usermod -aG dialout "
        "$USER, then log in again\n",
        "ok       no process holds it locked\nadvice   cannot tell whether another process has it "
        "open: this user may not see the open files of 1 process of other users"},
       {"no other process has it open", "minicom"},
       {},
       true},
      // A pseudo-terminal root made (root:tty 0620): neither the group tty
      // nor a udev rule, but its maker.
      {{"doctor", "-p", "6", "--root", root},
       2,
       {"problem  this user may not open it: it belongs to " + pty_owner +
        "; the program that made this pseudo-terminal decides who may (chown, chmod)\n"},
       {"usermod"},
       pty_env,
       true},
  };
  // None of it opens a device.
  const int watch = ::inotify_init1(IN_NONBLOCK);
  for (const char* device : {"ttyUSB0", "ttyS0", "ttyS1"}) {
    for (const FakeMachine* m : {&machine, &with_console, &without_consoles, &consoles_folder,
                                 &private_devices, &unseen_holder}) {
      ASSERT_GE(::inotify_add_watch(watch, (m->root / "dev" / device).c_str(), IN_OPEN), 0);
    }
  }
  std::string skipped;
  for (const auto& c : cases) {
    if (c.as_nobody && !nobody) {
      skipped += " " + ::testing::PrintToString(c.args);
      continue;
    }
    const Process::Result r = run(c.args, c.env.empty() ? env : c.env, c.as_nobody);
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
  EXPECT_NE(r.out.find("ok       test frame: delivered 1 byte in "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ok       the line reads back as 2400 8N1"), std::string::npos) << r.out;
  EXPECT_EQ(hex(line.read_quiet(100ms)), "0C");
  if (!skipped.empty()) {
    GTEST_SKIP() << "SKIPPED: cannot run as an ordinary user (needs root and setpriv):" << skipped;
  }
}

// A prefix as wineboot leaves it: the Ports key mountmgr made, a 32-bit view
// that links to it, and COM1 linked to the first UART.
constexpr const char* fresh_system_reg =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n\n"
    "[Software\\\\Wine\\\\Ports] 1796816205\n#time=1dd87d191f60012\n\n"
    "[Software\\\\Wow6432Node\\\\Wine\\\\Ports] 1796816205\n#time=1dd87d191f5ec80\n#link\n"
    "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,45,00,47,00,49,00,53,00,54,00,52,00,59,\\\n"
    "  00,5c,00\n";

// What a prefix maps COMn to: its dosdevices link and its Ports value.
struct WineMapping {
  std::string link, value;  // "-" for none
  bool operator==(const WineMapping&) const = default;
};

WineMapping wine_mapping(const fs::path& prefix, int port) {
  WineMapping m{"-", "-"};
  std::error_code error;
  const fs::path link =
      fs::read_symlink(prefix / "dosdevices" / ("com" + std::to_string(port)), error);
  if (!error) m.link = link.string();
  std::ifstream in(prefix / "system.reg");
  const std::string name = "\"COM" + std::to_string(port) + "\"=\"";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name, 0) == 0)
      m.value = (m.value == "-" ? "" : m.value + "|") +
                line.substr(name.size(), line.size() - name.size() - 1);
  }
  return m;
}

std::ostream& operator<<(std::ostream& out, const WineMapping& m) {
  return out << "link " << m.link << ", value " << m.value;
}

// wine-port, row by row on one prefix: each row's exit, words and what the
// prefix maps the port to after it.
TEST(Tool, MapsAWinePortAndTakesItBack) {
  TempDir prefix, ttys;
  const fs::path dosdevices = fs::path(prefix.path()) / "dosdevices";
  fs::create_directories(dosdevices);
  std::ofstream(fs::path(prefix.path()) / "system.reg") << fresh_system_reg;
  fs::create_symlink("/dev/ttyS0", dosdevices / "com1");
  std::ofstream(dosdevices / "com9") << "\n";  // not a link: not wine-port's to replace
  // A prefix whose registry is not one Wine wrote: never rewritten.
  TempDir broken;
  fs::create_directories(broken.path() + "/dosdevices");
  std::ofstream(broken.path() + "/system.reg") << "REGEDIT4\n";
  const VirtualPort a(ttys.path(), 1), b(ttys.path(), 2), console_pty(ttys.path(), 3);
  const std::string pa = a.slave_path(), pb = b.slave_path();
  const FakeMachine machine;  // no console
  const FakeMachine with_console(console_pty.slave_path().substr(5) + "  -W- (EC p a)  " +
                                 device_number(console_pty.slave_path()) + "\n");
  const FakeMachine without_consoles(std::nullopt);
  const std::string accented = ttys.path() + "/caf\u00e9";
  fs::create_symlink(pa, accented);
  const std::string plain_file = ttys.path() + "/not-a-tty";
  std::ofstream(plain_file) << "\n";
  // A wineserver of this prefix: a program of that name in its server folder.
  struct stat node {};
  ::stat(prefix.path().c_str(), &node);
  std::ostringstream folder;
  folder << std::hex << ttys.path() << "/server-" << node.st_dev << "-" << node.st_ino;
  fs::create_directories(folder.str());
  fs::copy_file("/bin/sleep", ttys.path() + "/wineserver");

  const std::string root = machine.root.string();
  const std::string p = prefix.path();
  const std::vector<std::string> in_prefix = {"--prefix", p, "--root", root};
  auto with = [&](std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const struct {
    std::vector<std::string> args;
    int status;
    std::string said;  // on stdout when 0, on stderr else
    int port;
    WineMapping after;
    std::vector<std::string> env = {};
    bool wine_running = false;
  } rows[] = {
      {with({"wine-port", "-p", "3", pa}, in_prefix),
       0,
       "COM3 in " + p + " leads to " + pa + ": dosdevices/com3, and HKLM\\Software\\Wine\\Ports",
       3,
       {pa, pa}},
      {with({"wine-port", "-p", "3", pa}, in_prefix),
       0,
       "COM3 in " + p + " leads to " + pa + ":",
       3,
       {pa, pa}},
      {with({"wine-port", "-p", "3", pb}, in_prefix),
       0,
       " leads to " + pb + " (it led to " + pa,
       3,
       {pb, pb}},
      {with({"wine-port", "-p", "3", "--remove"}, in_prefix),
       0,
       "COM3 in " + p + " no longer leads to " + pb,
       3,
       {"-", "-"}},
      {with({"wine-port", "-p", "3", "--remove"}, in_prefix),
       0,
       "nothing to remove",
       3,
       {"-", "-"}},
      // Wine's own link is not wine-port's to take.
      {with({"wine-port", "-p", "1", "--remove"}, in_prefix),
       0,
       "(dosdevices/com1 -> /dev/ttyS0 is Wine's own or made by hand, and stays)",
       1,
       {"/dev/ttyS0", "-"}},
      {{"wine-port", "-p", "4", console_pty.slave_path(), "--prefix", p, "--root",
        with_console.root.string()},
       2,
       "is the system console (/proc/consoles lists it)",
       4,
       {"-", "-"}},
      {{"wine-port", "-p", "4", pa, "--prefix", p, "--root", without_consoles.root.string()},
       2,
       "/proc/consoles cannot be read",
       4,
       {"-", "-"}},
      {with({"wine-port", "-p", "0", pa}, in_prefix),
       1,
       "0 is not a number from 1 to 255",
       0,
       {"-", "-"}},
      {with({"wine-port", "-p", "1", pa}, in_prefix), 0, " (it led to /dev/ttyS0)", 1, {pa, pa}},
      {with({"wine-port", "-p", "255", pa}, in_prefix), 0, "COM255 in ", 255, {pa, pa}},
      {with({"wine-port", "-p", "256", pa}, in_prefix),
       1,
       "256 is not a number from 1 to 255",
       256,
       {"-", "-"}},
      {with({"wine-port", "-p", "5", ttys.path() + "/gone"}, in_prefix),
       2,
       ttys.path() + "/gone: no such device",
       5,
       {"-", "-"}},
      {with({"wine-port", "-p", "5", accented}, in_prefix),
       2,
       ": name the device by a path in plain ASCII",
       5,
       {"-", "-"}},
      {with({"wine-port", "-p", "5", plain_file}, in_prefix),
       2,
       "is not a character device",
       5,
       {"-", "-"}},
      {{"wine-port", "-p", "5", pa, "--prefix", p + "/missing", "--root", root},
       2,
       p + "/missing is not a Wine prefix (no dosdevices folder); make one with: WINEPREFIX=",
       5,
       {"-", "-"}},
      {{"wine-port", "-p", "5", "--remove", "--root", root},
       0,
       "COM5 in " + p,
       5,
       {"-", "-"},
       {"WINEPREFIX=" + p}},
      {with({"wine-port", "-p", "5", pa}, in_prefix),
       2,
       "Wine is running in " + p,
       5,
       {"-", "-"},
       {},
       true},
      {with({"wine-port", "-p", "5", "--remove", pa}, in_prefix), 1, "excludes", 5, {"-", "-"}},
      {with({"wine-port", "-p", "5"}, in_prefix), 1, "DEVICE is required", 5, {"-", "-"}},
      {with({"wine-port", "-p", "9", pa}, in_prefix),
       2,
       "/dosdevices/com9 is not a link",
       9,
       {"-", "-"}},
      {{"wine-port", "-p", "5", pa, "--prefix", broken.path(), "--root", root},
       2,
       "/system.reg does not start with \"WINE REGISTRY Version 2\"",
       5,
       {"-", "-"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::unique_ptr<Process> server;
    if (row.wine_running) {
      server =
          std::make_unique<Process>(std::vector<std::string>{ttys.path() + "/wineserver", "30"},
                                    Process::Options{{}, folder.str()});
      std::this_thread::sleep_for(100ms);
    }
    const Process::Result r = run(row.args, row.env);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    EXPECT_NE((row.status == 0 ? r.out : r.err).find(row.said), std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(wine_mapping(p, row.port), row.after);
  }
  // A link changed by hand after wine-port mapped it stays; the value goes.
  ASSERT_EQ(run(with({"wine-port", "-p", "6", pa}, in_prefix)).status, 0);
  fs::remove(dosdevices / "com6");
  fs::create_symlink(pb, dosdevices / "com6");
  const Process::Result r = run(with({"wine-port", "-p", "6", "--remove"}, in_prefix));
  EXPECT_NE(r.out.find("was changed by hand, and stays"), std::string::npos) << r.out;
  EXPECT_EQ(wine_mapping(p, 6), (WineMapping{pb, "-"}));
  // Taken back, the registry is as Wine left it, byte for byte, mode and all;
  // and, run by root on another user's prefix, still theirs.
  const fs::path reg = fs::path(p) / "system.reg";
  fs::permissions(reg, fs::perms::owner_read | fs::perms::owner_write);
  const bool root_user = ::geteuid() == 0;
  if (root_user) {
    ASSERT_EQ(::chown(reg.c_str(), 65534, 65534), 0);
  }
  for (const char* port : {"1", "255"}) {
    EXPECT_EQ(run(with({"wine-port", "-p", port, "--remove"}, in_prefix)).status, 0);
  }
  std::ifstream in(fs::path(p) / "system.reg");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), fresh_system_reg);
  EXPECT_EQ(fs::status(reg).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  struct stat owner {};
  ASSERT_EQ(::stat(reg.c_str(), &owner), 0);
  if (root_user) {
    EXPECT_EQ(owner.st_uid, 65534u);
  } else {
    std::cout << "not root: a prefix of another user's is not tried\n";
  }
  std::ifstream kept(broken.path() + "/system.reg");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "REGEDIT4\n");
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
  // A second link in /dev/serial/by-path (udev's usbv2 name), and nothing that
  // probes serial devices; no list of consoles.
  const FakeMachine quiet(std::nullopt);
  fs::create_symlink("../../ttyUSB0",
                     quiet.root / "dev/serial/by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0");
  fs::remove_all(quiet.root / "proc/77");
  fs::remove_all(quiet.root / "proc/78");
  TempDir pty_dir;
  const VirtualPort pty(pty_dir.path(), 6);
  const std::string by_path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
  const std::uint32_t both = QELMAR_HOLDER_OPEN | QELMAR_HOLDER_LOCKED;
  const std::uint32_t probers = QELMAR_RUNNING_MODEM_MANAGER | QELMAR_RUNNING_BRLTTY;
  // Around the record's list size: minicom and `extra` other holders (pids
  // 201...), the adapter's link and `extra` by-path links.
  struct Crowd {
    FakeMachine machine;
    std::vector<long> holders;
    std::vector<std::uint32_t> how;
    std::vector<std::string> names, links;
  };
  const auto crowd = [&](int extra) {
    auto c = std::make_unique<Crowd>();
    c->links = {by_path};
    for (int i = 1; i <= extra; ++i) {
      const fs::path process = c->machine.root / "proc" / std::to_string(200 + i);
      fs::create_directories(process / "fd");
      std::ofstream(process / "comm") << "holder" << i << "\n";
      fs::create_symlink(c->machine.root / "dev/ttyUSB0", process / "fd/5");
      c->holders.push_back(200 + i);
      c->how.push_back(QELMAR_HOLDER_OPEN);
      c->names.push_back("holder" + std::to_string(i));
      const std::string link = "/dev/serial/by-path/usb-extra-" + std::to_string(i);
      fs::create_symlink("../../ttyUSB0", c->machine.root / link.substr(1));
      c->links.push_back(link);
    }
    // /proc lists "4321" after "20N".
    c->holders.push_back(4321);
    c->how.push_back(both);
    c->names.emplace_back("minicom");
    return c;
  };
  const auto seven = crowd(6), eight = crowd(7), nine = crowd(8);
  struct Row {
    std::string name, root, device_dir;
    std::string listed;                 // a device it must list
    std::vector<long> adapter_holders;  // of /dev/ttyUSB0
    // Appended to the record: how each holder was found and its name, the
    // by-path links, what runs beside, why the consoles cannot be read.
    std::vector<std::uint32_t> holder_how;
    std::vector<std::string> holder_names;
    std::vector<std::string> by_path;
    std::uint32_t running;
    std::string consoles_unread;
  };
  std::vector<Row> rows = {
      {"plain", plain.root, "", "/dev/ttyS0", {4321}, {both}, {"minicom"}, {by_path}, probers, ""},
      {"a lock and an alias more",
       more.root,
       "",
       "/dev/ttyS1",
       {4321, 4400},
       {both, QELMAR_HOLDER_LOCKED},
       {"minicom", ""},
       {by_path},
       probers,
       ""},
      {"a device folder",
       plain.root,
       pty_dir.path(),
       pty.slave_path(),
       {4321},
       {both},
       {"minicom"},
       {by_path},
       probers,
       ""},
      {"two by-path links, nothing probing, no consoles",
       quiet.root,
       "",
       "/dev/ttyS0",
       {4321},
       {both},
       {"minicom"},
       {by_path, "/dev/serial/by-path/pci-0000:00:14.0-usbv2-0:1:1.0-port0"},
       0,
       "No such file or directory"},
  };
  for (const Crowd* c : {seven.get(), eight.get(), nine.get()}) {
    rows.push_back({std::to_string(c->holders.size()) + " holders and links", c->machine.root, "",
                    "/dev/ttyS0", c->holders, c->how, c->names, c->links, probers, ""});
  }
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
          std::size_t{QELMAR_PORT_INFO_V1_SIZE} + 8, sizeof(qelmar_port_info) - 8,
          sizeof(qelmar_port_info), sizeof(qelmar_port_info) + 24,
          std::size_t{QELMAR_RECORD_SIZE_MAX}, std::size_t{QELMAR_RECORD_SIZE_MAX} + 1}) {
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
      EXPECT_EQ(d["holders"],
                std::vector<long>(p.holders,
                                  p.holders + std::min(p.holder_count, QELMAR_PORT_LIST_SIZE)));
      EXPECT_EQ(d["console"], p.console != 0);
      EXPECT_EQ(p.running, row.running);
      EXPECT_EQ(p.consoles_unread, row.consoles_unread);
      EXPECT_EQ(p.unseen_processes, 0) << "root sees every process";
      // Its node, below the root or (a device folder's) where it is; none for ttyUSB9.
      struct stat node {};
      const bool there =
          ::stat((row.root + p.path).c_str(), &node) == 0 || ::stat(p.path, &node) == 0;
      const ::passwd* owner = there ? ::getpwuid(node.st_uid) : nullptr;
      EXPECT_EQ(p.mode, there ? node.st_mode & 07777 : 0);
      EXPECT_EQ(p.owner, std::string(owner != nullptr ? owner->pw_name : ""));
      if (std::string(p.path) == "/dev/ttyUSB0") {
        // The whole counts; the first QELMAR_PORT_LIST_SIZE of each list.
        const auto first = [](auto list) {
          list.resize(std::min<std::size_t>(list.size(), QELMAR_PORT_LIST_SIZE));
          return list;
        };
        EXPECT_EQ(p.holder_count, static_cast<std::int32_t>(row.adapter_holders.size()));
        EXPECT_EQ(d["holders"], first(row.adapter_holders));
        const std::size_t kept = first(row.adapter_holders).size();
        EXPECT_EQ(std::vector<std::uint32_t>(p.holder_how, p.holder_how + kept),
                  first(row.holder_how));
        EXPECT_EQ(std::vector<std::string>(p.holder_names, p.holder_names + kept),
                  first(row.holder_names));
        EXPECT_EQ(p.by_path_count, static_cast<std::int32_t>(row.by_path.size()));
        std::vector<std::string> expected = row.by_path;
        std::sort(expected.begin(), expected.end());
        expected = first(expected);
        const std::vector<std::string> links(p.by_path, p.by_path + expected.size());
        EXPECT_EQ(links, expected);
        std::vector<std::string> names;
        for (const std::string& link : links) names.push_back(fs::path(link).filename().string());
        EXPECT_EQ(d["usb"]["by_path"], names);
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
  // Readable, so that the listing finds the device for an ordinary user too.
  fs::permissions(dir.path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
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
       {"ok       exclusive mode (TIOCEXCL) is not set\nok       test frame: delivered 1 byte in "},
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
        "delivered 1 byte in "},
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
      // A user cannot open it at all, and is told to ask root; it cannot see
      // other users' programs, and says so.
      {true,
       false,
       {"doctor", "-p", "5", "--clear-exclusive"},
       2,
       {"problem  exclusive mode (TIOCEXCL) is set and no other program this user can see has it "
        "open",
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
       "udev-rule, serve, display, wine-port; see --help)\n"},
      {{"wine-prot", "-p", "1"},
       1,
       "",
       "unknown subcommand 'wine-prot': did you mean 'wine-port'?"},
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
      {{"display", "--count", "1000001"},
       1,
       "",
       "--count: 1000001 is not a number from 0 to 1000000"},
      // What the platform's subcommands require of their options.
      {{"doctor", "--force"}, 1, "", "--force requires --clear-exclusive"},
      {{"udev-rule", "/dev/ttyUSB0"}, 1, "", "--port is required"},
      {{"udev-rule", "-p", "1"}, 1, "", "DEVICE is required"},
      // (A folder it cannot make, so that a display is never left running.)
      {{"display", "-p", "256", "--dir", "/dev/null/x"},
       1,
       "",
       "--port: 256 is not a number from 1 to 255"},
      // Port numbers at either end of their range: those inside reach for a device.
      {{"send", "-p", "0", "12"}, 1, "", "--port: 0 is not a number from 1 to 255"},
      {{"send", "-p", "1", "12"}, 2, "750630\n", "port 1 (" + root + "/dev/com1): '12': not sent"},
      {{"send", "-p", "2", "12"}, 2, "750630\n", "port 2 (" + root + "/dev/com2): '12': not sent"},
      {{"rc", "-p", "254", "1", "2"},
       2,
       "",
       "port 254 (" + root + "/dev/com254): the 0x12 frame: not sent"},
      {{"rc", "-p", "255", "1", "2"},
       2,
       "",
       "port 255 (" + root + "/dev/com255): the 0x12 frame: not sent"},
      {{"rc", "-p", "256", "1", "2"}, 1, "", "--port: 256 is not a number from 1 to 255"},
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

// A mistyped long option names the one meant when one is near, for the
// subcommand given or the tool itself; one near nothing keeps CLI11's words.
TEST(Tool, SuggestsTheOptionMeant) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      // After "--" a text is a text.
      {{"encode", "--", "--prot"}, ""},
  };
  for (const auto& c : cases) {
    const Process::Result r = run(c.args);
    const std::string row = ::testing::PrintToString(c.args);
    if (c.err.empty()) {
      EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << row << "\n" << r.err;
      continue;
    }
    EXPECT_EQ(r.status, 1) << row << "\n" << r.err;
    EXPECT_EQ(r.err, "qelmar: " + c.err + " (see --help)\n") << row;
  }
}

// What answers alike on every system (tests/tool_rows.h), which wine_test
// also runs through qelmar.exe.
TEST(Tool, AnswersThePortableRows) {
  for (const ToolRow& row : portable_tool_rows()) {
    const Process::Result r = run(row.args);
    const std::string args = ::testing::PrintToString(row.args);
    EXPECT_EQ(r.status, row.status) << args << "\n" << r.err;
    EXPECT_EQ(r.out, row.out) << args;
    EXPECT_NE(r.err.find(row.err_has), std::string::npos) << args << "\n" << r.err;
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
  const bool shown = read_output(20s * slowdown, [](const std::string& text) {
    return text.find("12 A5 5A  0x12 frame A5 5A") != std::string::npos;
  });
  host.join();
  EXPECT_TRUE(shown);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s * slowdown);

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
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s * slowdown);
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
