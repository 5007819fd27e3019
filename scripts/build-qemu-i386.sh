#!/usr/bin/env bash
# Builds qemu-i386 (user mode, 32-bit x86 guests only) from Debian's qemu
# source with one change, qemu-i386-thread-gdt.patch: every thread gets its
# own GDT, as Linux keeps the TLS entries per thread. Debian's qemu 7.2 keeps
# one for the whole process, and multithreaded 32-bit programs, Wine among
# them, then mix up their threads (see check-emulated-tls.sh).
#   scripts/build-qemu-i386.sh PREFIX      -> PREFIX/bin/qemu-i386
# Skips all work when PREFIX already holds a build of this recipe. Needs the
# deb-src entries of install-packages.sh; installs its own build packages (root).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
prefix=${1:?usage: build-qemu-i386.sh PREFIX}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
patch_file=$here/qemu-i386-thread-gdt.patch
stamp="$prefix/.complete"
# The patch is part of the recipe: a changed patch rebuilds the cache.
recipe="1 $(sha1sum <"$patch_file" | cut -c1-40)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] && [ -x "$prefix/bin/qemu-i386" ]; then
  echo "build-qemu-i386.sh: cached in $prefix"
  exit 0
fi
started=$(date +%s)
fail() {
  echo "build-qemu-i386.sh: $*" >&2
  exit 1
}

# What the emulator is built with; only this script needs it.
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends libglib2.0-dev meson ninja-build \
  >"$prefix/apt-install.log" 2>&1 || { tail -20 "$prefix/apt-install.log" >&2; fail "installing libglib2.0-dev and meson failed"; }

work="$prefix/.src"
rm -rf "$work" "$stamp"
mkdir -p "$work"
cd "$work"
# The unpacked source carries Debian's patches.
apt-get source qemu >apt-source.log 2>&1 || {
  tail -20 apt-source.log >&2
  fail "apt-get source qemu failed (is deb-src enabled? run scripts/install-packages.sh)"
}
src=$(find . -maxdepth 1 -type d -name 'qemu-*' | head -n1)
[ -n "$src" ] || fail "apt-get source left no qemu-* folder"
patch -d "$src" -p1 --forward <"$patch_file" >patch.log 2>&1 ||
  { cat patch.log >&2; fail "the patch does not apply to $src"; }

mkdir -p "$src/b"
(
  cd "$src/b"
  # Everything optional off: only the emulator of 32-bit x86 programs.
  ../configure --target-list=i386-linux-user --disable-system --disable-tools --disable-docs \
    --without-default-features --disable-werror --disable-install-blobs \
    --with-git-submodules=ignore >configure.log 2>&1 || { tail -40 configure.log >&2; exit 1; }
  ninja -j"$(nproc)" qemu-i386 >build.log 2>&1 || { grep -E 'error|FAILED' build.log | head -40 >&2; exit 1; }
) || fail "building qemu-i386 failed"

mkdir -p "$prefix/bin"
cp "$src/b/qemu-i386" "$prefix/bin/qemu-i386.tmp"
mv -f "$prefix/bin/qemu-i386.tmp" "$prefix/bin/qemu-i386"
"$here/check-emulated-tls.sh" "$prefix/bin/qemu-i386" ||
  fail "the built qemu-i386 still gives a thread another thread's TLS"
cd "$prefix"
rm -rf "$work"
echo "$recipe" >"$stamp"
echo "build-qemu-i386.sh: $prefix/bin/qemu-i386 ($(($(date +%s) - started)) s)"
