#!/usr/bin/env bash
# The main job on the built-in sample game (fresh Debian 12, root): builds what
# it needs, publishes the sample with the patch maker, serves it with nginx on
# 127.0.0.1, installs and then updates the game with the Windows launcher under
# Wine (on your display when there is one, else under Xvfb), and prints a summary.
# Usage: scripts/demo.sh [build-root]   (default: ./build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$repo/build}
mkdir -p "$root"
root=$(cd "$root" && pwd)
jobs=$(nproc)

"$repo/scripts/install-packages.sh" >"$root/demo-packages.log" 2>&1 ||
  { tail -20 "$root/demo-packages.log"; echo "demo: installing packages failed" >&2; exit 1; }

# The Windows launcher: the PE32 product where this machine can run 32-bit
# code, else the same sources built for 64-bit Windows.
if "$repo/scripts/can-run-win32.sh"; then arch=i686; else arch=x86_64; fi
echo "demo: building the Windows launcher ($arch) and the native patch maker"
"$repo/scripts/build-win-deps.sh" "$root/deps-$arch" $arch >"$root/demo-deps.log" 2>&1 ||
  { tail -20 "$root/demo-deps.log"; exit 1; }
source "$repo/scripts/test-hosts.sh"
hosts=("${tsl_test_hosts[@]}")
cmake -G Ninja -S "$repo" -B "$root/demo-win" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$arch.cmake" \
  -DTSL_WIN_DEPS="$root/deps-$arch" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF "${hosts[@]}" \
  >"$root/demo-win.log" 2>&1 || { tail -20 "$root/demo-win.log"; exit 1; }
ninja -C "$root/demo-win" -j"$jobs" TessalyReach stub_client >>"$root/demo-win.log" 2>&1 ||
  { tail -20 "$root/demo-win.log"; exit 1; }
cmake -G Ninja -S "$repo" -B "$root/demo-native" -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF \
  "${hosts[@]}" >"$root/demo-native.log" 2>&1 || { tail -20 "$root/demo-native.log"; exit 1; }
ninja -C "$root/demo-native" -j"$jobs" TessalyReach >>"$root/demo-native.log" 2>&1 ||
  { tail -20 "$root/demo-native.log"; exit 1; }

export TSL_WINEPREFIX="$root/wineprefix"
args=(--launcher "$root/demo-win/TessalyReach.exe" --maker "$root/demo-native/TessalyReach"
      --client "$root/demo-win/stub_client/Client.exe" --wine "$repo/scripts/wine-run.sh"
      --work "$root/demo")
status=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  python3 "$repo/tests/e2e/demo.py" "${args[@]}" || status=$?
else
  xvfb-run -a -s "-screen 0 1280x1024x24" python3 "$repo/tests/e2e/demo.py" "${args[@]}" || status=$?
fi
WINEPREFIX="$TSL_WINEPREFIX" wineserver -k 2>/dev/null || true
exit $status
