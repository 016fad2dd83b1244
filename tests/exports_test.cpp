// SPDX-License-Identifier: MIT
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "built_paths.h"
#include "process.h"
#include "qelmar.h"
#include "qelmar/host.h"

namespace {

// This program run again as a host (QELMAR_TEST_UNLOAD_HOST=LIBRARY,CALL,WHEN)
// that loads LIBRARY and makes CALL on port 5 of its own, whose device another
// open holds with flock so that the call waits for it (0.85 s). It unloads the
// library mid-call (WHEN "during"), after the call ("after"), or without one
// ("never"), says on stdout whether the library stayed loaded, and waits for
// the call to come back. A crash ends it with a signal.
const bool unload_host = [] {
  const char* mode = std::getenv("QELMAR_TEST_UNLOAD_HOST");
  if (mode == nullptr) return false;
  char path[512], call[32], when[16];
  if (std::sscanf(mode, "%511[^,],%31[^,],%15s", path, call, when) != 3) ::_exit(2);
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) ::_exit(3);
  char dir_template[] = "/tmp/qelmar-unload-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  std::filesystem::create_symlink(::ttyname(slave), dir + "/com5");
  ::setenv("QELMAR_DEVICE_DIR", dir.c_str(), 1);
  const int holder = ::open(::ttyname(slave), O_WRONLY | O_NOCTTY);
  if (holder < 0 || ::flock(holder, LOCK_EX) != 0) ::_exit(4);

  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) ::_exit(5);
  // Each called through its own type: a call through another is undefined,
  // and clang's UBSan stops it.
  void* const entry = ::dlsym(library, call);
  if (entry == nullptr && std::strcmp(call, "none") != 0) ::_exit(6);
  const std::string name = call;
  std::thread caller([&] {
    if (name == "tavrc") {
      reinterpret_cast<decltype(&tavrc)>(entry)(5, 1, 2);
    } else if (name == "tavdll") {
      reinterpret_cast<decltype(&tavdll)>(entry)(5, "12");
    } else if (name == "tavadd") {
      reinterpret_cast<decltype(&tavadd)>(entry)(5, "12");
    } else if (name == "qelmar_send") {
      // Its status may be null.
      reinterpret_cast<decltype(&qelmar_send)>(entry)(5, "12", nullptr);
    }
  });
  if (std::strcmp(when, "during") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } else {
    caller.join();
  }
  ::dlclose(library);
  void* still = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  std::printf("stayed loaded: %s\n", still != nullptr ? "yes" : "no");
  std::fflush(stdout);
  if (caller.joinable()) caller.join();
  std::printf("the call came back\n");
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  ::_exit(0);
}();

TEST(Exports, LibraryExportsExactlyTheThreeEntryPoints) {
  FILE* nm = ::popen((std::string("nm -D --defined-only ") + QELMAR_LIBRARY).c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> names;
  char address[64], type[8], name[512];
  while (std::fscanf(nm, "%63s %7s %511s", address, type, name) == 3) names.insert(name);
  ASSERT_EQ(::pclose(nm), 0);
  EXPECT_EQ(names, (std::set<std::string>{"tavadd", "tavdll", "tavrc"}));
}

TEST(Exports, HostFindsThemByName) {
  void* library = ::dlopen(QELMAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  using Dll = int (*)(int, const char*);
  auto tavdll = reinterpret_cast<Dll>(::dlsym(library, "tavdll"));
  ASSERT_NE(tavdll, nullptr);
  EXPECT_NE(::dlsym(library, "tavrc"), nullptr);
  EXPECT_NE(::dlsym(library, "tavadd"), nullptr);
  EXPECT_EQ(tavdll(1, ""), 1);
  ::dlclose(library);
}

// Bytes the process has taken from malloc.
long long heap_in_use() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<long long>(info.uordblks + info.hblkhd);
}

// A host that loads the library, makes a call and unloads it, again and again,
// keeps its memory, and each call is made. (After the first call the library
// stays loaded, so each later load finds it.)
TEST(Exports, UnloadingGivesBackWhatLoadingTook) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  char dir_template[] = "/tmp/qelmar-exports-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  std::filesystem::create_symlink(::ttyname(slave), dir + "/com5");
  ::setenv("QELMAR_DEVICE_DIR", dir.c_str(), 1);

  constexpr int warm_up = 20, cycles = 300;
  using Rc = int (*)(int, int, int);
  long long before = 0;
  for (int i = 0; i < warm_up + cycles; ++i) {
    if (i == warm_up) before = heap_in_use();
    void* library = ::dlopen(QELMAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    reinterpret_cast<Rc>(::dlsym(library, "tavrc"))(5, 1, i);
    ::dlclose(library);
  }
  const long long per_cycle = (heap_in_use() - before) / cycles;
  std::printf("heap growth per load, call and unload: %lld bytes\n", per_cycle);
  EXPECT_LE(per_cycle, 512);

  std::vector<std::uint8_t> expected, line(3 * (warm_up + cycles) + 1);
  for (int i = 0; i < warm_up + cycles; ++i) {
    expected.insert(expected.end(), {0x12, 0x01, static_cast<std::uint8_t>(i)});
  }
  std::size_t got = 0;
  pollfd ready{master, POLLIN, 0};
  while (got < line.size() && ::poll(&ready, 1, 500) > 0) {
    const ssize_t n = ::read(master, line.data() + got, line.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  line.resize(got);
  EXPECT_EQ(line, expected);

  ::unsetenv("QELMAR_DEVICE_DIR");
  ::close(slave);
  ::close(master);
  std::filesystem::remove_all(dir);
}

// A host that unloads the library while another of its threads is inside a
// call (waiting here for a port that another open holds) does not crash: from
// its first call on, the library stays loaded, whichever call that was. A
// sound's player may outlive its call, too. Unloaded before any call, it goes.
TEST(Exports, UnloadingMidCallOrAfterLeavesTheLibraryInPlace) {
  ASSERT_FALSE(unload_host);
  const struct {
    const char* library;
    std::string call, when;
    bool stays;
  } cases[] = {
      {QELMAR_LIBRARY, "tavdll", "during", true},
      {QELMAR_LIBRARY, "tavrc", "during", true},
      {QELMAR_HOST_LIBRARY, "qelmar_send", "during", true},
      {QELMAR_LIBRARY, "tavdll", "after", true},
      {QELMAR_LIBRARY, "tavadd", "after", true},
      {QELMAR_HOST_LIBRARY, "qelmar_send", "after", true},
      {QELMAR_LIBRARY, "none", "never", false},
  };
  for (const auto& c : cases) {
    const std::string row = std::string(c.library) + " " + c.call + " " + c.when;
    // No sound device, so that a sound returns at once.
    const auto host = qelmar::test::run_process(
        {"/proc/self/exe"},
        {{"QELMAR_TEST_UNLOAD_HOST=" + std::string(c.library) + "," + c.call + "," + c.when,
          "ALSA_CONFIG_PATH=/nonexistent/asound.conf"},
         ""});
    EXPECT_EQ(host.status, 0) << row << " (-1: killed by a signal)\n" << host.err;
    EXPECT_EQ(host.out,
              std::string("stayed loaded: ") + (c.stays ? "yes" : "no") + "\nthe call came back\n")
        << row;
  }
}

}  // namespace
