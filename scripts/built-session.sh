# Sourced by the run, test and bench scripts: builds into BUILD_DIR (their
# first argument, default build/), makes its Wine prefix ready, and sets up
# this shell to use that prefix, with every Wine process ended on exit.
# Leaves source_dir and build_dir set.
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
export TELDO_BUILD_DIR=$build_dir
source "$source_dir/scripts/wine-env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
