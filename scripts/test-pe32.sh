#!/usr/bin/env bash
# The PE32 product's own tests on a machine that refuses 32-bit code, from a
# fresh Debian 12 machine (root): packages, the emulated x86-64 guest when
# none is cached (scripts/build-pe32-guest.sh), the PE32 builds it needs and
# a native maker, then the PE32 stage (scripts/pe32-stage.sh).
# Usage: scripts/test-pe32.sh [build-root]   (default: ./build)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$repo/build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
jobs=$(nproc)
started=$(date +%s)

step() { printf '\n=== %s (%ss)\n' "$*" "$(($(date +%s) - started))"; }
fail() { echo "test-pe32.sh: FAILED: $*" >&2; exit 1; }

step "packages"
"$repo/scripts/install-packages.sh" || fail "installing packages"

step "the PE32 test guest"
"$repo/scripts/build-pe32-guest.sh" || fail "building the PE32 test guest"

step "Windows libraries (cached in $root/deps-i686)"
"$repo/scripts/build-win-deps.sh" "$root/deps-i686" i686 || fail "cross-building the libraries for i686"

source "$repo/scripts/test-hosts.sh"
test_hosts=("${tsl_test_hosts[@]}" -DTSL_RETRY_DELAY_MS=200 -DTSL_TEST_HOOKS=ON)
# build DIR TARGETS... -- CMAKE-OPTIONS...
build() {
  local dir=$1 targets=()
  shift
  while [ "$1" != -- ]; do targets+=("$1"); shift; done
  shift
  { cmake -G Ninja -S "$repo" -B "$root/$dir" "$@" && ninja -C "$root/$dir" -j"$jobs" "${targets[@]}"; } \
    >"$root/$dir.build.log" 2>&1 || { grep -E 'error|FAILED' "$root/$dir.build.log" | head -40 >&2; fail "building $dir"; }
}

step "native maker (publishes in the end-to-end scenarios)"
build native-maker TessalyReach -- -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF "${test_hosts[@]}"
keys=$root/e2e-keys
"$repo/scripts/make-test-keys.sh" "$keys" "$root/native-maker/TessalyReach" || fail "making the test signing key"

step "PE32 build with its tests (i686)"
build win32 all -- -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" -DTSL_WIN_DEPS="$root/deps-i686" \
  -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/wine-run.sh" \
  "${test_hosts[@]}"
step "PE32 launcher with a signing key (i686)"
build win32-signed TessalyReach -- -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DTSL_WIN_DEPS="$root/deps-i686" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF \
  -DTSL_UPDATE_PUBLIC_KEY="$(tr -d '[:space:]' <"$keys/signing.pub")" "${test_hosts[@]}"

step "PE32 tests in the emulated guest"
"$repo/scripts/pe32-stage.sh" "$root" "$root/native-maker/TessalyReach" || fail "PE32 tests in the emulated guest"
step "PE32 tests passed"
