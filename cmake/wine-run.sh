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
export WINEPREFIX="$WINE_BUILD_DIR/wine-prefix"
export HOME="$WINE_BUILD_DIR/wine-home"
mkdir -p "$HOME"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,winemenubuilder.exe=d"
export WINEARCH=win64
exec /usr/lib/wine/wine64 "$@"
