#!/usr/bin/env bash
# Builds the release tree and runs the benchmarks: the encoder per command kind,
# a tavrc call against the bare system calls (with their ratio), the heap
# allocations per call, whole processes: a C host of the library and the
# qelmar tool against a C program making the same system calls; and a soak run
# of host processes calling through injected faults (bench/soak).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core bench
cmake --preset release >/dev/null
cmake --build --preset release
build/release/qelmar_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
echo
echo "Whole processes (hyperfine; medians of 60 runs each, in alternating rounds):"
bash bench/process.sh build/release 6 10
echo
echo "Soak: 4 processes x 4 threads on 4 ports, faults injected (QELMAR_SOAK_SECONDS, 600 by default):"
build/release/soak --processes 4 --threads 4 --ports 4 --seconds "${QELMAR_SOAK_SECONDS:-600}"
