#!/usr/bin/env bash
# Installs what the build, the tests and the run need on Debian 12: both
# MinGW-w64 toolchains and 64-bit Wine everywhere, and 32-bit Wine
# (wine32:i386) only where this machine runs 32-bit x86 code
# (scripts/wine-support.sh). With --guest, also what builds and boots the
# emulated PC of scripts/test-x86.sh and scripts/test-devices.sh. Does nothing when everything is already
# there. Installing needs root: run as root it installs directly; run as
# another user it installs through sudo (which asks for that user's password),
# or, without sudo, says what to run as root.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-support.sh"

# fonts-wine is only recommended by Wine, and recommendations are not
# installed: without its Marlett font the title bar's buttons show as letters.
# x11-utils gives xdpyinfo, with which scripts/run.sh checks the display.
packages=(cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 fonts-wine
          xvfb xauth x11-apps x11-utils imagemagick fonts-noto-cjk googletest libgtest-dev clang-14 lld-14 llvm-14
          libunicorn-dev osslsigncode openssl)
[ "${1:-}" = --guest ] && packages+=(qemu-system-x86 debootstrap e2fsprogs)
with_i386=no
if runs_32bit_x86_code && ! wine32_lately_unavailable; then
  packages+=(wine32:i386)
  with_i386=yes
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Says what to run as root when this user cannot install, and stops.
needs_root() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Installing them needs root, and $1. Run this as root once:" >&2
  echo "    su -c '$here/install-packages.sh${arguments}'" >&2
  echo "then run the script you started again as yourself ($(id -un))." >&2
  exit 1
}
arguments=${1:+ $1}

# The commands that install run as root: directly when this is root, else
# through sudo.
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || needs_root "sudo is not installed"
  echo "Installing ${#missing[@]} Debian packages for the build, the tests and the run, with sudo"
  echo "(it asks for $(id -un)'s password): ${missing[*]}"
  sudo -v || needs_root "sudo does not let $(id -un) do it"
  as_root=(sudo)
else
  echo "Installing ${#missing[@]} Debian packages for the build, the tests and the run: ${missing[*]}"
fi
if [ $with_i386 = yes ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || "${as_root[@]}" dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails an update now and then: try again, and in
# the end install from whatever lists did arrive.
for attempt in 1 2 3; do
  "${as_root[@]}" apt-get update -q && break
  [ $attempt = 3 ] || { echo "apt-get update failed; trying again in 10 s" >&2; sleep 10; }
done
install() { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"; }
# 32-bit Wine last and on its own: its i386 libraries must match the versions
# of their amd64 twins, and a mirror whose i386 lists lag the amd64 ones (or
# fail to arrive) cannot give them. Everything else is still installed, and
# the x86 suite then runs where no i386 package is needed: in the emulated PC
# of scripts/test-x86.sh, as on a machine that runs 64-bit code only.
others=()
for package in "${missing[@]}"; do
  [ "$package" = wine32:i386 ] || others+=("$package")
done
[ ${#others[@]} -eq 0 ] || install "${others[@]}"
if [ ${#others[@]} -lt ${#missing[@]} ] && ! install wine32:i386; then
  "${as_root[@]}" touch "$wine32_unavailable_marker"
  echo "NOTE: 32-bit Wine (wine32:i386) cannot be installed from this machine's package lists now (apt said why, above)." >&2
  echo "  The x86 suite runs in an emulated PC instead (scripts/test-x86.sh); this is tried again in an hour." >&2
fi
