#!/usr/bin/env bash
# Builds the project and prints every benchmark's figures, from the x86 build
# where this machine runs 32-bit code, else from the x64 one; each figure's
# heading names the architecture.
# Usage: scripts/bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"
pick_run_arch || { echo "The benchmarks cannot run on this machine: no Wine of either architecture runs here." >&2; exit 1; }
use_build_tree $run_arch

cd "$TELDO_BUILD_DIR/bin"
# The start-up benchmark shows windows: give it a virtual display if needed.
[ -n "${DISPLAY:-}" ] || start_display
for bench in *_bench.exe; do
  echo "== ${bench%.exe} ($run_arch)"
  "$TELDO_BUILD_DIR/wine-run" "$bench" | tr -d '\r'
done
