#!/usr/bin/env bash
# Exit 0 when this machine can execute 32-bit x86 code, which Wine needs for
# a PE32 program. Some virtual machines refuse it (ELF32 gives "Exec format
# error"); there the Windows programs are tested as 64-bit builds.
#   can-run-win32.sh [--emulated]   (--emulated: through a binfmt handler too)
set -u
emulated_ok=0
[ "${1:-}" = --emulated ] && emulated_ok=1
# A binfmt handler for i386 ELF (qemu-user, say; one left by a run that was
# killed) would make the probe below succeed through emulation, under which
# the PE32 tests take hours: only the kernel's own 32-bit support counts.
for handler in /proc/sys/fs/binfmt_misc/*; do
  [ $emulated_ok = 1 ] && break
  [ -f "$handler" ] || continue
  case $(basename "$handler") in register | status) continue ;; esac
  grep -qx enabled "$handler" 2>/dev/null || continue
  grep -q '^magic 7f454c4601....00000000000000000002000300' "$handler" 2>/dev/null && exit 1
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1,%%eax\n movl $0,%%ebx\n int $0x80\n' >"$dir/t.s"
as --32 "$dir/t.s" -o "$dir/t.o" 2>/dev/null && ld -m elf_i386 "$dir/t.o" -o "$dir/t" 2>/dev/null || exit 1
"$dir/t" 2>/dev/null
