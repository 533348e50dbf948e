#!/bin/bash
# The x86 suite inside the emulated PC. scripts/test-x86.sh boots it with the
# checkout and the build trees shared at their own paths, so that CTest's
# absolute paths hold. The x86 tree is copied to this PC's own disk and used
# there, at its own path: Wine cannot run the larger test programs from the
# share (a page of the image past the first megabyte faults on execution), and
# it is much faster on a local disk. The tree's two prefixes start as the
# fresh prefix kept in the image, are made ready by
# scripts/prepare-prefix.sh and started as scripts/test.sh does; then CTest
# runs, and its output (ctest.log), its files and the report go back to the
# shared tree. Whatever else the suite writes vanishes at power-off. Then the
# win32 teldo.exe under WOW64 (tests/package/wow64_check.sh). Exits with
# CTest's status, or 1 when that check fails.
# Usage: x86-suite.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=${1:?usage: x86-suite.sh SOURCE_DIR BUILD_DIR}
build_dir=${2:?}
tree=$build_dir/x86
source "$source_dir/scripts/wine-support.sh"
source "$source_dir/scripts/wine-session.sh"

# The prefixes' Wine processes and the virtual display end with the job, before
# the PC powers off.
end_job() {
  local prefix
  for prefix in "${tree_prefixes[@]}"; do
    [ -d "$tree/$prefix" ] || continue
    WINEPREFIX=$tree/$prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$tree/$prefix wineserver -w 2>/dev/null || true
  done
  [ -z "$display_pid" ] || kill "$display_pid" 2>/dev/null || true
}
trap end_job EXIT

# The suite's own settings for this PC, where device requests and window
# actions cost many times what they do natively (docs/emulation.md): fewer
# soak pairs and random-operator events (counts that only buy time), and
# four times the limits before a wait for the program counts as a hang.
export TELDO_SOAK_PAIRS=10000 TELDO_OPERATOR_EVENTS=400 TELDO_WAIT_FACTOR=4

shared_tree=/mnt/x86-tree
mkdir -p $shared_tree /var/tmp/x86-tree
mount --bind "$tree" $shared_tree
tar -C $shared_tree --exclude='./wineprefix*' --exclude='./package-*test' -cf - . |
  tar -C /var/tmp/x86-tree -xf -
mount --bind /var/tmp/x86-tree "$tree"

# The package tests copy the tree's fresh prefix: here the image's.
ln -sfn /var/lib/brenvo/win32-prefix "$tree/$fresh_prefix"

start_display
pids=()
for prefix in "${tree_prefixes[@]}"; do
  # The image's prefix, its writes kept apart on this disk.
  mkdir -p "$tree/$prefix" "/var/tmp/$prefix/upper" "/var/tmp/$prefix/work"
  mount -t overlay overlay "$tree/$prefix" \
    -o "lowerdir=/var/lib/brenvo/win32-prefix,upperdir=/var/tmp/$prefix/upper,workdir=/var/tmp/$prefix/work"
  TELDO_PREFIX=$prefix "$source_dir/scripts/prepare-prefix.sh" "$tree" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid"
done
# Each prefix up, with the TELDO port driver answering RUNNING (the first
# driver of a prefix takes a while here).
for prefix in "${tree_prefixes[@]}"; do
  boot_prefix x86 "$prefix"
  (
    export TELDO_BUILD_DIR=$tree TELDO_PREFIX=$prefix
    source "$source_dir/scripts/wine-env.sh"
    for _ in $(seq 60); do
      wine sc query TELDO 2>/dev/null | grep -q RUNNING && exit 0
      sleep 1
    done
    echo "The TELDO port driver of $prefix is not running" >&2
    exit 1
  )
done

status=0
run_suite x86 || status=$?
# The win32 teldo.exe on 64-bit Windows, in a copy of the image's 64-bit prefix.
echo "== The win32 teldo.exe under WOW64" | tee -a "$tree/ctest.log"
"$source_dir/tests/package/wow64_check.sh" "$tree"/Brenvo-*-win32.zip "$build_dir"/x64/Brenvo-*-win64.zip \
  /var/tmp/wow64-check /var/lib/brenvo/win64-prefix 2>&1 | tee -a "$tree/ctest.log" || status=1
rm -rf "$shared_tree/report"
cp -r "$tree/ctest.log" "$tree/report" "$tree/Testing" $shared_tree/
[ ! -f "$tree/report.md" ] || cp "$tree/report.md" $shared_tree/
exit $status
