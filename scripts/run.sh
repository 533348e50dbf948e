#!/usr/bin/env bash
# Builds Brenvo and runs it against the TELDO port driver (its simulated
# bus) in a build tree's Wine prefix: the x86 build (the bench PCs') where
# this machine runs 32-bit code, else the x64 one; it says which. With a
# display that this user can open (DISPLAY set, and xdpyinfo reaches it) it
# opens the window there. Without one (a root shell from `su -` has none) it
# says so and why, runs on a virtual display, saves a screenshot, prints its
# path and closes the window as the close box would. Every Wine process of the
# build trees' prefixes ends with the script (scripts/built-session.sh).
# Usage: scripts/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"
pick_run_arch || { echo "Brenvo cannot run on this machine: no Wine of either architecture runs here." >&2; exit 1; }
echo "Running the $run_arch build of Brenvo ($build_dir/$run_arch)"
use_build_tree $run_arch
cd "$TELDO_BUILD_DIR/bin"

# Why Brenvo cannot show its window on this user's display; empty when it can.
no_display=
if [ -z "${DISPLAY:-}" ]; then
  no_display="DISPLAY is not set"
elif ! why=$(timeout 5 xdpyinfo 2>&1 >/dev/null); then
  why=$(printf '%s' "$why" | tr -s '\n' ' ')
  why=${why% }
  why=${why%.}
  no_display="DISPLAY is $DISPLAY, which $(id -un) cannot open (${why:-no answer within 5 s})"
fi
see_window="To see the window, run scripts/run.sh from your desktop session as your own user (not in a root shell from su or sudo)."

if [ -z "$no_display" ]; then
  echo "Showing Brenvo's window on display $DISPLAY; it runs until you close it"
  # Not exec: the exit trap ends the prefixes' Wine afterwards.
  wine Brenvo.exe
  exit
fi

cat <<NOTE

*** No display: $no_display.
*** Brenvo runs on a virtual display instead; its window is saved as a screenshot, then closed.
*** $see_window

NOTE

# A Wine virtual desktop gives the window its title bar (Xvfb has no window
# manager). Programs inside it are out of reach of ones outside, so the window
# tool runs inside it too and reports through marker files.
shot="$build_dir/brenvo-screenshot.png"
marks=$(mktemp -d)
rm -f "$shot"
start_display
desktop="explorer /desktop=brenvo,800x600"
wine $desktop Brenvo.exe &
wine $desktop window_tool.exe wait Brenvo "Z:$marks/shown" &
for _ in $(seq 300); do [ -e "$marks/shown" ] && break; sleep 0.1; done
if [ -e "$marks/shown" ]; then
  sleep 1
  import -window root -crop 800x600+0+0 "$shot"
  wine $desktop window_tool.exe close Brenvo "Z:$marks/closed" &
  for _ in $(seq 300); do [ -e "$marks/closed" ] && break; sleep 0.1; done
fi
closed=no
[ -e "$marks/closed" ] && closed=yes
rm -rf "$marks"
if [ -f "$shot" ] && [ $closed = yes ]; then
  echo "Brenvo ran on a virtual display and was closed; screenshot of its window: $shot"
  echo "(No display: $no_display.)"
  echo "$see_window"
else
  echo "Brenvo did not show its window or did not close (screenshot: ${shot})" >&2
  exit 1
fi
