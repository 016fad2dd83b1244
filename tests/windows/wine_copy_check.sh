#!/bin/sh
# SPDX-License-Identifier: MIT
# wine.sh copy on a small stand-in prefix: the system's DLLs shared with the
# template, everything a test may change its own, on one file system and,
# where /dev/shm is another, across two (whole copies).
#   wine_copy_check.sh WINE.SH
set -eu
wine_sh=$1
work=$(mktemp -d)
trap 'rm -rf "$work" "${shm:-}"' EXIT
t=$work/template
mkdir -p "$t/drive_c/windows/system32" "$t/drive_c/windows/syswow64" "$t/drive_c/windows/winsxs/a" \
  "$t/drive_c/users/me" "$t/dosdevices"
for f in system32/k.dll syswow64/k.dll winsxs/a/m.dll win.ini; do echo "$f" >"$t/drive_c/windows/$f"; done
echo template >"$t/system.reg"
echo template >"$t/drive_c/users/me/notes"
ln -s /nonexistent/tty "$t/dosdevices/com1"

fail() { echo "FAILED: $*"; exit 1; }
links() { stat -c %h "$1"; }
check() {  # check COPY SHARED: the copy's files after each change a test makes
  c=$1 shared=$2
  for f in system32/k.dll syswow64/k.dll winsxs/a/m.dll; do
    [ "$(links "$c/drive_c/windows/$f")" -eq "$shared" ] || fail "$c: $f has $(links "$c/drive_c/windows/$f") links"
  done
  for f in system.reg drive_c/windows/win.ini drive_c/users/me/notes; do
    [ "$(links "$c/$f")" -eq 1 ] || fail "$c: $f is shared"
    echo changed >>"$c/$f"
    [ "$(cat "$t/$f")" != "$(cat "$c/$f")" ] || fail "$c: writing $f wrote the template's"
  done
  rm "$c/dosdevices/com1"
  [ -L "$t/dosdevices/com1" ] || fail "$c: removing a port link removed the template's"
  ln -s /dev/null "$c/dosdevices/com1"
}

sh "$wine_sh" copy "$t" "$work/copy"
check "$work/copy" 2
sh "$wine_sh" copy "$t" "$work/copy"  # again over the last one: afresh
[ "$(cat "$work/copy/system.reg")" = template ] || fail "a second copy kept the first's registry"
check "$work/copy" 2
# A prefix made without some of the system's folders (a 64-bit-only one has no
# syswow64): the copy has none either, and links what there is.
t64=$work/template64
mkdir -p "$t64/drive_c/windows/system32"
echo k >"$t64/drive_c/windows/system32/k.dll"
echo template >"$t64/system.reg"
sh "$wine_sh" copy "$t64" "$work/copy64"
[ "$(links "$work/copy64/drive_c/windows/system32/k.dll")" -eq 2 ] || fail "copy64: k.dll is not shared"
[ "$(links "$work/copy64/system.reg")" -eq 1 ] || fail "copy64: system.reg is shared"
for d in syswow64 winsxs; do
  [ ! -e "$work/copy64/drive_c/windows/$d" ] || fail "copy64: $d made where the template had none"
done
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$work")" ]; then
  shm=$(mktemp -d /dev/shm/qelmar-copy.XXXXXX)
  sh "$wine_sh" copy "$t" "$shm/copy"
  check "$shm/copy" 1
  echo "shared on one file system, copied whole across two"
else
  echo "shared on one file system (no second file system at /dev/shm to copy across)"
fi
