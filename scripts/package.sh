#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds into dist/ the Debian packages from debian/ with dpkg-buildpackage
# (libqelmar0, libqelmar-host1, libqelmar-dev, qelmar-tools, python3-qelmar,
# and the dbgsym packages of the binary ones) and the Windows zips and MSI (the
# stripped DLLs and programs, and their debug files), from the Windows builds
# the ci tree made for its Wine tests when they are there (same sources, same
# flags), else from the windows-x86/x64 presets' builds in build/.
# With --check, also runs lintian, installs the packages with apt, uses them,
# checks the zips, and purges the packages again, leaving no file behind.
# The steps can be run on their own, in this order: `package.sh debs`,
# `package.sh windows`, `package.sh check` (the test command builds the .debs
# beside its other stages).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "") steps=(debs windows) ;;
  --check) steps=(debs windows check) ;;
  *) steps=("$@") ;;
esac
for step in "${steps[@]}"; do
  case "$step" in
    debs | windows | check) ;;
    *) echo "usage: package.sh [--check] | package.sh debs|windows|check..." >&2; exit 2 ;;
  esac
done
wants() { [[ " ${steps[*]} " == *" $1 "* ]]; }
bash scripts/deps.sh core windows
if wants check; then
  bash scripts/deps.sh package
fi
mkdir -p dist
version=$(dpkg-parsechangelog -SVersion)

# The tree's files as dpkg-source would take them (those git knows or does not
# ignore), in DIR/qelmar-VERSION.
source_copy() {
  rm -rf "$1"
  mkdir -p "$1/qelmar-$version"
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$1/qelmar-$version"
}

if wants debs; then
  rm -f dist/*.deb dist/*.changes dist/*.buildinfo
  # As a Debian builder would: Debian's own python3 and tools, whatever else
  # the machine has first in its PATH (a pyenv interpreter lacks the build
  # modules). In a copy of the tree, which it leaves as it was: it builds
  # beside the other stages, and writes beside the tree it builds.
  debs=build/package
  source_copy "$debs"
  # Through the compiler cache where there is one: dpkg's flags already name
  # the sources relative to the copy, so a build from another clone finds
  # what this one compiled.
  cache=()
  if command -v ccache >/dev/null; then
    cache=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DEPEND=1
           "CCACHE_BASEDIR=$PWD/$debs/qelmar-$version")
  fi
  (cd "$debs/qelmar-$version" &&
     env PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
       "${cache[@]}" dpkg-buildpackage -us -uc -b)
  # The .changes lists what it made.
  changes=$(dpkg-parsechangelog -SSource)_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).changes
  for file in $(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\)$/\1/p' "$debs/$changes"); do
    mv "$debs/$file" dist/
  done
  mv "$debs/$changes" dist/
  rm -rf "$debs"
fi

if wants windows; then
  rm -f dist/*.zip dist/*.msi
  # The folder holding windows-x86 and windows-x64 side by side; brought up to
  # date in place, which costs nothing when the suite has just built them.
  windows=build
  if [ -f build/ci/windows-x86/CMakeCache.txt ] && [ -f build/ci/windows-x64/CMakeCache.txt ]; then
    windows=build/ci
    for arch in x86 x64; do
      cmake --build "$windows/windows-$arch" -j2
    done
  else
    for preset in windows-x86 windows-x64; do
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset"
    done
  fi
  export QELMAR_WINDOWS_BUILDS=$PWD/$windows
  cpack --config "$windows/windows-x64/windows-zip.cmake" -B dist >/dev/null
  cpack --config "$windows/windows-x64/windows-debug-zip.cmake" -B dist >/dev/null
  rm -rf dist/_CPack_Packages
  PYTHON=/usr/bin/python3 bash scripts/msi.sh "$windows" dist >/dev/null
fi
ls -l dist/*.deb dist/*.zip dist/*.msi 2>/dev/null || true

if ! wants check; then
  exit 0
fi
start=$SECONDS

# The maintainer is named in debian/control; the changelog must repeat it.
test "$(dpkg-parsechangelog -SMaintainer)" = "$(sed -n 's/^Maintainer: //p' debian/control)"
# The version is CMake's project(); the changelog's upstream part must be it.
test "$(dpkg-parsechangelog -SVersion | sed 's/-[^-]*$//')" = \
  "$(sed -n 's/^project(qelmar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
work=$(mktemp -d)
# The source package, for lintian's source checks.
source_copy "$work"
(cd "$work" && dpkg-source -b "qelmar-$version" >/dev/null)
# Every warning either fixed or overridden in debian/*.lintian-overrides.
# On the other core, while the packages are installed and used.
lintian --fail-on error,warning dist/*.changes "$work/qelmar_$version.dsc" >"$work/lintian.txt" 2>&1 &
lintian=$!

# What is on the machine before, to find anything the packages leave behind.
snapshot() {
  find /etc /usr /lib /var/lib /opt -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt \) -prune \
    -o -print 2>/dev/null | sort
}
snapshot >"$work/before"
packages=(libqelmar0 libqelmar-host1 libqelmar-dev qelmar-tools python3-qelmar)
trap 'apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true' EXIT
apt-get install -y -qq ./dist/*.deb >/dev/null
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch

# The libraries link no sound library, and nothing but the C library.
for package in libqelmar0 libqelmar-host1; do
  dpkg-deb -f dist/${package}_*.deb Depends | grep -Eqx 'libc6( \(>= [0-9.]+\))?'
done
if ldd $lib/libqelmar.so.0 $lib/libqelmar-host.so.1 | grep -E 'sndfile|asound|stdc\+\+'; then
  exit 1
fi
# Built hardened (bookworm's dpkg-buildflags adds no control-flow protection).
hardening-check --quiet --nocfprotection /usr/bin/qelmar /usr/libexec/qelmar/qelmar-serve \
  $lib/libqelmar.so.0 $lib/libqelmar-host.so.1

test "$(qelmar encode 12.5H | head -n 1)" = "1F 01 02 05 00 1F"
cc tests/install/host.c -o "$work/host" $(pkg-config --cflags --libs qelmar)
test "$("$work/host" '')" = 1
cmake -S tests/install -B "$work/cmake" >/dev/null && cmake --build "$work/cmake" >/dev/null
test "$("$work/cmake/host" '')" = 1
# The host library: a C host built with its pkg-config file learns the outcome.
cc tests/install/host_face.c -o "$work/host_face" $(pkg-config --cflags --libs qelmar-host)
test "$(QELMAR_DEVICE_DIR=$work "$work/host_face" 12)" = "750630 not_found: not sent: no such device"
test "$("$work/cmake/host_face" '')" = "1 empty: nothing to send: the text is empty, the port was not opened"
# Debug information for the stripped libraries, found by their build ids.
for file in $lib/libqelmar.so.0 $lib/libqelmar-host.so.1 /usr/bin/qelmar; do
  id=$(readelf -n "$file" | sed -n 's/.*Build ID: \(..\)\(.*\)/\1\/\2/p')
  test -f "/usr/lib/debug/.build-id/$id.debug"
done

# The bridge from the package, reading its installed configuration file.
dpkg-query -W -f='${Conffiles}\n' qelmar-tools | grep -q '^ /etc/qelmar/serve.conf '
qelmar serve --listen 127.0.0.1:0 >"$work/serve.txt" &
serve=$!
for _ in $(seq 50); do grep -q port "$work/serve.txt" && break; sleep 0.1; done
port=$(sed -n 's/.* port \([0-9]*\)$/\1/p' "$work/serve.txt")
/usr/bin/python3 -c "import json, sys, urllib.request
health = json.load(urllib.request.urlopen('http://127.0.0.1:$port/v1/health'))
assert health['status'] == 'ok', health"
kill "$serve" && wait "$serve"
# Its units are installed, neither enabled nor started.
test -f /lib/systemd/system/qelmar-serve.socket -a -f /lib/systemd/system/qelmar-serve.service
if find /etc/systemd -name 'qelmar-serve*' | grep .; then exit 1; fi

# The manual pages render without a roff warning, and name every subcommand.
for page in qelmar qelmar-serve; do
  MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" >"$work/$page.txt" 2>"$work/$page.err"
  test -s "$work/$page.txt"
  if [ -s "$work/$page.err" ]; then cat "$work/$page.err"; exit 1; fi
done
for sub in $(qelmar --help | sed -n '/^Subcommands:/,$s/^  \([a-z][a-z-]*\) .*/\1/p'); do
  grep -q "^   qelmar $sub\$" "$work/qelmar.txt"
done
# Completion loads, and offers the subcommands and a subcommand's options.
/bin/bash -c '
  source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/qelmar
  complete -p qelmar >/dev/null
  offered() {
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=(); _qelmar qelmar "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; echo "${COMPREPLY[*]}"
  }
  test "$(offered qelmar se)" = "send serve"
  [[ " $(offered qelmar send --) " == *" --port "* ]]
  [[ " $(offered qelmar serve --al) " == " --allow-origin " ]]'

# The example sound that README and the module's docstrings name.
/usr/bin/python3 -c "import wave
with wave.open('/usr/share/sounds/qelmar/thanks.wav') as w:
    assert 0.1 < w.getnframes() / w.getframerate() < 1"

# Python: Debian's module with its metadata, then pip into a fresh venv
# (offline) and the wheel, over the installed library.
/usr/bin/python3 -c "import importlib.metadata as m, qelmar
assert m.version('qelmar') == qelmar.__version__ == '$version'
assert qelmar.Display(1).send('').result == 1 and qelmar.encode('#价#').hex() == '23bcdb23'"
/usr/bin/python3 tests/python/venv_check.py /usr/bin/python3 python $lib/libqelmar-host.so.1

# Purged, the packages leave nothing behind: no configuration file, no
# compiled module, no systemd state.
apt-get purge -y -qq "${packages[@]}" >/dev/null
trap - EXIT
snapshot >"$work/after"
if comm -13 "$work/before" "$work/after" | grep qelmar; then
  echo "left behind after the purge" >&2
  exit 1
fi

# The zips: each DLL stripped, within its size, with its debug file in the
# other; the host library's header beside qelmar.h.
unzip -q dist/qelmar-*-windows.zip -d "$work/zip"
unzip -q dist/qelmar-*-windows-debug.zip -d "$work/debug"
for arch in x86 x64; do
  for name in QELMAR qelmar-host; do
    dll=$(echo "$work"/zip/*/$arch/$name.dll)
    cp "$work"/debug/*/$arch/$name.dll.debug "$(dirname "$dll")"
    /usr/bin/python3 tests/windows/check_dll.py --release "$arch" "$dll" "$work"/zip/*/include/qelmar/host.h
  done
done
if ! wait "$lintian"; then
  cat "$work/lintian.txt"
  echo "lintian found problems" >&2
  exit 1
fi
cat "$work/lintian.txt"
rm -rf "$work"
echo "package check ($((SECONDS - start)) s): lintian finds no error or warning; the packages" \
     "install, are hardened, serve C hosts, the bridge and Python (and pip in a venv), with" \
     "man pages, completion, a conffile and debug symbols, and purge without a trace; the" \
     "zips hold both DLLs of each architecture, stripped"
