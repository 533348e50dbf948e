#!/usr/bin/env bash
# Builds everything and runs every test under Wine on a virtual display.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"

cd "$build_dir"
rm -rf report && mkdir -p report
status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure || status=$?
"$source_dir/scripts/update-report.sh" "$build_dir"
exit $status
