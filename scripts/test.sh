#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds with warnings as
# errors and runs every test: the fuzzer and the sanitizer run first, the whole
# suite (with QELMAR.dll under Wine) last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows test

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

build() {
  cmake --preset "$1"
  cmake --build --preset "$1"
}

build fuzz
ctest --preset fuzz

build asan
ctest --preset asan

# The Windows DLLs before the main suite, which drives them under Wine.
build windows-x86
build windows-x64
build ci
ctest --preset ci
