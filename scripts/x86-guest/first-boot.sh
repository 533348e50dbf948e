#!/bin/bash
# The emulated PC's first boot, with its disk writable (build-guest.sh):
# configures the 32-bit packages whose maintainer scripts could not run in the
# chroot, and keeps a fresh 32-bit Wine prefix in the image
# (/var/lib/brenvo/win32-prefix), from which the job copies the build tree's
# prefixes: making one takes about a minute here.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
dpkg --configure -a
export WINEARCH=win32 WINEPREFIX=/var/lib/brenvo/win32-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p /var/lib/brenvo
/usr/lib/wine/wine wineboot -i
/usr/lib/wine/wineserver -w
du -sh "$WINEPREFIX"
