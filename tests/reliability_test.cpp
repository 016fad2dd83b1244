// SPDX-License-Identifier: MIT
// Many threads, stuck and vanishing lines, hostile input, and no leaks, all
// through the exported entry points.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_table.h"
#include "encoder/protocol.h"
#include "process.h"
#include "qelmar.h"
#include "virtual_port.h"

// Lets a test make every C++ allocation fail, the library's included.
std::atomic<bool> allocations_fail = false;

void* operator new(std::size_t size) {
  void* p = allocations_fail ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace qelmar::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Reliability : public ::testing::Test {
 protected:
  DeviceDir dir;
  VirtualPort first{dir.path(), 5};
  VirtualPort second{dir.path(), 6};
};

// What one caller sends in its i-th call: a 0x12 frame, or an @ frame carrying
// the caller and the call number.
void call_as(int port, int caller, int i) {
  if (i % 2 == 0) {
    tavrc(port, caller, i);
  } else {
    // FD, then each character less 0x30: caller and call number, FD.
    const std::string text = "@" + std::to_string(caller) + std::to_string(1000 + i) + "@";
    tavdll(port, text.c_str());
  }
}

// How many distinct calls' frames arrived on the line, each whole and once.
std::size_t whole_frames(const VirtualPort& line) {
  const std::vector<std::uint8_t> bytes = line.read_through_marker();
  std::set<std::pair<int, int>> seen;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] == rc_lead && i + 3 <= bytes.size()) {
      EXPECT_TRUE(seen.insert({bytes[i + 1], bytes[i + 2]}).second) << "twice";
      i += 3;
    } else if (bytes[i] == digit_string_mark && i + 7 <= bytes.size() &&
               bytes[i + 6] == digit_string_mark) {
      const int call = (bytes[i + 3] - 0) * 100 + bytes[i + 4] * 10 + bytes[i + 5];
      EXPECT_EQ(bytes[i + 2], 1) << "mangled frame at " << i;
      EXPECT_TRUE(seen.insert({bytes[i + 1], call}).second) << "twice";
      i += 7;
    } else {
      ADD_FAILURE() << "mangled frame at byte " << i << ": " << hex({bytes.data() + i, 1});
      break;
    }
  }
  return seen.size();
}

// Every frame of every thread arrives exactly once and whole, even though the
// threads overlap their calls on the same port.
TEST_F(Reliability, OverlappingCallsOnAPortAreSerialised) {
  constexpr int threads = 8;
  constexpr int calls = 200;
  std::vector<std::thread> hosts;
  for (int t = 0; t < threads; ++t) {
    hosts.emplace_back([t] {
      for (int i = 0; i < calls; ++i) call_as(t % 2 == 0 ? 5 : 6, t, i);
    });
  }
  for (std::thread& host : hosts) host.join();
  for (const VirtualPort* line : {&first, &second}) {
    EXPECT_EQ(whole_frames(*line), static_cast<std::size_t>(threads / 2 * calls));
  }
}

// Processes take turns on a port as threads do: nothing lost, nothing mangled,
// whether root (who can open a port in exclusive mode) or an ordinary user (who
// cannot, and finds it busy) makes the calls.
TEST_F(Reliability, ProcessesTakeTurns) {
  constexpr int processes = 4;
  constexpr int calls = 150;
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(first.slave_path().c_str(), 0666);
  for (const bool ordinary_user : {false, true}) {
    std::vector<pid_t> children;
    std::fflush(nullptr);
    for (int p = 0; p < processes; ++p) {
      const pid_t child = ::fork();
      if (child == 0) {
        if (ordinary_user && ::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
          ::_exit(2);
        }
        for (int i = 0; i < calls; ++i) call_as(5, p, i);
        ::_exit(0);
      }
      children.push_back(child);
    }
    for (const pid_t child : children) {
      int status = -1;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(whole_frames(first), static_cast<std::size_t>(processes * calls))
        << (ordinary_user ? "as an ordinary user" : "as this user");
  }
}

// Another program's hold on the port: waited for within a bound, never written
// through, and its exclusive mode never cleared. Calls queued behind one that
// waited in vain give up with it instead of each waiting again.
TEST_F(Reliability, ForeignHoldersAreWaitedForButNeverOverridden) {
  constexpr int callers = 4;
  const struct {
    const char* holder;
    bool exclusive;                  // TIOCEXCL, which root could open through; else flock
    std::chrono::milliseconds hold;  // 0: until the calls have returned
    const char* frames;
  } cases[] = {
      {"flock for 300 ms", false, 300ms, "04 05 04 05 04 05 04 05"},
      {"flock throughout", false, 0ms, ""},
      {"TIOCEXCL throughout", true, 0ms, ""},
  };
  for (const auto& c : cases) {
    const int holder = ::open(first.slave_path().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(c.exclusive ? ::ioctl(holder, TIOCEXCL) : ::flock(holder, LOCK_EX), 0);
    auto let_go = [holder] {
      ::ioctl(holder, TIOCNXCL);
      ::close(holder);
    };
    // Taken before the holder's clock starts: the callers then wait at least
    // the hold, however late this thread gets on.
    const auto start = Clock::now();
    std::thread timed([&] {
      if (c.hold > 0ms) {
        std::this_thread::sleep_for(c.hold);
        let_go();
      }
    });
    std::vector<std::thread> hosts;
    std::vector<Clock::duration> took(callers);
    for (int t = 0; t < callers; ++t) {
      hosts.emplace_back([&, t] {
        EXPECT_EQ(tavdll(5, "45"), 750630) << c.holder;
        took[t] = Clock::now() - start;
      });
    }
    for (std::thread& host : hosts) host.join();
    timed.join();
    int exclusive = 0;
    ::ioctl(first.slave(), TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, c.exclusive && c.hold == 0ms ? 1 : 0) << c.holder;
    if (c.hold == 0ms) let_go();
    const auto [fastest, slowest] = std::minmax_element(took.begin(), took.end());
    EXPECT_GE(*fastest, c.hold > 0ms ? c.hold : 800ms) << c.holder;
    EXPECT_LT(*slowest, 1s + 200ms) << c.holder;
    EXPECT_EQ(hex(first.read_through_marker()), c.frames) << c.holder;
  }
}

// A fork while a thread is inside a call: the child can call on the same port,
// and a child that lives on does not hold the parent up.
TEST_F(Reliability, ForkDuringACallLeavesChildAndParentFree) {
  std::thread inside([] { tavdll(5, "F"); });  // holds the port for the key's 100 ms
  std::this_thread::sleep_for(30ms);
  int done[2];
  ASSERT_EQ(::pipe(done), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    tavdll(5, "12");
    const char byte = 1;
    if (::write(done[1], &byte, 1) != 1) ::_exit(1);
    ::pause();  // lives on without calling, with whatever it inherited
    ::_exit(0);
  }
  inside.join();
  pollfd child_done{done[0], POLLIN, 0};
  EXPECT_EQ(::poll(&child_done, 1, 3000), 1) << "the child's call never returned";
  const auto start = Clock::now();
  tavdll(5, "34");
  EXPECT_LT(Clock::now() - start, 300ms);
  EXPECT_EQ(hex(first.read_through_marker()), "7F 01 02 03 04");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(done[0]);
  ::close(done[1]);
}

// A host that exits while its threads are still calling.
TEST_F(Reliability, ExitWhileThreadsCallDoesNotCrash) {
  for (int run = 0; run < 40; ++run) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      for (int t = 0; t < 4; ++t) {
        std::thread([t] {
          // Mostly ports that do not exist, so that calls are quick and many.
          for (int i = 0;; ++i) tavrc(i % 16 == 0 ? 5 : 100 + (i + t) % 64, t, i);
        }).detach();
      }
      std::this_thread::sleep_for(5ms);
      std::exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": " << status;
  }
  first.read_quiet(20ms);
  second.read_quiet(20ms);
}

// Calls queued behind a stuck call give up instead of each paying the deadline;
// once the line flows again, the next frame arrives whole.
TEST_F(Reliability, StoppedLineHoldsNobodyForLong) {
  first.stop_line();
  const std::string longest = "@" + std::string(79, '1') + "@";  // a 648 ms deadline
  const auto start = Clock::now();
  std::vector<std::thread> hosts;
  std::vector<Clock::duration> took(8);
  for (std::size_t t = 0; t < took.size(); ++t) {
    hosts.emplace_back([&, t] {
      tavdll(5, longest.c_str());
      took[t] = Clock::now() - start;
    });
  }
  for (std::thread& host : hosts) host.join();
  const Clock::duration last = *std::max_element(took.begin(), took.end());
  EXPECT_GE(last, 648ms);
  EXPECT_LT(last, 648ms + 1s);
  first.read_quiet(50ms);
  tavdll(5, "12.5H");
  EXPECT_EQ(hex(first.read_through_marker()), "1F 01 02 05 00 1F");
}

TEST_F(Reliability, LineSuspendedByAnEarlierProgramIsResumed) {
  ASSERT_EQ(::tcflow(first.slave(), TCOOFF), 0);
  EXPECT_EQ(tavdll(5, "12.5H"), 2);
  EXPECT_EQ(hex(first.read_through_marker()), "1F 01 02 05 00 1F");
}

TEST_F(Reliability, VanishingDeviceEndsTheCallPromptly) {
  first.stop_line();
  const std::string longest = "@" + std::string(79, '1') + "@";  // a 648 ms deadline
  std::atomic<bool> done = false;
  const auto start = Clock::now();
  std::thread host([&] {
    tavdll(5, longest.c_str());
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  ASSERT_FALSE(done);
  ASSERT_EQ(::ioctl(first.slave(), TIOCVHANGUP), 0);  // the line goes away under the call
  host.join();
  EXPECT_LT(Clock::now() - start, 400ms);
  EXPECT_EQ(tavdll(5, "12"), 750630);
}

// The result codes, computed here from the text alone.
std::int32_t expected_result(const std::string& text) {
  if (text.empty()) return 1;
  const std::size_t start = text.find_first_not_of(' ');
  const bool key_f = start != std::string::npos && (text[start] == 'F' || text[start] == 'f');
  return text.size() == 2 || key_f ? 750630 : 2;
}

TEST_F(Reliability, HostileTextsNeitherCrashNorChangeTheResultCodes) {
  std::vector<std::string> texts;
  for (int b = 1; b < 256; ++b) {
    const char c = static_cast<char>(b);
    for (const char* prefix : {"", "1", "#", "@", "^", "$", "  ", "1.", "#\xB0"}) {
      texts.push_back(std::string(prefix) + c);
      texts.push_back(std::string(prefix) + c + c);
    }
  }
  for (char kind : {'7', '#', '@', '.', ' ', '\xB0', 'A', '^'}) {
    texts.push_back(std::string(1, kind) + std::string(1 << 20, kind == '#' ? 'A' : kind));
  }
  texts.push_back("#" + std::string(1 << 20, '\x01'));
  for (const std::string& text : texts) {
    if (text.find('F') != std::string::npos || text.find('f') != std::string::npos) {
      continue;  // the key's 100 ms pause would only make this slow
    }
    ASSERT_EQ(tavdll(5, text.c_str()), expected_result(text)) << text.substr(0, 40);
  }
  EXPECT_EQ(tavdll(5, nullptr), 1);
  EXPECT_EQ(tavdll(5, "F\xFF"), 750630);
  EXPECT_EQ(tavadd(5, nullptr), 0);
  first.read_quiet(50ms);  // let the line settle
}

// The calls need no allocation of their own, first call on a port included; and
// nothing thrown inside would reach the host.
TEST_F(Reliability, CallsWorkWhenAllocationsFail) {
  VirtualPort fresh(dir.path(), 14);
  const std::string missing = dir.path() + "/missing.wav";
  std::int32_t results[5] = {};
  bool threw = false;
  allocations_fail = true;
  try {
    results[0] = tavdll(14, "12");
    results[1] = tavdll(15, "12.5H");  // no such port
    results[2] = tavrc(14, 0x41, 0x42);
    results[3] = tavadd(0, missing.c_str());
    results[4] = tavdll(14, "F");
  } catch (...) {
    threw = true;
  }
  allocations_fail = false;
  EXPECT_FALSE(threw);
  EXPECT_EQ(std::vector<std::int32_t>(results, results + 5),
            (std::vector<std::int32_t>{750630, 2, 0, 0, 750630}));
  EXPECT_EQ(hex(fresh.read_through_marker()), "01 02 12 41 42 7F");
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  while (::readdir(fds) != nullptr) ++count;
  ::closedir(fds);
  return count;
}

TEST_F(Reliability, TenThousandCallsKeepNoDescriptors) {
  const std::size_t before = open_descriptors();
  const char* commands[] = {"12.5H", "#AB#", "@12@", "D", "^a", "", "-", "#\x01"};
  for (int i = 0; i < 10000; ++i) {
    if (i % 10 == 9) {
      tavrc(i % 3 == 0 ? 5 : 9, i, i);  // port 9 does not exist
    } else {
      tavdll(i % 7 == 0 ? 9 : 5, commands[i % 8]);
    }
    if (i % 500 == 0) first.read_quiet(0ms);  // keep the pty's buffer from filling
  }
  EXPECT_EQ(open_descriptors(), before);
}

// Hosts ending in the middle of a call, every way a process can end: the next
// call, from this process or another user's, delivers its frame in the usual
// time. A child forked during the call and living on keeps nothing either.
TEST_F(Reliability, HostsEndingMidCallLeaveThePortWorking) {
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(first.slave_path().c_str(), 0666);
  enum class End { signal, exit, quick_exit };
  const struct {
    const char* how;
    End end;
    int signal;
    bool forks_child;  // a child forked during a call, which lives on
  } cases[] = {
      {"SIGKILL", End::signal, SIGKILL, false},
      {"SIGTERM", End::signal, SIGTERM, false},
      {"SIGSEGV", End::signal, SIGSEGV, false},
      {"SIGKILL with a forked child alive", End::signal, SIGKILL, true},
      {"exit (as a return from main)", End::exit, 0, false},
      {"_exit", End::quick_exit, 0, false},
  };
  for (const auto& c : cases) {
    for (int round = 0; round < 3; ++round) {
      int inside[2];
      ASSERT_EQ(::pipe(inside), 0);
      std::fflush(nullptr);
      const pid_t host = ::fork();
      if (host == 0) {
        ::setpgid(0, 0);  // with the child it may fork, ended together below
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        static std::atomic<bool> called = false;
        for (int t = 0; t < 2; ++t) {
          std::thread([t, out = inside[1]] {
            for (int i = 0;; ++i) {
              if (i == 1 && t == 0) {
                called = true;
                if (::write(out, "x", 1) != 1) ::_exit(3);
              }
              tavdll(5, (i + t) % 2 == 0 ? "F" : "@12345678901234567890@");
            }
          }).detach();
        }
        while (!called) std::this_thread::sleep_for(1ms);
        if (c.forks_child) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10 + 20 * round));
          if (::fork() == 0) ::pause();  // keeps whatever the fork gave it
        }
        // Somewhere inside a call: the F key alone holds the port 100 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 37 * round));
        if (c.end == End::exit) std::exit(0);
        if (c.end == End::quick_exit) ::_exit(0);
        ::pause();
      }
      ::close(inside[1]);  // a host that dies early ends the read
      char byte = 0;
      const bool called = ::read(inside[0], &byte, 1) == 1;
      ::close(inside[0]);
      if (called) std::this_thread::sleep_for(std::chrono::milliseconds(40 + 29 * round));
      if (c.end == End::signal) ::kill(host, c.signal);
      ::waitpid(host, nullptr, 0);
      ASSERT_TRUE(called) << c.how << ": the host ended before its first call";
      first.read_quiet(30ms);

      const auto start = Clock::now();
      EXPECT_EQ(tavdll(5, "12.5H"), 2);
      EXPECT_LT(Clock::now() - start, 500ms) << c.how;
      std::fflush(nullptr);
      const pid_t other = ::fork();
      if (other == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        tavrc(5, 0x41, 0x42);
        ::_exit(0);
      }
      int status = -1;
      ::waitpid(other, &status, 0);
      EXPECT_EQ(status, 0);
      EXPECT_EQ(hex(first.read_through_marker()), "1F 01 02 05 00 1F 12 41 42")
          << c.how << ", round " << round;
      ::kill(-host, SIGKILL);
    }
  }
}
// A caller taking the port back to back (the F key holds it 100 ms a call)
// starves no other caller, in another process or another thread of its own:
// each of the other's calls waits at most for the call in progress.
TEST_F(Reliability, ACallerBackToBackStarvesNobody) {
  constexpr int calls = 40;
  for (const bool other_process : {true, false}) {
    const char* who = other_process ? "another process" : "another thread";
    std::atomic<bool> stop = false;
    std::fflush(nullptr);
    const pid_t hog_process = other_process ? ::fork() : -1;
    if (hog_process == 0) {
      for (;;) tavdll(5, "F");
    }
    std::thread hog_thread([&] {
      while (!other_process && !stop) tavdll(5, "F");
    });
    std::this_thread::sleep_for(150ms);
    Clock::duration longest{};
    for (int i = 0; i < calls; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i * 37) % 90));
      const auto start = Clock::now();
      tavrc(5, 0x01, i);
      longest = std::max(longest, Clock::now() - start);
    }
    stop = true;
    hog_thread.join();
    if (hog_process > 0) {
      ::kill(hog_process, SIGKILL);
      ::waitpid(hog_process, nullptr, 0);
    }
    std::set<int> arrived;
    const std::vector<std::uint8_t> line = first.read_through_marker();
    for (std::size_t b = 0; b < line.size(); ++b) {
      if (line[b] == rc_lead && b + 2 < line.size() && line[b + 1] == 0x01) {
        arrived.insert(line[b + 2]);
        b += 2;
      }
    }
    EXPECT_GE(arrived.size(), static_cast<std::size_t>(calls - 1)) << who;
    EXPECT_LT(longest, 1s) << who;
  }
}

// However many threads queue for a port, none waits past the bound: those
// still waiting at its end give up.
TEST_F(Reliability, AQueueOfThreadsWaitsNoLongerThanTheBound) {
  constexpr int threads = 14;
  std::vector<Clock::duration> took(threads);
  std::vector<std::thread> hosts;
  for (int t = 0; t < threads; ++t) {
    hosts.emplace_back([&, t] {
      const auto start = Clock::now();
      tavdll(5, "F");  // holds the port 100 ms
      took[static_cast<std::size_t>(t)] = Clock::now() - start;
    });
  }
  for (std::thread& host : hosts) host.join();
  const auto slowest = *std::max_element(took.begin(), took.end());
  EXPECT_LT(slowest, 850ms + 100ms + 150ms);
  const std::string line = hex(first.read_through_marker());
  const auto keys = static_cast<int>(std::count(line.begin(), line.end(), 'F'));
  EXPECT_GT(keys, 3) << line;
  EXPECT_LT(keys, threads) << line;
}

// Calls waiting in several processes are served in the order they began to
// wait, once a foreign holder lets go; a waiter that is stopped holds the
// others up no longer than a call may wait, and sends nothing once it runs
// again past its bound. Waiters begin 120 ms apart, so that the first one
// behind the stopped one still has time left when its place is passed over.
TEST_F(Reliability, WaitersInSeveralProcessesAreServedInOrder) {
  constexpr int waiters = 5;
  for (const bool stop_the_first : {false, true}) {
    const int holder = ::open(first.slave_path().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::vector<pid_t> children;
    std::fflush(nullptr);
    for (int w = 0; w < waiters; ++w) {
      const pid_t child = ::fork();
      if (child == 0) {
        ::close(holder);  // the parent's hold, not the child's
        tavrc(5, 0x02, w);
        ::_exit(0);
      }
      children.push_back(child);
      std::this_thread::sleep_for(120ms);
    }
    if (stop_the_first) ::kill(children[0], SIGSTOP);
    // Short: the first waiter's bound (0.85 s) runs from before the forks,
    // which take long under the sanitizers.
    std::this_thread::sleep_for(30ms);
    ::close(holder);
    const auto start = Clock::now();
    for (std::size_t w = 1; w < children.size(); ++w) ::waitpid(children[w], nullptr, 0);
    const auto others_took = Clock::now() - start;
    if (stop_the_first) ::kill(children[0], SIGCONT);
    ::waitpid(children[0], nullptr, 0);
    // The stopped one runs again after its bound: its frame would be stale.
    std::string expected;
    for (int w = stop_the_first ? 1 : 0; w < waiters; ++w) {
      expected += std::string(expected.empty() ? "" : " ") + "12 02 0" + std::to_string(w);
    }
    EXPECT_EQ(hex(first.read_through_marker()), expected) << "stopped: " << stop_the_first;
    EXPECT_LT(others_took, 1s) << "stopped: " << stop_the_first;
  }
}

// Ports never share a turn: 300 at once, each held 100 ms by the F key, all
// take about 100 ms (one turn after another would take 30 s).
TEST_F(Reliability, ThreeHundredPortsRunSideBySide) {
  constexpr int ports = 300;
  std::vector<std::unique_ptr<VirtualPort>> lines;
  for (int p = 0; p < ports; ++p)
    lines.push_back(std::make_unique<VirtualPort>(dir.path(), 1000 + p));
  std::vector<Clock::duration> took(ports);
  std::atomic<int> ready = 0;
  std::vector<std::thread> hosts;
  for (int p = 0; p < ports; ++p) {
    hosts.emplace_back([&, p] {
      ++ready;
      while (ready < ports) std::this_thread::yield();
      const auto start = Clock::now();
      tavdll(1000 + p, "F");
      took[static_cast<std::size_t>(p)] = Clock::now() - start;
    });
  }
  for (std::thread& host : hosts) host.join();
  const auto slowest = *std::max_element(took.begin(), took.end());
  EXPECT_LT(slowest, 170ms * qelmar::test::slowdown);
  for (const auto& line : lines) EXPECT_EQ(hex(line->read_quiet(0ms)), "7F") << line->number();
}

// Runs `body` in a forked child and hands back what it said went wrong, if
// anything; a child that dies, or that has not finished within `bound` (then
// killed), says so.
std::string in_child(const std::function<std::string()>& body, std::chrono::milliseconds bound) {
  int said[2];
  if (::pipe(said) != 0) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(said[0]);
    const std::string wrong = body();
    const bool whole =
        ::write(said[1], wrong.data(), wrong.size()) == static_cast<ssize_t>(wrong.size());
    std::fflush(nullptr);
    ::_exit(whole ? 0 : 1);
  }
  ::close(said[1]);
  std::string wrong;
  const auto deadline = Clock::now() + bound;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      ::close(said[0]);
      return "did not finish within the bound";
    }
    std::this_thread::sleep_for(2ms);
  }
  char chunk[512];
  for (ssize_t n; (n = ::read(said[0], chunk, sizeof chunk)) > 0;) {
    wrong.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(said[0]);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "ended " + std::to_string(status);
  return wrong;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Port 9 has no device: a quick call, and always the same line from a thread.
void logged_call() { tavrc(9, 0x41, 0x42); }
constexpr const char* logged_ending = "/com9: not sent: no such device";

std::string dropped_note(int lines) {
  return "(" + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
         " dropped before this one) tavrc port 9";
}

// A file size limit a line would cross, or reach: the line is not begun, since
// the write across the limit is cut short and the next one, at it, raises
// SIGXFSZ, which ends a host that has not set it aside. The next line that
// fits says how many were dropped.
TEST_F(Reliability, LogLinesStayWithinTheFileSizeLimit) {
  rlimit hard{};
  ::getrlimit(RLIMIT_FSIZE, &hard);
  if (hard.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "a hard file size limit is set here";
  const std::string log = dir.path() + "/limited.log";
  // Room for the second line: one byte short of it, just it, one byte more.
  // The third and fourth lines would cross the limit, or begin at it.
  const struct {
    long room;
    int lines;  // written in all
    int dropped;
  } limits[] = {{-1, 2, 3}, {0, 3, 2}, {1, 3, 2}};
  for (const bool to_stderr : {false, true}) {
    for (const auto& l : limits) {
      const std::string row = std::string(to_stderr ? "stderr" : "file") + ", room " +
                              std::to_string(l.room) + " byte(s) beside the second line";
      std::filesystem::remove(log);
      const std::string wrong = in_child(
          [&] {
            if (to_stderr) {
              ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
              ::setenv("QELMAR_LOG", "stderr", 1);
            } else {
              ::setenv("QELMAR_LOG", log.c_str(), 1);
            }
            logged_call();
            struct stat one_line {};
            if (::stat(log.c_str(), &one_line) != 0 || one_line.st_size == 0) return "no line";
            rlimit limit{static_cast<rlim_t>(2 * one_line.st_size + l.room), RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            for (int i = 0; i < 3; ++i) logged_call();
            limit.rlim_cur = RLIM_INFINITY;
            ::setrlimit(RLIMIT_FSIZE, &limit);
            logged_call();
            return "";
          },
          10s);
      EXPECT_EQ(wrong, "") << row;
      const std::string text = file_text(log);
      const std::vector<std::string> lines = lines_of(text);
      EXPECT_TRUE(text.ends_with('\n')) << row << ":\n" << text;
      EXPECT_EQ(lines.size(), static_cast<std::size_t>(l.lines)) << row << ":\n" << text;
      for (const std::string& line : lines) EXPECT_TRUE(line.ends_with(logged_ending)) << row;
      EXPECT_TRUE(!lines.empty() && lines.back().find(dropped_note(l.dropped)) != std::string::npos)
          << row << ":\n"
          << text;
    }
  }
}

// Makes a descriptor's writes wait or not, to fill what it writes to.
void set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// A terminal moves bytes on to its reader's side in the background, which
// makes room again: full, or drained, is when a pause made no difference.
void fill(int fd) {
  set_blocking(fd, false);
  const std::string block(4096, 'x');
  for (bool wrote = true; wrote; std::this_thread::sleep_for(5ms)) {
    wrote = false;
    while (::write(fd, block.data(), block.size()) > 0) wrote = true;
  }
  set_blocking(fd, true);
}

std::string drain(int fd) {
  set_blocking(fd, false);
  std::string text;
  char chunk[65536];
  for (bool read = true; read; std::this_thread::sleep_for(5ms)) {
    read = false;
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0; read = true) {
      text.append(chunk, static_cast<std::size_t>(n));
    }
  }
  return text;
}

// A sink that does not take a line at once (a stderr nobody reads, a full
// FIFO, a file another program keeps locked) costs a call a few milliseconds
// at most: the line is dropped and counted. Once the sink takes lines again,
// the next says how many were dropped; a reader that is gone ends nothing.
TEST_F(Reliability, LogSinksThatDoNotTakeALineCostACallMilliseconds) {
  constexpr int calls = 20;
  const std::string fifo = dir.path() + "/log.fifo", file = dir.path() + "/locked.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Sink {
    int reader = -1;  // the test's end of a pipe, FIFO or socket
    int other = -1;
  };
  const struct {
    const char* sink;
    // In the child: a sink that takes nothing, or why there is none.
    std::function<std::string(Sink&)> stall;
    // Lets lines in again, and hands back what came of the next one; null
    // where nothing can come of it.
    std::function<std::string(Sink&)> read_next;
  } cases[] = {
      {"stderr, a pipe nobody reads",
       [](Sink& s) {
         int p[2];
         if (::pipe(p) != 0) return "no pipe";
         fill(p[1]);
         ::dup2(p[1], 2);
         s.reader = p[0];
         ::setenv("QELMAR_LOG", "stderr", 1);
         return "";
       },
       [](Sink& s) {
         drain(s.reader);
         logged_call();
         return drain(s.reader);
       }},
      {"stderr, a stream socket nobody reads",
       [](Sink& s) {
         int p[2];
         if (::socketpair(AF_UNIX, SOCK_STREAM, 0, p) != 0) return "no socket pair";
         fill(p[1]);
         ::dup2(p[1], 2);
         s.reader = p[0];
         ::setenv("QELMAR_LOG", "stderr", 1);
         return "";
       },
       [](Sink& s) {
         drain(s.reader);
         logged_call();
         return drain(s.reader);
       }},
      {"stderr, a terminal nobody reads",
       [](Sink& s) {
         int slave = -1;
         if (::openpty(&s.reader, &slave, nullptr, nullptr, nullptr) != 0) return "no pty";
         termios raw{};
         ::tcgetattr(slave, &raw);
         ::cfmakeraw(&raw);
         ::tcsetattr(slave, TCSANOW, &raw);
         fill(slave);
         ::dup2(slave, 2);
         ::setenv("QELMAR_LOG", "stderr", 1);
         return "";
       },
       [](Sink& s) {
         drain(s.reader);
         logged_call();
         return drain(s.reader);
       }},
      {"stderr, a pipe whose reader is gone",
       [](Sink&) {
         int p[2];
         if (::pipe(p) != 0) return "no pipe";
         ::close(p[0]);
         ::dup2(p[1], 2);
         ::setenv("QELMAR_LOG", "stderr", 1);
         return "";
       },
       nullptr},
      {"a FIFO with no room",
       [&](Sink& s) {
         s.reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
         s.other = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
         fill(s.other);
         ::setenv("QELMAR_LOG", fifo.c_str(), 1);
         return "";
       },
       [](Sink& s) {
         drain(s.reader);
         logged_call();
         return drain(s.reader);
       }},
      {"a file another program keeps locked",
       [&](Sink& s) {
         // flock belongs to the open file, so this open is as foreign as
         // another program's.
         s.other = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
         if (::flock(s.other, LOCK_EX) != 0) return "cannot lock";
         ::setenv("QELMAR_LOG", file.c_str(), 1);
         return "";
       },
       [&](Sink& s) {
         ::close(s.other);
         logged_call();
         return file_text(file);
       }},
  };
  for (const auto& c : cases) {
    const std::string wrong = in_child(
        [&] {
          Sink sink;
          const std::string cannot = c.stall(sink);
          if (!cannot.empty()) return cannot;
          std::vector<double> took;
          for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            logged_call();
            took.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
          }
          std::sort(took.begin(), took.end());
          std::printf("  %s: calls took %.2f ms (median), %.2f ms (slowest)\n", c.sink,
                      took[calls / 2], took.back());
          if (took[calls / 2] > 10 || took.back() > 100) {
            return "calls took up to " + std::to_string(took.back()) + " ms";
          }
          if (!c.read_next) return std::string();
          const std::string next = c.read_next(sink);
          const std::vector<std::string> lines = lines_of(next);
          if (lines.size() != 1 || lines[0].find(dropped_note(calls)) == std::string::npos ||
              !lines[0].ends_with(logged_ending)) {
            return "the next line does not say what was dropped: " + next;
          }
          return std::string();
        },
        10s);
    EXPECT_EQ(wrong, "") << c.sink;
  }
}

// A fork while threads are writing log lines: the child's own line takes no
// lock that one of them held at the fork (libc's time zone lock was one), so
// every child finishes.
TEST_F(Reliability, ForkedChildrenLogWhileParentThreadsDo) {
  constexpr int runs = 3;
  constexpr int children = 400;
  ::setenv("QELMAR_LOG", (dir.path() + "/calls.log").c_str(), 1);
  for (int run = 0; run < runs; ++run) {
    std::atomic<bool> stop = false;
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
      callers.emplace_back([&] {
        while (!stop) logged_call();
      });
    }
    std::vector<pid_t> running;
    int hung = 0, failed = 0;
    auto reap = [&](bool at_end) {
      const auto deadline = Clock::now() + (at_end ? 10s : 0s);
      do {
        std::erase_if(running, [&](pid_t child) {
          int status = 0;
          if (::waitpid(child, &status, WNOHANG) != child) return false;
          failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
          return true;
        });
        if (!running.empty() && at_end) std::this_thread::sleep_for(5ms);
      } while (!running.empty() && Clock::now() < deadline);
    };
    std::fflush(nullptr);
    for (int c = 0; c < children; ++c) {
      const pid_t child = ::fork();
      if (child == 0) {
        logged_call();
        ::_exit(0);
      }
      if (child > 0) running.push_back(child);
      if (c % 20 == 19) reap(false);
    }
    reap(true);
    for (const pid_t child : running) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      ++hung;
    }
    stop = true;
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(hung, 0) << "run " << run << ": children that never finished";
    EXPECT_EQ(failed, 0) << "run " << run;
  }
  ::unsetenv("QELMAR_LOG");
}

// Port 1 falls back to /dev/ttyS0 only when that is not a system console. Run
// in a mount namespace of its own, where /dev/ttyS0 is a pseudo-terminal bound
// over the real one and /proc/consoles a file of the test's: the real device
// is never opened.
TEST(Console, FallbackNeverWritesToAConsole) {
  if (::access("/dev/com1", F_OK) == 0) GTEST_SKIP() << "/dev/com1 exists here";
  if (::access("/dev/ttyS0", F_OK) != 0) GTEST_SKIP() << "no /dev/ttyS0 to bind over";
  const struct {
    const char* consoles;
    const char* frames;
  } cases[] = {
      {"ttyS0                -W- (EC  p a)    4:64\n", ""},
      {"tty0                 -WU (EC  p  )    4:1\n", "12 41 42"},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    const VirtualPort line(dir.path(), 1);
    const std::string consoles = dir.path() + "/consoles";
    FILE* file = std::fopen(consoles.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(c.consoles, file);
    std::fclose(file);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      ::unsetenv("QELMAR_DEVICE_DIR");
      struct stat bound {};
      struct stat pty {};
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(line.slave_path().c_str(), "/dev/ttyS0", nullptr, MS_BIND, nullptr) != 0 ||
          ::mount(consoles.c_str(), "/proc/consoles", nullptr, MS_BIND, nullptr) != 0 ||
          ::stat("/dev/ttyS0", &bound) != 0 || ::stat(line.slave_path().c_str(), &pty) != 0 ||
          bound.st_rdev != pty.st_rdev) {
        ::_exit(77);  // never call with the real device in place
      }
      tavrc(1, 0x41, 0x42);
      ::_exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
      GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex(line.read_quiet(100ms)), c.frames) << c.consoles;
  }
}

}  // namespace
}  // namespace qelmar::test
