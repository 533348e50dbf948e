#!/usr/bin/env bash
# Installs the packages, configures and builds both architectures, x86 into
# BUILD_DIR/x86 and x64 into BUILD_DIR/x64 (BUILD_DIR default: build), and
# makes the Wine prefixes of each that this machine can run ready with the
# TELDO port driver running: the tree's main prefix and the soak test's own.
# The prefixes are made ready while the build runs. Also builds the native tests
# (BUILD_DIR/host) beside them. Every Wine process of those
# prefixes ends with this script: the run, test and bench scripts start the
# prefixes again for their own session and end them when it ends.
# First of all it stops when BUILD_DIR or anything in it belongs to another
# user (the run, test and bench scripts build through this script first).
# TELDO_X86_WINE_TESTS=1 builds the x86 tree's Wine-only test programs even
# where this machine cannot run 32-bit Wine (scripts/test-x86.sh runs them in
# an emulated PC).
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

# A build tree and its Wine prefixes belong to the user who runs the scripts:
# another user's tree cannot be written to (Wine refuses a prefix that is not
# its user's own), and writing into one as root leaves files its owner can no
# longer change. Typically a build/ made as root before. Stops with what to
# do, before anything is installed or built.
check_build_dir_owner() {
  local dir=$1 me foreign owner
  [ -e "$dir" ] || return 0
  me=$(id -un)
  foreign=$(find -H "$dir" ! -uid "$(id -u)" -print -quit 2>/dev/null) || true
  [ -n "$foreign" ] || return 0
  owner=$(stat -c %U "$foreign" 2>/dev/null) || owner="another user"
  {
    if [ "$foreign" = "$dir" ]; then
      echo "The build folder $dir belongs to $owner, not to $me."
    else
      echo "The build folder $dir holds files of $owner, not of $me ($foreign, for one)."
    fi
    echo "Its trees and Wine prefixes must belong to the user who runs the scripts. Either"
    if [ "$(id -u)" -eq 0 ]; then
      echo "  - run the scripts as $owner, not as root,"
      echo "  - make it root's:  chown -R root: $dir"
      echo "  - start over:      rm -rf $dir"
    else
      echo "  - make it yours:   sudo chown -R $me: $dir   (or as root: chown -R $me: $dir)"
      echo "  - start over:      sudo rm -rf $dir   (or as root: rm -rf $dir)"
    fi
    echo "  - or build elsewhere: name another folder, as in scripts/run.sh DIR (also test.sh, bench.sh, build.sh," \
         "test-x86.sh, test-devices.sh; root's own beside a user's checkout: docs/building-and-testing.md)"
  } >&2
  exit 1
}
check_build_dir_owner "$build_dir"

"$source_dir/scripts/install-packages.sh"
source "$source_dir/scripts/wine-support.sh"
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

# Ends every Wine process of both trees' prefixes, once the preparations
# still running in the background (when the build failed) have finished.
end_prefixes() {
  wait 2>/dev/null || true
  end_tree_prefixes "$build_dir"
}
trap end_prefixes EXIT

for arch in x86:i686:win32 x64:x86_64:win64; do
  IFS=: read -r name processor wine_arch <<<"$arch"
  # The programs that only run under Wine are built only where it runs.
  wine_tests=ON
  wine_runs_here "$wine_arch" 2>/dev/null || wine_tests=OFF
  [ "$name" = x86 ] && [ "${TELDO_X86_WINE_TESTS:-}" = 1 ] && wine_tests=ON
  cmake -S "$source_dir" -B "$build_dir/$name" -G Ninja -DBRENVO_WINE_TESTS=$wine_tests \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-$processor-mingw.cmake" >/dev/null
done

# The native tests (tests/host) build beside the Windows builds: they need no
# Windows header, and the Windows builds only when they run. Their output is in
# BUILD_DIR/host/build.log.
mkdir -p "$build_dir/host"
(
  cmake -S "$source_dir/tests/host" -B "$build_dir/host" -G Ninja -DX86_BUILD_DIR="$build_dir/x86" \
        -DX64_BUILD_DIR="$build_dir/x64" &&
    cmake --build "$build_dir/host"
) >"$build_dir/host/build.log" 2>&1 &
host_build=$!

# prepare-prefix.sh on every prefix of build tree ARCH, side by side; fails
# when one of them fails, once all have ended.
prepare_prefixes() {
  local arch=$1 prefix pid pids=() status=0
  for prefix in "${tree_prefixes[@]}"; do
    TELDO_PREFIX=$prefix "$source_dir/scripts/prepare-prefix.sh" "$build_dir/$arch" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  return $status
}

# Each tree's driver is built first, so that its prefixes are made and get
# the driver while the rest of both trees builds.
cmake --build "$build_dir/x86" --target teldo_driver
cmake --build "$build_dir/x64" --target teldo_driver
prepare_prefixes x86 &
preparing_x86=$!
prepare_prefixes x64 &
preparing_x64=$!
cmake --build "$build_dir/x86"
cmake --build "$build_dir/x64"
status=0
wait $preparing_x86 || status=1
wait $preparing_x64 || status=1
if ! wait $host_build; then
  cat "$build_dir/host/build.log" >&2
  echo "The native tests did not build (their log: $build_dir/host/build.log)" >&2
  status=1
fi
exit $status
