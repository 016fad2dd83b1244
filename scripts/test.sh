#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds with warnings as
# errors and runs every test: the whole suite (with QELMAR.dll under Wine)
# first, then the fuzzer, the sanitizer run and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows test package bench

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# Builds and tests a preset, then says what was skipped on this machine and why.
suite() {
  cmake --preset "$1"
  cmake --build --preset "$1"
  ctest --preset "$1"
  local log="build/$1/Testing/Temporary/LastTest.log"
  if [ -f "$log" ] && grep -q '^SKIPPED:' "$log"; then
    echo "Skipped on this machine:"
    grep '^SKIPPED:' "$log" | sed 's/^/  /'
  fi
}

suite ci
suite fuzz
suite asan
bash scripts/package.sh --check
