#!/usr/bin/env bash
# Makes the build tree's private Wine prefix ready: a prefix of the tree's
# architecture (win32 or win64, scripts/wine-env.sh) without
# Mono/Gecko prompts, CJK font links for the Chinese captions, 96 dpi, and the
# freshly built stand-in driver installed as a kernel service that starts with
# the prefix.
# Safe to run again: it only redoes what is missing or out of date.
set -euo pipefail
build=$(cd "${1:?usage: prepare-prefix.sh BUILD_DIR}" && pwd)
export TELDO_BUILD_DIR=$build
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if ! why_not=$(wine_runs_here "$WINEARCH" 2>&1); then
  echo "No $WINEARCH Wine prefix for $build: $why_not" >&2
  exit 0
fi

# wineserver stays up between the many short Wine runs of a test session.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 60 2>/dev/null || true  # already running is fine

reg() { wine reg add "$@" /f >/dev/null 2>&1; }
fontlink='NotoSansCJK-Regular.ttc,Noto Sans CJK SC'
for face in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif'; do
  reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d "$fontlink"
done
reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${TELDO_DPI:-96}"

# The stand-in driver: replace the binary if it changed, then (re)start it.
sys="$build/bin/teldo.sys"
installed="$WINEPREFIX/drive_c/windows/system32/drivers/teldo.sys"
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }
if ! cmp -s "$sys" "$installed"; then
  sc stop TELDO >/dev/null || true
  cp "$sys" "$installed"
fi
if ! sc query TELDO | grep -q 'TELDO'; then
  sc create TELDO type= kernel start= auto 'binPath=' 'C:\windows\system32\drivers\teldo.sys' >/dev/null
fi
# Started with the prefix (2, automatic), so that the device is there whenever
# Wine starts; set directly, as Wine's sc has no "config".
reg 'HKLM\System\CurrentControlSet\Services\TELDO' /v Start /t REG_DWORD /d 2
if ! sc query TELDO | grep -q RUNNING; then
  sc start TELDO >/dev/null || true
fi
sc query TELDO | grep -q RUNNING || { echo "The stand-in driver did not start" >&2; exit 1; }
echo "Wine prefix ready with the stand-in driver running: $WINEPREFIX"
