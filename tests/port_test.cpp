// SPDX-License-Identifier: MIT
// The exported entry points end to end, on pseudo-terminals.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "command_table.h"
#include "qelmar.h"
#include "qelmar/host.h"
#include "virtual_port.h"

namespace qelmar::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int port = 7;

class PortTest : public ::testing::Test {
 protected:
  DeviceDir dir;
  VirtualPort line{dir.path(), port};
};

class CommandTableOnTheLine : public PortTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(CommandTableOnTheLine, ArrivesByteExact) {
  const CommandRow& row = GetParam();
  EXPECT_EQ(tavdll(port, row.text.c_str()), row.result);
  const std::vector<std::uint8_t> none;
  EXPECT_EQ(hex(line.read_through_marker()), hex(row.frame.value_or(none)));
}

INSTANTIATE_TEST_SUITE_P(Tables, CommandTableOnTheLine, ::testing::ValuesIn(load_command_table()));

TEST_F(PortTest, FramesOfConsecutiveCallsAllArrive) {
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(tavdll(port, "12.5H"), 2);
    ASSERT_EQ(tavrc(port, i, 0x20), 0);
  }
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    const std::uint8_t rc[] = {0x12, static_cast<std::uint8_t>(i), 0x20};
    expected += (expected.empty() ? "" : " ") + std::string("1F 01 02 05 00 1F ") + hex(rc);
  }
  EXPECT_EQ(hex(line.read_through_marker()), expected);
}

TEST_F(PortTest, RcSendsTheLowBytesOfItsArguments) {
  const struct {
    std::int32_t first, second;
    const char* frame;
  } cases[] = {{0x41, 0x142, "12 41 42"}, {-1, 256, "12 FF 00"}, {0, 0x7FFFFFFF, "12 00 FF"}};
  for (const auto& c : cases) {
    EXPECT_EQ(tavrc(port, c.first, c.second), 0);
    EXPECT_EQ(hex(line.read_through_marker()), c.frame);
  }
}

TEST_F(PortTest, LineIsSetTo2400BaudRaw8N1WithoutFlowControl) {
  termios before{};
  ASSERT_EQ(::tcgetattr(line.slave(), &before), 0);
  cfsetospeed(&before, B9600);
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
  before.c_iflag |= IXON | IXOFF | ICRNL;
  before.c_oflag |= OPOST | ONLCR;
  ASSERT_EQ(::tcsetattr(line.slave(), TCSANOW, &before), 0);

  ASSERT_EQ(tavdll(port, "*"), 2);
  termios after{};
  ASSERT_EQ(::tcgetattr(line.slave(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), B2400);
  EXPECT_EQ(cfgetispeed(&after), B2400);
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(after.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
  EXPECT_EQ(after.c_oflag & OPOST, 0u);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);

  // A line feed leaves as it is.
  ASSERT_EQ(tavdll(port, "$:"), 750630);
  EXPECT_EQ(hex(line.read_through_marker()), "0C 0D 0A");
}

TEST_F(PortTest, OpensOnlyForANonEmptyTextAndLeavesNoExclusivity) {
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, line.slave_path().c_str(), IN_OPEN | IN_CLOSE), 0);
  auto opens = [&] {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->mask & IN_OPEN) ++count;
        p += sizeof(inotify_event) + event->len;
      }
    }
    return count;
  };

  EXPECT_EQ(tavdll(port, ""), 1);
  EXPECT_EQ(tavdll(port, nullptr), 1);
  EXPECT_EQ(opens(), 0);
  EXPECT_EQ(tavdll(port, " "), 2);
  EXPECT_EQ(opens(), 1);
  EXPECT_EQ(hex(line.read_through_marker()), "");
  ::close(watch);

  int exclusive = -1;
  ASSERT_EQ(::ioctl(line.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(PortTest, OpenDiscardsWaitingInput) {
  termios raw{};
  ASSERT_EQ(::tcgetattr(line.slave(), &raw), 0);
  ::cfmakeraw(&raw);  // counts bytes, not lines, and echoes nothing
  ASSERT_EQ(::tcsetattr(line.slave(), TCSANOW, &raw), 0);
  ASSERT_EQ(::write(line.master(), "junk", 4), 4);
  int waiting = 0;
  for (int i = 0; i < 200 && waiting == 0; ++i) {
    std::this_thread::sleep_for(1ms);
    ::ioctl(line.slave(), FIONREAD, &waiting);
  }
  ASSERT_EQ(waiting, 4);
  tavdll(port, "*");
  ::ioctl(line.slave(), FIONREAD, &waiting);
  EXPECT_EQ(waiting, 0);
}

TEST_F(PortTest, MissingOrUnusablePortsSendNothingAndReturnAsUsual) {
  std::ofstream(dir.path() + "/com9") << "not a tty";
  for (int missing : {8, 9, 0, -1, 2147483647}) {
    EXPECT_EQ(tavdll(missing, "12"), 750630) << missing;
    EXPECT_EQ(tavdll(missing, "F"), 750630) << missing;
    EXPECT_EQ(tavdll(missing, "123"), 2) << missing;
    EXPECT_EQ(tavrc(missing, 1, 2), 0) << missing;
  }
  EXPECT_EQ(hex(line.read_through_marker()), "");
}

TEST_F(PortTest, BusyPortSendsNothingAndIsUsableAfterwards) {
  const int holder = ::open(line.slave_path().c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(tavdll(port, "123"), 2);
  ::close(holder);
  EXPECT_EQ(tavdll(port, "45"), 750630);
  EXPECT_EQ(hex(line.read_through_marker()), "04 05");
}

TEST_F(PortTest, KeyCommandPausesAfterItsFrame) {
  for (const char* key : {"F", "f"}) {
    const auto start = Clock::now();
    EXPECT_EQ(tavdll(port, key), 750630);
    EXPECT_GE(Clock::now() - start, 100ms) << key;
    EXPECT_EQ(hex(line.read_through_marker()), "7F");
  }
}

TEST_F(PortTest, StoppedLineDoesNotHoldTheCallAndRecovers) {
  line.stop_line();
  const auto start = Clock::now();
  EXPECT_EQ(tavdll(port, "@12345678@"), 2);
  // Deadline 80 ms; the bound only tells a deadline from a hang.
  EXPECT_LT(Clock::now() - start, 2s);
  line.read_quiet(50ms);
  EXPECT_EQ(tavdll(port, "12.5H"), 2);
  EXPECT_EQ(hex(line.read_through_marker()), "1F 01 02 05 00 1F");
}

// Each call made through one face of the library: the legacy entry points, or
// the host library's with a status.
// A status as a host sets one up.
qelmar_status fresh_status() {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  return status;
}

struct Face {
  bool host = false;
  qelmar_status status = fresh_status();

  void send(int port_number, const char* text) {
    if (host) {
      qelmar_send(port_number, text, &status);
    } else {
      tavdll(port_number, text);
    }
  }
  void rc(int port_number, int first, int second) {
    if (host) {
      qelmar_send_rc(port_number, first, second, &status);
    } else {
      tavrc(port_number, first, second);
    }
  }
  void play(const char* path) {
    if (host) {
      qelmar_play(path, &status);
    } else {
      tavadd(0, path);
    }
  }
  std::string words() const {
    char text[512];
    qelmar_describe(&status, text, sizeof text);
    return text;
  }
};

// One line per call in QELMAR_LOG, saying what became of it, from either
// face; the host's status has the outcome, in the log's words.
TEST_F(PortTest, LogAndStatusSayWhatBecameOfEachCall) {
  const std::string log = dir.path() + "/calls.log";
  std::ofstream(dir.path() + "/com9") << "not a tty";
  const struct {
    const char* condition;
    std::function<void(Face&)> call;
    std::string line_has;
    qelmar_outcome outcome;
  } cases[] = {
      {"delivered", [](Face& f) { f.send(port, "12.5H"); }, " port 7 tried ", QELMAR_DELIVERED},
      {"delivered", [](Face& f) { f.send(port, "12.5H"); }, ": delivered 6 bytes in ",
       QELMAR_DELIVERED},
      {"cut short", [this](Face& f) { f.play((dir.path() + std::string(3000, 'x')).c_str()); },
       "tavadd file /", QELMAR_NOT_PLAYED},
      {"delivered", [](Face& f) { f.rc(port, 1, 2); }, ": delivered 3 bytes in ", QELMAR_DELIVERED},
      {"missing", [](Face& f) { f.send(8, "12"); }, "/com8: not sent: no such device",
       QELMAR_NOT_FOUND},
      {"not a tty", [](Face& f) { f.send(9, "12"); }, "/com9: not sent: not a tty",
       QELMAR_NOT_A_TTY},
      {"dropped", [](Face& f) { f.send(port, "@12"); },
       "not sent: the command was dropped (no closing '@')", QELMAR_DROPPED},
      {"selects nothing", [](Face& f) { f.send(port, "-12"); },
       "nothing to send: the text selects no frame", QELMAR_NOTHING_TO_SEND},
      {"empty", [](Face& f) { f.send(port, ""); }, "nothing to send: the text is empty",
       QELMAR_EMPTY},
      {"busy",
       [this](Face& f) {
         const int holder = ::open(line.slave_path().c_str(), O_WRONLY | O_NOCTTY);
         ::flock(holder, LOCK_EX);
         f.send(port, "12");
         ::close(holder);
       },
       "not sent: busy (held by process " + std::to_string(::getpid()) + ")", QELMAR_BUSY},
      {"stuck",
       [this](Face& f) {
         // A line that no call has set up yet stays full once filled.
         const VirtualPort fresh(dir.path(), 15);
         fresh.stop_line();
         f.send(15, "@12345678@");
       },
       "not sent: the line was stuck (10 of 10 bytes discarded at the deadline)", QELMAR_STUCK},
      {"permission denied",
       [this](Face& f) {
         // An ordinary user, for whom the device is closed; the status comes
         // back over a pipe.
         ::chmod(line.slave_path().c_str(), 0);
         int back[2];
         if (::pipe(back) != 0) return;
         const pid_t child = ::fork();
         if (child == 0) {
           if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
           f.send(port, "12");
           const bool whole = ::write(back[1], &f.status, sizeof f.status) == sizeof f.status;
           ::_exit(whole ? 0 : 1);
         }
         ::close(back[1]);
         if (::read(back[0], &f.status, sizeof f.status) != sizeof f.status)
           f.status = fresh_status();
         ::close(back[0]);
         ::waitpid(child, nullptr, 0);
         ::chmod(line.slave_path().c_str(), 0620);
       },
       "not sent: permission denied (the device belongs to group ", QELMAR_NO_PERMISSION},
  };
  ::setenv("QELMAR_LOG", log.c_str(), 1);
  ::chmod(dir.path().c_str(), 0777);  // the ordinary user's child appends too
  for (const bool host : {false, true}) {
    for (const auto& c : cases) {
      const std::string row = std::string(host ? "host: " : "legacy: ") + c.condition;
      std::filesystem::remove(log);
      Face face{host};
      c.call(face);
      std::ifstream in(log);
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << row << ": " << text;
      EXPECT_NE(text.find(c.line_has), std::string::npos) << row << ": " << text;
      EXPECT_NE(text.find(" qelmar pid "), std::string::npos) << row << ": " << text;
      if (!host) continue;
      EXPECT_EQ(face.status.outcome, c.outcome) << row << ": " << qelmar_outcome_name(c.outcome);
      // The same words, from the same function, in the log and for the host
      // (a sound's line has its file first, cut here by its length).
      if (std::string_view(face.status.call) == "play") continue;
      EXPECT_NE(text.find(": " + face.words() + "\n"), std::string::npos)
          << row << ": " << face.words() << " / " << text;
    }
  }
  ::unsetenv("QELMAR_LOG");
  line.read_quiet(20ms);
}

// Hosts built with other versions of the status: a call writes nothing past
// the size the host set; a size short of the first version's, or one never set
// up, is refused with nothing written, and the call still does its work. The
// bytes after the record are the host's next variable.
TEST_F(PortTest, StatusIsFilledAsFarAsTheHostsSizeReaches) {
  constexpr std::size_t v1 = QELMAR_STATUS_V1_SIZE;
  constexpr std::size_t most = QELMAR_RECORD_SIZE_MAX;
  constexpr unsigned char canary = 0xA5;
  const struct {
    const char* call;
    std::function<std::int32_t(qelmar_status*)> make;
    std::int32_t result;
    std::string frame;
  } calls[] = {
      {"send", [](qelmar_status* s) { return qelmar_send(port, "12.5H", s); }, 2,
       "1F 01 02 05 00 1F"},
      {"rc", [](qelmar_status* s) { return qelmar_send_rc(port, 0x101, 2, s); }, 0, "12 01 02"},
      {"play", [](qelmar_status* s) { return qelmar_play(nullptr, s); }, 0, ""},
  };
  for (const auto& call : calls) {
    for (const std::size_t size :
         {std::size_t{0}, v1 - 1, v1, sizeof(qelmar_status) + 40, most, most + 1}) {
      const std::string row = std::string(call.call) + ", " + std::to_string(size) + " bytes";
      const bool taken = size >= v1 && size <= most;
      std::vector<unsigned char> bytes(std::max(size, sizeof(std::uint32_t)) + 64, canary);
      const auto told = static_cast<std::uint32_t>(size);
      std::memcpy(bytes.data(), &told, sizeof told);
      auto* status = reinterpret_cast<qelmar_status*>(bytes.data());
      EXPECT_EQ(call.make(status), call.result) << row;
      if (!call.frame.empty()) {
        EXPECT_EQ(hex(line.read_through_marker()), call.frame) << row;
      }
      std::uint32_t after = 0;
      std::memcpy(&after, bytes.data(), sizeof after);
      EXPECT_EQ(after, told) << row;
      const std::size_t written = taken ? std::min(size, sizeof(qelmar_status)) : sizeof told;
      EXPECT_EQ(static_cast<std::size_t>(
                    std::count(bytes.begin() + static_cast<long>(written), bytes.end(), canary)),
                bytes.size() - written)
          << row;
      char words[256];
      qelmar_describe(status, words, sizeof words);
      if (taken) {
        EXPECT_STREQ(status->call, call.call) << row;
        EXPECT_NE(status->outcome, QELMAR_UNFILLED) << row;
      } else {
        const qelmar_status unfilled = fresh_status();
        char unfilled_words[256];
        qelmar_describe(&unfilled, unfilled_words, sizeof unfilled_words);
        EXPECT_STREQ(words, unfilled_words) << row;
      }
    }
  }
  line.read_quiet(20ms);
}

// The host's hook takes each call's line, whole and once, from every thread,
// instead of QELMAR_LOG's sink; a status no call filled never reads delivered.
TEST_F(PortTest, LogHookTakesOneLinePerCallFromEveryThread) {
  const std::string log = dir.path() + "/calls.log";
  ::setenv("QELMAR_LOG", log.c_str(), 1);
  static std::atomic<int> lines = 0;
  static std::atomic<int> unended = 0;
  qelmar_set_log_hook(
      [](const char* text, void* tag) {
        ++lines;
        if (std::strchr(text, '\n') != nullptr || std::strstr(text, " port ") == nullptr ||
            tag != &lines) {
          ++unended;
        }
      },
      &lines);
  constexpr int threads = 4;
  constexpr int calls = 50;
  std::vector<std::thread> hosts;
  for (int t = 0; t < threads; ++t) {
    hosts.emplace_back([t] {
      for (int i = 0; i < calls; ++i) {
        qelmar_status status = fresh_status();
        if (i % 2 == 0) {
          qelmar_send_rc(port, t, i, &status);
        } else {
          qelmar_send(i % 3 == 0 ? 8 : port, "12", nullptr);
        }
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  qelmar_set_log_hook(nullptr, nullptr);
  ::unsetenv("QELMAR_LOG");
  EXPECT_EQ(lines, threads * calls);
  EXPECT_EQ(unended, 0);
  EXPECT_FALSE(std::filesystem::exists(log));
  const qelmar_status unfilled = fresh_status();
  char words[256];
  qelmar_describe(&unfilled, words, sizeof words);
  EXPECT_EQ(unfilled.outcome, QELMAR_UNFILLED);
  EXPECT_EQ(std::string(words).find("delivered"), std::string::npos) << words;
  line.read_quiet(20ms);
}

// Lets this process write files of at most `bytes` (the rest of a write is
// refused, with EFBIG rather than SIGXFSZ).
void limit_file_size(rlim_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = std::min(bytes, limit.rlim_max);
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

// A sink that fills up mid-line: the next line, once there is room, must not
// be glued to the cut one. A file takes the cut part back; the host's stderr is
// never cut into, so there the cut line is only ended.
TEST_F(PortTest, LogLineIsWholeOrAbsentWhenItsSinkFillsUp) {
  const std::string full = dir.path() + "/full", seen = dir.path() + "/seen.log";
  const struct {
    const char* sink;
    std::string file;  // where the lines land
    bool to_stderr;
    // In the child: leaves the sink little room, or says why this machine cannot.
    std::function<std::string()> leave_little_room;
    std::function<void()> make_room;
  } cases[] = {
      {"a file at its size limit", dir.path() + "/limited.log", false,
       [] {
         limit_file_size(1000);
         return std::string();
       },
       [] { limit_file_size(RLIM_INFINITY); }},
      {"a file on a full filesystem", full + "/calls.log", false,
       [&] {
         // A mount of the child's own, gone with it.
         if (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mkdir(full.c_str(), 0700) != 0 ||
             ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=8k") != 0) {
           return std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
         }
         std::ofstream(full + "/filler") << std::string(4096, 'x');
         return std::string();
       },
       [&] { ::unlink((full + "/filler").c_str()); }},
      {"stderr, a file at its size limit", dir.path() + "/stderr.log", true,
       [&] {
         ::dup2(::open((dir.path() + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600),
                2);
         limit_file_size(1000);
         return std::string();
       },
       [] { limit_file_size(RLIM_INFINITY); }},
  };
  constexpr int calls = 64;  // more lines than any of the sinks has room for
  for (const auto& c : cases) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("QELMAR_LOG", c.to_stderr ? "stderr" : c.file.c_str(), 1);
      const std::string cannot = c.leave_little_room();
      if (!cannot.empty()) {
        std::ofstream(seen) << cannot;
        ::_exit(77);
      }
      for (int i = 0; i < calls; ++i) tavdll(8, "12");
      c.make_room();
      tavdll(8, "12");
      std::filesystem::copy_file(c.file, seen, std::filesystem::copy_options::overwrite_existing);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::ifstream in(seen);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
      std::printf("SKIPPED: %s: %s\n", c.sink, text.c_str());
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.sink;
    ASSERT_TRUE(text.ends_with('\n')) << c.sink << ": the last line is not ended:\n" << text;
    const std::string ending = "/com8: not sent: no such device";
    int whole = 0, cut = 0;
    std::string last;
    std::istringstream lines(text);
    for (std::string logged; std::getline(lines, logged); last = logged) {
      const bool one_call = logged.find(" qelmar pid ") == logged.rfind(" qelmar pid ");
      EXPECT_TRUE(one_call) << c.sink << ": lines glued together: " << logged;
      ++(one_call && logged.ends_with(ending) ? whole : cut);
    }
    EXPECT_LT(whole, calls) << c.sink << ": it never filled up";
    EXPECT_GE(whole, 2) << c.sink << ": no line before it filled up, or none after room was made";
    EXPECT_EQ(cut, c.to_stderr ? 1 : 0) << c.sink << ":\n" << text;
    EXPECT_TRUE(last.ends_with(ending)) << c.sink << ": the line after room was made: " << last;
  }
}

}  // namespace
}  // namespace qelmar::test
