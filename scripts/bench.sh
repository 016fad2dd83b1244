#!/usr/bin/env bash
# Builds the release tree and runs the benchmarks: the encoder per command kind,
# a tavrc call against the bare system calls (with their ratio), and the heap
# allocations per call.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core bench
cmake --preset release >/dev/null
cmake --build --preset release
build/release/qelmar_bench --benchmark_min_time=1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
