#!/usr/bin/env bash
# Puts Debian's header-only cpp-httplib (with Debian's patches) into <dir>/httplib.h.
# The Debian package installs a split header that needs its shared library,
# which the Windows cross build cannot link; the test server of that build
# compiles the whole library from this header instead.
# Usage: fetch-httplib.sh <dir>. Does nothing when <dir>/httplib.h exists.
set -euo pipefail

dest=${1:?usage: fetch-httplib.sh <dir>}
if [ -f "$dest/httplib.h" ]; then
  exit 0
fi
mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source cpp-httplib >apt-source.log 2>&1) || {
  cat "$work/apt-source.log" >&2
  echo "fetch-httplib.sh: apt-get source failed (is deb-src enabled? run scripts/install-packages.sh)" >&2
  exit 1
}
header=$(find "$work" -maxdepth 2 -name httplib.h -path '*cpp-httplib-*' | head -n1)
if [ -z "$header" ]; then
  echo "fetch-httplib.sh: no httplib.h in the source package" >&2
  exit 1
fi
cp "$header" "$dest/httplib.h.tmp"
mv "$dest/httplib.h.tmp" "$dest/httplib.h"
