#!/usr/bin/env bash
# The win64 package's teldo.sys against device models that no one here wrote:
# QEMU's 16550 UART (COM2, 02F8) and parallel port (LPT1, 0378) in the
# emulated PC of scripts/guest/ (the one the x86 suite runs in, built once and
# cached), under 64-bit Wine, through the driver's own in and out
# instructions. Linux lets root grant a process real port access with
# ioperm(); grant-ports (scripts/guest/grant-ports.c, built here) grants
# exactly those two ranges, and COM1's (03F8-03FF, outside the driver's
# windows, where the checks see whether a refused write got through), to the
# checks (tests/package/device_checks.sh), and so to the Wine processes they
# start, the driver's host among them.
# What the UART sends and the parallel port prints land in
# BUILD_DIR/devices/com2 and lpt1 on this machine, where the checks read
# them. Prints each check and "N passed, N failed"; exits 1 when any failed.
# Usage: scripts/test-devices.sh [BUILD_DIR]   (default: build; as root)
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/install-packages.sh" --guest
guest=$("$source_dir/scripts/guest/build-guest.sh")
"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
# The zip of what was just built (the suite's package_zip makes it otherwise).
(cd "$build_dir/x64" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
zips=("$build_dir"/x64/Brenvo-*-win64.zip)
[ ${#zips[@]} = 1 ] && [ -f "${zips[0]}" ] ||
  { echo "Expected one win64 zip in $build_dir/x64, found: ${zips[*]}" >&2; exit 1; }

work=$build_dir/devices
rm -rf "$work"
mkdir -p "$work"
cc -O2 -Wall -Wextra -static -o "$work/grant-ports" "$source_dir/scripts/guest/grant-ports.c"
: >"$work/com2"
: >"$work/lpt1"
shares=(--share "$source_dir")
case $build_dir/ in
  "$source_dir"/*) ;;
  *) shares+=(--share "$build_dir") ;;
esac
echo "Booting the emulated PC ($guest) for the device checks"
exec "$source_dir/scripts/guest/boot.sh" "$guest" "${shares[@]}" --com2 "$work/com2" --lpt1 "$work/lpt1" \
  "$source_dir/scripts/guest/devices.sh" "$source_dir" "${zips[0]}" "$work"
