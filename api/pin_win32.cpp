// SPDX-License-Identifier: MIT
#include <windows.h>

#include <atomic>

#include "api/pin.h"

namespace qelmar {
namespace {

std::atomic<bool> pinned{false};

}  // namespace

// Pinned, the DLL stays mapped whatever FreeLibrary the host calls.
void stay_loaded() noexcept {
  if (pinned.load(std::memory_order_acquire)) return;
  HMODULE self = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&stay_loaded), &self) != FALSE) {
    pinned.store(true, std::memory_order_release);
  }
}

}  // namespace qelmar
