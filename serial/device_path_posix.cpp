// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "serial/device_info.h"
#include "serial/device_path.h"

namespace qelmar::serial {

Route device_path(std::int32_t port, const char* device_dir, const char* root, char* path,
                  std::size_t size, char* alias, std::size_t alias_size) noexcept {
  if (device_dir != nullptr && *device_dir != '\0') {
    const int n = std::snprintf(path, size, "%s/com%d", device_dir, static_cast<int>(port));
    return n > 0 && static_cast<std::size_t>(n) < size ? Route::device_dir : Route::none;
  }
  if (root == nullptr || std::strcmp(root, "/") == 0) root = "";
  std::snprintf(path, size, "%s/dev/com%d", root, static_cast<int>(port));
  if (alias != nullptr && alias_size > 0) std::snprintf(alias, alias_size, "%s", path);
  if (::access(path, F_OK) == 0) return Route::alias;
  if (port < 1) return Route::none;
  std::snprintf(path, size, "%s/dev/ttyS%d", root, static_cast<int>(port - 1));
  char consoles[512];
  std::snprintf(consoles, sizeof consoles, "%s/proc/consoles", root);
  switch (console_listing(path, consoles)) {
    case Console::not_listed:
      return Route::fallback;
    case Console::listed:
      return Route::console_skipped;
    case Console::unknown:
      break;
  }
  return Route::consoles_unknown;
}

}  // namespace qelmar::serial
