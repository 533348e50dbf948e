# Sourced: apply_prefix_settings sets up the Wine prefix in WINEPREFIX (with
# `wine` calling its loader) the way every prefix of the project is set up.
#   - CJK font links, for the Chinese captions;
#   - the display's DPI (TELDO_DPI, default 96);
#   - Wine's Marlett font (Debian's fonts-wine) in the prefix's Fonts folder,
#     where Windows keeps it: it draws the title bar's buttons, and Debian's
#     Wine 8 does not load the fonts of its own data folder, so without this
#     copy the buttons show as the letters "0 1 r";
#   - every window inside one virtual desktop: on a bare X server Wine waits
#     for a window manager to confirm each hidden or destroyed window (a
#     dismissed message box, a closed program; docs/building-and-testing.md
#     says how long); inside its own desktop there is none to wait for.
# turn_on_driver_diagnostics and driver_diagnostics_on set and read the
# service value that turns the TELDO port driver's diagnostic device on.
apply_prefix_settings() {
  local face fontlink='NotoSansCJK-Regular.ttc,Noto Sans CJK SC'
  for face in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif'; do
    prefix_reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
               /v "$face" /t REG_MULTI_SZ /d "$fontlink"
  done
  local marlett=/usr/share/wine/fonts/marlett.ttf fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ -f "$marlett" ] && ! cmp -s "$marlett" "$fonts/marlett.ttf"; then
    mkdir -p "$fonts" && cp "$marlett" "$fonts/"
  fi
  prefix_reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "${TELDO_DPI:-96}"
  prefix_reg 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
  prefix_reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768
}

prefix_reg() { wine reg add "$@" /f >/dev/null 2>&1; }

# The TELDO port driver publishes its diagnostic device, which the tests use,
# only when its service key holds Parameters\Diagnostics = 1 as it starts.
driver_diagnostics_key='HKLM\System\CurrentControlSet\Services\TELDO\Parameters'
turn_on_driver_diagnostics() {
  prefix_reg "$driver_diagnostics_key" /v Diagnostics /t REG_DWORD /d 1
}
driver_diagnostics_on() {
  wine reg query "$driver_diagnostics_key" /v Diagnostics 2>/dev/null | tr -d '\r' |
    grep -Eq 'Diagnostics +REG_DWORD +0x1$'
}
