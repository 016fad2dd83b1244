#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds qelmar-VERSION-x64.msi, the per-machine installer for Windows tills,
# from the two Windows builds, with msitools' wixl:
#   scripts/msi.sh BUILDS OUT [VERSION]
# BUILDS holds windows-x86 and windows-x64 side by side (build/ for the
# presets, a Linux build's own folder for its Windows steps); the package goes
# into OUT. VERSION is the project's unless given (the tests build a higher one
# to try an upgrade).
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: scripts/msi.sh BUILDS OUT [VERSION]" >&2
  exit 2
fi
source=$(cd "$(dirname "$0")/.." && pwd)
builds=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
version=${3:-$(sed -n 's/^project(qelmar VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")}

# The tree the zips hold, as the two builds install it.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for arch in x86 x64; do
  cmake --install "$builds/windows-$arch" --prefix "$stage" >/dev/null
done
msi=$out/qelmar-$version-x64.msi
# One version, one ProductCode: a name-based UUID of the version under the
# UpgradeCode, so a rebuilt package of an installed version is not installed
# a second time beside it.
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$source/packaging/windows/qelmar.wxs")
# PYTHON: an interpreter to use rather than the first python3 on the PATH.
product_code=$("${PYTHON:-python3}" -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$version")
# wixl finds files only by paths relative to where it runs.
ln -s "$source" "$stage/source"
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" -D Stage=. -D Source=source -o "$msi" \
  source/packaging/windows/qelmar.wxs)

# What wixl 0.101 has no element or attribute for, in the tables themselves:
# - serve.conf is the administrator's once installed: Permanent (0x10), so
#   that neither uninstalling nor the old package's removal in an upgrade
#   takes it, and NeverOverwrite (0x80), so that the new one does not
#   replace it; added to what wixl set there (its 64-bit flag).
# - bin\ at the end of the system PATH while installed ('=' set on install,
#   '-' removed on uninstall, '*' the machine's, '[~];' appended to it), with
#   the standard actions that write and remove it at their usual places.
attributes=$(msiinfo export "$msi" Component | awk -F'\t' '$1 == "Config" { print $4 }')
msibuild "$msi" \
  -q "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 0x10 | 0x80)) WHERE \`Component\` = 'Config'" \
  -q "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('PathBin', '=-*Path', '[~];[BinDir]', 'Serve')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
echo "$msi"
