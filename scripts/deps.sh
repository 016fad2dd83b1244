#!/usr/bin/env bash
# Installs what the given jobs need on Debian 12 (as root), only when missing.
#   core     build libqelmar.so and the qelmar tool
#   windows  cross-build QELMAR.dll
#   test     run every test (a sound server, Wine, GoogleTest, ...)
#   package  build and check the .deb and the Windows zip
#   bench    the benchmarks
set -euo pipefail

packages=()
for group in "${@:-core}"; do
  case "$group" in
    core) packages+=(cmake make gcc g++ pkg-config libsndfile1-dev libasound2-dev libcli11-dev
                     nlohmann-json3-dev libcpp-httplib-dev) ;;
    windows) packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64) ;;
    test)
      packages+=(libgtest-dev clang-format python3 python3-pytest
        chromium                        # the bridge driven from a real page
        clang libclang-rt-dev clang-tidy  # libFuzzer, the lint
        libasound2-plugins pulseaudio   # a real-time sound sink
        wine wine64 wine32:i386)        # QELMAR.dll runs under Wine
      # wine32 is an i386 package.
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
      fi
      ;;
    package) packages+=(dpkg-dev file unzip lintian) ;;
    bench) packages+=(libbenchmark-dev hyperfine) ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
