#!/usr/bin/env bash
# The whole test suite of both builds, from a fresh Debian 12 machine (root):
# packages, the Windows libraries, every build, every test.
#   native      AddressSanitizer + UndefinedBehaviorSanitizer, unit and script tests
#   native-tsan ThreadSanitizer over the update pipeline and other threaded code
#   fuzz        libFuzzer over unpack_file and the chunk map reader for a bounded time
#   clang-tsa   clang's thread safety analysis over the libraries and tests,
#               compiled with -Wthread-safety -Werror (not run)
#   win32       the product: PE32 GUI executable for i686, checked with `file`
#   win64       the same sources as 64-bit Windows programs, tested under wine64
#   PE32        the product's own tests, unit, splash window and end-to-end,
#               in the emulated x86-64 guest when one is cached
#               (scripts/pe32-stage.sh; scripts/test-pe32.sh builds it); else
#               the unit and splash tests under wine32 where this machine
#               runs 32-bit code
# Usage: scripts/run-tests.sh [build-root]   (default: ./build)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$repo/build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
jobs=$(nproc)
fuzz_seconds=${TSL_FUZZ_SECONDS:-60}
fuzz_map_seconds=${TSL_FUZZ_MAP_SECONDS:-20}
started=$(date +%s)

step() { printf '\n=== %s (%ss)\n' "$*" "$(($(date +%s) - started))"; }
fail() { echo "run-tests.sh: FAILED: $*" >&2; exit 1; }

step "packages"
"$repo/scripts/install-packages.sh" || fail "installing packages"

# Where the PE32 build's tests run: in the emulated x86-64 guest when one
# is cached, which runs them all; else natively where this machine executes
# 32-bit code.
source "$repo/scripts/pe32-guest/common.sh"
pe32=none
if pe32_guest_ready; then
  pe32=guest
elif "$repo/scripts/can-run-win32.sh"; then
  pe32=native
fi

step "Windows libraries (cached in $root/deps-*)"
"$repo/scripts/build-win-deps.sh" "$root/deps-i686" i686 || fail "cross-building libcurl/liblzma for i686"
"$repo/scripts/build-win-deps.sh" "$root/deps-x86_64" x86_64 || fail "cross-building libcurl/liblzma for x86_64"

# The test builds point the compiled-in hosts at loopback ports that the
# end-to-end tests serve with nginx, and keep the pause between attempts short.
source "$repo/scripts/test-hosts.sh"
test_hosts=("${tsl_test_hosts[@]}" -DTSL_RETRY_DELAY_MS=200 -DTSL_TEST_HOOKS=ON)

configure() {
  local dir=$1
  shift
  cmake -G Ninja -S "$repo" -B "$root/$dir" "$@" >"$root/$dir.configure.log" 2>&1 ||
    { tail -30 "$root/$dir.configure.log" >&2; fail "configuring $dir"; }
}

build() {
  local dir=$1
  shift
  ninja -C "$root/$dir" -j"$jobs" "$@" >"$root/$dir.build.log" 2>&1 ||
    { grep -E 'error|FAILED' "$root/$dir.build.log" | head -40 >&2; fail "building $dir"; }
  if grep -E 'warning:' "$root/$dir.build.log" | grep -v -E '/usr/|googletest' | head -20 | grep -q .; then
    grep -E 'warning:' "$root/$dir.build.log" | grep -v -E '/usr/|googletest' | head -20 >&2
    fail "warnings in $dir"
  fi
}

step "native build (ASan + UBSan)"
configure native -DCMAKE_BUILD_TYPE=Debug -DTSL_SANITIZE=address,undefined "${test_hosts[@]}"
build native
step "native tests"
(cd "$root/native" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs" --timeout 600) || fail "native tests"

step "native build (ThreadSanitizer)"
configure native-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSL_SANITIZE=thread "${test_hosts[@]}"
build native-tsan tsl_tests stub_client
step "native tests under ThreadSanitizer"
(cd "$root/native-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ./tsl_tests --gtest_brief=1) || fail "ThreadSanitizer run"

step "fuzzing unpack_file for ${fuzz_seconds}s"
configure fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTSL_FUZZ=ON -DTSL_BUILD_TESTS=OFF
build fuzz fuzz_unpack_file fuzz_chunk_map
"$repo/tests/fuzz/run-fuzz.sh" "$root/fuzz" "$fuzz_seconds" fuzz_unpack_file >"$root/fuzz/fuzz.log" 2>&1 ||
  { tail -40 "$root/fuzz/fuzz.log" >&2; fail "fuzzing"; }
tail -2 "$root/fuzz/fuzz.log"
step "fuzzing the chunk map reader for ${fuzz_map_seconds}s"
"$repo/tests/fuzz/run-fuzz.sh" "$root/fuzz" "$fuzz_map_seconds" fuzz_chunk_map >"$root/fuzz/fuzz-map.log" 2>&1 ||
  { tail -40 "$root/fuzz/fuzz-map.log" >&2; fail "fuzzing the chunk map reader"; }
tail -2 "$root/fuzz/fuzz-map.log"

# Every lock, every field it guards and every function that needs it held
# or free is annotated (util/thread_annotations.h); clang checks them all.
step "clang build with thread safety analysis"
configure clang-tsa -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror" "${test_hosts[@]}"
build clang-tsa tsl_tests TessalyReach

step "Windows product build (PE32, i686)"
win32_tests=OFF
[ $pe32 = none ] || win32_tests=ON
configure win32 -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" -DTSL_WIN_DEPS="$root/deps-i686" \
  -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=$win32_tests \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/wine-run.sh" "${test_hosts[@]}"
build win32
kind=$(file -b "$root/win32/TessalyReach.exe")
echo "TessalyReach.exe: $kind"
case "$kind" in
  "PE32 executable (GUI) Intel 80386"*) ;;
  *) fail "the product is not a PE32 GUI executable for i686: $kind" ;;
esac

step "Windows test build (x86_64, run under wine64)"
configure win64 -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64.cmake" -DTSL_WIN_DEPS="$root/deps-x86_64" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/wine-run.sh" \
  "${test_hosts[@]}"
build win64
# A launcher that verifies signatures, for the signed-update scenario: the
# same sources built with a test key.
keys="$root/e2e-keys"
"$repo/scripts/make-test-keys.sh" "$keys" "$root/native/TessalyReach" || fail "making the test signing key"
signed_build() {  # signed_build DIR ARCH
  configure "$1" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$2.cmake" \
    -DTSL_WIN_DEPS="$root/deps-$2" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF \
    -DTSL_UPDATE_PUBLIC_KEY="$(tr -d '[:space:]' <"$keys/signing.pub")" "${test_hosts[@]}"
  build "$1" TessalyReach
}
step "Windows launcher with a signing key (x86_64)"
signed_build win64-signed x86_64
if [ $pe32 = guest ]; then
  step "PE32 launcher with a signing key (i686)"
  signed_build win32-signed i686
fi
export TSL_WINEPREFIX="$root/wineprefix"
step "Windows tests under Wine and Xvfb"
status=0
(cd "$root/win64" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure --timeout 900) || status=1
step "end-to-end scenarios of the Windows launcher under Wine"
xvfb-run -a -s "-screen 0 1280x1024x24" python3 "$repo/tests/e2e/e2e_test.py" \
  --launcher "$root/win64/TessalyReach.exe" --maker "$root/native/TessalyReach" \
  --client "$root/win64/stub_client/Client.exe" --wine "$repo/scripts/wine-run.sh" \
  --signed-launcher "$root/win64-signed/TessalyReach.exe" --signing-keys "$keys" \
  --work "$root/e2e-win64" || status=1
WINEPREFIX="$TSL_WINEPREFIX" wineserver -k 2>/dev/null || true
[ $status -eq 0 ] || fail "Windows tests"

if [ $pe32 = guest ]; then
  step "PE32 tests in the emulated guest"
  # Every scenario already ran against the same sources above; in the
  # guest, where each costs minutes, the test command keeps to those that
  # exercise the PE32 product's own paths (no update, first install and
  # incremental update, self-update with restart, signed updates) so the
  # whole command fits its time. scripts/test-pe32.sh runs them all.
  TSL_PE32_E2E=${TSL_PE32_E2E-no_update first_and_incremental self_update signed_updates} \
    "$repo/scripts/pe32-stage.sh" "$root" || fail "PE32 tests in the emulated guest"
else
  echo "(no PE32 test guest is cached: ./scripts/test-pe32.sh builds it, about 10 minutes once, and runs the PE32 tests in it)"
fi
if [ $pe32 = native ]; then
  step "PE32 tests under wine32"
  (cd "$root/win32" && xvfb-run -a ctest --output-on-failure --timeout 900) || fail "PE32 tests"
fi

step "all tests passed"
