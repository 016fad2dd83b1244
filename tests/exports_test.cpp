// SPDX-License-Identifier: MIT
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(Exports, LibraryExportsExactlyTheThreeEntryPoints) {
  FILE* nm = ::popen("nm -D --defined-only " QELMAR_LIBRARY, "r");
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
// keeps its memory, and each loaded copy makes its call. Before the sound test
// below, which keeps the library loaded for good.
TEST(Exports, UnloadingGivesBackWhatLoadingTook) {
  ASSERT_EQ(::dlopen(QELMAR_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "already loaded";
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

// tavadd plays on a thread that may outlive the call, so a host that unloads
// the library afterwards must not take its code away from under that thread.
TEST(Exports, StaysLoadedOnceASoundHasPlayed) {
  void* library = ::dlopen(QELMAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  using Add = int (*)(int, const char*);
  auto tavadd = reinterpret_cast<Add>(::dlsym(library, "tavadd"));
  ASSERT_NE(tavadd, nullptr);
  ::setenv("ALSA_CONFIG_PATH", "/nonexistent/asound.conf", 1);  // no sound device: quick
  EXPECT_EQ(tavadd(0, "/nonexistent.wav"), 0);
  ::unsetenv("ALSA_CONFIG_PATH");
  ::dlclose(library);
  void* still = ::dlopen(QELMAR_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still != nullptr) ::dlclose(still);
}

}  // namespace
