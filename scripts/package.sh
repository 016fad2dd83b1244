#!/usr/bin/env bash
# Builds into dist/ the Debian packages (libqelmar0, libqelmar-dev, qelmar-tools,
# python3-qelmar, and the dbgsym packages of the first and the third) and the
# Windows zips (the stripped DLLs, and their debug files), from the
# windows-x86/x64 presets' builds in build/.
# With --check, also runs lintian, installs the packages with apt, uses them,
# checks the zips, and removes the packages again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows
bash scripts/deps.sh package

for preset in package windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
rm -f dist/*.deb dist/*.ddeb dist/*.zip
cpack --preset deb >/dev/null

# CPack's dbgsym packages list their files by the staging path and carry no
# documentation; as Debian's do, they get the package's own documentation.
for ddeb in dist/*.ddeb; do
  root=$(mktemp -d)
  dpkg-deb -R "$ddeb" "$root"
  package=$(dpkg-deb -f "$ddeb" Package)
  mkdir -p "$root/usr/share/doc"
  ln -s "${package%-dbgsym}" "$root/usr/share/doc/$package"
  (cd "$root" && find usr -type f -printf '%P\n' | sed 's|^|usr/|' | xargs md5sum >DEBIAN/md5sums)
  dpkg-deb -b --root-owner-group "$root" "$ddeb" >/dev/null
  rm -rf "$root"
done

cpack --config build/windows-x64/windows-zip.cmake -B dist >/dev/null
cpack --config build/windows-x64/windows-debug-zip.cmake -B dist >/dev/null
rm -rf dist/_CPack_Packages
ls -l dist/*.deb dist/*.ddeb dist/*.zip

if [ "${1:-}" = --check ]; then
  lintian --fail-on error --suppress-tags no-manual-page dist/*.deb dist/*.ddeb
  packages=(libqelmar0 libqelmar-dev qelmar-tools python3-qelmar)
  apt-get install -y -qq ./dist/*.deb ./dist/*.ddeb >/dev/null
  trap 'apt-get purge -y -qq "${packages[@]}" >/dev/null' EXIT
  # The runtime links no sound library, and nothing but the C library.
  dpkg-deb -f dist/libqelmar0_*.deb Depends | grep -Eqx 'libc6( \(>= [0-9.]+\))?'
  if ldd /usr/lib/*/libqelmar.so.0 | grep -E 'sndfile|asound|stdc\+\+'; then exit 1; fi
  test "$(qelmar encode 12.5H | head -n 1)" = "1F 01 02 05 00 1F"
  work=$(mktemp -d)
  cc tests/install/host.c -o "$work/host" $(pkg-config --cflags --libs qelmar)
  test "$("$work/host" '')" = 1
  cmake -S tests/install -B "$work/cmake" >/dev/null && cmake --build "$work/cmake" >/dev/null
  test "$("$work/cmake/host" '')" = 1
  # The host library: a C host built with its pkg-config file learns the outcome.
  cc tests/install/host_face.c -o "$work/host_face" $(pkg-config --cflags --libs qelmar-host)
  test "$(QELMAR_DEVICE_DIR=$work "$work/host_face" 12)" = "750630 not_found: not sent: no such device"
  test "$("$work/cmake/host_face" '')" = "1 empty: nothing to send: the text is empty, the port was not opened"
  # Debug information for the stripped library, found by its build id.
  id=$(readelf -n /usr/lib/*/libqelmar.so.0 | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
  test -f "/usr/lib/debug/.build-id/$id.debug"
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
  test "$(/usr/bin/python3 -c 'import qelmar; print(qelmar.Display(1).send("").result, qelmar.encode("#价#").hex())')" = "1 23bcdb23"
  # The zips: each DLL stripped, within its size, with its debug file in the
  # other; the host library's header beside qelmar.h.
  unzip -q dist/qelmar-*-windows.zip -d "$work/zip"
  unzip -q dist/qelmar-*-windows-debug.zip -d "$work/debug"
  for arch in x86 x64; do
    for name in QELMAR qelmar-host; do
      dll=$(echo "$work"/zip/*/$arch/$name.dll)
      cp "$work"/debug/*/$arch/$name.dll.debug "$(dirname "$dll")"
      python3 tests/windows/check_dll.py --release "$arch" "$dll" "$work"/zip/*/include/qelmar/host.h
    done
  done
  rm -rf "$work"
  echo "package check: lintian finds no error; the packages install, serve C hosts, the bridge" \
       "and Python, and come with their debug symbols; the zips hold both DLLs of each" \
       "architecture, stripped"
fi
