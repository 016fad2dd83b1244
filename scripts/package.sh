#!/usr/bin/env bash
# Builds dist/qelmar_VERSION_ARCH.deb and dist/qelmar-VERSION-windows.zip.
# With --check, also installs the .deb with apt, uses it, and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows
bash scripts/deps.sh package

for preset in package windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
cpack --preset deb
cpack --config build/windows-x64/windows-zip.cmake -B dist >/dev/null
rm -rf dist/_CPack_Packages
ls -l dist/*.deb dist/*.zip

if [ "${1:-}" = --check ]; then
  apt-get install -y -qq ./dist/qelmar_*.deb >/dev/null
  trap 'apt-get remove -y -qq qelmar >/dev/null' EXIT
  test "$(qelmar encode 12.5H | head -n 1)" = "1F 01 02 05 00 1F"
  work=$(mktemp -d)
  cc tests/install/host.c -o "$work/host" $(pkg-config --cflags --libs qelmar)
  test "$("$work/host" '')" = 1
  cmake -S tests/install -B "$work/cmake" >/dev/null && cmake --build "$work/cmake" >/dev/null
  test "$("$work/cmake/host" '')" = 1
  unzip -Z1 dist/qelmar-*-windows.zip >"$work/zip.txt"
  grep -q 'x86/QELMAR.dll' "$work/zip.txt"
  grep -q 'x64/QELMAR.dll' "$work/zip.txt"
  rm -rf "$work"
  echo "package check: the .deb installs and serves C hosts; the zip holds both DLLs"
fi
