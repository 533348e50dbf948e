#!/usr/bin/env bash
# Builds the project and prints every benchmark's figures.
# Usage: scripts/bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"
source "$source_dir/scripts/wine-support.sh"
wine_runs_here || { echo "The benchmarks cannot run on this machine: Wine cannot run here." >&2; exit 1; }

cd "$build_dir/bin"
# The start-up benchmark shows windows: give it a virtual display if needed.
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a -s "-screen 0 1024x768x24")
for bench in *_bench.exe; do
  echo "== ${bench%.exe}"
  "${display[@]}" "$build_dir/wine-run" "$bench" | tr -d '\r'
done
