#!/usr/bin/env bash
# Builds the emulated PC in which scripts/test-x86.sh runs the x86 suite under
# 32-bit Wine (on machines that run 64-bit code only) and scripts/test-devices.sh
# runs the x64 driver against QEMU's serial and parallel ports under 64-bit
# Wine, and prints the folder that holds it (kernel, initrd, disk image). One
# PC serves both: a Debian 12 amd64 guest, 32-bit and 64-bit Wine side by side,
# made from Debian's packages alone: debootstrap, then the kernel, Wine, a
# virtual display, the CJK fonts and what the x86 suite's own scripts call
# (CTest, and the MinGW and clang tools with which package_sdk_test builds the
# kit's example). A first boot finishes the 32-bit maintainer scripts (which
# fail with "Exec format error" in the chroot where the host cannot run 32-bit
# code) and keeps a fresh 32-bit and a fresh 64-bit Wine prefix in the image.
# Built once, cached outside the checkout under a hash of this folder's recipe
# files: a changed recipe builds a new guest and removes the old one.
# Usage: build-guest.sh   (as root)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
key=$(cat "$here/build-guest.sh" "$here/packages" "$here/init" "$here/first-boot.sh" | sha256sum | cut -c1-16)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/brenvo-guest
guest=$cache/$key
[ -f "$guest/ready" ] && { echo "$guest"; exit 0; }

exec 3>&1 1>&2  # progress on stderr; stdout names the guest
"$here/../install-packages.sh" --guest
echo "Building the emulated test PC in $guest (once; about 10 minutes)"
rm -rf "$cache"
mkdir -p "$guest"
tree=$guest/tree
cleanup() {
  local mount
  for mount in dev/pts dev proc sys; do
    mountpoint -q "$tree/$mount" && umount "$tree/$mount"
  done
  return 0
}
trap cleanup EXIT

debootstrap --variant=minbase --arch=amd64 bookworm "$tree"
# No service may start inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
chmod +x "$tree/usr/sbin/policy-rc.d"
for mount in dev dev/pts proc sys; do
  mount --bind "/$mount" "$tree/$mount"
done
in_guest() { chroot "$tree" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
in_guest dpkg --add-architecture i386
in_guest apt-get update -q
# The i386 maintainer scripts cannot run where the host runs 64-bit code
# only, and apt may stop at the first that fails. So every package is
# downloaded first and kept: the first boot, which has no network, completes
# the install from them and then empties the cache.
mapfile -t packages < <(tr -s ' ' '\n' <"$here/packages" | grep .)
in_guest apt-get install -y -q --no-install-recommends --download-only "${packages[@]}"
in_guest apt-get install -y -q --no-install-recommends "${packages[@]}" ||
  echo "Some maintainer scripts failed in the chroot; the first boot completes the install"
cleanup

install -m 755 "$here/init" "$tree/sbin/brenvo-init"
cp "$tree"/boot/vmlinuz-* "$guest/vmlinuz"
cp "$tree"/boot/initrd.img-* "$guest/initrd.img"
mke2fs -q -t ext4 -L brenvo-guest -d "$tree" "$guest/disk.img" 8G
rm -rf "$tree"

# The first boot writes into the image itself; every later boot only reads it.
"$here/boot.sh" "$guest" --writable --share "$here" "$here/first-boot.sh" "$here/packages"
touch "$guest/ready"
echo "The emulated test PC is ready: $(du -sh "$guest" | cut -f1) in $guest"
echo "$guest" >&3
