// SPDX-License-Identifier: MIT
#pragma once

namespace qelmar {

// Keeps the library this is linked into loaded until the process ends, from
// the first call on, so that a host unloading it while another thread is
// inside a call (or a sound's player runs on) cannot take the code away from
// under that thread. Tried again at each call until it holds.
void stay_loaded() noexcept;

}  // namespace qelmar
