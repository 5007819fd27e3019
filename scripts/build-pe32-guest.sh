#!/usr/bin/env bash
# Builds the emulated x86-64 guest that runs the PE32 build's tests
# (scripts/pe32-stage.sh) where this machine refuses 32-bit code: Debian 12
# from Debian's packages only (mmdebstrap into a folder, amd64 with i386
# multiarch, scripts/pe32-guest/packages), Debian's kernel with a small
# initrd, our own init, and an ext4 image in which one boot has made both
# Wine prefixes. The result goes to $TSL_GUEST_CACHE (/var/cache/tessaly-reach)
# in a folder named by the digest of the recipe, and is never changed after.
# Does nothing when that folder is complete.
#
# Root. It mounts only below its work folder (mmdebstrap's /proc, /sys and
# /dev of the chroot) and unmounts them on any exit; it registers no binfmt
# handler, and the guest has no network.
#   build-pe32-guest.sh
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/pe32-guest/common.sh"
say() { echo "build-pe32-guest.sh: $*"; }
fail() { echo "build-pe32-guest.sh: FAILED: $*" >&2; exit 1; }

if pe32_guest_ready; then
  say "the guest is built: $pe32_guest_dir"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || fail "run as root (it builds a Debian tree with mmdebstrap)"
for tool in mmdebstrap qemu-system-x86_64 mkfs.ext4 python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/install-packages.sh"
done

mkdir -p "$pe32_guest_cache"
# One build at a time per cache: a second caller waits and then finds it done.
exec 9>"$pe32_guest_cache/.build.lock"
if ! flock -n 9; then
  say "another build of the guest is running; waiting for it"
  flock 9
fi
if pe32_guest_ready; then
  say "the guest is built: $pe32_guest_dir"
  exit 0
fi

work=$pe32_guest_dir.build
# Mount points below the work folder, deepest first.
mounts_below() {
  awk -v w="$work" '$2 == w || index($2, w "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}
cleanup() {
  local point
  for point in $(mounts_below); do
    umount "$point" 2>/dev/null || umount -l "$point" || echo "build-pe32-guest.sh: could not unmount $point" >&2
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
cleanup # what a killed build left
mkdir -p "$work/xfer/out"

times=$work/build-times.txt
timed() {  # timed NAME COMMAND...
  local name=$1 began
  shift
  began=$(date +%s)
  say "$name ..."
  "$@"
  printf '%-28s %5d s\n' "$name" $(($(date +%s) - began)) | tee -a "$times"
}

# Debian's mirrors as this machine's apt knows them.
mirror=$(apt-cache policy | awk '$3 == "bookworm/main" && $4 == "amd64" { print $2; exit }')
security=$(apt-cache policy | awk '$3 == "bookworm-security/main" && $4 == "amd64" { print $2; exit }')
[ -n "$mirror" ] || fail "no Debian bookworm mirror in this machine's apt sources"
security=${security:-${mirror%/debian}/debian-security}
mapfile -t packages < <(grep -v -e '^#' -e '^$' "$here/pe32-guest/packages")

rootfs=$work/rootfs
tree() {
  # The initrd needs only what finds and mounts the root disk; a small one
  # is made once, when the kernel is installed.
  local setup='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
    printf "MODULES=list\nCOMPRESS=gzip\n" > "$1/etc/initramfs-tools/conf.d/tessaly-guest"
    printf "#!/bin/sh\n[ \"\$1\" = prereqs ] && exit 0\n. /usr/share/initramfs-tools/hook-functions\nforce_load virtio_pci\nforce_load virtio_blk\nforce_load ext4\n" \
      > "$1/etc/initramfs-tools/hooks/tessaly-guest"
    chmod 755 "$1/etc/initramfs-tools/hooks/tessaly-guest"'
  mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
    --aptopt='APT::Install-Recommends "false"' --aptopt='Acquire::Retries "3"' \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --setup-hook="$setup" \
    bookworm "$rootfs" "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb $security bookworm-security main"
}
timed "packages (mmdebstrap)" tree

settle() {
  install -m 755 "$here/pe32-guest/init" "$rootfs/sbin/tessaly-guest-init"
  echo pe32-guest >"$rootfs/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 pe32-guest\n' >"$rootfs/etc/hosts"
  : >"$rootfs/etc/resolv.conf"
  printf '/dev/vda / ext4 rw,noatime 0 1\n' >"$rootfs/etc/fstab"
  # nginx's workers run as nobody and serve folders below /root.
  chmod 755 "$rootfs/root"
  rm -rf "$rootfs"/var/lib/apt/lists/* "$rootfs"/var/cache/apt/*
  cp "$rootfs"/boot/vmlinuz-* "$work/vmlinuz"
  cp "$rootfs"/boot/initrd.img-* "$work/initrd.img"
  # 12 GiB, sparse: the PE32 unit tests write a file of more than 2 GiB.
  mkfs.ext4 -q -F -L pe32-guest -E lazy_itable_init=0,lazy_journal_init=0 -d "$rootfs" "$work/root.img" 12G
  rm -rf "$rootfs"
}
timed "image" settle

prefixes() {
  install -m 755 "$here/pe32-guest/prepare.sh" "$work/xfer/guest-run.sh"
  nice -n 19 python3 "$here/pe32-guest/boot.py" --guest "$work" --xfer "$work/xfer" --write \
    --log "$work/prepare-console.log" --bound 5400 --label "  guest"
}
timed "Wine prefixes (one boot)" prefixes
rm -rf "$work/xfer"

du_image=$(du -k "$work/root.img" | cut -f1)
printf 'image: %s MiB allocated of a %s GiB file\n' $((du_image / 1024)) \
  $(($(stat -c %s "$work/root.img") >> 30)) | tee -a "$times"
cp "$here/pe32-guest/packages" "$work/packages"
date -u +%FT%TZ >"$work/ready"
mv "$work" "$pe32_guest_dir"
say "the guest is built: $pe32_guest_dir"
