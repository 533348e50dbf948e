#!/usr/bin/env bash
# The developer's kit of an unpacked package, with nothing but its own files:
# builds its example with MinGW against sdk/lib/libTELDO.dll.a, and for
# Microsoft's ABI (clang and lld-link, no Microsoft tool, no C runtime) against
# sdk/lib/TELDO.lib, both beside the package's TELDO.dll; then checks that each
# imports from TELDO.dll exactly the four undecorated names it calls.
# Needs no Wine; package_test.sh runs it before the Wine part.
# Usage: sdk_build_check.sh PACKAGE_DIR
# Tools from the environment: MINGW_CC, OBJDUMP, CLANG, LLD_LINK, MINGW_ROOT
# (MinGW's Windows headers and system import libraries), and MSVC_TARGET
# (clang's target triple for Microsoft's ABI of the package's architecture).
set -euo pipefail
package=${1:?usage: sdk_build_check.sh PACKAGE_DIR}
sdk=$package/sdk

for file in include/teldo.h lib/TELDO.lib lib/libTELDO.dll.a lib/TELDO.def \
            examples/teldo_example.c README.txt; do
  [ -f "$sdk/$file" ] || { echo "The kit lacks sdk/$file" >&2; exit 1; }
done

example=$sdk/examples/teldo_example.c
warnings=(-Wall -Wextra -Werror)

"$MINGW_CC" -std=c99 -pedantic "${warnings[@]}" -I "$sdk/include" "$example" \
            "$sdk/lib/libTELDO.dll.a" -o "$package/teldo_example_mingw.exe"

# MinGW's headers know this compiler by its architecture's macro (_X86_ or
# _AMD64_) and a GCC version; x86 images of lld-link need /safeseh:no, as the
# kit's example has no safe exception handler table.
case $MSVC_TARGET in
  i686-*) arch_flags=(-D_X86_) link_flags=(/safeseh:no) ;;
  x86_64-*) arch_flags=(-D_AMD64_) link_flags=() ;;
  *) echo "unknown MSVC_TARGET $MSVC_TARGET" >&2; exit 1 ;;
esac
"$CLANG" --target="$MSVC_TARGET" -std=c99 "${warnings[@]}" "${arch_flags[@]}" -fgnuc-version=4.2.1 \
         -isystem "$MINGW_ROOT/include" -I "$sdk/include" -c "$example" \
         -o "$package/teldo_example_msvc.obj"
"$LLD_LINK" /nologo /nodefaultlib "${link_flags[@]}" /entry:main /subsystem:console \
            "/out:$package/teldo_example_msvc.exe" "$package/teldo_example_msvc.obj" \
            "$sdk/lib/TELDO.lib" "$MINGW_ROOT/lib/libkernel32.a" "$MINGW_ROOT/lib/libuser32.a"

# The names FILE imports from TELDO.dll, one a line, sorted.
teldo_imports() {
  "$OBJDUMP" -p "$1" | awk '
    /DLL Name:/ { teldo = ($3 == "TELDO.dll"); next }
    /^[[:space:]]*$/ { teldo = 0 }
    teldo && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | sort
}
expected=$(printf '%s\n' TELDO_Close TELDO_Open TELDO_RD TELDO_WR)
for build in mingw msvc; do
  imports=$(teldo_imports "$package/teldo_example_$build.exe")
  if [ "$imports" != "$expected" ]; then
    echo "teldo_example_$build.exe imports from TELDO.dll:" >&2
    echo "${imports:-nothing}" >&2
    echo "but should import exactly: $expected" | tr '\n' ' ' >&2
    echo >&2
    exit 1
  fi
done
echo "The kit's example built with MinGW and for Microsoft's ABI; both import TELDO.dll's four names"
