#!/usr/bin/env bash
# The bench package as an engineer gets it: unpacks the zip into a fresh
# directory with a Wine prefix of its own, installs the TELDO port driver
# from the unpacked folder as a kernel service (its simulated mode: no
# Parameters\Ports) with its diagnostic device turned on, and runs
# TEST_PROGRAM against the packaged programs (BRENVO_PACKAGE_DIR names the
# folder). Never touches the build tree's prefix, and ends its own prefix's
# wineserver whatever happens.
# The work directory is removed after a pass and kept for a look after a
# failure.
# NATIVE_STEP, when given, is a script run with the unpacked folder before
# anything needs Wine, so that it runs, and must pass, also where Wine cannot.
# With TELDO_CARDS_STANDIN_DLL naming the stand-in for SETUPAPI and CFGMGR32,
# it runs "teldo cards" over that first (cards_checks.sh).
# With TELDO_SETUP_CHECKS=1 it first takes teldo.exe's driver set-up through
# its states (driver_setup_checks.sh); either way the driver is then
# installed with "teldo driver install", as the administrator's guide says.
# WINEARCH (win32 or win64) names the package's architecture;
# TELDO_FRESH_PREFIX, when set, a fresh prefix of it to start from.
# Usage: package_test.sh ZIP TEST_PROGRAM WORK_DIR [NATIVE_STEP]
set -eEuo pipefail
# A step that fails names itself: most of them are Wine commands whose own
# output goes nowhere.
trap 'echo "package_test.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
: "${WINEARCH:?WINEARCH must name the architecture of the package}"
zip=$(realpath "${1:?usage: package_test.sh ZIP TEST_PROGRAM WORK_DIR}")
test_program=$(realpath "${2:?}")
work=${3:?}
native_step=${4:+$(realpath "$4")}

# Windows need a display: use a virtual one when there is none.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

source "$(dirname "$0")/../../scripts/wine-support.sh"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEARCH
export WINEDLLOVERRIDES="mscoree=;mshtml="
[ -d "$WINEPREFIX" ] && { wineserver -k 2>/dev/null || true; }  # left from an aborted run
rm -rf "$work"
mkdir -p "$work"
trap 'status=$?; wineserver -k 2>/dev/null || true; [ $status -eq 0 ] || echo "package_test.sh: ends with status $status" >&2' EXIT
trap 'echo "package_test.sh: stopped by a signal" >&2; exit 143' TERM INT  # a timeout ends the prefix too

(cd "$work" && cmake -E tar xf "$zip")
package=$work/$(basename "$zip" .zip)
for file in Brenvo.exe TELDO.dll OPERATORS-GUIDE.txt driver/teldo.sys \
            driver/README.txt; do
  [ -f "$package/$file" ] || { echo "The package lacks $file" >&2; exit 1; }
done

if [ -n "$native_step" ]; then
  bash "$native_step" "$package"
fi

wine_runs_here "$WINEARCH" || exit $wine_unsupported_exit_code
use_wine_loader "$WINEARCH"

# With TELDO_CARDS_STANDIN_DLL set, first "teldo cards" over that stand-in's
# devices, in a prefix of its own (cards_checks.sh).
if [ -n "${TELDO_CARDS_STANDIN_DLL:-}" ]; then
  source "$(dirname "$0")/cards_checks.sh"
fi

# A copy of the build tree's fresh prefix (TELDO_FRESH_PREFIX), which Wine
# made and nothing has run in, is as fresh as a new one and takes a second
# instead of a quarter of a minute.
if [ -f "${TELDO_FRESH_PREFIX:-}/system.reg" ]; then
  echo "Copying the fresh $WINEARCH Wine prefix $TELDO_FRESH_PREFIX to $WINEPREFIX"
  copy_prefix "$TELDO_FRESH_PREFIX/." "$WINEPREFIX"
else
  echo "Creating a fresh $WINEARCH Wine prefix in $WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 60
source "$(dirname "$0")/../../scripts/prefix-settings.sh"
apply_prefix_settings

sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }
if [ "${TELDO_SETUP_CHECKS:-}" = 1 ]; then
  source "$(dirname "$0")/driver_setup_checks.sh"
fi
# The tests read what reached the driver: its note tells the administrator
# how to turn its diagnostic device on, and this is that. Then the install
# the driver's guide leads with, from the package's folder.
turn_on_driver_diagnostics
(cd "$package" && wine teldo.exe driver install >/dev/null 2>&1) ||
  { echo "teldo driver install failed" >&2; exit 1; }
sc query TELDO | grep -q RUNNING || { echo "The packaged TELDO port driver did not start" >&2; exit 1; }

export BRENVO_PACKAGE_DIR=$(wine winepath -w "$package" 2>/dev/null | tr -d '\r')
# In the background, so that a signal reaches this script at once.
wine "$test_program" &
wait $!
sc stop TELDO >/dev/null || true

trap - EXIT
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
rm -rf "$work"
