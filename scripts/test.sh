#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, checks the formatting, then builds with warnings as
# errors and runs every test: the whole suite (with QELMAR.dll under Wine)
# first, then the fuzzer beside clang-tidy, the sanitizer run and the packages
# (from the suite's Windows builds). Each stage's time is printed as it ends,
# and all of them with the total at the end (docs/performance.md: Stages).
set -euo pipefail
cd "$(dirname "$0")/.."

times=()
# stage NAME COMMAND...: runs COMMAND and notes how long it took.
stage() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  times+=("$(printf '%-28s %4d s' "$name" $((SECONDS - start)))")
  echo "== $name: $((SECONDS - start)) s"
}

# Builds and tests a preset, then says what was skipped on this machine and why.
suite() {
  stage "$1: configure" cmake --preset "$1"
  stage "$1: build" cmake --build --preset "$1"
  stage "$1: ctest" ctest --preset "$1"
  local log="build/$1/Testing/Temporary/LastTest.log"
  if [ -f "$log" ] && grep -q '^SKIPPED:' "$log"; then
    echo "Skipped on this machine:"
    grep '^SKIPPED:' "$log" | sed 's/^/  /'
  fi
}

formatting() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
}

# The fuzzer keeps one core busy for its minute; clang-tidy takes the other.
fuzz_and_lint() {
  bash scripts/lint.sh >build/lint.log 2>&1 &
  local lint=$!
  suite fuzz
  if ! wait "$lint"; then
    cat build/lint.log
    echo "clang-tidy found problems" >&2
    exit 1
  fi
  echo "clang-tidy: no findings"
}

stage installs bash scripts/deps.sh core windows test package bench cache
stage formatting formatting
suite ci
mkdir -p build
stage "fuzz beside clang-tidy" fuzz_and_lint
suite asan
stage packages bash scripts/package.sh --check

echo "Stages:"
printf '  %s\n' "${times[@]}"
printf '  %-28s %4d s\n' total "$SECONDS"
