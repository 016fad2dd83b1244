#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the bench tree (the release build with the bridge and the benchmarks)
# and runs the benchmarks: the encoder per command kind,
# a tavrc call against the bare system calls (with their ratio), the heap
# allocations per call, whole processes: a C host of the library and the
# qelmar tool against a C program making the same system calls; the bridge
# under load beside direct calls (bench/bridge_bench); a send from Python
# (the module, bare ctypes and pyserial; bench/python_bench.py); and a soak run
# of host processes calling through injected faults (bench/soak).
#
# `bash scripts/bench.sh bridge` runs the bridge's benchmark alone, and
# `bash scripts/bench.sh python` the Python one.
# QELMAR_BRIDGE_BASELINE, a qelmar-serve or a git revision to build one from,
# is measured beside this build's bridge in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core bench
cmake --preset bench >/dev/null
cmake --build --preset bench

bridge_bench() {
  local baseline=${QELMAR_BRIDGE_BASELINE:-} bridges=()
  if [[ -n $baseline && ! -x $baseline ]]; then
    # An earlier bridge, built apart from the tree (git archive leaves it untouched).
    local src=build/bridge-baseline/src
    rm -rf "$src" && mkdir -p "$src"
    git archive "$baseline" | tar -x -C "$src"
    cmake -S "$src" -B build/bridge-baseline/build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQELMAR_BUILD_TESTS=OFF -DQELMAR_WINDOWS_DLLS=OFF >/dev/null
    cmake --build build/bridge-baseline/build -j2 --target qelmar_serve >/dev/null
    baseline=build/bridge-baseline/build/qelmar-serve
  fi
  if [[ -n $baseline ]]; then bridges+=(--bridge "baseline=$baseline"); fi
  build/bench/bridge_bench "${bridges[@]}" --bridge "this build=build/bench/qelmar-serve" "$@"
}

# Debian's python3, which has Debian's python3-serial.
python_bench() {
  PYTHONPATH=build/bench/python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/python_bench.py "$@"
}

if [[ ${1:-} == python ]]; then
  shift
  python_bench "$@"
  exit
fi

if [[ ${1:-} == bridge ]]; then
  shift
  bridge_bench "$@"
  exit
fi

build/bench/qelmar_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
echo
echo "Whole processes (hyperfine; medians of 60 runs each, in alternating rounds):"
bash bench/process.sh build/bench 6 10
echo
echo "The bridge under load (bench/bridge_bench), beside direct calls of the host library:"
bridge_bench
echo
echo "A send from Python (bench/python_bench.py): bare ctypes, the module, pyserial:"
python_bench
echo
echo "Soak: 4 processes x 4 threads on 4 ports, faults injected (QELMAR_SOAK_SECONDS, 600 by default):"
build/bench/soak --processes 4 --threads 4 --ports 4 --seconds "${QELMAR_SOAK_SECONDS:-600}"
