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
  # The bridge from the package, and the Python module with Debian's python3.
  qelmar serve --listen 127.0.0.1:0 >"$work/serve.txt" &
  serve=$!
  for _ in $(seq 50); do grep -q port "$work/serve.txt" && break; sleep 0.1; done
  port=$(sed -n 's/.* port \([0-9]*\)$/\1/p' "$work/serve.txt")
  /usr/bin/python3 -c "import json, sys, urllib.request
health = json.load(urllib.request.urlopen('http://127.0.0.1:$port/v1/health'))
assert health['status'] == 'ok', health" 
  kill "$serve" && wait "$serve"
  test -f /lib/systemd/system/qelmar-serve.socket -o -f /usr/lib/systemd/system/qelmar-serve.socket
  test "$(/usr/bin/python3 -c 'import qelmar; print(qelmar.Display(1).send(""), qelmar.encode("#价#").hex())')" = "1 23bcdb23"
  unzip -Z1 dist/qelmar-*-windows.zip >"$work/zip.txt"
  grep -q 'x86/QELMAR.dll' "$work/zip.txt"
  grep -q 'x64/QELMAR.dll' "$work/zip.txt"
  rm -rf "$work"
  echo "package check: the .deb installs and serves C hosts, the bridge and Python; the zip holds both DLLs"
fi
