#!/usr/bin/env bash
# Builds the project and prints every benchmark's figures.
# Usage: scripts/bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
export TELDO_BUILD_DIR=$build_dir
source "$source_dir/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT

cd "$build_dir/bin"
# The start-up benchmark shows windows: give it a virtual display if needed.
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a -s "-screen 0 1024x768x24")
for bench in *_bench.exe; do
  echo "== ${bench%.exe}"
  "${display[@]}" "$build_dir/wine-run" "$bench" | tr -d '\r'
done
