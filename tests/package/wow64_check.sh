#!/usr/bin/env bash
# The win32 package's teldo.exe on 64-bit Windows. In a 64-bit Wine prefix a
# 32-bit program runs under WOW64, where System32 is SysWOW64 unless the
# program turns the redirection off. With the win64 package's driver
# installed by the win64 package's teldo.exe:
#   - status from the win32 teldo.exe finds that driver in the real
#     System32\drivers (its version, running), not "missing";
#   - remove and install from the win32 teldo.exe refuse, naming the win64
#     package, and change nothing;
#   - so does cards, whose calls Windows 8 and later answer only for the
#     win64 package's teldo.exe.
# Needs 32-bit and 64-bit Wine. Ends its prefix's wineserver; removes WORK_DIR
# after a pass.
# Usage: wow64_check.sh WIN32_ZIP WIN64_ZIP WORK_DIR [FRESH_WIN64_PREFIX]
set -euo pipefail
win32_zip=$(realpath "${1:?usage: wow64_check.sh WIN32_ZIP WIN64_ZIP WORK_DIR [FRESH_WIN64_PREFIX]}")
win64_zip=$(realpath "${2:?}")
work=${3:?}
fresh=${4:-}

export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
[ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; }
rm -rf "$work"
mkdir -p "$work"
trap 'wineserver -k 2>/dev/null || true' EXIT
(cd "$work" && cmake -E tar xf "$win32_zip" && cmake -E tar xf "$win64_zip")
win32=$work/$(basename "$win32_zip" .zip)
win64=$work/$(basename "$win64_zip" .zip)

if [ -f "$fresh/system.reg" ]; then
  cp -a "$fresh/." "$WINEPREFIX"
else
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  wineserver -w
fi

source "$(dirname "${BASH_SOURCE[0]}")/teldo_runs.sh"
# ARCH TEXT EXIT ARGUMENTS...: that package's teldo.exe must end with EXIT
# and say TEXT.
expect() {
  local folder=$win32 loader=/usr/lib/wine/wine
  [ "$1" = win64 ] && folder=$win64 loader=/usr/lib/wine/wine64
  expect_teldo "WOW64: the $1 teldo.exe" "$3" "$2" "$folder" "$loader" "${@:4}"
}
service_key='HKLM\SYSTEM\CurrentControlSet\Services\TELDO'
registry() { /usr/lib/wine/wine64 reg query "$service_key" /s 2>&1 | tr -d '\r'; }

expect win64 "installed and running: simulated bus" 0 driver install
expect win32 "Driver:  installed, version 1.1" 0 driver status
expect win32 "Service: running" 0 driver status
before=$(registry)
expect win32 "use the win64 package's teldo.exe" 1 driver remove
expect win32 "use the win64 package" 1 driver install
expect win32 "use the win64 package: its teldo.exe reads the devices' ports" 1 cards
[ "$(registry)" = "$before" ] || { echo "WOW64: a refused remove or install changed the service key" >&2; exit 1; }
[ -f "$WINEPREFIX/drive_c/windows/system32/drivers/teldo.sys" ] ||
  { echo "WOW64: a refused remove deleted the driver" >&2; exit 1; }
expect win64 "removed" 0 driver remove
echo "WOW64: the win32 teldo.exe's status sees the win64 driver; its remove, install and cards refuse"
trap - EXIT
wineserver -k 2>/dev/null || true
rm -rf "$work"
