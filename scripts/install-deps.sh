#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need; only the missing ones.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  curl file python3 coreutils tzdata
  python3-pyftpdlib
  wrk nginx
  # Browser test, Windows cross build under Wine, GTK desktop and its tests under Xvfb.
  chromium chromium-driver
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine nsis
  xvfb xauth dbus dbus-x11 xdg-user-dirs fonts-wqy-microhei imagemagick
  # Clicks and window state from outside the window; the tray host peer on the session bus.
  xdotool python3-gi gir1.2-glib-2.0 iproute2
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
