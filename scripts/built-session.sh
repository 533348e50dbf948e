# Sourced by the run, test and bench scripts: builds both architectures into
# BUILD_DIR (their first argument, default build/) with the Wine prefixes
# ready, and ends every Wine process of those prefixes, and the virtual
# display if one was started, on exit. scripts/build.sh, run first, stops at
# once when BUILD_DIR or anything in it belongs to another user, before
# anything is installed, built or started.
# Leaves source_dir and build_dir set, and defines use_build_tree,
# pick_run_arch, and start_display, boot_prefix and boot_tree
# (scripts/wine-session.sh).
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
source "$source_dir/scripts/wine-support.sh"
source "$source_dir/scripts/wine-session.sh"

# Sets this shell up for the main prefix of one build tree (x86 or x64).
use_build_tree() {
  export TELDO_BUILD_DIR=$build_dir/$1
  source "$source_dir/scripts/wine-env.sh"
}

end_session() {
  end_tree_prefixes "$build_dir"
  [ -n "$display_pid" ] && kill "$display_pid" 2>/dev/null
  return 0
}
trap end_session EXIT

# The build tree to run programs from: x86, the bench PCs' build, where this
# machine runs 32-bit code, else x64. Sets run_arch, or says why neither runs.
pick_run_arch() {
  if wine_runs_here win32 2>/dev/null; then
    run_arch=x86
  elif wine_runs_here win64; then
    run_arch=x64
  else
    return 1
  fi
}
