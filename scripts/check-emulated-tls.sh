#!/usr/bin/env bash
# Exit 0 when EMULATOR (a qemu-i386) keeps each thread's own TLS segment
# across a signal, 1 when it does not, 2 when the check cannot be built.
#   scripts/check-emulated-tls.sh EMULATOR
# Linux keeps the TLS entries of the GDT per thread. qemu-user 7.2 keeps one
# GDT for the whole process, so %gs, reloaded when a signal handler returns,
# takes the base of the thread created last: two threads then share one
# thread pointer (errno, malloc caches, the owner of ld.so's lock) and a
# multithreaded Wine process breaks, for instance with "Inconsistency
# detected by ld.so: dl-open.c ... RT_CONSISTENT".
# The probe: the main thread sets its TLS, starts a second thread with
# another TLS, takes a signal and reads %gs:0 afterwards.
set -u
emulator=${1:?usage: check-emulated-tls.sh EMULATOR}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/tls.s" <<'EOF'
.data
main_desc:  .long -1, main_tls, 0xfffff, 0x51   # any free entry; 32-bit, pages, usable
child_desc: .long 0, child_tls, 0xfffff, 0x51
main_tls:   .long 0x11111111
child_tls:  .long 0x22222222
usr1:       .long handler, 0x04000004, restorer, 0, 0   # SA_RESTORER | SA_SIGINFO
pause_ts:   .long 0, 100000000
.bss
.align 16
            .space 8192
child_stack:
.text
.globl _start
_start:
  mov $243, %eax; mov $main_desc, %ebx; int $0x80          # set_thread_area
  test %eax, %eax; jnz broken
  mov main_desc, %eax; mov %eax, child_desc                 # the entry the kernel chose
  shl $3, %eax; or $3, %eax; mov %ax, %gs
  mov $120, %eax; mov $0xd0f00, %ebx; mov $child_stack, %ecx  # clone a thread, CLONE_SETTLS
  xor %edx, %edx; mov $child_desc, %esi; xor %edi, %edi; int $0x80
  test %eax, %eax; jz child
  mov $162, %eax; mov $pause_ts, %ebx; xor %ecx, %ecx; int $0x80   # let it start
  mov $174, %eax; mov $10, %ebx; mov $usr1, %ecx; xor %edx, %edx; mov $8, %esi; int $0x80
  mov $20, %eax; int $0x80; mov %eax, %ebx                  # tgkill(getpid(), gettid(), SIGUSR1)
  mov $224, %eax; int $0x80; mov %eax, %ecx
  mov $270, %eax; mov $10, %edx; int $0x80
  mov %gs:0, %eax; cmp $0x11111111, %eax; jne mixed
  xor %ebx, %ebx; jmp leave
child:
  mov $29, %eax; int $0x80; jmp child                       # pause for ever
handler:
  ret
restorer:
  mov $173, %eax; int $0x80                                 # rt_sigreturn
broken:
  mov $2, %ebx; jmp leave
mixed:
  mov $1, %ebx
leave:
  mov $252, %eax; int $0x80                                 # exit_group
EOF
as --32 "$dir/tls.s" -o "$dir/tls.o" 2>"$dir/log" && ld -m elf_i386 "$dir/tls.o" -o "$dir/tls" 2>>"$dir/log" ||
  { cat "$dir/log" >&2; exit 2; }
timeout 30 "$emulator" "$dir/tls" 2>/dev/null
case $? in
  0) exit 0 ;;
  1) exit 1 ;;
  *) exit 2 ;;
esac
