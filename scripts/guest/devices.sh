#!/bin/bash
# The device checks inside the emulated PC. scripts/test-devices.sh boots it
# with COM2 and LPT1 writing into files in WORK_DIR and that folder shared at
# its own path. First, without any port permission: checks that the guest's
# kernel has left both ports alone (no parallel port module, the second UART
# never opened), unpacks the win64 zip onto this PC's disk (Wine runs programs
# from a local disk far better than from the share). Then runs
# tests/package/device_checks.sh under grant-ports, which gives it, and only
# it, ports 02F8-02FF and 0378-037A, and COM1's 03F8-03FF so that a write the
# driver let past its windows would land in COM1's scratch register, where
# the checks read it back. Exits with the checks' status.
# Usage: devices.sh SOURCE_DIR WIN64_ZIP WORK_DIR
set -euo pipefail
source_dir=${1:?usage: devices.sh SOURCE_DIR WIN64_ZIP WORK_DIR}
zip=${2:?}
work=${3:?}

if grep -E '^(parport|parport_pc|ppdev|lp) ' /proc/modules; then
  echo "The guest's kernel has a parallel port module loaded: it may drive LPT1 itself" >&2
  exit 1
fi
if grep -E '^1: .*(tx|rx):[1-9]' /proc/tty/driver/serial; then
  echo "The guest's kernel has used its second UART (ttyS1): it may drive COM2 itself" >&2
  exit 1
fi

local_dir=/var/tmp/devices
mkdir -p $local_dir
(cd $local_dir && cmake -E tar xf "$zip")
install -m 755 "$work/grant-ports" /usr/local/sbin/grant-ports
exec grant-ports "$source_dir/tests/package/device_checks.sh" \
  "$local_dir/$(basename "$zip" .zip)" /var/lib/brenvo/win64-prefix "$work/com2" "$work/lpt1"
