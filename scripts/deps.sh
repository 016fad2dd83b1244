#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (as root), only when missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config clang-format python3
  libgtest-dev libsndfile1-dev libasound2-dev
  libasound2-plugins pulseaudio   # a real-time sound sink for the tests
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386         # QELMAR.dll is tested under Wine
)

# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

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
