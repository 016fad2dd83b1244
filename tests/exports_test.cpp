#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
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

}  // namespace
