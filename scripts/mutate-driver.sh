#!/usr/bin/env bash
# Breaks the packages' teldo.sys at each of its port accesses, one copy a
# break, and runs the emulated driver's real-port tests on each copy: a break
# that no test notices is a port access that the tests do not guard.
#   x64: each port instruction of .portio (in, out, rep ins, rep outs)
#        becomes NOPs of its length;
#   x86: each call of a HAL port function calls the same function of another
#        width instead (UCHAR -> USHORT -> ULONG -> UCHAR, the BUFFER forms
#        likewise), through that function's import address table slot.
# The port accesses are looked for in every executable section, and one
# outside .portio fails the run, as no break reaches it there: a port
# instruction (x64), or an instruction that names a HAL port function's slot
# (x86): a call moved out of .portio, or one through an import thunk.
# Prints the score (for each architecture, the breaks that a test caught of
# the breaks made; docs/emulation.md gives the latest), the count of
# accesses outside .portio, every break that survived and every access
# outside .portio; fails below full marks, on any access outside .portio, or
# when it finds no port access to break.
# Usage: scripts/mutate-driver.sh HOST_BUILD_DIR
#   (tests/host's build tree: its teldo_sys_emulated_test and the unpacked
#   win32-package and win64-package folders)
set -euo pipefail
host=$(cd "${1:?usage: mutate-driver.sh HOST_BUILD_DIR}" && pwd)
test_program=$host/teldo_sys_emulated_test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# awk without gawk's strtonum: a hexadecimal number's value.
hex_awk='function hex(s,  v, i) { s = tolower(s); v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }'

# The disassembly of every executable section of SYS with OBJDUMP, one line
# an instruction ("ADDRESS:<tab>BYTES<tab>TEXT"), for an awk program that
# starts with $listing_awk: on each line it sets `section` to the section the
# line is in and `offset` to the line's file offset.
listing() {
  local objdump=$1 sys=$2
  # "NAME VMA FILE_OFFSET" of each section, from objdump -h, first.
  "$objdump" -h "$sys" | awk '$1 ~ /^[0-9]+$/ { print $2, $4, $6 }'
  echo
  "$objdump" -d --insn-width=16 "$sys"
}
listing_awk="$hex_awk"'
  !listed { if ($0 == "") listed = 1; else { split($0, f, " "); vma[f[1]] = hex(f[2]); place[f[1]] = hex(f[3]) }; next }
  /^Disassembly of section / { split($0, f, " "); section = f[4]; sub(/:$/, "", section); next }
  { address = $1; gsub(/[ :]/, "", address); offset = hex(address) - vma[section] + place[section] }'

# Writes hex bytes ("9090") into FILE at decimal OFFSET.
patch() {
  local file=$1 offset=$2 bytes=$3 escaped="" i
  for ((i = 0; i < ${#bytes}; i += 2)); do escaped+="\\x${bytes:i:2}"; done
  printf "$escaped" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# x64: "SECTION OFFSET LENGTH TEXT" for each port instruction, after any
# prefixes, of every executable section.
x64_accesses() {
  local sys=$1
  listing x86_64-w64-mingw32-objdump "$sys" |
    awk -F'\t' "$listing_awk"'
      $3 ~ /^([a-z0-9.]+ )*(in|out|ins[bwl]|outs[bwl]) / {
        length_ = split($2, bytes, " ")
        text = $3; gsub(/ +/, " ", text)
        printf "%s %d %d %s\n", section, offset, length_, text
      }'
}

# x86: "SECTION OFFSET NEW_BYTES TEXT" for each instruction of every
# executable section that names the import address table slot of a HAL port
# function, the slot's four bytes replaced by those of the same function of
# the next width.
x86_accesses() {
  local sys=$1 base
  base=$(i686-w64-mingw32-objdump -p "$sys" | awk '$1 == "ImageBase" { print $2 }')
  # Each HAL function's slot: the directory's First Thunk (its last column,
  # on the line before "DLL Name: HAL.dll") plus 4 a function, in order.
  i686-w64-mingw32-objdump -p "$sys" | awk -v base=$((16#$base)) "$hex_awk"'
    /^ [0-9a-f]+\t/ { thunk = hex($NF) }
    /DLL Name:/ { hal = ($3 == "HAL.dll"); index_ = 0; next }
    hal && /^\t[0-9a-f]+\t/ { printf "%s %x\n", $3, base + thunk + 4 * index_++ }
    /^$/ && index_ { hal = 0 }' >"$work/slots"
  listing i686-w64-mingw32-objdump "$sys" |
    awk -F'\t' -v slots="$work/slots" "$listing_awk"'
      function le(h) { return substr(h, 7, 2) " " substr(h, 5, 2) " " substr(h, 3, 2) " " substr(h, 1, 2) }
      BEGIN {
        while ((getline line < slots) > 0) { split(line, f, " "); slot[f[1]] = sprintf("%08x", hex(f[2])) }
        for (name in slot) if (name ~ /_PORT_/) {
          next_ = name
          if (!sub(/UCHAR$/, "USHORT", next_) && !sub(/USHORT$/, "ULONG", next_)) sub(/ULONG$/, "UCHAR", next_)
          old = le(slot[name]); new_ = le(slot[next_]); gsub(/ /, "", new_)
          turn[old] = name; to[old] = new_; named[old] = next_
        }
      }
      NF >= 3 {
        code = $2; sub(/ +$/, "", code)
        for (old in turn) {
          at = index(code, old)
          if (at == 0) continue
          before = substr(code, 1, at - 1)
          skip = split(before, unused, " ")
          printf "%s %d %s %s to %s\n", section, offset + skip, to[old], turn[old], named[old]
        }
      }'
}

# Runs the real-port tests of ARCH with SYS as its package's teldo.sys; true
# when they all pass (the break survived).
survives() {
  local arch=$1 sys=$2 variable=TELDO_WIN32_PACKAGE_DIR
  [ "$arch" = x64 ] && variable=TELDO_WIN64_PACKAGE_DIR
  env "$variable=$(dirname "$sys")" "$test_program" --gtest_filter="*RealPorts*/$arch" --gtest_fail_fast \
    >/dev/null 2>&1
}

# Breaks ARCH's driver at each port access of .portio in turn; prints each
# access outside .portio and each survivor, then "ARCH KILLED TOTAL OUTSIDE"
# as its last line.
mutate() {
  local arch=$1 package=$host/win64-package original accesses total=0 killed=0 outside=0
  local section offset replacement text copy
  [ "$arch" = x86 ] && package=$host/win32-package
  original=$package/teldo.sys
  accesses=$("${arch}_accesses" "$original")
  while read -r section offset replacement text; do
    if [ -n "$section" ] && [ "$section" != .portio ]; then
      echo "mutate-driver: $arch, a port access outside .portio, which no break reaches: ${text%% to *} in $section (file offset $offset)"
      outside=$((outside + 1))
    fi
  done <<<"$accesses"
  if ! survives "$arch" "$original"; then
    echo "mutate-driver: the unbroken $arch driver fails its tests"
    echo "$arch 0 0 $outside"
    return
  fi
  while read -r section offset replacement text; do
    [ "$section" = .portio ] || continue
    total=$((total + 1))
    mkdir -p "$work/$arch-$total"
    copy=$work/$arch-$total/teldo.sys
    cp "$original" "$copy"
    if [ "$arch" = x64 ]; then
      patch "$copy" "$offset" "$(printf '90%.0s' $(seq "$replacement"))"
    else
      patch "$copy" "$offset" "$replacement"
    fi
    if survives "$arch" "$copy"; then
      echo "mutate-driver: $arch, no test noticed: $text (file offset $offset)"
    else
      killed=$((killed + 1))
    fi
  done <<<"$accesses"
  echo "$arch $killed $total $outside"
}

# Both architectures side by side, one a processor.
mutate x64 >"$work/x64.out" &
mutate x86 >"$work/x86.out"
wait
status=0
score=()
outside_counts=()
for arch in x64 x86; do
  head -n -1 "$work/$arch.out"
  read -r _ killed total outside < <(tail -n 1 "$work/$arch.out")
  score+=("$arch $killed/$total")
  outside_counts+=("$arch $outside")
  if [ "$total" = 0 ] || [ "$killed" != "$total" ] || [ "$outside" != 0 ]; then status=1; fi
done
echo "Port accesses of teldo.sys that a test catches when broken: ${score[0]}, ${score[1]}; outside .portio: ${outside_counts[0]}, ${outside_counts[1]}"
exit $status
