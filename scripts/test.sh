#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds with warnings as
# errors and runs every test: the fuzzer and the sanitizer run first, the whole
# suite (with QELMAR.dll under Wine) last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows test package bench

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

build() {
  cmake --preset "$1"
  cmake --build --preset "$1"
}

build fuzz
ctest --preset fuzz

build asan
ctest --preset asan

# The .deb and the Windows zip (which also builds the DLLs that the main suite
# drives under Wine), then the main suite.
bash scripts/package.sh --check
build ci
ctest --preset ci
