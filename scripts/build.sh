#!/usr/bin/env bash
# Installs what is missing and builds libqelmar.so into build/ci.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset ci
cmake --build --preset ci
