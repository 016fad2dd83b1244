// Many threads, stuck and vanishing lines, hostile input, and no leaks, all
// through the exported entry points.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command_table.h"
#include "qelmar.h"
#include "virtual_port.h"

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

// Every frame of every thread arrives exactly once and whole, even though the
// threads overlap their calls on the same port.
TEST_F(Reliability, OverlappingCallsOnAPortAreSerialised) {
  constexpr int threads = 8;
  constexpr int calls = 200;
  std::vector<std::thread> hosts;
  for (int t = 0; t < threads; ++t) {
    hosts.emplace_back([t] {
      const int port = t % 2 == 0 ? 5 : 6;
      for (int i = 0; i < calls; ++i) {
        if (i % 2 == 0) {
          tavrc(port, t, i);
        } else {
          // FD, then each character less 0x30: thread and call number, FD.
          const std::string text = "@" + std::to_string(t) + std::to_string(1000 + i) + "@";
          tavdll(port, text.c_str());
        }
      }
    });
  }
  for (std::thread& host : hosts) host.join();

  for (const VirtualPort* line : {&first, &second}) {
    const std::vector<std::uint8_t> bytes = line->read_through_marker();
    std::set<std::pair<int, int>> seen;
    std::size_t i = 0;
    while (i < bytes.size()) {
      if (bytes[i] == 0x12 && i + 3 <= bytes.size()) {
        EXPECT_TRUE(seen.insert({bytes[i + 1], bytes[i + 2]}).second) << "twice";
        i += 3;
      } else if (bytes[i] == 0xFD && i + 7 <= bytes.size() && bytes[i + 6] == 0xFD) {
        const int call = (bytes[i + 3] - 0) * 100 + bytes[i + 4] * 10 + bytes[i + 5];
        EXPECT_EQ(bytes[i + 2], 1) << "mangled frame at " << i;
        EXPECT_TRUE(seen.insert({bytes[i + 1], call}).second) << "twice";
        i += 7;
      } else {
        ADD_FAILURE() << "mangled frame at byte " << i << ": " << hex({bytes.data() + i, 1});
        break;
      }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads / 2 * calls));
  }
}

TEST_F(Reliability, StoppedLineCostsTheDeadlineAndLosesNothingAfter) {
  ASSERT_EQ(::tcflow(first.slave(), TCOOFF), 0);
  const auto start = Clock::now();
  tavdll(5, "@12345678@");  // 10 bytes: an 80 ms deadline
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 80ms);
  EXPECT_LT(took, 80ms + 250ms);
  ASSERT_EQ(::tcflow(first.slave(), TCOON), 0);
  tavdll(5, "12.5H");
  EXPECT_EQ(hex(first.read_through_marker()), "1F 01 02 05 00 1F");
}

TEST_F(Reliability, VanishingDeviceEndsTheCallPromptly) {
  ASSERT_EQ(::tcflow(first.slave(), TCOOFF), 0);
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

}  // namespace
}  // namespace qelmar::test
