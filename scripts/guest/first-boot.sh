#!/bin/bash
# The emulated PC's first boot, with its disk writable (build-guest.sh):
# configures the 32-bit packages whose maintainer scripts could not run in the
# chroot and installs any the chroot's install did not reach, and keeps a fresh 32-bit Wine prefix in the image
# (/var/lib/brenvo/win32-prefix), from which the job copies the build tree's
# prefixes: making one takes about a minute here. A fresh 64-bit prefix
# beside it (/var/lib/brenvo/win64-prefix) is where the win32 teldo.exe runs
# under WOW64 (tests/package/wow64_check.sh).
# Usage: first-boot.sh PACKAGE_LIST
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --configure -a
# Whatever the chroot's install did not reach, from the downloaded packages.
mapfile -t packages < <(tr -s ' ' '\n' <"$1" | grep .)
apt-get install -y -q --no-install-recommends --no-download "${packages[@]}"
apt-get clean
rm -rf /var/lib/apt/lists/*
export WINEARCH=win32 WINEPREFIX=/var/lib/brenvo/win32-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p /var/lib/brenvo
/usr/lib/wine/wine wineboot -i
/usr/lib/wine/wineserver -w
du -sh "$WINEPREFIX"
WINEARCH=win64 WINEPREFIX=/var/lib/brenvo/win64-prefix /usr/lib/wine/wine64 wineboot -i
WINEPREFIX=/var/lib/brenvo/win64-prefix /usr/lib/wine/wineserver -w
du -sh /var/lib/brenvo/win64-prefix
