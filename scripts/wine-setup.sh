#!/usr/bin/env bash
# Prepares the Wine prefixes of a cross build folder before its tests run (wine-prefix for
# programs with a display, wine-prefix-headless for those without; cmake/wine-run.sh picks):
# creates each prefix and starts its persistent wineserver. Their standard streams go to /dev/null, otherwise
# Wine's background services inherit ctest's output pipe and ctest never sees it close.
# Also links a CJK font so that Chinese captions do not show as boxes.
# Usage: scripts/wine-setup.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
export HOME="$build/wine-home"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,winemenubuilder.exe=d"
export WINEARCH=win64
mkdir -p "$HOME"

setup_prefix() {
  export WINEPREFIX="$1"
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
    # Wine's own Tahoma (dialogs and menus) and Marlett (caption buttons) from fonts-wine: this
    # Wine does not look in their folder by itself, and without them captions show as boxes.
    for own in tahoma.ttf tahomabd.ttf marlett.ttf; do
      [[ -f /usr/share/wine/fonts/$own ]] && cp -f "/usr/share/wine/fonts/$own" "$WINEPREFIX/drive_c/windows/Fonts/"
    done
    # Faces the system draws captions, menus and dialogs with fall back to the CJK font.
    links='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
    for face in "Tahoma" "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
      /usr/lib/wine/wine64 reg add "$links" /v "$face" /t REG_MULTI_SZ \
          /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1 || true
    done
  fi
  /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
}

setup_prefix "$build/wine-prefix"
setup_prefix "$build/wine-prefix-headless"
