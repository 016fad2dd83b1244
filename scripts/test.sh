#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds with warnings as
# errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

cmake --preset ci
cmake --build --preset ci
ctest --preset ci
