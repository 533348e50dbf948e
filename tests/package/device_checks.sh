#!/usr/bin/env bash
# The win64 package's teldo.sys on device models that no one here wrote:
# QEMU's 16550 UART at 02F8 (COM2) and its parallel port at 0378 (LPT1), in
# the emulated PC of scripts/test-devices.sh, driven through the driver's own
# in and out instructions. Runs under grant-ports (scripts/guest/), which gives
# it and the Wine processes it starts exactly those two port ranges and COM1's
# (03F8-03FF, the guest kernel's console), of which the checks touch only the
# scratch register 03FF. With the package's teldo.exe (and so its TELDOX.dll),
# in a fresh 64-bit prefix:
#   - the driver installed with windows 02F8-02FF and 0378-037A;
#   - UART loopback: a byte from THR back in RBR, LSR saying so; 16 bytes as
#     one FIFO block each way, byte for byte;
#   - UART out: a line written to THR, each byte after LSR said empty, is
#     exactly what COM2's file on the host receives;
#   - parallel port: a text sent byte by byte with the strobe is exactly what
#     LPT1's file receives;
#   - port programs: each handshake (LSR polled before each byte; BUSY polled
#     and the strobe pulsed for each byte) run whole as one request; a poll
#     for data that never comes times out and ends its program there;
#   - refusals: a block that runs past the window's end changes nothing, and a
#     write to COM1's scratch register (outside the windows, but granted)
#     never reaches it.
# Prints each check and "N passed, N failed"; exits 1 when any failed.
# Usage: device_checks.sh PACKAGE_DIR FRESH_WIN64_PREFIX COM2_FILE LPT1_FILE   (as root)
set -uo pipefail
package=${1:?usage: device_checks.sh PACKAGE_DIR FRESH_WIN64_PREFIX COM2_FILE LPT1_FILE}
fresh=${2:?} com2_file=${3:?} lpt1_file=${4:?}

export WINEPREFIX=$(dirname "$package")/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
rm -rf "$WINEPREFIX"
cp -a "$fresh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p  # kept running, so that each teldo.exe starts in under a second

source "$(dirname "${BASH_SOURCE[0]}")/teldo_runs.sh"
passed=0 failed=0
# ARGUMENTS...: the package's teldo.exe (teldo_in), its output in $said.
teldo() { teldo_in "$package" /usr/lib/wine/wine64 "$@"; }
# WHAT COMMAND...: COMMAND must succeed; prints the outcome, with what
# teldo.exe last said when it failed.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    sed 's/^/    teldo said: /' <<<"$said"
  fi
}
said_is() { [ "$said" = "$1" ]; }
said_has() { grep -qF -- "$1" <<<"$said"; }
# EXIT: teldo.exe ended with EXIT, saying that the driver refused the request
# (not that the device could not be opened).
refused() { [ "$1" = 1 ] && said_has "the driver refused it"; }
# EXIT TEXT: teldo.exe ended with 0, having said TEXT among its lines (a
# refusal's text may name the same things).
removed_saying() { [ "$1" = 0 ] && said_has "$2"; }
# EXIT EXPECTED_EXIT TEXT: teldo.exe ended with EXPECTED_EXIT, having said
# exactly TEXT.
ended_saying() { [ "$1" = "$2" ] && said_is "$3"; }
# MASK: every line of $said is a hex value with all of MASK's bits set.
each_has() {
  local value
  while read -r value; do
    [[ $value =~ ^[0-9A-F]{2}$ ]] && (((16#$value & $1) == $1)) || return 1
  done <<<"$said"
}
# FILE TEXT: what the host has received in FILE is exactly TEXT.
received() { [ "$(od -An -tx1 -v "$1")" = "$(printf %s "$2" | od -An -tx1 -v)" ]; }
# TEXT LINES: LINES once for each byte of TEXT, BYTE in them standing for
# that byte in hex.
for_each_byte() {
  local byte
  for byte in $(printf %s "$1" | od -An -tx1 -v); do
    printf '%s\n' "${2//BYTE/$byte}"
  done
}
# The byte at port PORT (decimal) through the kernel's /dev/port, in hex.
kernel_reads() { dd if=/dev/port bs=1 skip="$1" count=1 status=none | od -An -tx1 | tr -d ' '; }

teldo driver install --ports 02F8-02FF,0378-037A
check "the driver installed, on real ports 02F8-02FF and 0378-037A" \
  said_has "real ports 02F8-02FF 0378-037A"

# The UART: 8 data bits, no parity, one stop bit, no interrupts, FIFO off,
# loopback on (MCR bit 4); RBR read once to empty it.
teldo - <<'EOF'
wr 2FB 03
wr 2F9 00
wr 2FA 00
wr 2FC 10
rd 2F8
rd 2FD
wr 2F8 5A
rd 2FD
rd 2F8
rd 2FD
EOF
check "UART loopback: LSR 60, a byte to THR, LSR 61 (data ready), 5A from RBR, LSR 60" \
  [ "$(sed 1d <<<"$said")" = $'60\n61\n5A\n60' ]

fifo_bytes="00 FF 01 FE 55 AA 80 7F 10 20 30 40 A5 5A C3 3C"
teldo - <<EOF
wr 2FA 07
wr --fifo 2F8 $fifo_bytes
rd 2FD
rd --fifo 2F8 10
rd 2FD
EOF
check "UART loopback, FIFO on: 16 bytes to THR in one block, the same 16 from RBR in one block" \
  said_is "61
$fifo_bytes
60"

# Loopback off (MCR: DTR and RTS only): what THR takes now leaves on the
# line, into COM2's file.
line="Brenvo, COM2: 0x2F8"$'\r\n'
teldo - <<<"wr 2FC 03
$(for_each_byte "$line" $'rd 2FD\nwr 2F8 BYTE')"
check "UART out: LSR said THR empty before each byte" each_has 0x20
check "UART out: COM2's file received the line exactly" received "$com2_file" "$line"

# The parallel port: INIT high (no printer reset) and SELECT, then each byte
# in the data register and a strobe pulse in the control register.
text="PRINTED ON LPT1"$'\n'
teldo - <<<"wr 37A 0C
$(for_each_byte "$text" $'wr 378 BYTE\nwr 37A 0D\nwr 37A 0C')"
check "parallel port: LPT1's file received the text strobed byte by byte" received "$lpt1_file" "$text"

# Port programs: the same handshakes, each run whole by the driver as one
# request, with the device's own status polled before every byte.
program_line="one request"$'\r\n'
teldo run - <<<"$(for_each_byte "$program_line" $'poll 2FD 20 20 1000 us\nwr 2F8 BYTE')"
check "port program: the UART's line, LSR polled before each byte, in one request" \
  received "$com2_file" "$line$program_line"
program_text="one strobe each"$'\n'
teldo run - <<<"$(for_each_byte "$program_text" $'poll 379 80 80 1000 us\nwr 378 BYTE\nwr 37A 0D\nwr 37A 0C')"
check "port program: the parallel text, BUSY polled and the strobe pulsed for each byte, in one request" \
  received "$lpt1_file" "$text$program_text"
# Nothing comes in: COM2's file feeds the UART nothing and loopback is off.
# LSR read first says so (data ready clear); the poll for data ready then
# times out, names its line and ends the program before the read after it.
teldo run - <<'EOF'
rd 2FD
poll 2FD 01 01 200 us
rd 2F8
EOF
check "port program: a poll of LSR for data ready, nothing received, times out: exit 1, its line named" \
  ended_saying $? 1 "02FD: 60
teldo: line 2: poll of port 02FD timed out after 200 us: it last read 60, not 01 under mask 01
teldo: the operations after it did not run"

# Refusals. COM2's scratch register (02FF) is the window's last port: a
# block from it runs out of the window and must be refused whole.
teldo wr 2FF 11
teldo wr 2FF 22 33
check "a block from 02FF to 0300 is refused" refused $?
teldo rd 2FF
check "the refused block changed nothing: 02FF still 11" said_is 11
# COM1's scratch register (03FF) is outside the windows but granted to these
# checks, so a write the driver let through would land in it. The kernel
# sets it and reads it back; no other COM1 port is touched.
printf '\x5A' | dd of=/dev/port bs=1 seek=$((0x3FF)) conv=notrunc status=none
teldo wr 3FF A5
check "a write to 03FF (COM1, outside the windows) is refused" refused $?
check "COM1 answers as before: its scratch register still 5A" [ "$(kernel_reads $((0x3FF)))" = 5a ]

teldo driver remove
check "the driver removed: exit 0, and the success text" \
  removed_saying $? "The TELDO port driver is removed: its service and its settings"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
