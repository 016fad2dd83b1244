#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the given jobs need on Debian 12 (as root), only when missing.
#   tool     build the library and the qelmar tool, as the demo and the
#            release preset do (no bridge, no packages)
#   core     build the library, the tools and the packages: debian/control's
#            Build-Depends, through apt-get build-dep
#   cache    ccache, which the presets compile through when it is installed
#   windows  cross-build the DLLs, and pack the installer (wixl, msitools)
#   test     run every test (a sound server, Wine, Chromium, GoogleTest, ...)
#   package  check the .debs and the Windows zips
#   bench    the benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
updated=
update() {
  if [ -z "$updated" ]; then
    apt-get update -qq
    updated=1
  fi
}

packages=()
build_deps=
for group in "${@:-core}"; do
  case "$group" in
    # What the library and the tool's configure asks for, and nothing more.
    tool) packages+=(gcc g++ ninja-build cmake pkg-config libasound2-dev libsndfile1-dev libcli11-dev) ;;
    core) packages+=(build-essential dpkg-dev); build_deps=1 ;;
    cache) packages+=(ccache) ;;
    windows) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wixl msitools) ;;
    test)
      packages+=(libgtest-dev clang-format python3 python3-pytest
        doxygen                         # the host API's reference, warnings as errors
        libcpp-httplib-dev              # the bridge test's HTTP client
        python3-venv python3-pip python3-build python3-wheel  # pip into a venv, the wheel
        python3-prometheus-client       # reads the bridge's /metrics
        chromium                        # the bridge driven from a real page
        clang libclang-rt-dev clang-tidy  # libFuzzer, the sanitized build, the lint
        libasound2-plugins pulseaudio   # a real-time sound sink
        wine wine64 wine32:i386)        # QELMAR.dll runs under Wine
      # wine32 is an i386 package.
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
      fi
      ;;
    package) packages+=(lintian devscripts file man-db unzip python3-venv python3-pip python3-build) ;;
    bench) packages+=(libbenchmark-dev hyperfine python3-serial) ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  update
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# debian/control is the one list of what the build needs.
if [ -n "$build_deps" ] && ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  echo "installing the build dependencies of debian/control"
  update
  apt-get build-dep -y -qq --no-install-recommends ./
fi
