#!/usr/bin/env bash
# Runs a cross-built program under Wine with a prefix of its own inside the build folder, so
# that tests never touch the user's ~/.wine. WINE_BUILD_DIR picks the build folder; by default
# the one above the program's folder that holds CMakeCache.txt.
set -euo pipefail
if [[ -z "${WINE_BUILD_DIR:-}" ]]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [[ "$dir" != / && ! -f "$dir/CMakeCache.txt" ]]; do dir=$(dirname "$dir"); done
  [[ "$dir" == / ]] && dir=$(cd "$(dirname "$1")" && pwd)
  WINE_BUILD_DIR=$dir
fi
# A prefix's desktop takes the display of the first program that needs it; one started without
# a display leaves every window made later in that prefix without a working screen. So programs
# without a display get a prefix of their own.
if [[ -n "${DISPLAY:-}" ]]; then
  export WINEPREFIX="$WINE_BUILD_DIR/wine-prefix"
else
  export WINEPREFIX="$WINE_BUILD_DIR/wine-prefix-headless"
fi
export HOME="$WINE_BUILD_DIR/wine-home"
mkdir -p "$HOME"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,winemenubuilder.exe=d"
export WINEARCH=win64
exec /usr/lib/wine/wine64 "$@"
