#!/usr/bin/env bash
# Installs what the build, the tests and the run need on Debian 12 (as root):
# both MinGW-w64 toolchains and 64-bit Wine everywhere, and 32-bit Wine
# (wine32:i386) only where this machine runs 32-bit x86 code
# (scripts/wine-support.sh). With --x86-guest, also what builds and boots the
# emulated PC of scripts/test-x86.sh. Does nothing when everything is already
# there.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-support.sh"

packages=(cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64
          xvfb xauth x11-apps imagemagick fonts-noto-cjk googletest clang-14 lld-14 llvm-14
          libunicorn-dev osslsigncode openssl)
[ "${1:-}" = --x86-guest ] && packages+=(qemu-system-x86 debootstrap e2fsprogs)
with_i386=no
if runs_32bit_x86_code; then
  packages+=(wine32:i386)
  with_i386=yes
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}; run this script as root to install them." >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ $with_i386 = yes ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
