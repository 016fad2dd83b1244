#!/bin/sh
# SPDX-License-Identifier: MIT
# clang-tidy over a unit joining sources, each included by a line as the build
# writes them (UNIT, one the build wrote): a finding in a source of a linted
# folder is reported under that source's name, one in a folder that is not
# linted is not, and the include lines are no finding of their own.
# Usage: joined_check.sh SOURCE_DIR UNIT
set -eu
source_dir=$1
unit=$2
if ! command -v clang-tidy >/dev/null; then
  echo "SKIPPED: clang-tidy is not installed"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
line=$(grep -m 1 '^#include "' "$unit")
linted="api core encoder serial sound tools bridge"
for folder in $linted bench tests; do
  mkdir "$work/$folder"
  printf '#include <string>\nint planted_%s(const std::string& s) { return s.size() == 0 ? 1 : 0; }\n' \
    "$folder" >"$work/$folder/planted.cpp"
  echo "$line" | sed "s|\"[^\"]*\"|\"$folder/planted.cpp\"|" >>"$work/unit.cpp"
done
cd "$source_dir"
if out=$(clang-tidy --config-file=.clang-tidy --quiet "$work/unit.cpp" -- -std=c++20 "-I$work" 2>&1); then
  echo "clang-tidy passed a unit with findings:"
  echo "$out"
  exit 1
fi
for folder in $linted; do
  if ! echo "$out" | grep -q "^$work/$folder/planted.cpp:2:.*readability-container-size-empty"; then
    printf 'no finding reported in %s/:\n%s\n' "$folder" "$out"
    exit 1
  fi
done
for folder in bench tests; do
  if echo "$out" | grep -q "$work/$folder/"; then
    printf 'a finding reported in %s/, which is not linted:\n%s\n' "$folder" "$out"
    exit 1
  fi
done
if echo "$out" | grep -q "^$work/unit.cpp:"; then
  printf 'the include lines are findings:\n%s\n' "$out"
  exit 1
fi
echo "findings in the 7 linted folders reported by their sources' names, none in bench/ or tests/"
