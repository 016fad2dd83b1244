#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-tidy with the checked-in .clang-tidy over the library, the tool and the
# bridge, unit by unit as the ci build compiles them (a target's sources joined
# in one unit, whose findings name the sources); any finding fails. The Windows
# files need the Windows headers and are left to the mingw build's warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
# The ci tree's, or the one given.
tree=${1:-build/ci}
test -f "$tree/compile_commands.json" || cmake --preset ci >/dev/null
python3 - "$tree" <<'EOF' | xargs -P "${LINT_JOBS:-2}" -n 1 clang-tidy -p "$tree" --config-file=.clang-tidy --quiet
import json, os, sys

tree = sys.argv[1]
linted = ("api/", "core/", "encoder/", "serial/", "sound/", "tools/", "bridge/")
# The units joining those folders' sources (the soak's are the benchmarks').
joined = {"qelmar_encoder", "qelmar_tools", "qelmar_cli", "qelmar_serve"}
units = set()
for entry in json.load(open(os.path.join(tree, "compile_commands.json"))):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]))
    unit = os.path.relpath(path, os.path.join(tree, "unity"))
    if path.startswith(linted) or unit.removesuffix(".cpp") in joined:
        units.add(path)
if not units:
    sys.exit("nothing to lint in " + tree)
print("\n".join(sorted(units)))
EOF
