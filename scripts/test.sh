#!/usr/bin/env bash
# Builds both architectures and runs every test: the pure logic natively, then
# each build's suite under Wine on one virtual display, x86 (the bench PCs'
# build) and x64, each with the tests side by side where they share nothing
# (tests/CMakeLists.txt). A build whose architecture this machine cannot run
# under Wine (scripts/wine-support.sh) still runs its binary check and the
# tests that need no Wine, and reports its Wine tests as skipped, with the
# reason. Writes what the tests tried into BUILD_DIR/<arch>/report.md and
# changes no file of the checkout (scripts/update-report.sh copies the x64
# report into the README).
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"

# The pure logic, and the win32 package's TELDO.dll and teldo.sys on an
# emulated Pentium, natively (tests/host/CMakeLists.txt).
status=0
cmake -S "$source_dir/tests/host" -B "$build_dir/host" -G Ninja -DX86_BUILD_DIR="$build_dir/x86" >/dev/null
cmake --build "$build_dir/host"
(cd "$build_dir/host" && ctest --output-on-failure) || status=$?

start_display
notes=()
for arch in x86 x64; do
  tree=$build_dir/$arch
  echo
  echo "== The $arch suite ($tree)"
  if why_not=$(wine_runs_here "$(cat "$tree/wine-arch")" 2>&1); then
    boot_tree $arch
  else
    notes+=("The $arch tests that run the Windows binaries under Wine were skipped: $why_not")
  fi
  run_suite $arch || status=$?
done

for note in "${notes[@]}"; do
  echo
  echo "NOTE: $note"
  echo "  Only its build, binary check and the tests that need no Wine ran here."
done
exit $status
