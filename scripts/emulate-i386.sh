#!/usr/bin/env bash
# Runs one command while this machine executes 32-bit x86 programs through
# qemu-user, for kernels that refuse 32-bit code: registers a binfmt handler
# for i386 ELF, makes a Wine prefix for PE32 programs ready once (reused while
# its stamp matches the installed Wine), runs the command with WINEPREFIX
# pointing at it and removes the handler again when the command ends, fails or
# is stopped. binfmt_misc is mounted only for the run and only when it was not
# mounted. TSL_EMULATED_WINEARCH chooses the prefix: win64 (default; Wine's
# services run natively and PE32 programs through WoW64, as on most players'
# machines; made in about 5 minutes here) or win32 (a 32-bit Windows whose
# every service is emulated too; about 10 minutes and more per start).
#
#   scripts/emulate-i386.sh [--check] PREFIX [COMMAND [ARGS...]]
#
# --check only tells (exit 0 or 125) whether emulation works here, leaving the
# prefix alone. TSL_QEMU_I386 names the emulator (default: qemu-i386-static);
# it must keep each thread's TLS apart (scripts/check-emulated-tls.sh), which
# Debian's qemu 7.2 does not and scripts/build-qemu-i386.sh's build does. Every step prints what it cost in seconds. Exit status: the
# command's, or 125 when emulation is not possible here (one line says why).
# Needs root for the handler. Nothing else may rely on the handler: while it is
# registered every 32-bit program on the machine, Wine's helpers included,
# runs under the emulator.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
check_only=0
if [ "${1:-}" = --check ]; then
  check_only=1
  shift
fi
prefix=${1:?usage: emulate-i386.sh [--check] PREFIX [COMMAND [ARGS...]]}
shift
prefix=$(realpath -m "$prefix")  # Wine takes absolute prefixes only

say() { printf 'emulate-i386: %s\n' "$*" >&2; }
impossible() {
  say "no 32-bit emulation here: $*"
  exit 125
}
seconds_since() { echo $(($(date +%s) - $1)); }

emulator=${TSL_QEMU_I386:-$(command -v qemu-i386-static || true)}
[ -n "$emulator" ] || impossible "qemu-i386-static is not installed"
[ -x "$emulator" ] || impossible "$emulator is not an executable"
# The kernel names the emulator itself as the exe of every emulated process.
emulator=$(realpath "$emulator")
[ "$(id -u)" -eq 0 ] || impossible "registering a binfmt handler needs root"
tls=0
"$here/check-emulated-tls.sh" "$emulator" || tls=$?
case $tls in
  0) ;;
  1) impossible "$emulator gives a thread another thread's TLS after a signal (scripts/build-qemu-i386.sh builds one that does not)" ;;
  *) impossible "could not check how $emulator keeps threads' TLS" ;;
esac
[ -x /usr/lib/wine/wine ] || impossible "no 32-bit Wine loader (/usr/lib/wine/wine)"

binfmt=/proc/sys/fs/binfmt_misc
handler=tessaly-i386
mounted_here=0
registered_here=0

# Ends what this run started in the emulated prefix, then puts the machine
# back as it was. Runs on every exit, also after a failure or a signal.
restore() {
  local status=$?
  trap - EXIT INT TERM HUP
  local p pid
  for p in "$prefix" "$prefix.making"; do
    [ -d "$p" ] && { WINEPREFIX=$p timeout 60 wineserver -k >/dev/null 2>&1 || true; }
  done
  # An emulated process that had not reached the server yet outlives it.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$emulator" ] || continue
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null |
      grep -qxE "WINEPREFIX=($prefix|$prefix\.making)"; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  if [ $registered_here = 1 ] && [ -e "$binfmt/$handler" ]; then
    echo -1 >"$binfmt/$handler" || say "could not remove the binfmt handler $binfmt/$handler"
  fi
  if [ $mounted_here = 1 ]; then
    umount "$binfmt" || say "could not unmount $binfmt"
  fi
  exit $status
}
trap restore EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

started=$(date +%s)
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || impossible "binfmt_misc cannot be mounted"
  mounted_here=1
fi
# A handler of this name outlives a run that was killed (SIGKILL runs no
# trap); it is this script's own, so it goes and this run's takes its place.
if [ -e "$binfmt/$handler" ]; then
  echo -1 >"$binfmt/$handler" 2>/dev/null || impossible "a stale $binfmt/$handler cannot be removed"
  say "removed the handler a killed run left behind"
fi
if [ ! -e "$binfmt/$handler" ]; then
  # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386).
  # "F" opens the emulator now, so it is found from any mount namespace.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':%s:M::%s:%s:%s:F\n' "$handler" "$magic" "$mask" "$emulator" >"$binfmt/register" 2>/dev/null ||
    impossible "the kernel refused the binfmt handler"
  registered_here=1
fi
"$here/can-run-win32.sh" --emulated || impossible "a 32-bit ELF program does not run under $emulator"
say "handler registered, a 32-bit program runs ($(seconds_since "$started") s)"

export WINEPREFIX=$prefix TSL_WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
stamp="$prefix/.emulated-prefix"
# win32: a 32-bit Windows, every Wine service emulated too. win64: a 64-bit
# Windows whose own services run natively, the PE32 programs through WoW64.
arch=${TSL_EMULATED_WINEARCH:-win64}
case $arch in
  win32) boot_loader=/usr/lib/wine/wine ;;
  win64) boot_loader=/usr/lib/wine/wine64 ;;
  *) say "TSL_EMULATED_WINEARCH must be win32 or win64, not $arch"; exit 2 ;;
esac
want="$arch $(/usr/lib/wine/wine --version 2>/dev/null || echo unknown)"

if [ $check_only = 1 ]; then
  say "emulation works"
  exit 0
fi

if [ -e "$prefix" ] && [ ! -f "$stamp" ]; then
  say "$prefix exists and is not a prefix this script made; not touching it"
  exit 2
fi
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  # Made beside the place it goes and moved there whole, so an interrupted
  # start never leaves a half-made prefix that later runs would trust.
  fresh="$prefix.making"
  rm -rf "$fresh"
  mkdir -p "$(dirname "$prefix")"
  step=$(date +%s)
  WINEPREFIX=$fresh WINEARCH=$arch "$boot_loader" wineboot -i >"$prefix.making.log" 2>&1 ||
    { tail -20 "$prefix.making.log" >&2; impossible "wineboot could not make a $arch prefix"; }
  say "wineboot made the prefix ($(seconds_since "$step") s)"
  step=$(date +%s)
  # Its services take their time to end under the emulator; they are not
  # needed once the prefix is written.
  WINEPREFIX=$fresh timeout 180 wineserver -w >/dev/null 2>&1 || true
  WINEPREFIX=$fresh timeout 60 wineserver -k >/dev/null 2>&1 || true
  say "Wine's services ended ($(seconds_since "$step") s)"
  [ -f "$fresh/system.reg" ] || impossible "wineboot left no registry in the prefix"
  echo "$want" >"$fresh/.emulated-prefix"
  rm -rf "$prefix"
  mv "$fresh" "$prefix"
  say "$arch prefix ready in $prefix ($(seconds_since "$started") s in all)"
else
  say "$arch prefix reused from $prefix"
fi

[ $# -gt 0 ] || exit 0
# Wine ends its service processes with the last program unless the server
# stays; under the emulator each of them takes about a minute to start again.
# The trap above ends the server.
"$here/keep-wineserver.sh"
step=$(date +%s)
set +e
"$@"
status=$?
set -e
say "$(basename "$1") ended with $status ($(seconds_since "$step") s)"
exit $status
