#!/usr/bin/env bash
# Installs the packages, configures and builds both architectures, x86 into
# BUILD_DIR/x86 and x64 into BUILD_DIR/x64 (BUILD_DIR default: build), and
# makes the Wine prefixes of each that this machine can run ready with the
# TELDO port driver running: the tree's main prefix and the soak test's own.
# New prefixes are created while the build runs.
# TELDO_X86_WINE_TESTS=1 builds the x86 tree's Wine-only test programs even
# where this machine cannot run 32-bit Wine (scripts/test-x86.sh runs them in
# an emulated PC).
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/install-packages.sh"
source "$source_dir/scripts/wine-support.sh"
for arch in x86:i686:win32 x64:x86_64:win64; do
  IFS=: read -r name processor wine_arch <<<"$arch"
  # The programs that only run under Wine are built only where it runs.
  wine_tests=ON
  wine_runs_here "$wine_arch" 2>/dev/null || wine_tests=OFF
  [ "$name" = x86 ] && [ "${TELDO_X86_WINE_TESTS:-}" = 1 ] && wine_tests=ON
  cmake -S "$source_dir" -B "$build_dir/$name" -G Ninja -DBRENVO_WINE_TESTS=$wine_tests \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-$processor-mingw.cmake" >/dev/null
done

# prepare-prefix.sh with ARGS on every prefix of both trees, side by side.
prepare_prefixes() {
  local arch prefix pid pids=()
  for arch in x86 x64; do
    for prefix in "${tree_prefixes[@]}"; do
      TELDO_PREFIX=$prefix "$source_dir/scripts/prepare-prefix.sh" "$build_dir/$arch" "$@" &
      pids+=($!)
    done
  done
  for pid in "${pids[@]}"; do
    wait "$pid"
  done
}

prepare_prefixes --create &
creating=$!
for arch in x86 x64; do
  cmake --build "$build_dir/$arch"
done
wait $creating
prepare_prefixes
