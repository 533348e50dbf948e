# Wine settings for the private prefix of one build tree; source it with
# TELDO_BUILD_DIR set to that tree.
: "${TELDO_BUILD_DIR:?TELDO_BUILD_DIR must name the build tree}"
export WINEPREFIX="$TELDO_BUILD_DIR/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
