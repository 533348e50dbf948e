#!/usr/bin/env bash
# Builds everything and runs every test under Wine on a virtual display; the
# pure logic is also built and tested natively. On a machine that cannot run
# Wine (scripts/wine-support.sh) the tests of the Windows side are reported as
# skipped, with the reason; the build's check of the shipped binaries and the
# tests that need no Wine still run and must pass.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"
source "$source_dir/scripts/wine-support.sh"

# The pure logic, natively (tests/host/CMakeLists.txt).
status=0
cmake -S "$source_dir/tests/host" -B "$build_dir/host" -G Ninja >/dev/null
cmake --build "$build_dir/host"
(cd "$build_dir/host" && ctest --output-on-failure) || status=$?

cd "$build_dir"
rm -rf report && mkdir -p report
xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure || status=$?
if why_not=$(wine_runs_here 2>&1); then
  "$source_dir/scripts/update-report.sh" "$build_dir"
else
  echo
  echo "NOTE: the tests that run the Windows binaries under Wine were skipped:"
  echo "  $why_not"
  echo "  Only the build, its binary check and the tests that need no Wine ran here."
fi
exit $status
