#!/usr/bin/env bash
# The PE32 build's tests on a machine that runs 32-bit code only under
# emulation: the unit-test program and the splash window seen from outside.
# Every Wine process costs about a minute to start here, so only these run.
# Each part says what it cost.
# Runs inside scripts/emulate-i386.sh (which sets WINEPREFIX) on an X display:
#   xvfb-run -a -s "-screen 0 1280x1024x24" scripts/emulate-i386.sh PREFIX \
#     scripts/pe32-emulated-tests.sh BUILD-ROOT
# BUILD-ROOT holds win32/, configured with -DTSL_BUILD_TESTS=ON.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:?usage: pe32-emulated-tests.sh BUILD-ROOT}
: "${WINEPREFIX:?run inside scripts/emulate-i386.sh}"
wine_run=$repo/scripts/wine-run.sh
# Each Wine process takes a minute or more to start here.
export TSL_TEST_TIME_SCALE=${TSL_TEST_TIME_SCALE:-5}
status=0

# A server that stays for each part, so Wine's services start once for it
# (the splash test ends it when done).
part() {
  local name=$1 began result
  shift
  "$repo/scripts/keep-wineserver.sh"
  began=$(date +%s)
  if "$@"; then result=passed; else result=FAILED status=1; fi
  printf -- '--- %s: %s (%s s)\n' "$name" "$result" "$(($(date +%s) - began))"
}

part "PE32 unit tests" "$wine_run" "$root/win32/tsl_tests.exe" --gtest_brief=1 --gtest_color=no
part "PE32 splash window" python3 "$repo/tests/gui/splash_gui_test.py" --quick \
  --probe "$root/win32/tests/gui/splash_probe.exe" --wine-run "$wine_run" \
  --background "$repo/ui/resources/splash_background.png" --artifacts "$root/win32/artifacts" \
  --prefix "$WINEPREFIX"
exit $status
