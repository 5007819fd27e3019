#!/usr/bin/env bash
# The signing key pair of the signed-update tests, made once by a native
# maker and kept, so that the launchers built with its public key are not
# rebuilt on every run.
#   make-test-keys.sh KEYS-DIR MAKER
set -euo pipefail
keys=${1:?usage: make-test-keys.sh KEYS-DIR MAKER}
maker=${2:?usage: make-test-keys.sh KEYS-DIR MAKER}
if [ -s "$keys/signing.pub" ] && [ -s "$keys/signing.key" ]; then
  exit 0
fi
rm -rf "$keys"
mkdir -p "$keys"
cp "$maker" "$keys/TessalyReach"
# Like every maker run, -genkey exits with 1 when it succeeded.
made=0
"$keys/TessalyReach" -patchmaker -genkey >"$keys/genkey.log" || made=$?
if [ $made -ne 1 ] || [ ! -s "$keys/signing.pub" ]; then
  echo "make-test-keys.sh: FAILED: the maker did not make a key pair (exit $made, see $keys/genkey.log)" >&2
  exit 1
fi
