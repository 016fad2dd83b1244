#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

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
