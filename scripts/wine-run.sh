#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix (WINEPREFIX
# or TSL_WINEPREFIX). CMake uses it as CMAKE_CROSSCOMPILING_EMULATOR.
# 64-bit programs run on wine64; 32-bit ones need a machine that can execute
# 32-bit code (see scripts/can-run-win32.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-${TSL_WINEPREFIX:-$here/build/wineprefix}}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
program=${1:?usage: wine-run.sh program.exe [args]}
loader=/usr/lib/wine/wine64
if file -L "$program" 2>/dev/null | grep -q 'PE32 executable'; then
  loader=/usr/lib/wine/wine
fi
# A set-up that broke off (seen once on a loaded machine) leaves the registry
# without the system DLLs, and every program after it fails to start: the
# prefix counts as ready only with its kernel32, and is updated until then.
ready="$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
for _ in 1 2 3; do
  [ -f "$ready" ] && break
  mkdir -p "$WINEPREFIX"
  mode=-i
  if [ -f "$WINEPREFIX/system.reg" ]; then
    # Wine updates a prefix only when this stamp is not its own.
    rm -f "$WINEPREFIX/.update-timestamp"
    mode=-u
  fi
  WINEARCH=win64 "$loader" wineboot $mode >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
done
# Debian's Wine does not load the fonts of fonts-wine (Tahoma and the rest)
# from its data directory; in the prefix's Fonts folder it finds them.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] && [ ! -f "$fonts/tahoma.ttf" ]; then
  for font in /usr/share/wine/fonts/*.ttf; do  # whole files only: other runs may start meanwhile
    cp "$font" "$fonts/.$$.tmp" 2>/dev/null && mv -f "$fonts/.$$.tmp" "$fonts/$(basename "$font")"
  done
fi
exec "$loader" "$@"
