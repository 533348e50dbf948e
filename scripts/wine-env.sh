# Wine settings for a private prefix of one build tree; source it with
# TELDO_BUILD_DIR set to that tree, and TELDO_PREFIX naming the prefix when it
# is not the tree's main one (wineprefix). The tree's architecture (wine-arch,
# written by CMake: win32 or win64) picks the prefix's and the loader's.
# Defines `wine` (exported to child shells) as that loader.
: "${TELDO_BUILD_DIR:?TELDO_BUILD_DIR must name the build tree}"
source "$(dirname "${BASH_SOURCE[0]}")/wine-support.sh"
use_wine_loader "$(cat "$TELDO_BUILD_DIR/wine-arch")"
export WINEPREFIX="$TELDO_BUILD_DIR/${TELDO_PREFIX:-wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
