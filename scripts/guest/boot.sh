#!/usr/bin/env bash
# Boots the emulated PC in GUEST (made by build-guest.sh), runs COMMAND in it
# with each DIR shared from this machine at the same path (9p), prints what
# COMMAND prints and exits with its status. Full-system emulation (TCG), so
# it needs no KVM and no 32-bit code on this machine. The guest's disk stays
# as it is (its writes go to a temporary overlay) unless --writable is given.
# `-cpu max,-smap`: with SMAP, QEMU 7.2 faults on an iretq that Wine executes
# and every Wine process dies. No network. --com2 FILE adds a 16550 UART at
# 02F8 (IRQ 3) and --lpt1 FILE a parallel port at 0378, each writing what it
# sends into FILE on this machine. The console stays on the first UART (03F8);
# the second is never opened, and the parallel port's modules are kept out of
# the guest's kernel, so that only the job drives them.
# Usage: boot.sh GUEST [--writable] [--share DIR]... [--com2 FILE] [--lpt1 FILE]
#                COMMAND [ARGS...]
set -euo pipefail
guest=${1:?usage: boot.sh GUEST [--writable] [--share DIR]... [--com2 FILE] [--lpt1 FILE] COMMAND [ARGS...]}
shift
snapshot=on
shares=()
devices=()
kernel_options=
while [ $# -gt 0 ]; do
  case $1 in
    --writable) snapshot=off; shift ;;
    --share) shares+=("$(cd "$2" && pwd)"); shift 2 ;;
    # A UART given with -device replaces the default one: the console's is named too.
    --com2) devices+=(-serial mon:stdio -chardev "file,id=com2,path=$2"
                      -device isa-serial,chardev=com2,iobase=0x2f8,irq=3)
            shift 2 ;;
    --lpt1) devices+=(-parallel "file:$2")
            kernel_options=" modprobe.blacklist=parport,parport_pc,ppdev,lp"
            shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "boot.sh: no command" >&2; exit 2; }

control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
{
  printf 'shares=('; printf '%q ' "${shares[@]}"; printf ')\n'
  printf 'command=('; printf '%q ' "$@"; printf ')\n'
} >"$control/settings"
virtfs=(-virtfs "local,path=$control,mount_tag=control,security_model=none")
for index in "${!shares[@]}"; do
  virtfs+=(-virtfs "local,path=${shares[$index]},mount_tag=share$index,security_model=none")
done

# An hour at most, so that a PC that hangs cannot hold a run up for good.
timeout 3600 qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -cpu max,-smap \
  -smp "${TELDO_GUEST_CPUS:-2}" -m "${TELDO_GUEST_MEMORY:-4096}" \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 quiet init=/sbin/brenvo-init$kernel_options" \
  -drive "file=$guest/disk.img,format=raw,if=virtio,snapshot=$snapshot" \
  "${virtfs[@]}" "${devices[@]}" -net none -nographic -no-reboot </dev/null
status=$(cat "$control/status" 2>/dev/null) || { echo "The emulated PC stopped before its command ended" >&2; exit 1; }
exit "$status"
