#!/usr/bin/env bash
# The PE32 stage: boots the cached PE32 test guest (scripts/build-pe32-guest.sh)
# once, with snapshot=on so the cache never changes, hands it a build's PE32
# programs and the test harnesses over virtio-9p, runs there the PE32 unit
# tests, the splash window test and every end-to-end scenario against the
# PE32 launcher, brings back the results and logs, and powers it off. One
# line per step with its time; a step that outlives its bound is ended after
# the guest shows what it was waiting for.
#   pe32-stage.sh BUILD-ROOT [MAKER]
# BUILD-ROOT holds win32/ (configured with -DTSL_BUILD_TESTS=ON),
# win32-signed/TessalyReach.exe (built with -DTSL_UPDATE_PUBLIC_KEY of
# e2e-keys/signing.pub) and e2e-keys/. MAKER is the native (Linux x86-64)
# TessalyReach the harness publishes with (default BUILD-ROOT/native/TessalyReach).
# TSL_PE32_STEPS picks steps (default: unit splash e2e), TSL_PE32_E2E
# scenarios and TSL_PE32_UNIT_FILTER unit tests (--gtest_filter; default:
# all). Results: BUILD-ROOT/pe32-guest/out.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
source "$here/pe32-guest/common.sh"
fail() { echo "pe32-stage.sh: FAILED: $*" >&2; exit 1; }

root=$(cd "${1:?usage: pe32-stage.sh BUILD-ROOT [MAKER]}" && pwd)
maker=${2:-$root/native/TessalyReach}
pe32_guest_ready || fail "no PE32 test guest in $pe32_guest_dir; build it with scripts/build-pe32-guest.sh"
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing; run scripts/install-packages.sh"

run=$root/pe32-guest
rm -rf "$run"
mkdir -p "$run/in/bin/stub_client" "$run/in/bin/tests/gui" "$run/in/signed" "$run/in/keys" \
  "$run/in/maker" "$run/in/repo" "$run/out"
put() {  # put FILE DESTINATION
  [ -f "$1" ] || fail "$1 is missing"
  cp "$1" "$2"
}
# The unit tests look for the launcher and the stub client where the build
# tree has them.
put "$root/win32/TessalyReach.exe" "$run/in/bin/"
put "$root/win32/tsl_tests.exe" "$run/in/bin/"
put "$root/win32/stub_client/Client.exe" "$run/in/bin/stub_client/"
put "$root/win32/tests/gui/splash_probe.exe" "$run/in/bin/tests/gui/"
put "$root/win32-signed/TessalyReach.exe" "$run/in/signed/"
put "$root/e2e-keys/signing.key" "$run/in/keys/"
put "$root/e2e-keys/signing.pub" "$run/in/keys/"
put "$maker" "$run/in/maker/TessalyReach"
for exe in "$run/in/bin/TessalyReach.exe" "$run/in/signed/TessalyReach.exe"; do
  case $(file -b "$exe") in
    "PE32 executable (GUI) Intel 80386"*) ;;
    *) fail "$exe is not the PE32 product" ;;
  esac
done
# What the harnesses read from the repository.
(cd "$repo" && tar -cf - scripts/wine-run.sh scripts/test-hosts.sh tests/e2e tests/gui tests/sample_game \
  ui/resources/splash_background.png util/product.h) | tar -xf - -C "$run/in/repo"
echo "${TSL_PE32_STEPS:-unit splash e2e}" >"$run/in/steps"
echo "${TSL_PE32_E2E:-}" >"$run/in/e2e-only"
echo "${TSL_PE32_UNIT_FILTER:-}" >"$run/in/unit-filter"
install -m 755 "$here/pe32-guest/run.sh" "$run/guest-run.sh"

echo "  pe32 guest $pe32_guest_dir, results in $run/out"
status=0
python3 "$here/pe32-guest/boot.py" --guest "$pe32_guest_dir" --xfer "$run" --log "$run/out/console.log" \
  --bound 5400 || status=$?
[ $status -eq 0 ] || fail "PE32 tests in the guest (see $run/out)"
