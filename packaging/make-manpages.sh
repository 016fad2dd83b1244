#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes qelmar.1 and qelmar-serve.1 into OUTDIR from the built programs' own
# --help, so that the pages say what the programs do: the main help through
# help2man, then each subcommand's help in a section of its own.
#   make-manpages.sh BUILDDIR OUTDIR VERSION
set -eu
build=$(cd "$1" && pwd)
out=$2
version=$3
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Run by name, so that the usage lines say "qelmar", not the build path.
PATH="$build:$PATH"
export PATH

# Help text as roff, kept as printed: backslashes and leading dots escaped,
# option dashes as minus signs.
as_roff() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

{
  echo '[SUBCOMMANDS]'
  qelmar --help | sed -n '/^Subcommands:/,$p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' |
    while read -r sub; do
      echo ".SS \"qelmar $sub\""
      if [ "$sub" = serve ]; then
        echo 'The browser bridge; its options are in'
        echo '.BR qelmar\-serve (1).'
        continue
      fi
      echo '.nf'
      qelmar "$sub" --help | as_roff
      echo '.fi'
    done
  cat <<'TEXT'
[ENVIRONMENT]
.TP
.B QELMAR_LOG
When set, the library writes one line per call: \fBstderr\fR for the standard
error, or the path of a file to append to.
.TP
.B WINEPREFIX
The Wine prefix that \fBwine\-port\fR maps and \fBdoctor\fR reports on;
\fB~/.wine\fR when unset.
[EXIT STATUS]
0 when every frame was delivered, 1 for a usage error, 2 when a frame was not
delivered; \fBdoctor\fR exits 0 when the port is usable and 2 when not;
\fBwine\-port\fR exits 0 when the mapping is made or taken back and 2 when not.
[SEE ALSO]
.BR qelmar\-serve (1)
TEXT
} >"$work/qelmar.h2m"

cat >"$work/qelmar-serve.h2m" <<'TEXT'
[NAME]
qelmar-serve \- serve a customer price display to browser pages over local HTTP
[DESCRIPTION]
.B qelmar serve
starts this program. It answers HTTP/1.1 on a loopback address; the
\fBqelmar\-serve.socket\fR unit starts it on the first connection.
[FILES]
.TP
.I /etc/qelmar/serve.conf
Options, one per line, read when the file exists; options on the command line
come first.
.TP
.I /usr/share/qelmar/client.js
The JavaScript client that pages load from \fB/v1/client.js\fR.
[SEE ALSO]
.BR qelmar (1)
TEXT

help2man --no-info --no-discard-stderr --version-string="$version" \
  --name='drive a customer price display on a serial port' \
  --include="$work/qelmar.h2m" --output="$out/qelmar.1" qelmar
help2man --no-info --no-discard-stderr --version-string="$version" \
  --include="$work/qelmar-serve.h2m" --output="$out/qelmar-serve.1" qelmar-serve
