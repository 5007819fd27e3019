#!/usr/bin/env bash
# Exit 0 when this machine can execute 32-bit x86 code, which Wine needs for
# a PE32 program. Some virtual machines refuse it (ELF32 gives "Exec format
# error"); there the PE32 build's tests run in an emulated guest
# (scripts/pe32-stage.sh) and the rest as 64-bit builds.
set -u
# A binfmt handler for i386 ELF (qemu-user-static's, say) would make the
# probe below succeed through emulation, under which the PE32 tests take
# hours: only the kernel's own 32-bit support counts.
for handler in /proc/sys/fs/binfmt_misc/*; do
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
