#!/usr/bin/env bash
# clang-tidy with the checked-in .clang-tidy over the library and the tool, as
# the ci build compiles them; any finding fails. The Windows files need the
# Windows headers and are left to the mingw build's warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
test -f build/ci/compile_commands.json || cmake --preset ci >/dev/null
git ls-files 'api/*.cpp' 'core/*.cpp' 'encoder/*.cpp' 'serial/*.cpp' 'sound/*.cpp' 'tools/*.cpp' |
  grep -v '_win32\.cpp$' |
  xargs -P "${LINT_JOBS:-2}" -n 3 clang-tidy -p build/ci --quiet
