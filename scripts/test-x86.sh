#!/usr/bin/env bash
# The x86 suite, every test of it, against the x86 build that goes into the
# win32 zip (BUILD_DIR/x86), under real 32-bit Wine: natively where it runs
# here (scripts/wine-support.sh: 32-bit x86 code runs, and wine32:i386 could
# be installed), otherwise inside an emulated PC, a Debian 12 guest with
# 32-bit Wine made once from Debian's packages and cached outside the checkout
# (scripts/guest/). The build
# tree is shared with the guest at its own path and CTest's output comes back
# through it (BUILD_DIR/x86/ctest.log). Exits with the suite's status.
# TELDO_WITHOUT_32BIT=1 takes the emulated path on any machine. No Wine
# process of the build trees' prefixes outlives the script: natively the
# session ends them (scripts/built-session.sh); on the emulated path
# scripts/build.sh ends those it started, and the PC ends with its job.
# Usage: scripts/test-x86.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$source_dir/scripts/wine-support.sh"

"$source_dir/scripts/install-packages.sh"
if wine_runs_here win32 2>/dev/null; then
  source "$source_dir/scripts/built-session.sh"
  start_display
  boot_tree x86
  run_suite x86
  exit
fi

echo "32-bit Wine does not run here: the x86 suite runs in an emulated PC"
wine_runs_here win32 || true
build_dir=${1:-$source_dir/build}
guest=$("$source_dir/scripts/guest/build-guest.sh")
"$source_dir/scripts/install-packages.sh" --guest
# The x86 tree with its Wine-only test programs, which this machine cannot run.
# It also makes the x64 tree's prefixes ready; build.sh ends their Wine
# processes (wineservers, drivers) before it returns, so none is left here.
TELDO_X86_WINE_TESTS=1 "$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
# The win64 zip of what was just built, for the WOW64 check (the x64 suite's
# package_zip, which makes it otherwise, does not run here).
(cd "$build_dir/x64" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
shares=(--share "$source_dir")
case $build_dir/ in
  "$source_dir"/*) ;;
  *) shares+=(--share "$build_dir") ;;
esac
echo "Booting the emulated PC ($guest) for the x86 suite"
exec "$source_dir/scripts/guest/boot.sh" "$guest" "${shares[@]}" \
  "$source_dir/scripts/guest/x86-suite.sh" "$source_dir" "$build_dir"
