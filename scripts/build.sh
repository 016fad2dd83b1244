#!/usr/bin/env bash
# Installs what is missing and builds libqelmar.so into build/ci and QELMAR.dll
# into build/windows-x86 and build/windows-x64.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
for preset in ci windows-x86 windows-x64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
