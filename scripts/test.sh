#!/usr/bin/env bash
# Builds everything and runs every test under Wine on a virtual display.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
export TELDO_BUILD_DIR=$build_dir
source "$source_dir/scripts/wine-env.sh"
# Whatever happens, leave no Wine process behind.
trap 'wineserver -k 2>/dev/null || true' EXIT

cd "$build_dir"
rm -rf report && mkdir -p report
status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure || status=$?
"$source_dir/scripts/update-report.sh" "$build_dir"
exit $status
