# Sourced by package_test.sh in a fresh prefix, in the unpacked package: takes
# "teldo driver install | remove | status" through the states an
# administrator meets, checking exit codes, what they say, the service key
# and the drivers folders, which a refused or failed install must leave
# exactly as it was. Ends with the driver removed.

source "$(dirname "${BASH_SOURCE[0]}")/teldo_runs.sh"
# The package's teldo.exe: its exit code, its output in $said.
teldo() { teldo_in "$package" wine "$@"; }
# CHECK_NAME EXPECTED_EXIT TEXT ARGUMENTS...: runs teldo ARGUMENTS, which must
# end with EXPECTED_EXIT and say TEXT.
expect() { expect_teldo "driver set-up: $1" "$2" "$3" "$package" wine "${@:4}"; }
service_key='HKLM\SYSTEM\CurrentControlSet\Services\TELDO'
registry() { wine reg query "$service_key" /s 2>&1 | tr -d '\r' | grep -v '^$' || true; }
drivers=$WINEPREFIX/drive_c/windows/system32/drivers
driver_folders=("$drivers")
[ -d "$WINEPREFIX/drive_c/windows/syswow64/drivers" ] && driver_folders+=("$WINEPREFIX/drive_c/windows/syswow64/drivers")
# The service key and the drivers folders: every file's name, size and time,
# the sum of each teldo file's bytes, and (with "folder times") the folders'
# own times, which a copy or a rename changes even when it is put back.
state() {
  local folder
  registry
  for folder in "${driver_folders[@]}"; do
    # Each entry's type, size, time and name; not its count of links, which
    # another copy of the fresh prefix (hard links) changes meanwhile.
    (cd "$folder" && find . -mindepth 1 -maxdepth 1 -printf '%y %s %T+ %f\n' | sort)
    (cd "$folder" && find . -maxdepth 1 -iname 'teldo*' -type f -exec cksum {} + | sort)
    [ "${1:-}" != "folder times" ] || stat -c '%y %n' "$folder"
  done
}
# STATE WHAT [folder times]: the state must still be STATE (taken the same way).
unchanged_since() {
  [ "$(state "${3:-}")" = "$1" ] ||
    { echo "driver set-up: $2 changed the service key or the drivers folder:" >&2
      diff <(echo "$1") <(state "${3:-}") >&2; exit 1; }
}
# A refusal changes nothing at all, not even for a while.
refused_since() { unchanged_since "$1" "$2" "folder times"; }
key_gone() { [ -z "$(registry | grep -v 'Unable to find')" ]; }
# A service just created holds the values that Wine's service manager writes
# for it, the last of which a busy machine was once seen to show late.
key_written() { registry | grep -q ErrorControl && registry | grep -q PreshutdownTimeout; }
# WHAT EXPECTED_EXIT TEXT FOLDER ARGUMENTS...: a refusal of FOLDER's teldo.exe,
# which must change nothing.
expect_refusal() {
  local before
  before=$(state "folder times")
  expect_teldo "driver set-up: $1" "$2" "$3" "$4" wine "${@:5}"
  refused_since "$before" "$1"
}
# PROGRAM ARGUMENTS...: teldo_probe holding something (the mutex, a file)
# until its standard input ends (the descriptor in $probe_input).
probe=$(dirname "$test_program")/teldo_probe.exe
hold_with_probe() {
  : >"$work/probe.out"
  exec {probe_input}> >(wine "$probe" "$@" >"$work/probe.out" 2>&1)
  wait_for grep -qs held "$work/probe.out" || { echo "driver set-up: teldo_probe $* never held it" >&2; exit 1; }
}

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
  before=$(state)
  teldo_in "$junk" wine driver install || code=$?
  [ $code = 1 ] && grep -q "failed while starting the driver" <<<"$said" ||
    { echo "driver set-up: $1: a driver that cannot start ended with $code: $said" >&2; exit 1; }
  unchanged_since "$before" "$1: a failed start"
}

expect "status, nothing installed" 1 "not installed" driver status

# A driver file beside teldo.exe that is not the package's own (planted, or
# from another package) is never installed.
other_package "$work/planted-package" "$drivers/mountmgr.sys"
expect_refusal "a planted driver file" 1 "is not this package's driver" "$work/planted-package" driver install

# Another maker's driver registered as TELDO: left alone.
sc create TELDO type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\mountmgr.sys' >/dev/null
wait_for key_written || true
# Status reads the file the service registers, not the file install would put.
expect "status of another maker's TELDO" 1 "but its file is another maker's driver" driver status
grep -qiF 'File:    C:\windows\system32\drivers\mountmgr.sys' <<<"$said" ||
  { echo "driver set-up: status does not name the registered file: $said" >&2; exit 1; }
expect_refusal "another maker's TELDO" 1 "the service TELDO is another driver" "$package" driver install
expect_refusal "a remove of another maker's TELDO" 1 "the service TELDO is another driver" "$package" driver remove
[ -e "$drivers/mountmgr.sys" ] || { echo "driver set-up: remove deleted another maker's file" >&2; exit 1; }
sc delete TELDO >/dev/null

wait_for key_gone || true
expect_refusal "a list over the system board" 2 "the window '0060': it overlaps 0000-00FF" "$package" \
  driver install --ports 0300-031F,0060
# Another maker's file where ours would go, with no service to tell whose.
cp "$drivers/mountmgr.sys" "$drivers/teldo.sys"
expect_refusal "another maker's teldo.sys" 1 "system32\\drivers\\teldo.sys is another maker's driver" "$package" \
  driver install
rm "$drivers/teldo.sys"
# A fresh install that fails at its first step leaves no key and no file (the
# copy cannot start: a folder holds the copy's name).
mkdir "$drivers/teldo.sys.new"
expect_refusal "a fresh install whose copy fails" 1 "failed while copying the driver" "$package" driver install
rmdir "$drivers/teldo.sys.new"
failed_start "nothing installed"
[ ! -e "$drivers/teldo.sys" ] || { echo "driver set-up: a failed start left its file" >&2; exit 1; }

expect "an install with windows" 0 "running: real ports 0300-031F 0378, opened by Administrators only" \
  driver install --ports 0300-031F,0378
expect "a read outside the windows" 1 "read of port 0320 failed: error 5" rd 320
# Over the running driver, each refused before any change: our own driver of
# another version in the package (its file version's last word changed); a
# teldo.sys.previous left by an install that could not finish; a program
# writing to the package's driver; another install or remove running.
version=$work/version-package
other_package "$version" "$package/driver/teldo.sys"
fixed_info=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$version/driver/teldo.sys" | head -1 | cut -d: -f1)
printf '\x63' | dd of="$version/driver/teldo.sys" bs=1 seek=$((fixed_info + 12)) conv=notrunc status=none
expect_refusal "our driver of another version" 1 "is not this package's driver" "$version" driver install
cp "$drivers/mountmgr.sys" "$drivers/teldo.sys.previous"
expect_refusal "a teldo.sys.previous left" 1 "teldo.sys.previous is left from an install" "$package" driver install
rm "$drivers/teldo.sys.previous"
hold_with_probe hold-file "$(wine winepath -w "$package/driver/teldo.sys" 2>/dev/null | tr -d '\r')"
expect_refusal "the package's driver open for writing" 1 "another program has driver\\teldo.sys open" "$package" \
  driver install
exec {probe_input}>&-
wait
# (The two wait for the lock side by side.)
hold_with_probe hold-mutex 'Global\TELDO driver set-up'
(expect_refusal "a remove beside an install" 1 "another install or remove of the driver is running" "$package" \
  driver remove) &
remove_beside=$!
expect_refusal "an install beside another" 1 "another install or remove of the driver is running" "$package" \
  driver install
wait $remove_beside
exec {probe_input}>&-
wait
# A setting of any length, and a registration with no ImagePath (Windows
# then loads drivers\TELDO.sys), come back exactly after a failed install.
# Wine's service manager reads the key as it starts: the prefix starts again,
# its services with standard handles that no check reads through a pipe.
sc stop TELDO >/dev/null
wine reg add "$service_key\\Parameters" /v Ports /t REG_MULTI_SZ /s , /f \
  /d "$(printf '03%02X-03%02X,' $(seq 0 20 | sed 's/.*/& &/') | sed 's/,$//')" >/dev/null 2>&1
wine reg delete "$service_key" /v ImagePath /f >/dev/null 2>&1
# A card's windows and the card, which install replaces as it does Ports.
wine reg add "$service_key\\Parameters" /v CardPorts /t REG_MULTI_SZ /s , /d D000-D007,D400-D403 /f >/dev/null 2>&1
wine reg add "$service_key\\Parameters" /v Cards /t REG_MULTI_SZ /s , /f \
  /d 'PCI\VEN_1415&DEV_C110\4&2F&0&00E0,D000-D007,D400-D403' >/dev/null 2>&1
wineserver -k
wineserver -w
wineserver -p 60
wine sc query TELDO >/dev/null 2>&1
failed_start "a Ports value of 422 bytes, a card's CardPorts and Cards, and no ImagePath"
wine reg add "$service_key\\Parameters" /v Diagnostics /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect "a reinstall with other windows and users" 0 "real ports 0378, opened by Administrators and Users" \
  driver install --ports 0378 --users-may-open
! registry | grep -Eq 'CardPorts|Cards' || { echo "driver set-up: an install without --card left a card's values" >&2; exit 1; }
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
expect_refusal "an install while held" 1 "a program holds the card's device" "$package" driver install --ports 0378
exec {holder}>&-
wait

# A package read from a CD: its files are read-only, and so is every copy.
readonly=$work/readonly-package
other_package "$readonly" "$package/driver/teldo.sys"
chmod a-w "$readonly/driver/teldo.sys"
for step in install "install again"; do
  expect_teldo "driver set-up: $step from a read-only package" 0 "installed and running" "$readonly" wine \
    driver install
  # The installed file is writable (not READONLY), as any other driver's.
  [ -n "$(find "$drivers/teldo.sys" -perm /222)" ] ||
    { echo "driver set-up: $step from a read-only package left teldo.sys READONLY" >&2; exit 1; }
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
