#!/usr/bin/env bash
# Builds the project and prints the benchmarks' figures, all from one
# architecture: the x86 build where this machine runs 32-bit code, else the
# x64 one. The first line names the date, the machine (processors, CPU model,
# load) and the Wine and build, so that a figure copied elsewhere can carry
# them; every heading names the architecture. In order:
#   - the long soak: 1,000,000 write-then-read pairs through TELDO.dll from 8
#     threads (the soak test program, in its own prefix), requests per second
#     and elapsed time;
#   - TELDO_RD against a raw DeviceIoControl on the same handle, TELDOX.dll's
#     blocks against single reads, a program of 256 operations through
#     TELDOX_Run against the same operations as single calls, and Brenvo's
#     start-up against a minimal window built the same way: interleaved
#     rounds, medians with their spread (bench/);
#   - the sizes of Brenvo.exe, teldo.exe, TELDO.dll, TELDOX.dll and the
#     signed teldo.sys.
# Timings vary with the machine's load, in either direction: compare the
# figures of one run with each other. How long a run takes, and the latest
# figures: docs/benchmarks.md.
# Usage: scripts/bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/built-session.sh"
pick_run_arch || { echo "The benchmarks cannot run on this machine: no Wine of either architecture runs here." >&2; exit 1; }
use_build_tree $run_arch
bin=$TELDO_BUILD_DIR/bin
cmake --build "$TELDO_BUILD_DIR" --target library_bench startup_bench minimal_window >/dev/null
soak_pairs=1000000

# A virtual display of its own, whatever DISPLAY the caller has: the start-up
# figures do not depend on a desktop's window manager, and no window shows on it.
start_display
boot_prefix $run_arch wineprefix       # the library and start-up benchmarks
boot_prefix $run_arch wineprefix-soak  # the soak test's own prefix and driver

# 1234567 -> 1,234,567
thousands() { sed -E ':a; s/([0-9])([0-9]{3})($|,|\.)/\1,\2\3/; ta' <<<"$1"; }

case $WINEARCH in win32) wine_bits=32 ;; *) wine_bits=64 ;; esac
cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)
echo "Benchmarks of $(date '+%Y-%m-%d %H:%M %Z'): $(nproc) processors ($cpu)," \
     "$(wine --version | tr -d '\r'), the $run_arch build under $wine_bits-bit Wine;" \
     "load average $(cut -d ' ' -f 1-3 /proc/loadavg) before the run"

echo
echo "== Soak through TELDO.dll ($run_arch): $(thousands $soak_pairs) write-then-read pairs, 8 threads"
if ! soak=$(cd "$bin" && TELDO_PREFIX=wineprefix-soak TELDO_SOAK_PAIRS=$soak_pairs \
            "$TELDO_BUILD_DIR/wine-run" library_soak_test.exe 2>&1 | tr -d '\r'); then
  echo "$soak"
  echo "The soak test failed; no figure." >&2
  exit 1
fi
# The test prints "<N> requests per second (<pairs> pairs in <s> s, 8
# threads)": the requests are both of each pair (every port is then read back
# in one block, outside the figure); the elapsed time follows from them to a
# tenth of a second.
per_second=$(sed -n 's/^\([0-9]*\) requests per second.*/\1/p' <<<"$soak")
[ -n "$per_second" ] || { echo "$soak"; echo "The soak test printed no figure." >&2; exit 1; }
requests=$((2 * soak_pairs))
echo "  $(thousands $per_second) requests/s: $(thousands $requests) requests (the pairs; then all 65,536" \
     "ports read back in one block) in $(awk -v r=$requests -v s="$per_second" 'BEGIN { printf "%.1f", r / s }') s"

cd "$bin"
echo
echo "== TELDO_RD against a raw DeviceIoControl on the same handle, TELDOX.dll's blocks against single reads," \
     "and a program through TELDOX_Run against single calls ($run_arch)"
"$TELDO_BUILD_DIR/wine-run" library_bench.exe | tr -d '\r'
echo
echo "== Brenvo's start-up against a minimal window with its manifest, font and common controls ($run_arch)"
"$TELDO_BUILD_DIR/wine-run" startup_bench.exe | tr -d '\r'

echo
echo "== Sizes of the shipped files ($run_arch)"
for file in Brenvo.exe teldo.exe TELDO.dll TELDOX.dll teldo.sys; do
  note=
  [ $file = teldo.sys ] && note="  (signed, as packaged)"
  printf '  %-11s %7s bytes%s\n' $file "$(thousands "$(stat -c %s $file)")" "$note"
done
echo
echo "Load average $(cut -d ' ' -f 1-3 /proc/loadavg) after the run"
