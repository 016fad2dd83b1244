#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole-process cost: a C host that loads libqelmar and makes one tavrc call, and
# `qelmar send`, each against a C program making the same system calls itself.
# hyperfine times them in alternating rounds, so that the machine's drift falls
# on all of them alike; the ratios are of the medians over every round.
#   bench/process.sh BUILD_DIR [ROUNDS] [RUNS_PER_ROUND] [EARLIER_BUILD_DIR]
# An earlier build's library host and tool, when given, run in the same rounds.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-6}
runs=${3:-10}
earlier=${4:+$(cd "$4" && pwd)}
work=$(mktemp -d)
trap 'kill "$display" 2>/dev/null; wait "$display" 2>/dev/null; rm -rf "$work"' EXIT

# A virtual display on port 1 keeps the line read.
"$build/qelmar" display -p 1 --dir "$work/dev" >/dev/null &
display=$!
for _ in $(seq 100); do [ -e "$work/dev/com1" ] && break; sleep 0.05; done
export QELMAR_DEVICE_DIR=$work/dev

names=(bare library "qelmar send" "qelmar rc")
commands=("$build/bare_host" "$build/library_host" "$build/qelmar send -q -p 1 12.5H"
          "$build/qelmar rc -q -p 1 65 66")
if [ -n "$earlier" ]; then
  names+=("library, earlier" "qelmar send, earlier")
  commands+=("$earlier/library_host" "$earlier/qelmar send -q -p 1 12.5H")
fi
for round in $(seq "$rounds"); do
  # Every other round in the reverse order.
  order=("${commands[@]}")
  if ((round % 2 == 0)); then
    order=()
    for ((i = ${#commands[@]} - 1; i >= 0; i--)); do order+=("${commands[i]}"); done
  fi
  hyperfine -N --style none --warmup 3 --runs "$runs" --export-json "$work/round$round.json" \
    "${order[@]}" >/dev/null
done

python3 - "$work" "${#names[@]}" "${names[@]}" "${commands[@]}" <<'PY'
import glob, json, statistics, sys
work, n = sys.argv[1], int(sys.argv[2])
names, commands = sys.argv[3:3 + n], sys.argv[3 + n:3 + 2 * n]
times = {c: [] for c in commands}
for f in sorted(glob.glob(work + "/round*.json")):
    for r in json.load(open(f))["results"]:
        times[r["command"]] += r["times"]
median = {c: statistics.median(t) for c, t in times.items()}
bare = median[commands[0]]
print(f"{'':22} {'runs':>5} {'median':>9} {'vs bare':>8}")
for name, c in zip(names, commands):
    print(f"{name:22} {len(times[c]):5} {median[c] * 1000:7.2f} ms {median[c] / bare:7.2f}x")
PY
