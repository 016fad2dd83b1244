#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing and builds both Linux libraries (and the qelmar tool)
# into build/release, and QELMAR.dll and qelmar-host.dll into build/windows-x86
# and build/windows-x64.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh core windows
for preset in release windows-x86 windows-x64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
