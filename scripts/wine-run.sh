#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# CMake uses it as CMAKE_CROSSCOMPILING_EMULATOR. WINEPREFIX may be preset.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-${TSL_WINEPREFIX:-$here/build/wineprefix}}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$@"
