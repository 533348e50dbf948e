#!/usr/bin/env bash
# The developer's kit of an unpacked package, with nothing but its own files:
# builds each of its examples with MinGW against sdk/lib/lib<DLL>.dll.a, and
# for Microsoft's ABI (clang and lld-link, no Microsoft tool, no C runtime)
# against sdk/lib/<DLL>.lib, beside the package's DLLs; then checks that each
# imports from its DLL exactly the undecorated names it calls.
# Needs no Wine; package_test.sh runs it before the Wine part.
# Usage: sdk_build_check.sh PACKAGE_DIR
# Tools from the environment: MINGW_CC, OBJDUMP, CLANG, LLD_LINK, MINGW_ROOT
# (MinGW's Windows headers and system import libraries), and MSVC_TARGET
# (clang's target triple for Microsoft's ABI of the package's architecture).
set -euo pipefail
package=${1:?usage: sdk_build_check.sh PACKAGE_DIR}
sdk=$package/sdk

for file in include/teldo.h include/teldox.h lib/TELDO.lib lib/libTELDO.dll.a lib/TELDO.def \
            lib/TELDOX.lib lib/libTELDOX.dll.a lib/TELDOX.def examples/teldo_example.c \
            examples/teldox_example.c README.txt; do
  [ -f "$sdk/$file" ] || { echo "The kit lacks sdk/$file" >&2; exit 1; }
done

warnings=(-Wall -Wextra -Werror)
# MinGW's headers know this compiler by its architecture's macro (_X86_ or
# _AMD64_) and a GCC version; x86 images of lld-link need /safeseh:no, as the
# kit's examples have no safe exception handler table.
case $MSVC_TARGET in
  i686-*) arch_flags=(-D_X86_) link_flags=(/safeseh:no) ;;
  x86_64-*) arch_flags=(-D_AMD64_) link_flags=() ;;
  *) echo "unknown MSVC_TARGET $MSVC_TARGET" >&2; exit 1 ;;
esac

# The names FILE imports from DLL, one a line, sorted.
dll_imports() {
  "$OBJDUMP" -p "$1" | awk -v dll="$2" '
    /DLL Name:/ { wanted = ($3 == dll); next }
    /^[[:space:]]*$/ { wanted = 0 }
    wanted && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | sort
}

# EXAMPLE LIBRARY NAMES...: builds sdk/examples/EXAMPLE.c both ways against
# LIBRARY's import libraries and checks that each imports exactly NAMES.
build_example() {
  local example=$1 library=$2
  shift 2
  local source=$sdk/examples/$example.c
  "$MINGW_CC" -std=c99 -pedantic "${warnings[@]}" -I "$sdk/include" "$source" \
              "$sdk/lib/lib$library.dll.a" -o "$package/${example}_mingw.exe"
  "$CLANG" --target="$MSVC_TARGET" -std=c99 "${warnings[@]}" "${arch_flags[@]}" -fgnuc-version=4.2.1 \
           -isystem "$MINGW_ROOT/include" -I "$sdk/include" -c "$source" \
           -o "$package/${example}_msvc.obj"
  "$LLD_LINK" /nologo /nodefaultlib "${link_flags[@]}" /entry:main /subsystem:console \
              "/out:$package/${example}_msvc.exe" "$package/${example}_msvc.obj" \
              "$sdk/lib/$library.lib" "$MINGW_ROOT/lib/libkernel32.a" "$MINGW_ROOT/lib/libuser32.a"
  local expected imports build
  expected=$(printf '%s\n' "$@")
  for build in mingw msvc; do
    imports=$(dll_imports "$package/${example}_$build.exe" "$library.dll")
    if [ "$imports" != "$expected" ]; then
      echo "${example}_$build.exe imports from $library.dll:" >&2
      echo "${imports:-nothing}" >&2
      echo "but should import exactly: $expected" | tr '\n' ' ' >&2
      echo >&2
      exit 1
    fi
  done
}
build_example teldo_example TELDO TELDO_Close TELDO_Open TELDO_RD TELDO_WR
build_example teldox_example TELDOX TELDOX_Close TELDOX_Open TELDOX_Read TELDOX_ReadBlock TELDOX_Run \
              TELDOX_Write TELDOX_WriteBlock
echo "The kit's examples built with MinGW and for Microsoft's ABI; each imports its library's names"
