// SPDX-License-Identifier: MIT
// The exported entry points end to end, on pseudo-terminals.
#include <dirent.h>
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

// A call made in a child process of its own, which the test can stop and
// continue; its status comes back over a pipe.
class CallInChild {
 public:
  explicit CallInChild(const std::function<void(qelmar_status&)>& call) {
    if (::pipe(back_) != 0) return;
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      qelmar_status status;
      QELMAR_STATUS_INIT(status);
      const char starting = 1;
      if (::write(back_[1], &starting, 1) != 1) ::_exit(1);
      call(status);
      const bool whole = ::write(back_[1], &status, sizeof status) == sizeof status;
      ::_exit(whole ? 0 : 1);
    }
    ::close(back_[1]);
    // Returns as the call starts: a loaded machine can take long to fork.
    char starting = 0;
    if (::read(back_[0], &starting, 1) != 1) ADD_FAILURE() << "the child did not start";
  }
  ~CallInChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(back_[0]);
  }
  CallInChild(const CallInChild&) = delete;
  CallInChild& operator=(const CallInChild&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the call to end.
  qelmar_status status() {
    qelmar_status status{};
    if (::read(back_[0], &status, sizeof status) != sizeof status) status = {};
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return status;
  }

 private:
  int back_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// Whether process `pid`, a child of this one, has opened the character device
// `device` itself (`inherited` is the descriptor it has from this process): a
// call that has opened its port has taken its place in the queue.
bool has_opened(pid_t pid, dev_t device, int inherited) {
  DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (fds == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(fds)) {
    struct stat file {};
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + entry->d_name;
    if (std::to_string(inherited) != entry->d_name && ::stat(path.c_str(), &file) == 0 &&
        S_ISCHR(file.st_mode) && file.st_rdev == device) {
      found = true;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

std::string words(const qelmar_status& status) {
  char text[512];
  qelmar_describe(&status, text, sizeof text);
  return text;
}

// A frame goes out within the call's bound (0.85 s) or not at all: a call
// that reaches its write later, because it was stopped or descheduled while it
// waited, or because what is left of the bound is too short for its frame at
// 2400 baud, sends nothing and says so.
TEST_F(PortTest, NothingLeavesAfterTheCallsBound) {
  const std::string long_text = "#ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMN#";  // 80 bytes
  const struct {
    const char* condition;
    const char* text;                      // sent with qelmar_send
    std::chrono::milliseconds stop_at;     // into the call, in a child; 0: never stopped
    std::chrono::milliseconds hold_until;  // another program's flock, from the call's start
    const char* line;                      // what the display receives
    qelmar_outcome outcome;
  } cases[] = {
      {"stopped waiting for another program, continued after its bound", "12", 100ms, 200ms, "",
       QELMAR_BUSY},
      // 200 ms left; the frame needs 333 ms at 2400 baud.
      {"a long frame with too little of the bound left for it", long_text.c_str(), 0ms, 650ms, "",
       QELMAR_BUSY},
      // 250 ms left; the frame needs 83 ms.
      {"a short frame with enough of the bound left", "#ABCDEFGHIJ#", 0ms, 600ms,
       "A3 C1 A3 C2 A3 C3 A3 C4 A3 C5 A3 C6 A3 C7 A3 C8 A3 C9 A3 CA", QELMAR_DELIVERED},
  };
  for (const auto& c : cases) {
    const int holder = ::open(line.slave_path().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    qelmar_status status;
    QELMAR_STATUS_INIT(status);
    if (c.stop_at > 0ms) {
      CallInChild child([&](qelmar_status& child_status) {
        ::close(holder);  // the test's hold, not the child's
        qelmar_send(port, c.text, &child_status);
      });
      const auto start = Clock::now();
      std::this_thread::sleep_until(start + c.stop_at);
      ::kill(child.pid(), SIGSTOP);
      std::this_thread::sleep_until(start + c.hold_until);
      ::close(holder);
      std::this_thread::sleep_until(start + 1500ms);
      ::kill(child.pid(), SIGCONT);
      status = child.status();
    } else {
      // Here, where the call's start is known to the microsecond.
      const auto start = Clock::now();
      std::thread release([&] {
        std::this_thread::sleep_until(start + c.hold_until);
        ::close(holder);
      });
      qelmar_send(port, c.text, &status);
      release.join();
    }
    EXPECT_EQ(hex(line.read_through_marker()), c.line) << c.condition;
    EXPECT_EQ(status.outcome, c.outcome) << c.condition << ": " << words(status);
    if (c.outcome == QELMAR_BUSY) {
      EXPECT_EQ(status.sent_bytes, 0u) << c.condition;
      EXPECT_NE(words(status).find("not sent: busy (the call's time ran out before its frame "
                                   "could go out)"),
                std::string::npos)
          << c.condition << ": " << words(status);
    }
  }
}

// The key's pause keeps the line quiet after a key that went out; a call that
// gives up, or finds no device, returns without it.
TEST_F(PortTest, KeyPauseOnlyFollowsAKeyThatWentOut) {
  const struct {
    const char* condition;
    int port_number;
    bool held;  // by another program's flock, past the bound
    std::chrono::milliseconds at_least, below;
  } cases[] = {
      {"delivered", port, false, 100ms, 400ms},
      // Without the pause's 100 ms after the bound's 850 ms.
      {"gave up on a busy port", port, true, 800ms, 930ms},
      {"no such device", 8, false, 0ms, 60ms},
  };
  for (const auto& c : cases) {
    const int holder = ::open(line.slave_path().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(holder, 0);
    if (c.held) {
      ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    }
    const auto start = Clock::now();
    EXPECT_EQ(tavdll(c.port_number, "F"), 750630) << c.condition;
    const auto took = Clock::now() - start;
    ::close(holder);
    EXPECT_GE(took, c.at_least) << c.condition;
    EXPECT_LT(took, c.below) << c.condition;
  }
  EXPECT_EQ(hex(line.read_through_marker()), "7F");
}

// How another program holds the device with a record lock, in a process of
// its own that lives until it is killed.
struct RecordLock {
  const char* kind;
  std::function<bool(int)> take;  // on a descriptor open for writing
};

bool take_lock(int fd, int command, short type, off_t start) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  return ::fcntl(fd, command, &lock) == 0;
}

const RecordLock record_locks[] = {
    {"fcntl write lock", [](int fd) { return take_lock(fd, F_SETLK, F_WRLCK, 0); }},
    {"fcntl read lock", [](int fd) { return take_lock(fd, F_SETLK, F_RDLCK, 0); }},
    {"open-file write lock", [](int fd) { return take_lock(fd, F_OFD_SETLK, F_WRLCK, 0); }},
    {"lockf", [](int fd) { return ::lockf(fd, F_TLOCK, 0) == 0; }},
    // Past offset 0, over the places of the calls' queue.
    {"fcntl write lock from the middle",
     [](int fd) { return take_lock(fd, F_SETLK, F_WRLCK, 4096); }},
};

// A process holding `lock` on the device until it is destroyed.
class LockHolder {
 public:
  LockHolder(const std::string& device, const RecordLock& lock) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
      const char taken = fd >= 0 && lock.take(fd) ? 1 : 0;
      if (::write(ready[1], &taken, 1) != 1) ::_exit(1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char taken = 0;
    taken_ = ::read(ready[0], &taken, 1) == 1 && taken == 1;
    ::close(ready[0]);
  }
  ~LockHolder() { release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool taken() const { return taken_; }
  pid_t pid() const { return pid_; }
  void release() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool taken_ = false;
};

// Another program's record lock holds the port as a flock does: waited for up
// to the bound, never written over, named as the holder; once it goes, calls
// deliver again.
TEST_F(PortTest, ForeignRecordLocksHoldThePort) {
  for (const RecordLock& lock : record_locks) {
    LockHolder holder(line.slave_path(), lock);
    ASSERT_TRUE(holder.taken()) << lock.kind;
    qelmar_status status;
    QELMAR_STATUS_INIT(status);
    const auto start = Clock::now();
    qelmar_send_rc(port, 1, 2, &status);
    const auto took = Clock::now() - start;
    EXPECT_EQ(status.outcome, QELMAR_BUSY) << lock.kind << ": " << words(status);
    EXPECT_EQ(status.holder, holder.pid()) << lock.kind << ": " << words(status);
    EXPECT_GE(took, 800ms) << lock.kind;
    EXPECT_LT(took, 2s) << lock.kind;
    EXPECT_EQ(hex(line.read_quiet(20ms)), "") << lock.kind;
    holder.release();
    EXPECT_EQ(tavrc(port, 3, 4), 0);
    EXPECT_EQ(hex(line.read_through_marker()), "12 03 04") << lock.kind;
  }
}

// Calls that wait in several processes while another program holds a record
// lock over the whole device (and so over every place of the queue) are served
// in the order they began to wait once it lets go, and not before.
TEST_F(PortTest, WaitersQueueInOrderBehindAForeignRecordLock) {
  constexpr int waiters = 4;
  for (const RecordLock& lock : {record_locks[0], record_locks[2]}) {
    LockHolder holder(line.slave_path(), lock);
    ASSERT_TRUE(holder.taken()) << lock.kind;
    struct stat slave {};
    ASSERT_EQ(::fstat(line.slave(), &slave), 0);
    std::vector<std::unique_ptr<CallInChild>> children;
    for (int w = 0; w < waiters; ++w) {
      children.push_back(std::make_unique<CallInChild>(
          [w](qelmar_status& status) { qelmar_send_rc(port, 0x02, w, &status); }));
      // The next begins only once this one waits on the port: on a loaded
      // machine a child can lose the processor between its start and its call.
      const auto start = Clock::now();
      while (!has_opened(children.back()->pid(), slave.st_rdev, line.slave()) &&
             Clock::now() - start < 2s) {
        std::this_thread::sleep_for(1ms);
      }
      ASSERT_TRUE(has_opened(children.back()->pid(), slave.st_rdev, line.slave()))
          << lock.kind << " " << w;
    }
    // As long as the last waiter had before: none writes over the lock.
    EXPECT_EQ(hex(line.read_quiet(50ms)), "") << lock.kind << ": written over the lock";
    holder.release();
    std::string expected;
    for (int w = 0; w < waiters; ++w) {
      const qelmar_status status = children[static_cast<std::size_t>(w)]->status();
      EXPECT_EQ(status.outcome, QELMAR_DELIVERED) << lock.kind << " " << w << ": " << words(status);
      expected += std::string(expected.empty() ? "" : " ") + "12 02 0" + std::to_string(w);
    }
    EXPECT_EQ(hex(line.read_through_marker()), expected) << lock.kind;
  }
}

// A child forked while another thread is inside a call, at any point of it
// (the open included), keeps no descriptor of the port.
TEST_F(PortTest, ChildrenForkedDuringCallsKeepNoDescriptorOfThePort) {
  struct stat slave {};
  ASSERT_EQ(::fstat(line.slave(), &slave), 0);
  std::atomic<bool> done = false;
  std::thread caller([&] {
    while (!done) tavrc(port, 1, 2);
  });
  constexpr int forks = 600;
  int kept = 0;
  for (int i = 0; i < forks; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      // Only what is safe after a fork of a threaded process.
      for (int fd = 0; fd < 1024; ++fd) {
        struct stat open_file {};
        if (fd != line.slave() && ::fstat(fd, &open_file) == 0 && S_ISCHR(open_file.st_mode) &&
            open_file.st_rdev == slave.st_rdev) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++kept;
  }
  done = true;
  caller.join();
  EXPECT_EQ(kept, 0) << "of " << forks << " children";
  line.read_quiet(20ms);
}

// Port 1 falls back to /dev/ttyS0 only when the console list says that it is
// not a console: a list that is missing or cannot be read closes the fallback.
// Run in a mount namespace of its own, where /dev/ttyS0 is a pseudo-terminal
// bound over the real one: the real device is never opened.
TEST(ConsoleList, AListThatCannotBeReadClosesTheFallback) {
  if (::access("/dev/com1", F_OK) == 0) GTEST_SKIP() << "/dev/com1 exists here";
  if (::access("/dev/ttyS0", F_OK) != 0) GTEST_SKIP() << "no /dev/ttyS0 to bind over";
  const struct {
    const char* list;
    // In the child, after /dev/ttyS0 is bound: puts `file` (the list, mode
    // 0644) in place of /proc/consoles, or removes it.
    std::function<bool(const std::string& file)> put;
    const char* frames;
  } cases[] = {
      {"lists another console",
       [](const std::string& file) {
         return ::mount(file.c_str(), "/proc/consoles", nullptr, MS_BIND, nullptr) == 0;
       },
       "12 41 42"},
      {"missing",
       [](const std::string&) { return ::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) == 0; }, ""},
      {"not readable by this user",
       [](const std::string& file) {
         return ::chmod(file.c_str(), 0) == 0 &&
                ::mount(file.c_str(), "/proc/consoles", nullptr, MS_BIND, nullptr) == 0 &&
                ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                ::access("/proc/consoles", R_OK) != 0;
       },
       ""},
      {"a FIFO",
       [](const std::string& file) {
         const std::string fifo = file + ".fifo";
         return ::mkfifo(fifo.c_str(), 0644) == 0 &&
                ::mount(fifo.c_str(), "/proc/consoles", nullptr, MS_BIND, nullptr) == 0;
       },
       ""},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const VirtualPort line(dir.path(), 1);
    ::chmod(line.slave_path().c_str(), 0666);  // for the ordinary user too
    const std::string list = dir.path() + "/consoles";
    std::ofstream(list) << "tty0                 -WU (EC  p  )    4:1\n";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      ::unsetenv("QELMAR_DEVICE_DIR");
      struct stat bound {};
      struct stat pty {};
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(line.slave_path().c_str(), "/dev/ttyS0", nullptr, MS_BIND, nullptr) != 0 ||
          ::stat("/dev/ttyS0", &bound) != 0 || ::stat(line.slave_path().c_str(), &pty) != 0 ||
          bound.st_rdev != pty.st_rdev) {
        ::_exit(77);  // never call with the real device in place
      }
      if (!c.put(list)) ::_exit(78);
      qelmar_status status;
      QELMAR_STATUS_INIT(status);
      qelmar_send_rc(1, 0x41, 0x42, &status);
      const bool says_why = std::strstr(status.reason, "/proc/consoles cannot be read") != nullptr;
      ::_exit(status.outcome == QELMAR_DELIVERED || says_why ? 0 : 1);
    }
    // A list that blocks its reader must not hold the call.
    int status = -1;
    for (int waited = 0; waited < 300 && ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
      std::this_thread::sleep_for(10ms);
    }
    if (::waitpid(child, &status, WNOHANG) == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ADD_FAILURE() << c.list << ": the call hangs";
      continue;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
      GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 78) {
      std::printf("SKIPPED: %s: cannot set that up here\n", c.list);
      continue;
    }
    EXPECT_EQ(status, 0) << c.list << ": the status does not say why";
    EXPECT_EQ(hex(line.read_quiet(100ms)), c.frames) << c.list;
  }
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
       "tavadd file /", QELMAR_BAD_FILE},
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
// be glued to the cut one. A file takes the cut part back; a line that would
// cross a size limit is not begun, on the host's stderr too.
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
    EXPECT_EQ(cut, 0) << c.sink << ":\n" << text;
    EXPECT_TRUE(last.ends_with(ending)) << c.sink << ": the line after room was made: " << last;
  }
}

// Batches from several processes, two threads in each, and another process's
// single frames share one display: the line splits into whole batches, each
// frame of a batch right after the one before it.
TEST_F(PortTest, BatchesOfSeveralProcessesNeverInterleave) {
  constexpr int processes = 3;
  constexpr int batches = 50;  // per process
  std::vector<pid_t> children;
  std::fflush(nullptr);
  for (int p = 0; p <= processes; ++p) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::atomic<bool> all_whole = true;
      std::vector<std::thread> threads;
      for (int t = 0; t < 2; ++t) {
        threads.emplace_back([p, t, &all_whole] {
          for (int b = t; b < batches; b += 2) {
            if (p == processes) {
              all_whole = all_whole && qelmar_send_rc(port, b, 0x20, nullptr) == 0;
              continue;
            }
            // FD, then process, batch and frame as parameter bytes, FD.
            std::string texts[3];
            const char* commands[3];
            for (int k = 0; k < 3; ++k) {
              texts[k] =
                  "@" + std::to_string(p) + std::to_string(100 + b) + std::to_string(k) + "@";
              commands[k] = texts[k].c_str();
            }
            all_whole = all_whole && qelmar_send_many(port, commands, 3, nullptr) == 3;
          }
        });
      }
      for (std::thread& thread : threads) thread.join();
      ::_exit(all_whole ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a frame did not go out whole";
  }
  const std::vector<std::uint8_t> bytes = line.read_through_marker();
  constexpr std::size_t frame = 7;
  int singles = 0;
  std::vector<int> whole(processes, 0);
  for (std::size_t i = 0; i < bytes.size();) {
    if (bytes[i] == 0x12 && i + 3 <= bytes.size()) {
      ++singles;
      i += 3;
      continue;
    }
    ASSERT_LE(i + 3 * frame, bytes.size()) << "a batch cut short at byte " << i;
    const std::uint8_t* first = &bytes[i];
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint8_t* f = first + k * frame;
      ASSERT_TRUE(f[0] == 0xFD && f[6] == 0xFD && f[5] == k && f[1] < processes &&
                  std::equal(f + 1, f + 5, first + 1))
          << "another frame inside a batch at byte " << i << ": " << hex({first, 3 * frame});
    }
    ++whole[first[1]];
    i += 3 * frame;
  }
  EXPECT_EQ(singles, batches);
  for (int p = 0; p < processes; ++p) EXPECT_EQ(whole[p], batches) << "process " << p;
}

// A batch's count, its texts of every kind and its ports: how many frames went
// out whole, each text's record, and the line.
TEST_F(PortTest, BatchesSendTheirTextsInOrderAndSayWhatBecameOfEach) {
  const auto frame_of = [](const char* text) {
    std::uint8_t bytes[81];
    const std::int32_t length = qelmar_encode(text, bytes, sizeof bytes, nullptr, nullptr, 0);
    return length > 0 ? hex({bytes, static_cast<std::size_t>(length)}) : std::string();
  };
  std::vector<std::string> numbered;
  for (int i = 0; i <= QELMAR_MANY_MAX; ++i) numbered.push_back("@" + std::to_string(10 + i) + "@");
  const struct {
    const char* condition;
    int port_number;
    int count;
    std::vector<const char*> texts;  // empty: the numbered ones
    int returned;
    std::vector<qelmar_outcome> outcomes;  // empty: all delivered
    bool stop_line = false;
  } cases[] = {
      // On a line of its own: one that a call has set up stays full only until
      // it is set up again.
      {"a line that stops",
       15,
       3,
       {"@12345678@", "12", "34"},
       0,
       {QELMAR_STUCK, QELMAR_BEHIND_HELD_UP, QELMAR_BEHIND_HELD_UP},
       true},
      {"no texts", port, 0, {}, 0, {}},
      {"one", port, 1, {}, 1, {}},
      {"one short of the most", port, QELMAR_MANY_MAX - 1, {}, QELMAR_MANY_MAX - 1, {}},
      {"the most", port, QELMAR_MANY_MAX, {}, QELMAR_MANY_MAX, {}},
      {"one over the most", port, QELMAR_MANY_MAX + 1, {}, -1, {}},
      {"a negative count", port, -1, {}, -1, {}},
      {"every kind of text",
       port,
       7,
       {"12", nullptr, "", " ", "F", "#\xff#", "34"},
       3,
       {QELMAR_DELIVERED, QELMAR_EMPTY, QELMAR_EMPTY, QELMAR_NOTHING_TO_SEND, QELMAR_DELIVERED,
        QELMAR_DROPPED, QELMAR_DELIVERED}},
      {"texts that send nothing", 8, 2, {" ", ""}, 0, {QELMAR_NOTHING_TO_SEND, QELMAR_EMPTY}},
      {"no such device", 8, 2, {"12", "34"}, 0, {QELMAR_NOT_FOUND, QELMAR_NOT_FOUND}},
  };
  for (const auto& c : cases) {
    std::vector<const char*> texts = c.texts;
    if (texts.empty()) {
      for (int i = 0; i < std::max(c.count, 0); ++i) texts.push_back(numbered[i].c_str());
    }
    // Records the call must not write keep their mark.
    std::vector<qelmar_status> statuses(QELMAR_MANY_MAX + 2);
    for (qelmar_status& status : statuses) {
      QELMAR_STATUS_INIT(status);
      std::snprintf(status.call, sizeof status.call, "-");
    }
    std::unique_ptr<VirtualPort> stopped;
    if (c.stop_line) {
      stopped = std::make_unique<VirtualPort>(dir.path(), 15);
      stopped->stop_line();
    }
    const auto start = Clock::now();
    EXPECT_EQ(qelmar_send_many(c.port_number, texts.data(), c.count, statuses.data()), c.returned)
        << c.condition;
    const auto took = Clock::now() - start;
    if (c.stop_line) {
      EXPECT_LT(took, 2s) << c.condition;
      EXPECT_EQ(statuses[0].sent_bytes, 0u) << c.condition;  // all of it was thrown away
      EXPECT_STREQ(statuses[1].reason, "an earlier frame of the batch did not go out whole");
    }
    const int filled = c.returned < 0 ? 0 : c.count;
    std::string expected;
    for (int i = 0; i < filled; ++i) {
      const qelmar_status& s = statuses[i];
      const qelmar_outcome outcome = c.outcomes.empty() ? QELMAR_DELIVERED : c.outcomes[i];
      EXPECT_EQ(s.outcome, outcome) << c.condition << ", text " << i << ": " << words(s);
      EXPECT_STREQ(s.call, "batch") << c.condition;
      if (frame_of(texts[i]).empty()) {
        EXPECT_EQ(s.tried_count, 0) << c.condition << ", text " << i << ": no part in the port";
      }
      EXPECT_EQ(s.result, qelmar_send(99, texts[i], nullptr)) << c.condition << ", text " << i;
      if (outcome == QELMAR_DELIVERED) {
        const std::string frame = frame_of(texts[i]);
        EXPECT_EQ(s.sent_bytes, (frame.size() + 1) / 3) << c.condition << ", text " << i;
        expected += (expected.empty() ? "" : " ") + frame;
      }
    }
    for (std::size_t i = filled; i < statuses.size(); ++i) {
      EXPECT_STREQ(statuses[i].call, "-") << c.condition << ": written past the batch";
    }
    if (!c.stop_line) {
      EXPECT_EQ(hex(line.read_through_marker()), expected) << c.condition;
    }
    if (std::string_view(c.condition) == "every kind of text") {
      EXPECT_GE(took, 100ms) << "no pause after the F key";
    }
  }
  // Without records, the count alone.
  const char* two[] = {"12", "34"};
  EXPECT_EQ(qelmar_send_many(port, two, 2, nullptr), 2);
  EXPECT_EQ(hex(line.read_through_marker()), frame_of("12") + " " + frame_of("34"));
}

// Raw frames leave byte for byte, from one byte to the longest frame; other
// lengths never open the port.
TEST_F(PortTest, RawFramesArriveByteForByte) {
  std::vector<std::uint8_t> bytes(82);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xFF - 3 * i);
  const std::uint8_t key[] = {0x7F};
  const struct {
    const char* condition;
    int port_number;
    const std::uint8_t* data;
    std::size_t length;
    qelmar_outcome outcome;
    std::chrono::milliseconds at_least;
  } cases[] = {
      {"no bytes", port, bytes.data(), 0, QELMAR_DROPPED, 0ms},
      {"one byte", port, bytes.data(), 1, QELMAR_DELIVERED, 0ms},
      {"one short of the longest", port, bytes.data(), 80, QELMAR_DELIVERED, 0ms},
      {"the longest", port, bytes.data(), 81, QELMAR_DELIVERED, 0ms},
      {"one over the longest", port, bytes.data(), 82, QELMAR_DROPPED, 0ms},
      {"NULL bytes", port, nullptr, 5, QELMAR_DROPPED, 0ms},
      {"too long for a missing port", 8, bytes.data(), 82, QELMAR_DROPPED, 0ms},
      {"no such device", 8, bytes.data(), 3, QELMAR_NOT_FOUND, 0ms},
      {"the F key, with its pause", port, key, 1, QELMAR_DELIVERED, 100ms},
  };
  for (const auto& c : cases) {
    qelmar_status status;
    QELMAR_STATUS_INIT(status);
    const auto start = Clock::now();
    const std::int32_t sent = qelmar_send_frame(c.port_number, c.data, c.length, &status);
    EXPECT_GE(Clock::now() - start, c.at_least) << c.condition;
    const bool delivered = c.outcome == QELMAR_DELIVERED;
    EXPECT_EQ(sent, delivered ? static_cast<std::int32_t>(c.length) : 0) << c.condition;
    EXPECT_EQ(status.outcome, c.outcome) << c.condition << ": " << words(status);
    EXPECT_STREQ(status.call, "frame") << c.condition;
    EXPECT_EQ(status.result, sent) << c.condition;
    if (c.outcome == QELMAR_DROPPED) {
      EXPECT_EQ(status.tried_count, 0) << c.condition << ": the port was opened";
      EXPECT_NE(status.reason[0], '\0') << c.condition;
    }
    EXPECT_EQ(hex(line.read_through_marker()), delivered ? hex({c.data, c.length}) : std::string())
        << c.condition;
  }
}

// The resolved path's whole length, whatever room it had.
TEST_F(PortTest, ResolvedPathReportsItsWholeLength) {
  const std::string path = dir.path() + "/com" + std::to_string(port);
  for (const std::size_t size : {path.size(), path.size() + 1, path.size() + 2, std::size_t{0}}) {
    std::vector<char> buffer(path.size() + 3, 'x');
    std::size_t length = 12345;
    EXPECT_EQ(qelmar_resolve_port(nullptr, port, size > 0 ? buffer.data() : nullptr, size, &length),
              QELMAR_ROUTE_DEVICE_DIR);
    EXPECT_EQ(length, path.size()) << "room for " << size;
    const std::size_t fit = size > 0 ? std::min(size - 1, path.size()) : 0;
    if (size > 0) {
      EXPECT_EQ(std::string(buffer.data()), path.substr(0, fit)) << size;
    }
    EXPECT_EQ(buffer[size > 0 ? fit + 1 : 0], 'x') << "written past the room of " << size;
  }
  char buffer[8];
  EXPECT_EQ(qelmar_resolve_port(nullptr, port, buffer, sizeof buffer, nullptr),
            QELMAR_ROUTE_DEVICE_DIR);
}

// Every outcome of the list, named and described by the host face as the list
// says; a value past the list, or any number a host put in the record, reads
// as unknown and describes as a record no call filled.
TEST(Outcomes, EachIsNamedAndDescribedAsTheListSays) {
  struct Row {
    std::int32_t value;
    const char* name;
    const char* words;
  };
#define QELMAR_COUNT(constant, value, name, words) +1
  constexpr std::int32_t listed = 0 QELMAR_OUTCOMES(QELMAR_COUNT, );
#undef QELMAR_COUNT
  const char* const unfilled = "unknown: no call has filled this status";
#define QELMAR_ROW(constant, value, name, words) Row{QELMAR_##constant, #name, words},
  const Row rows[] = {QELMAR_OUTCOMES(QELMAR_ROW, ){listed, "unknown", unfilled},
                      {-1, nullptr, unfilled},
                      {1000, nullptr, unfilled}};
#undef QELMAR_ROW
  for (const Row& r : rows) {
    if (r.name != nullptr) {
      EXPECT_STREQ(qelmar_outcome_name(static_cast<qelmar_outcome>(r.value)), r.name) << r.value;
    }
    qelmar_status status = fresh_status();
    std::memcpy(&status.outcome, &r.value, sizeof r.value);  // as a C host may
    std::snprintf(status.call, sizeof status.call, "send");
    std::snprintf(status.reason, sizeof status.reason, "why");
    char text[512];
    ASSERT_GT(qelmar_describe(&status, text, sizeof text), 0U) << r.value;
    EXPECT_EQ(std::string_view(text).substr(0, std::strlen(r.words)), r.words) << r.value;
    EXPECT_NE(r.words[0], '\0') << r.value;
  }
}

// Port numbers as hosts number COM ports: the host face takes 1 to 255 and
// opens nothing beyond them, whatever device a number would name; the legacy
// face tries every number, as it always has.
TEST(PortRange, HostCallsTakeOnlyTheNumberedPorts) {
  std::int32_t lowest = -5, highest = -5;
  qelmar_port_range(&lowest, &highest);
  EXPECT_EQ(std::make_pair(lowest, highest), std::make_pair(QELMAR_PORT_MIN, QELMAR_PORT_MAX));
  qelmar_port_range(nullptr, nullptr);
  DeviceDir dir;
  const struct {
    int port;
    bool taken;
  } rows[] = {{0, false}, {1, true}, {2, true}, {254, true}, {255, true}, {256, false}};
  const std::uint8_t frame[] = {0x0C};
  const char* const texts[] = {"5", "*"};
  for (const auto& r : rows) {
    const VirtualPort line(dir.path(), r.port);
    const std::string path = dir.path() + "/com" + std::to_string(r.port);
    const qelmar_outcome expected = r.taken ? QELMAR_DELIVERED : QELMAR_NOT_FOUND;
    qelmar_status status = fresh_status();
    EXPECT_EQ(qelmar_send(r.port, "5", &status), 2) << r.port;
    EXPECT_EQ(status.outcome, expected) << r.port;
    EXPECT_EQ(status.tried_count, r.taken ? 1 : 0) << r.port;
    if (!r.taken) {
      EXPECT_STREQ(status.reason, "port numbers are 1 to 255") << r.port;
    }
    // What the text alone says comes first: nothing would have gone out anyway.
    status = fresh_status();
    qelmar_send(r.port, "-12", &status);
    EXPECT_EQ(status.outcome, QELMAR_NOTHING_TO_SEND) << r.port;
    status = fresh_status();
    EXPECT_EQ(qelmar_send_rc(r.port, 1, 2, &status), 0) << r.port;
    EXPECT_EQ(status.outcome, expected) << r.port;
    status = fresh_status();
    EXPECT_EQ(qelmar_send_frame(r.port, frame, sizeof frame, &status), r.taken ? 1 : 0) << r.port;
    EXPECT_EQ(status.outcome, expected) << r.port;
    qelmar_status statuses[2] = {fresh_status(), fresh_status()};
    EXPECT_EQ(qelmar_send_many(r.port, texts, 2, statuses), r.taken ? 2 : 0) << r.port;
    EXPECT_EQ(statuses[1].outcome, expected) << r.port;
    char resolved[1024];
    EXPECT_EQ(qelmar_resolve_port(nullptr, r.port, resolved, sizeof resolved, nullptr),
              r.taken ? QELMAR_ROUTE_DEVICE_DIR : QELMAR_ROUTE_NONE)
        << r.port;
    EXPECT_EQ(resolved, path) << "the path is told either way";
    EXPECT_EQ(hex(line.read_through_marker()), r.taken ? "05 12 01 02 0C 05 0C" : "") << r.port;
    // The legacy face, as ever.
    EXPECT_EQ(tavdll(r.port, "5"), 2);
    EXPECT_EQ(hex(line.read_through_marker()), "05") << r.port;
  }
}

// The text between the marks as the display takes it, with the room the
// other buffer calls give: what fits, the whole length, and where a character
// that cannot be converted starts.
TEST(HostFace, ConvertsTheMarkedTextToGb2312) {
  const std::string price =
      "#\xBC\xDB"
      "A#";  // "#价A#" in GB2312
  const struct {
    const char* condition;
    const char* command;
    const char* charset;
    std::size_t size;  // room; 0 passes NULL
    qelmar_outcome outcome;
    std::string text;  // the whole converted command
    std::size_t failed_at = QELMAR_NO_FAULT;
  } cases[] = {
      {"room for one byte less", "#价A#", nullptr, 5, QELMAR_DELIVERED, price},
      {"room for all", "#价A#", nullptr, 6, QELMAR_DELIVERED, price},
      {"room for one byte more", "#价A#", nullptr, 7, QELMAR_DELIVERED, price},
      {"no room", "#价A#", nullptr, 0, QELMAR_DELIVERED, price},
      {"UTF-8 by name", "#价A#", "utf-8", 64, QELMAR_DELIVERED, price},
      {"another character set", "#\xE9#", "ISO-8859-1", 64, QELMAR_DELIVERED, "#\xA8\xA6#"},
      {"a character GB2312 lacks", "  #ab😀#", nullptr, 64, QELMAR_DROPPED, "", 5},
      {"the euro sign", "#€ 5#", nullptr, 64, QELMAR_DROPPED, "", 1},
      {"malformed UTF-8", "#a\xFF#", nullptr, 64, QELMAR_DROPPED, "", 2},
      {"UTF-8 cut short", "#\xE4\xBD", nullptr, 64, QELMAR_DROPPED, "", 1},
      {"an unknown character set", "#价#", "NO-SUCH-SET", 64, QELMAR_NOT_CONFIGURED, ""},
      {"no '#'", "12.5H", nullptr, 64, QELMAR_DELIVERED, "12.5H"},
      {"'#' not first", "x#€#", nullptr, 64, QELMAR_DELIVERED, "x#€#"},
      {"no closing '#'", " #价", nullptr, 64, QELMAR_DELIVERED, " #\xBC\xDB"},
      {"after the closing '#'", "#价#€", nullptr, 64, QELMAR_DELIVERED, "#\xBC\xDB#€"},
      {"'#' alone", "#", nullptr, 64, QELMAR_DELIVERED, "#"},
      {"empty", "", nullptr, 64, QELMAR_DELIVERED, ""},
      {"NULL", nullptr, nullptr, 64, QELMAR_DELIVERED, ""},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(c.size + 2, 'x');
    std::size_t length = 12345, failed_at = 12345;
    EXPECT_EQ(qelmar_display_text(c.command, c.charset, c.size > 0 ? buffer.data() : nullptr,
                                  c.size, &length, &failed_at),
              c.outcome)
        << c.condition;
    EXPECT_EQ(length, c.text.size()) << c.condition;
    EXPECT_EQ(failed_at, c.failed_at) << c.condition;
    const std::size_t fit = c.size > 0 ? std::min(c.size - 1, c.text.size()) : 0;
    if (c.size > 0) {
      EXPECT_EQ(std::string(buffer.data()), c.text.substr(0, fit)) << c.condition;
    }
    EXPECT_EQ(buffer[c.size > 0 ? fit + 1 : 0], 'x') << c.condition << ": written past the room";
    // What it gives is what a send takes.
    if (c.outcome == QELMAR_DELIVERED && c.size > c.text.size() && c.command != nullptr) {
      std::uint8_t frame[81];
      const std::int32_t converted =
          qelmar_encode(buffer.data(), frame, sizeof frame, nullptr, nullptr, 0);
      EXPECT_EQ(converted, qelmar_encode(c.text.c_str(), frame, sizeof frame, nullptr, nullptr, 0))
          << c.condition;
    }
  }
  // The optional outputs may be left out.
  EXPECT_EQ(qelmar_display_text("#价#", nullptr, nullptr, 0, nullptr, nullptr), QELMAR_DELIVERED);
  EXPECT_EQ(qelmar_display_text("#😀#", nullptr, nullptr, 0, nullptr, nullptr), QELMAR_DROPPED);
}

// The rc frame's bytes, as qelmar_send_rc() writes them, in the room given.
TEST(HostFace, GivesTheRcFrame) {
  const struct {
    std::int32_t first, second;
    std::size_t size;
    std::vector<std::uint8_t> written;
  } cases[] = {
      {0x41, 0x142, 3, {0x12, 0x41, 0x42}},
      {-1, 256, 3, {0x12, 0xFF, 0x00}},
      {INT32_MIN, INT32_MAX, 3, {0x12, 0x00, 0xFF}},
      {1, 2, 2, {0x12, 0x01}},
      {1, 2, 4, {0x12, 0x01, 0x02}},
      {1, 2, 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> frame(c.size + 1, 0xEE);
    EXPECT_EQ(qelmar_rc_frame(c.first, c.second, c.size > 0 ? frame.data() : nullptr, c.size), 3);
    EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.begin() + c.written.size()), c.written)
        << c.first << ", " << c.second << " in " << c.size;
    EXPECT_EQ(frame[c.written.size()], 0xEE) << "written past the room of " << c.size;
  }
}

}  // namespace
}  // namespace qelmar::test
