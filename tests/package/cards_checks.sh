# Sourced by package_test.sh, in the unpacked package, before the prefix of
# its own is made: "teldo cards" of the package's teldo.exe over the devices
# that a stand-in for SETUPAPI and CFGMGR32 presents (cards_standin.cpp, the
# DLL TELDO_CARDS_STANDIN_DLL), in a copy of the fresh prefix that nothing
# else uses. There the stand-in lies over both system DLLs, and only
# teldo.exe is told to load the files rather than Wine's own (Wine's
# CM_Get_First_Log_Conf would end it). Its wineserver ends with the checks.
(
  source "$(dirname "${BASH_SOURCE[0]}")/teldo_runs.sh"
  export WINEPREFIX=$work/wineprefix-cards
  trap 'wineserver -k 2>/dev/null || true' EXIT
  if [ -f "${TELDO_FRESH_PREFIX:-}/system.reg" ]; then
    copy_prefix "$TELDO_FRESH_PREFIX/." "$WINEPREFIX"  # its contents: in the emulated PC it is a link
  else
    wine wineboot -i >/dev/null 2>&1
  fi
  # Removed first: in a copy, Wine's own DLLs are links to the fresh prefix's files.
  for dll in setupapi cfgmgr32; do
    rm -f "$WINEPREFIX/drive_c/windows/system32/$dll.dll"
    cp "$TELDO_CARDS_STANDIN_DLL" "$WINEPREFIX/drive_c/windows/system32/$dll.dll"
  done
  # A REG_MULTI_SZ for an ANSI .reg file: the strings' bytes with their NULs.
  multi_sz() { printf '%s\0' "$@" | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//'; echo 00; }
  cat >"$work/cards.reg" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\teldo.exe\\DllOverrides]
"setupapi"="native"
"cfgmgr32"="native"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TELDO\\Parameters]
"Ports"=hex(7):$(multi_sz 0378)
"CardPorts"=hex(7):$(multi_sz D000-D007 B000-B003)
EOF
  wine reg import "$(wine winepath -w "$work/cards.reg" 2>/dev/null | tr -d '\r')" >/dev/null 2>&1

  # Every device with I/O ports but the root bus, each range with where it
  # comes from and how much of it the windows open; the memory card, which
  # has none, left out; every handle freed (else the stand-in says so).
  expect_teldo "teldo cards" 0 "" "$package" wine cards
  expected="Windows of the TELDO port driver: 0378 D000-D007 B000-B003

PCI\\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\\4&2F6A1B3&0&00E0
  name:   PCI Parallel Port (LPT3)
  driver: none
  D000-D007  assigned   inside the driver's windows
  D400-D403  assigned   outside the driver's windows

PCI\\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\\4&1F2E3D&0&30E0
  name:   PCI Device
  driver: none
  E400-E41F  boot only  outside the driver's windows

PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&10E0
  name:   PCI Serial Port
  driver: none
  C000-C007  assigned   outside the driver's windows

PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&18E0
  name:   PCI Serial Port
  driver: none
  C100-C107  assigned   outside the driver's windows

PCI\\VEN_1415&DEV_C158&SUBSYS_C1581415&REV_00\\4&3B2A10&0&20E0
  name:   Communications Port (COM3)
  driver: Serial (started)
  B000-B007  assigned   partly inside the driver's windows

PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00\\3&13C0B0C5&0&09
  name:   Standard Dual Channel PCI IDE Controller
  driver: pciide (started)
  F000-F00F  assigned   outside the driver's windows
  01F0-01F7  assigned   outside the driver's windows
  03F6       assigned   outside the driver's windows

boot only: Windows assigned the device no ports; it keeps those the firmware set at boot."
  [ "$said" = "$expected" ] || { echo "teldo cards said otherwise:" >&2; diff <(echo "$expected") <(echo "$said") >&2; exit 1; }
  TELDO_CARDS_STANDIN=none expect_teldo "teldo cards, no devices" 0 \
    "No present device has I/O ports from Windows" "$package" wine cards
  TELDO_CARDS_STANDIN=fail expect_teldo "teldo cards, an error of the configuration manager" 1 \
    "teldo: the configuration manager answered CR_CALL_NOT_IMPLEMENTED (0x34) to CM_Get_First_Log_Conf for the device PCI\\VEN_1415&DEV_C110" \
    "$package" wine cards

  # teldo driver install --card over the stand-in's devices, mixed with
  # --ports: the two-range card's assigned ranges and the boot-only card's
  # boot ranges into CardPorts, each card's instance ID and its ranges into
  # Cards, the plain window alone in Ports.
  parameters='HKLM\SYSTEM\CurrentControlSet\Services\TELDO\Parameters'
  value() { wine reg query "$parameters" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
  lpt='PCI\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\4&2F6A1B3&0&00E0'
  boot_card='PCI\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\4&1F2E3D&0&30E0'
  expect_teldo "install --card" 0 "boot, which Windows keeps reserved for it while it has no driver" "$package" \
    wine driver install --card 'PCI\VEN_1415&DEV_C110' --ports 0378 --card 'pci\ven_13fe'
  grep -qF "running: real ports 0378 D000-D007 D400-D403 E400-E41F" <<<"$said" &&
    [ "$(value Ports)" = 0378 ] && [ "$(value CardPorts)" = 'D000-D007\0D400-D403\0E400-E41F' ] &&
    [ "$(value Cards)" = "$lpt\\0D000-D007\\0D400-D403\\0$boot_card\\0E400-E41F" ] ||
    { echo "install --card wrote otherwise: $said" >&2; wine reg query "$parameters" >&2; exit 1; }
  expect_teldo "status, the cards in place" 0 "Card:    $lpt: in place" "$package" wine driver status
  TELDO_CARDS_STANDIN=moved expect_teldo "status, a card moved" 1 \
    "Card:    $lpt: moved: Windows now gives it D000-D007 D800-D803" "$package" wine driver status
  grep -qF "teldo driver install --card \"$lpt\" --card \"$boot_card\" --ports 0378" <<<"$said" ||
    { echo "status of a card moved gives no fix: $said" >&2; exit 1; }
  before=$(wine reg query "$parameters" 2>&1)
  expect_teldo "install --card of two devices" 1 "it starts a hardware ID of 2 devices:" "$package" \
    wine driver install --card 'PCI\VEN_1415&DEV_9501'
  grep -qF '&0&10E0' <<<"$said" && grep -qF '&0&18E0' <<<"$said" &&
    [ "$(wine reg query "$parameters" 2>&1)" = "$before" ] ||
    { echo "a refused --card named not both devices, or changed the settings: $said" >&2; exit 1; }
  echo "teldo cards: the stand-in's devices listed, none, and an error named; install --card and status over them"
)
