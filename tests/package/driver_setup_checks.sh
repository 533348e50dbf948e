# Sourced by package_test.sh in a fresh prefix, in the unpacked package: takes
# "teldo driver install | remove | status" through the states an
# administrator meets, checking exit codes, what they say, and the service
# key, which a refused or failed install must leave exactly as it was. Ends
# with the driver removed.

# teldo.exe's exit code and its output (both streams, without CRs) in $said.
teldo() {
  local code=0
  said=$(cd "$package" && wine teldo.exe "$@" 2>&1) || code=$?
  said=$(tr -d '\r' <<<"$said")
  return $code
}
# CHECK_NAME EXPECTED_EXIT TEXT ARGUMENTS...: runs teldo ARGUMENTS, which must
# end with EXPECTED_EXIT and say TEXT.
expect() {
  local name=$1 exit_code=$2 text=$3 code=0
  shift 3
  teldo "$@" || code=$?
  if [ "$code" != "$exit_code" ] || ! grep -qF -- "$text" <<<"$said"; then
    echo "driver set-up: $name: teldo $* ended with $code (not $exit_code), saying:" >&2
    echo "$said" >&2
    echo "(expected it to say: $text)" >&2
    exit 1
  fi
}
service_key='HKLM\SYSTEM\CurrentControlSet\Services\TELDO'
registry() { wine reg query "$service_key" /s 2>&1 | tr -d '\r' | grep -v '^$' || true; }
unchanged_since() {
  [ "$(registry)" = "$1" ] || { echo "driver set-up: $2 changed the service key:" >&2; registry >&2; exit 1; }
}
drivers=$WINEPREFIX/drive_c/windows/system32/drivers

# A package whose driver cannot start: the install fails at its start and
# puts everything back as it was.
junk=$work/junk-package
mkdir -p "$junk/driver"
cp "$package/teldo.exe" "$package/TELDOX.dll" "$junk/"
head -c 4096 "$package/driver/teldo.sys" >"$junk/driver/teldo.sys"
failed_start() {
  local before code=0
  before=$(registry)
  said=$(cd "$junk" && wine teldo.exe driver install 2>&1) || code=$?
  [ $code = 1 ] && grep -q "failed while starting the driver" <<<"$said" ||
    { echo "driver set-up: $1: a driver that cannot start ended with $code: $said" >&2; exit 1; }
  unchanged_since "$before" "$1: a failed start"
}

expect "status, nothing installed" 1 "not installed" driver status

# Another maker's driver registered as TELDO: left alone.
sc create TELDO type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\mountmgr.sys' >/dev/null
foreign=$(registry)
expect "another maker's TELDO" 1 "the service TELDO is another driver" driver install
unchanged_since "$foreign" "an install over another maker's driver"
sc delete TELDO >/dev/null

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
wine reg add "$service_key\\Parameters" /v Diagnostics /t REG_DWORD /d 1 /f >/dev/null 2>&1
expect "a reinstall with other windows and users" 0 "real ports 0378, opened by Administrators and Users" \
  driver install --ports 0378 --users-may-open
expect "status, running" 0 "Mode:    real ports 0378, opened by Administrators and Users" driver status
grep -qF 'Diagnostics: on: \\.\TELDODiag lets administrators' <<<"$said" ||
  { echo "driver set-up: status does not say that diagnostics are on: $said" >&2; exit 1; }
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
exec {holder}> >(cd "$package" && wine teldo.exe - >/dev/null 2>&1)
echo "rd 300" >&$holder
# Until the holder has opened the device (each status is a Wine process of
# its own), for at most 10 s times TELDO_WAIT_FACTOR.
deadline=$((SECONDS + 10 * ${TELDO_WAIT_FACTOR:-1}))
until { teldo driver status || true; grep -q "another program holds it" <<<"$said"; } ||
      [ $SECONDS -ge $deadline ]; do :; done
expect "status, the device held" 1 "another program holds it" driver status
held=$(registry)
expect "an install while held" 1 "a program holds the card's device" driver install --ports 0378
unchanged_since "$held" "an install while the device was held"
exec {holder}>&-
wait

expect "remove" 0 "removed" driver remove
[ -z "$(registry | grep -v 'Unable to find')" ] && [ ! -e "$drivers/teldo.sys" ] ||
  { echo "driver set-up: remove left the service or its file" >&2; registry >&2; exit 1; }
expect "remove again" 0 "not installed: nothing to remove" driver remove
echo "driver set-up: status, refusals, install, reinstall, rollback, a held device and remove as they should"
