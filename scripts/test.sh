#!/usr/bin/env bash
# Builds both architectures and runs every test: the pure logic natively, then
# each build's suite under Wine, x86 (the bench PCs' build) and x64 side by
# side, each on a virtual display of its own and with its tests side by side
# where they share nothing (tests/CMakeLists.txt). A build whose architecture this machine cannot run
# under Wine (scripts/wine-support.sh) still runs its binary check and the
# tests that need no Wine, and reports its Wine tests as skipped, with the
# reason. Writes what the tests tried into BUILD_DIR/<arch>/report.md and
# changes no file of the checkout (scripts/update-report.sh copies the x64
# report into docs/building-and-testing.md).
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"

# The pure logic, the win32 package's TELDO.dll and teldo.sys on an emulated
# Pentium and the win64 package's teldo.sys on an emulated x86-64 processor,
# natively (tests/host/CMakeLists.txt, built by build.sh).
status=0
(cd "$build_dir/host" && ctest --output-on-failure) || status=$?

# Each architecture's suite on a display of its own, side by side: the tests
# wait on Wine far more than they compute, and the window tests of one suite
# must not share a keyboard focus with the other's. The x64 suite prints its
# output once it is done (it is in build/x64/ctest.log as it runs).
notes=()
for arch in x86 x64; do
  why_not=$(wine_runs_here "$(cat "$build_dir/$arch/wine-arch")" 2>&1) ||
    notes+=("The $arch tests that run the Windows binaries under Wine were skipped: $why_not
  Only its build, binary check and the tests that need no Wine ran here.")
done
suite() {
  echo "== The $1 suite ($build_dir/$1)"
  if wine_runs_here "$(cat "$build_dir/$1/wine-arch")" 2>/dev/null; then
    boot_tree "$1"
  fi
  run_suite "$1"
}
# The displays one after the other, so that each finds a free number.
start_display
x64_display=$DISPLAY x64_display_pid=$display_pid
trap 'kill "$x64_display_pid" 2>/dev/null; end_session' EXIT
start_display
DISPLAY=$x64_display suite x64 >/dev/null 2>&1 &
x64_suite=$!
suite x86 || status=$?
wait $x64_suite || status=$?
echo
echo "== The x64 suite ($build_dir/x64)"
cat "$build_dir/x64/ctest.log"
# The win32 teldo.exe on 64-bit Windows, where both Wines run (elsewhere the
# emulated PC of scripts/test-x86.sh runs it).
if why_not=$({ wine_runs_here win32 && wine_runs_here win64; } 2>&1); then
  echo
  echo "== The win32 teldo.exe under WOW64"
  "$source_dir/tests/package/wow64_check.sh" "$build_dir"/x86/Brenvo-*-win32.zip "$build_dir"/x64/Brenvo-*-win64.zip \
    "$build_dir/wow64-check" "$build_dir/x64/wineprefix-fresh" || status=1
else
  notes+=("The check of the win32 teldo.exe under WOW64 (tests/package/wow64_check.sh) was skipped: $why_not
  It needs both Wines; scripts/test-x86.sh runs it in an emulated PC.")
fi
for note in "${notes[@]}"; do
  echo
  echo "NOTE: $note"
done
exit $status
