#!/usr/bin/env bash
# Installs the packages, configures and builds both architectures, x86 into
# BUILD_DIR/x86 and x64 into BUILD_DIR/x64 (BUILD_DIR default: build), and
# makes the Wine prefix of each that this machine can run ready with the
# stand-in driver running.
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/install-packages.sh"
for arch in x86:i686 x64:x86_64; do
  tree=$build_dir/${arch%%:*}
  cmake -S "$source_dir" -B "$tree" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-${arch#*:}-mingw.cmake" >/dev/null
  cmake --build "$tree"
  "$source_dir/scripts/prepare-prefix.sh" "$tree"
done
