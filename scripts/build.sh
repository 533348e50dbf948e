#!/usr/bin/env bash
# Installs the packages, configures and builds into BUILD_DIR (default: build),
# and makes its Wine prefix ready with the stand-in driver running.
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/install-packages.sh"
cmake -S "$source_dir" -B "$build_dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-i686-mingw.cmake" >/dev/null
cmake --build "$build_dir"
"$source_dir/scripts/prepare-prefix.sh" "$build_dir"
