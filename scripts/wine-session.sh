# Sourced, with source_dir and build_dir set: one virtual display and the
# build trees' prefixes kept up for a session of Wine programs. Used by
# scripts/built-session.sh and by the emulated PC's x86 suite (scripts/guest/).
# The caller ends display_pid and the prefixes' wineservers when it is done.

display_pid=

# One virtual X display (Xvfb) for everything this session shows; DISPLAY
# names it. A window manager is not needed: the prefixes use a Wine desktop.
# Xvfb picks a free display number itself and tells it once it is ready, so
# that sessions starting at the same moment (a second clone's tests) never
# share a display.
start_display() {
  local told number=
  told=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -ac 3>"$told" >/dev/null 2>&1 &
  display_pid=$!
  local _
  for _ in $(seq 200); do
    number=$(sed -n 's/^\([0-9][0-9]*\)$/\1/p' "$told")
    [ -n "$number" ] && break
    kill -0 "$display_pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$told"
  if [ -z "$number" ]; then
    echo "The virtual display did not start" >&2
    return 1
  fi
  export DISPLAY=:$number
}

# Starts the prefix PREFIX (default wineprefix) of build tree ARCH on the
# display and keeps it up until the session ends: its wineserver, its
# services with the TELDO port driver, and its desktop. Started here, with
# output to nowhere, these processes never hold a test runner's output open.
boot_prefix() {
  (
    export TELDO_BUILD_DIR=$build_dir/$1 TELDO_PREFIX=${2:-wineprefix}
    source "$source_dir/scripts/wine-env.sh"
    # A server left up by the build started its desktop without this display,
    # and windows on that desktop have no display driver: start anew.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p 2>/dev/null
    wine wineboot >/dev/null 2>&1
    wine explorer /desktop=Default,1024x768 >/dev/null 2>&1 &
    wine sc query TELDO >/dev/null 2>&1 || true  # once it answers, the services are up
  )
}

# Starts every prefix of build tree ARCH (boot_prefix).
boot_tree() {
  local prefix
  for prefix in "${tree_prefixes[@]}"; do
    boot_prefix "$1" "$prefix"
  done
}

# Runs CTest in build tree ARCH, the tests side by side where they share
# nothing (tests/CMakeLists.txt), with its output also in
# BUILD_DIR/ARCH/ctest.log, and gathers the tree's report. Returns CTest's
# status.
run_suite() {
  local tree=$build_dir/$1 jobs status=0
  jobs=$(nproc)
  [ "$jobs" -ge 2 ] || jobs=2
  rm -rf "$tree/report" && mkdir -p "$tree/report"
  (cd "$tree" && ctest --output-on-failure -j "$jobs") 2>&1 | tee "$tree/ctest.log" || status=${PIPESTATUS[0]}
  "$source_dir/scripts/update-report.sh" "$tree"
  return $status
}
