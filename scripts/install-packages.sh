#!/usr/bin/env bash
# Installs what the build, the tests and the run need on Debian 12 (as root).
# Does nothing when everything is already there.
set -euo pipefail

packages=(cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
          xvfb xauth x11-apps imagemagick fonts-noto-cjk googletest clang-14 lld-14 llvm-14)

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
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
