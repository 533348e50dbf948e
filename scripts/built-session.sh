# Sourced by the run, test and bench scripts: builds both architectures into
# BUILD_DIR (their first argument, default build/) with the Wine prefixes
# ready, and ends every Wine process of those prefixes, and the virtual
# display if one was started, on exit.
# Leaves source_dir and build_dir set, and defines use_build_tree,
# pick_run_arch, start_display and boot_prefix.
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build}

"$source_dir/scripts/build.sh" "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
source "$source_dir/scripts/wine-support.sh"

# Sets this shell up for the main prefix of one build tree (x86 or x64).
use_build_tree() {
  export TELDO_BUILD_DIR=$build_dir/$1
  source "$source_dir/scripts/wine-env.sh"
}

display_pid=
end_session() {
  local prefix
  for prefix in "$build_dir"/x86/wineprefix* "$build_dir"/x64/wineprefix*; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
  done
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

# One virtual X display (Xvfb) for everything this session shows; DISPLAY
# names it. A window manager is not needed: the prefixes use a Wine desktop.
start_display() {
  local number=90
  while [ -e /tmp/.X$number-lock ] || [ -e /tmp/.X11-unix/X$number ]; do number=$((number + 1)); done
  Xvfb :$number -screen 0 1024x768x24 -nolisten tcp -ac >/dev/null 2>&1 &
  display_pid=$!
  export DISPLAY=:$number
  local _
  for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$number ] && return 0; sleep 0.05; done
  echo "The virtual display :$number did not start" >&2
  return 1
}

# Starts the prefix PREFIX (default wineprefix) of build tree ARCH on the
# display and keeps it up until the session ends: its wineserver, its
# services with the stand-in driver, and its desktop. Started here, with
# output to nowhere, these processes never hold a test runner's output open.
boot_prefix() {
  (
    export TELDO_BUILD_DIR=$build_dir/$1 TELDO_PREFIX=${2:-wineprefix}
    source "$source_dir/scripts/wine-env.sh"
    wineserver -p 2>/dev/null || true  # already up from the build is fine
    wine wineboot >/dev/null 2>&1
    wine explorer /desktop=Default,1024x768 >/dev/null 2>&1 &
    wine sc query TELDO >/dev/null 2>&1 || true  # once it answers, the services are up
  )
}
