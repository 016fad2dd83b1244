#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, checks the formatting, then builds with warnings as
# errors and runs every test: the whole suite (with QELMAR.dll under Wine),
# the fuzzer beside clang-tidy, the sanitizer run and the packages (from the
# suite's Windows builds). The fuzzers, clang-tidy and the .deb build run
# beside the builds at the lowest priority: they take what the builds leave
# of the two cores, and the fuzzers run a number of inputs, not a time, so
# they do the same work however late.
# Each stage's time is printed as it ends, and all of them with the total at
# the end (docs/performance.md: Stages).
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

times=()
# stage NAME COMMAND...: runs COMMAND and notes how long it took.
stage() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  times+=("$(printf '%-28s %4d s' "$name" $((SECONDS - start)))")
  echo "== $name: $((SECONDS - start)) s"
}

# beside NAME COMMAND...: runs COMMAND in the background at a lower priority,
# its output kept in build/NAME.log until `joined NAME`.
declare -A beside_pids
beside() {
  local name=$1 start=$SECONDS
  shift
  (
    renice -n 19 -p "$BASHPID" >/dev/null
    "$@"
    echo $((SECONDS - start)) >"build/$name.seconds"
  ) >"build/$name.log" 2>&1 &
  beside_pids[$name]=$!
}
# A run that fails leaves nothing running behind it.
trap 'for pid in "${beside_pids[@]}"; do wait "$pid" 2>/dev/null || true; done' EXIT

# joined NAME: waits for it and shows its output; its failure fails the run.
joined() {
  local name=$1
  local pid=${beside_pids[$name]}
  unset "beside_pids[$name]"
  if ! wait "$pid"; then
    cat "build/$name.log"
    echo "== $name: failed" >&2
    exit 1
  fi
  cat "build/$name.log"
  local took
  took=$(cat "build/$name.seconds")
  times+=("$(printf '%-28s %4d s (beside)' "$name" "$took")")
  echo "== $name: $took s, beside the stage before"
}

# Builds a preset.
built() {
  stage "$1: configure" cmake --preset "$1"
  stage "$1: build" cmake --build --preset "$1"
}

# Tests a preset, then says what was skipped on this machine and why.
tested() {
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
  built fuzz
  tested fuzz
  if ! wait "$lint"; then
    cat build/lint.log
    echo "clang-tidy found problems" >&2
    exit 1
  fi
  echo "clang-tidy: no findings"
}

stage installs bash scripts/deps.sh core windows test package bench cache
# A fresh run needs some 1.5 GB where build/ is: said before a full disk fails
# a test halfway with ENOSPC.
free_mb=$(df -Pm build | awk 'NR == 2 { print $4 }')
if [ "$free_mb" -lt 2048 ]; then
  echo "warning: $free_mb MB free for build/; a run from nothing takes some 1.5 GB" >&2
fi
stage formatting formatting
# clang-tidy reads the ci tree's compile commands, written by its configure.
stage "ci: configure" cmake --preset ci
beside fuzz-and-clang-tidy fuzz_and_lint
# In a copy of the tree, touching nothing the other stages read. Both builds
# come first: the stages beside take what a build leaves idle. Both are
# joined before the suites start, which run with nothing beside them: their
# timed steps failed beside the fuzzers when the builds came from the
# compiler cache and left the fuzzers to run beside the ci suite.
beside packages-debs bash scripts/package.sh debs
stage "ci: build" cmake --build --preset ci
built asan
joined packages-debs
joined fuzz-and-clang-tidy
tested ci
stage "packages: windows, check" bash scripts/package.sh windows check
tested asan

echo "Stages:"
printf '  %s\n' "${times[@]}"
printf '  %-28s %4d s\n' total "$SECONDS"
