#!/usr/bin/env bash
# Makes a private Wine prefix of the build tree ready (TELDO_PREFIX names it,
# default wineprefix; the soak test has one of its own): a prefix of the
# tree's architecture (win32 or win64, scripts/wine-env.sh) without Mono/Gecko
# prompts, with the project's settings (scripts/prefix-settings.sh) and the
# freshly built TELDO port driver installed as a kernel service that starts
# with the prefix, in its simulated mode (no Parameters\Ports) and with its
# diagnostic device turned on. It needs only the tree's teldo.sys built.
# Safe to run again: it only redoes what is missing or out of date.
# Usage: prepare-prefix.sh BUILD_DIR
set -euo pipefail
# A step that fails ends the script (set -e): say which, rather than end
# without a word and leave the build's caller guessing.
trap 'echo "prepare-prefix.sh: the command at line $LINENO failed (exit $?) for ${WINEPREFIX:-its prefix}" >&2' ERR
build=$(cd "${1:?usage: prepare-prefix.sh BUILD_DIR}" && pwd)
export TELDO_BUILD_DIR=$build
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/prefix-settings.sh"
if ! why_not=$(wine_runs_here "$WINEARCH" 2>&1); then
  echo "No $WINEARCH Wine prefix for $build: $why_not" >&2
  exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  copy_fresh_prefix "$build" "$WINEPREFIX"
fi
# wineserver stays up between the many short Wine runs of a session.
wineserver -p 60 2>/dev/null || true  # already running is fine

apply_prefix_settings

# The TELDO port driver: replace the binary if it changed, then (re)start it.
sys="$build/bin/teldo.sys"
installed="$WINEPREFIX/drive_c/windows/system32/drivers/teldo.sys"
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }
stop_driver() {
  sc query TELDO | grep -q RUNNING || return 0  # stopped, or not installed yet
  sc stop TELDO >/dev/null || true
  local _
  for _ in $(seq 100); do sc query TELDO | grep -q STOPPED && return 0; sleep 0.1; done
}
if ! cmp -s "$sys" "$installed"; then
  stop_driver
  cp "$sys" "$installed"
fi
if ! sc query TELDO | grep -q 'TELDO'; then
  sc create TELDO type= kernel start= auto 'binPath=' 'C:\windows\system32\drivers\teldo.sys' >/dev/null
fi
# Started with the prefix (2, automatic), so that the device is there whenever
# Wine starts; set directly, as Wine's sc has no "config".
prefix_reg 'HKLM\System\CurrentControlSet\Services\TELDO' /v Start /t REG_DWORD /d 2
# The tests read what reached the driver through its diagnostic device: turn
# it on, and restart a driver that started without it.
if ! driver_diagnostics_on; then
  turn_on_driver_diagnostics
  stop_driver
fi
if ! sc query TELDO | grep -q RUNNING; then
  sc start TELDO >/dev/null || true
fi
sc query TELDO | grep -q RUNNING || { echo "The TELDO port driver did not start" >&2; exit 1; }
echo "Wine prefix ready with the TELDO port driver running: $WINEPREFIX"
