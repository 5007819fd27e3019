#!/bin/bash
# Runs inside the PE32 test guest on the one boot that writes to its image
# (build-pe32-guest.sh): makes the two Wine prefixes the tests use, a 32-bit
# one and a 64-bit one where PE32 programs run through WoW64, so that no
# test boot pays for making them.
set -uo pipefail
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0

# step NAME BOUND FUNCTION ARGS...: one line before and after, as the
# stage's steps.
step() {
  local name=$1 bound=$2 began rc
  shift 2
  echo "TSL-GUEST begin $name $bound"
  began=$(date +%s.%N)
  timeout -k 20 "$bound" bash -c "$(declare -f "$1"); \"\$@\"" _ "$@"
  rc=$?
  [ $rc -eq 0 ] || status=1
  echo "TSL-GUEST end $name $([ $rc -eq 0 ] && echo passed || echo "FAILED($rc)")" \
    "$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')"
  return $rc
}

make_prefix() {  # make_prefix FOLDER win32|win64
  local prefix=$1 arch=$2 loader=/usr/lib/wine/wine64
  [ "$arch" = win32 ] && loader=/usr/lib/wine/wine
  rm -rf "$prefix"
  WINEPREFIX=$prefix WINEARCH=$arch "$loader" wineboot -i || return 1
  WINEPREFIX=$prefix wineserver -w
  # Debian's Wine finds the fonts of fonts-wine only in the prefix's Fonts
  # folder; a program started after that takes them into the registry, which
  # would otherwise happen again in every test boot. A 32-bit program also
  # sets up what WoW64 needs in the 64-bit prefix.
  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" || return 1
  WINEPREFIX=$prefix "$loader" cmd /c exit 0 || return 1
  WINEPREFIX=$prefix /usr/lib/wine/wine cmd /c exit 0 || return 1
  WINEPREFIX=$prefix wineserver -w
  [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]
}

# Made with the display the tests have, so that nothing about it is left
# for their first program to set up.
Xvfb :99 -screen 0 1280x1024x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
export DISPLAY=:99
for _ in $(seq 1 300); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done

step prefix-win32 1800 make_prefix /root/pfx32 win32
step prefix-win64 1800 make_prefix /root/pfx64 win64
du -sh /root/pfx32 /root/pfx64
df -h /
sync
exit $status
