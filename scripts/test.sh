#!/usr/bin/env bash
# Builds both architectures and runs every test: the pure logic natively, then
# each build's suite under Wine on a virtual display, x86 (the bench PCs'
# build) and x64. A build whose architecture this machine cannot run under
# Wine (scripts/wine-support.sh) still runs its binary check and the tests
# that need no Wine, and reports its Wine tests as skipped, with the reason.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"

# The pure logic, natively (tests/host/CMakeLists.txt).
status=0
cmake -S "$source_dir/tests/host" -B "$build_dir/host" -G Ninja >/dev/null
cmake --build "$build_dir/host"
(cd "$build_dir/host" && ctest --output-on-failure) || status=$?

notes=()
for arch in x86 x64; do
  tree=$build_dir/$arch
  echo
  echo "== The $arch suite ($tree)"
  rm -rf "$tree/report" && mkdir -p "$tree/report"
  (cd "$tree" && xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure) || status=$?
  if ! why_not=$(wine_runs_here "$(cat "$tree/wine-arch")" 2>&1); then
    notes+=("The $arch tests that run the Windows binaries under Wine were skipped: $why_not")
  fi
done
# The README's report comes from the x64 suite, which runs on every machine.
"$source_dir/scripts/update-report.sh" "$build_dir/x64"

for note in "${notes[@]}"; do
  echo
  echo "NOTE: $note"
  echo "  Only its build, binary check and the tests that need no Wine ran here."
done
exit $status
