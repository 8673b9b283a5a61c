#!/usr/bin/env bash
# Installs the Debian packages of the named profiles; only the missing ones.
# Usage: scripts/install-deps.sh [--list] [PROFILE...]   (no profile: every profile)
#   --list  prints each named profile's packages and installs nothing
set -euo pipefail

# The one list of what each profile needs; "@name" takes in another profile.
declare -A profiles=(
  # Build the default programs pmrface, terminal_sim and portal_sim; run the headless demo.
  [demo]="cmake ninja-build g++ python3 tzdata"
  # The default preset's build and all its tests: GoogleTest, Google Benchmark, curl and
  # file as peers, pyftpdlib as the real FTP server, Chromium for the browser tests; unshare
  # and ip give each test that starts a bridge a loopback of its own.
  [default]="@demo libgtest-dev libgmock-dev libbenchmark-dev curl file coreutils
             python3-pyftpdlib chromium chromium-driver util-linux iproute2"
  # GCC's own sanitizer runtimes (they come with g++; named to say so).
  [asan]="@default libasan8 libubsan1"
  [tsan]="@default libtsan2"
  # Build and run the desktop window: GTK 3, WebKit2GTK, the tray, CJK glyphs.
  [window]="@demo pkg-config libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
            fonts-wqy-microhei dbus dbus-x11 xdg-user-dirs"
  # Its tests under Xvfb: clicks and window state from outside (xdotool), the tray host peer on
  # a session bus (python3-gi), screenshots (import); listening ports (ss) come with @default.
  [gtk]="@default @window xvfb xauth xdotool python3-gi gir1.2-glib-2.0 imagemagick"
  # The Windows cross build and its installer, run under Wine in Xvfb; GoogleTest's sources
  # come with libgtest-dev.
  [mingw]="@default g++-mingw-w64-x86-64-posix wine wine64 fonts-wine nsis xvfb xauth
           fonts-wqy-microhei imagemagick"
  [fuzz]="@demo clang libclang-rt-14-dev"
  # The build whose locking clang's thread-safety analysis checks.
  [thread-safety]="@demo clang-14"
  # bench/report.py and its scripts: load peers next to the bridge's own servers.
  [bench]="@default wrk nginx nlohmann-json3-dev"
)
order=(demo default asan tsan window gtk mingw fuzz thread-safety bench)

usage() {
  echo "usage: scripts/install-deps.sh [--list] [PROFILE...]; profiles: ${order[*]}" >&2
  exit 2
}

# The packages of one profile with the profiles it takes in, in order, once each.
declare -A seen=()
expand() {
  local word
  [[ -v "profiles[$1]" ]] || { echo "install-deps: no profile '$1'" >&2; usage; }
  for word in ${profiles[$1]}; do
    if [[ "$word" == @* ]]; then
      expand "${word#@}"
    elif [[ ! -v "seen[$word]" ]]; then
      seen[$word]=1
      packages+=("$word")
    fi
  done
}

list=0
names=()
for arg in "$@"; do
  case "$arg" in
    --list) list=1 ;;
    -*) usage ;;
    *) names+=("$arg") ;;
  esac
done
((${#names[@]})) || names=("${order[@]}")

if ((list)); then
  for name in "${names[@]}"; do
    seen=()
    packages=()
    expand "$name"
    echo "$name: ${packages[*]}"
  done
  exit 0
fi

packages=()
for name in "${names[@]}"; do expand "$name"; done

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
