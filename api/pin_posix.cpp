// SPDX-License-Identifier: MIT
#include <dlfcn.h>

#include <atomic>

#include "api/pin.h"

namespace qelmar {
namespace {

std::atomic<bool> pinned{false};

}  // namespace

// A reference of our own that is never let go, and the loader told never to
// unmap the library, even at the host's last dlclose.
void stay_loaded() noexcept {
  if (pinned.load(std::memory_order_acquire)) return;
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&stay_loaded), &self) != 0 && self.dli_fname != nullptr &&
      ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr) {
    pinned.store(true, std::memory_order_release);
    return;
  }
  ::dlerror();  // cleared, so that the host's next dlerror is not ours
}

}  // namespace qelmar
