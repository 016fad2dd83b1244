#!/bin/sh
# SPDX-License-Identifier: MIT
# Wine for the tests, by what this machine can run rather than what it should:
#   wine.sh prefix               makes $WINEPREFIX, and returns once its
#                                server has ended and written it out
#   wine.sh run ARCH COMMAND...  runs COMMAND with QELMAR_WINE_LOADER set for
#                                ARCH (x86 or x64), or exits 77 (skipped) with
#                                the reason when this machine cannot run it
#   wine.sh copy FROM TO         makes TO afresh as a copy of the prefix FROM
# With QELMAR_WINE_TEMPLATE set, run makes $WINEPREFIX afresh as a copy of that
# prefix first: tests on copies of their own run side by side, each with its
# own server and COM port links.
# QELMAR_ASSUME_NO_X86=1 makes the probe answer as a machine whose kernel does
# not execute 32-bit x86 programs.
set -eu

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
skipped=77

# Sets $reason and fails when 32-bit x86 programs cannot run here.
runs_x86() {
  if [ -n "${QELMAR_ASSUME_NO_X86:-}" ]; then
    reason="QELMAR_ASSUME_NO_X86 is set"
    return 1
  fi
  if [ ! -x "$wine32" ]; then
    reason="$wine32 is not installed (package wine32:i386)"
    return 1
  fi
  if ! out=$("$wine32" --version 2>&1); then
    reason="this machine does not execute 32-bit x86 programs ($wine32 --version: $out)"
    return 1
  fi
}

runs_x64() {
  if [ ! -x "$wine64" ]; then
    reason="$wine64 is not installed (package wine64)"
    return 1
  fi
}

# A prefix is some 700 MB, nearly all of it the system's DLLs, which Wine
# writes only as it makes a prefix: copies share those by hard links (a
# suite's seven copies took 4 GB and filled small disks); the rest (registry,
# port links, users' files) each copy has for itself.
copy_prefix() {
  rm -rf "$2"
  mkdir -p "$2"
  # Copied in one pass, not linked and then copied again file by file: seven
  # copies in a suite each spawned two programs per file.
  tar -C "$1" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
    --exclude=./drive_c/windows/winsxs -cf - . | tar -C "$2" -xpf -
  for dir in system32 syswow64 winsxs; do
    [ -d "$1/drive_c/windows/$dir" ] || continue
    if ! cp -a --link "$1/drive_c/windows/$dir" "$2/drive_c/windows/" 2>/dev/null; then
      rm -rf "${2:?}/drive_c/windows/$dir"  # on another file system: no links across
      cp -a "$1/drive_c/windows/$dir" "$2/drive_c/windows/"
    fi
  done
}

case "${1:-}" in
  copy)
    copy_prefix "$2" "$3"
    ;;
  prefix)
    if runs_x86; then
      loader=$wine32
    else
      echo "making a 64-bit-only prefix: $reason"
      runs_x64 || { echo "SKIPPED: $reason"; exit "$skipped"; }
      loader=$wine64
    fi
    "$loader" wineboot -i
    # Its registry is written out as the server ends: copied only then.
    exec "${loader%/*}/wineserver" -w
    ;;
  run)
    arch=$2
    shift 2
    case "$arch" in
      x86) runs_x86 && loader=$wine32 ;;
      x64) runs_x64 && loader=$wine64 ;;
      *) echo "wine.sh: unknown architecture $arch" >&2; exit 2 ;;
    esac || { echo "SKIPPED: the $arch Wine suite: $reason"; exit "$skipped"; }
    if [ -n "${QELMAR_WINE_TEMPLATE:-}" ]; then
      if [ "$WINEPREFIX" = "$QELMAR_WINE_TEMPLATE" ]; then
        echo "wine.sh: WINEPREFIX is the prefix it would copy" >&2
        exit 2
      fi
      copy_prefix "$QELMAR_WINE_TEMPLATE" "$WINEPREFIX"
    fi
    QELMAR_WINE_LOADER=$loader exec "$@"
    ;;
  *)
    echo "usage: wine.sh prefix | run x86|x64 COMMAND... | copy FROM TO" >&2
    exit 2
    ;;
esac
