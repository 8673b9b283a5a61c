#!/usr/bin/env bash
# Prepares the Wine prefix of a cross build folder before its tests run: creates the prefix
# and starts a persistent wineserver. Their standard streams go to /dev/null, otherwise
# Wine's background services inherit ctest's output pipe and ctest never sees it close.
# Also links a CJK font so that Chinese captions do not show as boxes.
# Usage: scripts/wine-setup.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
export WINEPREFIX="$build/wine-prefix"
export HOME="$build/wine-home"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,winemenubuilder.exe=d"
export WINEARCH=win64
mkdir -p "$HOME"
# mshtml off while the prefix is made: no prompt to download Wine's HTML engine.
WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" \
    /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 || true

# Without a window manager (Xvfb) Wine waits two seconds at every hide of a window it lets a
# manager handle; windows it manages itself close at once.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    </dev/null >/dev/null 2>&1 || true

font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [[ -f "$font" && -d "$WINEPREFIX/drive_c/windows/Fonts" ]]; then
  cp -f "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  reg="$build/fontlink.reg"
  link='hex(7):77,00,71,00,79,00,2d,00,6d,00,69,00,63,00,72,00,6f,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,4d,00,69,00,63,00,72,00,6f,00,20,00,48,00,65,00,69,00,00,00,00,00'
  {
    printf 'REGEDIT4\n\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\n'
    for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
      printf '"%s"=%s\n' "$face" "$link"
    done
  } >"$reg"
  /usr/lib/wine/wine64 regedit /S "$(/usr/lib/wine/wine64 winepath -w "$reg" 2>/dev/null)" \
      </dev/null >/dev/null 2>&1 || true
fi
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
