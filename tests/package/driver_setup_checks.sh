# Sourced by package_test.sh in a fresh prefix, in the unpacked package: takes
# "teldo driver install | remove | status" through the states an
# administrator meets, checking exit codes, what they say, and the service
# key, which a refused or failed install must leave exactly as it was. Ends
# with the driver removed.

source "$(dirname "${BASH_SOURCE[0]}")/teldo_runs.sh"
# The package's teldo.exe: its exit code, its output in $said.
teldo() { teldo_in "$package" wine "$@"; }
# CHECK_NAME EXPECTED_EXIT TEXT ARGUMENTS...: runs teldo ARGUMENTS, which must
# end with EXPECTED_EXIT and say TEXT.
expect() { expect_teldo "driver set-up: $1" "$2" "$3" "$package" wine "${@:4}"; }
service_key='HKLM\SYSTEM\CurrentControlSet\Services\TELDO'
registry() { wine reg query "$service_key" /s 2>&1 | tr -d '\r' | grep -v '^$' || true; }
unchanged_since() {
  [ "$(registry)" = "$1" ] ||
    { echo "driver set-up: $2 changed the service key:" >&2; diff <(echo "$1") <(registry) >&2; exit 1; }
}
key_gone() { [ -z "$(registry | grep -v 'Unable to find')" ]; }
# A service just created holds the values that Wine's service manager writes
# for it, the last of which a busy machine was once seen to show late.
key_written() { registry | grep -q ErrorControl && registry | grep -q PreshutdownTimeout; }
drivers=$WINEPREFIX/drive_c/windows/system32/drivers

# PACKAGE_DIR DRIVER_FILE: a copy of the package's programs with another
# driver file.
other_package() {
  mkdir -p "$1/driver"
  cp "$package/teldo.exe" "$package/TELDOX.dll" "$1/"
  cp "$2" "$1/driver/teldo.sys"
}

# A package whose driver cannot start (ours, its PE header marked for an ARM
# processor): the install fails at its start and puts everything back as it
# was.
junk=$work/junk-package
other_package "$junk" "$package/driver/teldo.sys"
pe_header=$(od -An -tu4 -j60 -N4 "$junk/driver/teldo.sys" | tr -d ' ')
printf '\xc4\x01' | dd of="$junk/driver/teldo.sys" bs=1 seek=$((pe_header + 4)) conv=notrunc status=none
failed_start() {
  local before code=0
  before=$(registry)
  teldo_in "$junk" wine driver install || code=$?
  [ $code = 1 ] && grep -q "failed while starting the driver" <<<"$said" ||
    { echo "driver set-up: $1: a driver that cannot start ended with $code: $said" >&2; exit 1; }
  unchanged_since "$before" "$1: a failed start"
}

expect "status, nothing installed" 1 "not installed" driver status

# A driver file beside teldo.exe that is not the package's own (planted, or
# from another package) is never installed.
other_package "$work/planted-package" "$WINEPREFIX/drive_c/windows/system32/drivers/mountmgr.sys"
before=$(registry)
teldo_in "$work/planted-package" wine driver install || true
grep -q "is not this package's driver" <<<"$said" ||
  { echo "driver set-up: a planted driver file was not refused: $said" >&2; exit 1; }
unchanged_since "$before" "an install of a planted driver"

# Another maker's driver registered as TELDO: left alone.
sc create TELDO type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\mountmgr.sys' >/dev/null
wait_for key_written || true
foreign=$(registry)
# Status reads the file the service registers, not the file install would put.
expect "status of another maker's TELDO" 1 "but its file is another maker's driver" driver status
grep -qiF 'File:    C:\windows\system32\drivers\mountmgr.sys' <<<"$said" ||
  { echo "driver set-up: status does not name the registered file: $said" >&2; exit 1; }
expect "another maker's TELDO" 1 "the service TELDO is another driver" driver install
unchanged_since "$foreign" "an install over another maker's driver"
expect "a remove of another maker's TELDO" 1 "the service TELDO is another driver" driver remove
unchanged_since "$foreign" "a remove of another maker's driver"
[ -e "$drivers/mountmgr.sys" ] || { echo "driver set-up: remove deleted another maker's file" >&2; exit 1; }
sc delete TELDO >/dev/null

wait_for key_gone || true
nothing=$(registry)
expect "a list over the system board" 2 "the window '0060': it overlaps 0000-00FF" \
  driver install --ports 0300-031F,0060
unchanged_since "$nothing" "a refused list"
[ ! -e "$drivers/teldo.sys" ] || { echo "driver set-up: a refused list copied the driver" >&2; exit 1; }
failed_start "nothing installed"
[ ! -e "$drivers/teldo.sys" ] || { echo "driver set-up: a failed start left its file" >&2; exit 1; }

expect "an install with windows" 0 "running: real ports 0300-031F 0378, opened by Administrators only" \
  driver install --ports 0300-031F,0378
expect "a read outside the windows" 1 "read of port 0320 failed: error 5" rd 320
# A setting of any length comes back exactly after a failed install.
sc stop TELDO >/dev/null
wine reg add "$service_key\\Parameters" /v Ports /t REG_MULTI_SZ /s , /f \
  /d "$(printf '03%02X-03%02X,' $(seq 0 20 | sed 's/.*/& &/') | sed 's/,$//')" >/dev/null 2>&1
failed_start "a Ports value of 422 bytes"
wine reg add "$service_key\\Parameters" /v Diagnostics /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect "a reinstall with other windows and users" 0 "real ports 0378, opened by Administrators and Users" \
  driver install --ports 0378 --users-may-open
expect "status, running" 0 "Mode:    real ports 0378, opened by Administrators and Users" driver status
grep -qF 'Diagnostics: on: \\.\TELDODiag lets administrators' <<<"$said" ||
  { echo "driver set-up: status does not say that diagnostics are on: $said" >&2; exit 1; }
grep -qF 'Claim:   not claimed: this Windows cannot claim ports' <<<"$said" ||
  { echo "driver set-up: status does not say whether the windows are claimed: $said" >&2; exit 1; }
failed_start "over the running driver"
cmp -s "$package/driver/teldo.sys" "$drivers/teldo.sys" ||
  { echo "driver set-up: a failed start left another file than the driver that ran" >&2; exit 1; }
sc query TELDO | grep -q RUNNING || { echo "driver set-up: the old driver does not run again" >&2; exit 1; }

# A Ports value set by hand that the driver cannot use.
wine reg add "$service_key\\Parameters" /v Ports /t REG_MULTI_SZ /s , /d 0300-031F,0378-0300 /f >/dev/null 2>&1
sc stop TELDO >/dev/null || true
sc start TELDO >/dev/null || true
expect "status, a malformed Ports value" 1 "the window '0378-0300': its first port is above its last" driver status
expect "a good install over it" 0 "running: simulated bus" driver install

# A program holding the device: the driver cannot be stopped.
holder_said=$work/holder-said
: >"$holder_said"
exec {holder}> >(cd "$package" && wine teldo.exe - >"$holder_said" 2>&1)
echo "rd 300" >&$holder
# Until the holder has read its port, so that it holds the device. No other
# open meanwhile: under Wine a closed handle's close can reach the driver
# late and refuse the holder.
wait_for test -s "$holder_said" || true
expect "status, the device held" 1 "another program holds it" driver status
held=$(registry)
expect "an install while held" 1 "a program holds the card's device" driver install --ports 0378
unchanged_since "$held" "an install while the device was held"
exec {holder}>&-
wait

# A package read from a CD: its files are read-only, and so is every copy.
readonly=$work/readonly-package
other_package "$readonly" "$package/driver/teldo.sys"
chmod a-w "$readonly/driver/teldo.sys"
for step in install "install again"; do
  expect_teldo "driver set-up: $step from a read-only package" 0 "installed and running" "$readonly" wine \
    driver install
done

probe=$(dirname "$test_program")/teldo_probe.exe
# A service marked for deletion while its driver runs (sc delete while a
# program has it open): remove finds that before it stops anything, and says
# what is left.
exec {service_holder}> >(wine "$probe" hold-service >"$work/hold-service.out" 2>&1)
wait_for grep -qs held "$work/hold-service.out" ||
  { echo "driver set-up: teldo_probe never held the service" >&2; exit 1; }
sc delete TELDO >/dev/null
expect "remove of a service marked for deletion" 1 "left until then: the driver, running; its settings" driver remove
grep -qF 'teldo.sys' <<<"$said" && ! grep -q 'nothing changed' <<<"$said" ||
  { echo "driver set-up: remove of a marked service does not say what is left: $said" >&2; exit 1; }
sc query TELDO | grep -q RUNNING && cmp -s "$package/driver/teldo.sys" "$drivers/teldo.sys" ||
  { echo "driver set-up: remove stopped the driver or touched its file, yet could not delete the service" >&2
    exit 1; }
exec {service_holder}>&-
wait
sc stop TELDO >/dev/null
wait_for key_gone || true

# What a remove cut short after the service went, and an install cut short,
# leave: status says so; remove deletes our file and the .new, keeps the
# .previous, and never touches another maker's file.
cp "$package/driver/teldo.sys" "$drivers/teldo.sys.new"
cp "$package/driver/teldo.sys" "$drivers/teldo.sys.previous"
expect "status, leftovers" 1 "Left over: system32\drivers\teldo.sys.new" driver status
grep -qF 'Left over: system32\drivers\teldo.sys.previous' <<<"$said" &&
  grep -qF "Left over: system32\drivers\teldo.sys, this package's" <<<"$said" ||
  { echo "driver set-up: status does not name every leftover: $said" >&2; exit 1; }
expect "remove of a file left without its service" 0 "its file system32\drivers\teldo.sys was still there" \
  driver remove
grep -qF 'Left as it is: system32\drivers\teldo.sys.previous' <<<"$said" &&
  [ ! -e "$drivers/teldo.sys" ] && [ ! -e "$drivers/teldo.sys.new" ] &&
  cmp -s "$package/driver/teldo.sys" "$drivers/teldo.sys.previous" ||
  { echo "driver set-up: remove without a service left the wrong files: $said" >&2; ls "$drivers" >&2; exit 1; }
rm "$drivers/teldo.sys.previous"
cp "$drivers/mountmgr.sys" "$drivers/teldo.sys"
expect "remove of another maker's teldo.sys" 0 "another maker's driver: left as it is" driver remove
cmp -s "$drivers/mountmgr.sys" "$drivers/teldo.sys" ||
  { echo "driver set-up: remove touched another maker's teldo.sys" >&2; exit 1; }
rm "$drivers/teldo.sys"

# Windows 2000 and XP have no bcdedit: remove names it only on Vista and later.
expect "an install to remove on XP" 0 "installed and running" driver install
xp=winxp
[ "$WINEARCH" = win64 ] && xp=winxp64
wine reg add 'HKCU\Software\Wine\AppDefaults\teldo.exe' /v Version /d $xp /f >/dev/null 2>&1
expect "remove on Windows XP" 0 "is removed" driver remove
wine reg delete 'HKCU\Software\Wine\AppDefaults\teldo.exe' /f >/dev/null 2>&1
! grep -q bcdedit <<<"$said" || { echo "driver set-up: remove names bcdedit on XP: $said" >&2; exit 1; }
expect "an install again" 0 "installed and running" driver install

# A program holding the service open, as the Services window does, across a
# remove: the service is marked for deletion until it lets go, and an
# install meanwhile explains why it cannot, before it copies anything.
: >"$work/hold-service.out"
exec {service_holder}> >(wine "$probe" hold-service >"$work/hold-service.out" 2>&1)
wait_for grep -qs held "$work/hold-service.out" ||
  { echo "driver set-up: teldo_probe never held the service" >&2; exit 1; }
expect "remove while the service is held open" 0 "its service goes when the program" driver remove
grep -qF "bcdedit /set testsigning off" <<<"$said" ||
  { echo "driver set-up: remove does not name bcdedit on Windows 10: $said" >&2; exit 1; }
expect "an install while the service is marked for deletion" 1 "close the Services window" driver install
[ -z "$(ls "$drivers" | grep -i '^teldo\.sys')" ] ||
  { echo "driver set-up: an install into a service marked for deletion copied the driver" >&2; exit 1; }
exec {service_holder}>&-
wait

wait_for key_gone || true
key_gone && [ -z "$(ls "$drivers" | grep -i '^teldo\.sys')" ] ||
  { echo "driver set-up: remove left the service or its file" >&2; registry >&2; exit 1; }
expect "remove again" 0 "not installed: nothing to remove" driver remove
echo "driver set-up: status, refusals, install, reinstall, rollback, a held device, leftovers and remove as they should"
