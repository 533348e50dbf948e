# Sourced: whether this machine can run the Windows binaries under Wine.
# The prefix is a 32-bit one, and 32-bit Wine is itself 32-bit x86 Linux code.
# Some machines cannot run such code at all (a kernel or host that runs
# 64-bit programs only: execve answers "Exec format error"), and under an
# emulator such as qemu-user Wine is many times slower and crashes.

wine_unsupported_exit_code=77  # WINE_UNSUPPORTED_EXIT_CODE in CMakeLists.txt: CTest counts it as skipped

# True when 32-bit x86 programs run natively here; otherwise says why on stderr.
wine_runs_here() {
  local emulator=/proc/sys/fs/binfmt_misc/qemu-i386
  if [ -e "$emulator" ] && grep -qx enabled "$emulator"; then
    echo "This machine runs 32-bit x86 programs only through an emulator (qemu-i386), too slow for 32-bit Wine." >&2
    return 1
  fi
  if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    echo "This machine cannot run 32-bit x86 programs, which 32-bit Wine needs (its kernel or host runs 64-bit programs only)." >&2
    return 1
  fi
}
