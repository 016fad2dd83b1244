// SPDX-License-Identifier: MIT
// Built only where the C++ runtime is linked into the library: its exception
// support takes an emergency pool from the heap at load (18 KB on 32-bit
// Windows, 72 KB on 64-bit) that nothing gives back, so each load and unload by
// a host would cost that much. With a shared runtime the pool is the host's.

namespace __gnu_cxx {  // NOLINT(bugprone-reserved-identifier): the runtime's own
// Exported by libstdc++ (CXXABI_1.3.10) for memory checkers: frees the pool.
void __freeres();  // NOLINT(bugprone-reserved-identifier)
}  // namespace __gnu_cxx

namespace {

// At unload, or at exit; nothing of the library throws after either.
[[gnu::destructor]] void release_runtime() { __gnu_cxx::__freeres(); }

}  // namespace
