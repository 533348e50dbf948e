#!/usr/bin/env bash
# Builds Brenvo and runs it against the stand-in driver in the build tree's
# Wine prefix. With a display it opens the window there. Without one it runs
# on a virtual display, saves a screenshot, prints its path and closes the
# window as the close box would.
# Usage: scripts/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
export TELDO_BUILD_DIR=$build_dir
source "$source_dir/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$build_dir/bin"

if [ -n "${DISPLAY:-}" ]; then
  exec wine Brenvo.exe
fi

export BRENVO_SHOT="$build_dir/brenvo-screenshot.png"
rm -f "$BRENVO_SHOT"
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  wine explorer /desktop=brenvo,640x480 Brenvo.exe &
  if wine window_tool.exe wait Brenvo; then
    sleep 1
    import -window root "$BRENVO_SHOT"
    wine window_tool.exe close Brenvo
  fi
  wait
'
if [ -f "$BRENVO_SHOT" ]; then
  echo "Brenvo ran on a virtual display; screenshot: $BRENVO_SHOT"
else
  echo "Brenvo showed no window" >&2
  exit 1
fi
