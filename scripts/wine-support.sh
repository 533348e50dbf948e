# Sourced: which Windows architectures this machine can run under Wine, and
# the Wine loader of each. Decided here once for every script and for CTest.
#   win64 (the x64 build): 64-bit Wine (Debian's wine64), native x86-64 code.
#   win32 (the x86 build): 32-bit Wine (wine32:i386), itself 32-bit x86 Linux
#     code. Some machines cannot run such code at all (a kernel or host that
#     runs 64-bit programs only: execve answers "Exec format error"), and
#     under an emulator such as qemu-user Wine is many times slower and crashes.

# Every build tree's prefixes: the main one and the soak test's own.
tree_prefixes=(wineprefix wineprefix-soak)
# The prefix that Wine made and nothing has run in since: the tree's prefixes
# and the package tests' start as copies of it (copy_fresh_prefix).
fresh_prefix=wineprefix-fresh

# Makes the prefix DIR a copy of the fresh prefix of build tree TREE (whose
# wine-env.sh settings are in effect), making that one first where there is
# none: a copy takes a small part of the time Wine needs to make a prefix
# (docs/building-and-testing.md#time has both). Safe to run for several
# prefixes of one tree at once.
copy_fresh_prefix() {
  local tree=$1 dir=$2 fresh=$1/$fresh_prefix
  (
    flock 9
    if [ ! -f "$fresh/system.reg" ]; then
      rm -rf "$fresh"
      WINEPREFIX=$fresh wine wineboot -i >/dev/null 2>&1
      WINEPREFIX=$fresh wineserver -w
    fi
  ) 9>"$tree/.fresh-prefix.lock"
  copy_prefix "$fresh" "$dir"
}

# Makes DIR a copy of the prefix FROM, in which no Wine may be running. Wine's
# own binaries in system32 and syswow64, most of a prefix's gigabyte, become
# hard links to FROM's: Wine writes them only when a prefix is made or its
# Wine version changes, and then the same files for every prefix. Every other
# file (the registry, the settings files) is the copy's own. Where links cannot
# be made (FROM on another file system), it copies everything.
copy_prefix() {
  local from=$1 dir=$2 partial
  partial=$(realpath -m "$dir.partial")
  rm -rf "$dir" "$partial"
  if cp -al "$from" "$partial" 2>/dev/null; then
    (
      cd "$from" &&
        find . -type f ! \( \( -path './drive_c/windows/system32/*' -o -path './drive_c/windows/syswow64/*' \) \
                              \( -name '*.dll' -o -name '*.exe' -o -name '*.nls' -o -name '*.drv' -o -name '*.sys' \) \) \
               -print0 | xargs -0 -r cp -p --remove-destination --parents -t "$partial"
    ) || return 1
  else
    rm -rf "$partial"
    cp -a "$from" "$partial" || return 1
  fi
  mv "$partial" "$dir"
}

# Ends every Wine process of the prefixes of both trees under BUILD_DIR and
# waits until they are gone. A prefix whose driver runs never ends by itself.
end_tree_prefixes() {
  command -v wineserver >/dev/null || return 0
  local arch prefix
  for arch in x86 x64; do
    for prefix in "${tree_prefixes[@]}"; do
      [ -d "$1/$arch/$prefix" ] || continue
      WINEPREFIX=$1/$arch/$prefix wineserver -k 2>/dev/null || true
      WINEPREFIX=$1/$arch/$prefix wineserver -w 2>/dev/null || true
    done
  done
}

wine_unsupported_exit_code=77  # WINE_UNSUPPORTED_EXIT_CODE in CMakeLists.txt: CTest counts it as skipped

# True when this machine runs 32-bit x86 Linux programs natively: tries a
# 93-byte i386 program that only exits with 42. TELDO_WITHOUT_32BIT=1 makes a
# machine that can behave as one that cannot (to try that path).
runs_32bit_x86_code() {
  [ "${TELDO_WITHOUT_32BIT:-}" = 1 ] && return 1
  local emulator=/proc/sys/fs/binfmt_misc/qemu-i386
  [ -e "$emulator" ] && grep -qx enabled "$emulator" && return 1
  local probe status=0
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xb3\x2a\x90\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ $status -eq 42 ]
}

# Left by scripts/install-packages.sh when wine32:i386 could not be
# installed (its i386 lists out of step with the amd64 ones, as a mirror in
# mid-sync leaves them). For an hour after, no script tries again.
wine32_unavailable_marker=/var/tmp/brenvo-wine32-unavailable
wine32_lately_unavailable() {
  [ -n "$(find "$wine32_unavailable_marker" -mmin -60 2>/dev/null)" ]
}

# The Wine loader for a prefix of ARCH (win32 or win64). /usr/bin/wine picks
# the 32-bit loader whenever wine32 is installed, so each is named directly.
wine_loader() {
  case $1 in
    win32) echo /usr/lib/wine/wine ;;
    win64) echo /usr/lib/wine/wine64 ;;
    *) echo "unknown Wine architecture: $1" >&2; return 1 ;;
  esac
}

# Sets WINEARCH and WINELOADER for ARCH (win32 or win64), and defines `wine`
# (exported to child shells) as that loader.
use_wine_loader() {
  export WINEARCH=$1 WINELOADER
  WINELOADER=$(wine_loader "$1")
  wine() { "$WINELOADER" "$@"; }
  export -f wine
}

# True when a prefix of ARCH can run here; otherwise says why on stderr.
wine_runs_here() {
  local arch=${1:?usage: wine_runs_here win32|win64}
  if [ "$arch" = win32 ] && ! runs_32bit_x86_code; then
    echo "This machine cannot run 32-bit x86 programs natively, which 32-bit Wine needs (its kernel or host runs 64-bit programs only, or only through an emulator)." >&2
    return 1
  fi
  local loader
  loader=$(wine_loader "$arch") || return 1
  if ! [ -x "$loader" ] && [ "$arch" = win32 ] && wine32_lately_unavailable; then
    echo "32-bit Wine (wine32:i386) could not be installed from this machine's package lists (scripts/install-packages.sh said why); scripts/test-x86.sh runs the x86 suite in an emulated PC instead." >&2
    return 1
  elif ! [ -x "$loader" ]; then
    echo "The $arch Wine loader $loader is not installed (scripts/install-packages.sh installs it)." >&2
    return 1
  fi
}
