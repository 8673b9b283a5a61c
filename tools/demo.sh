#!/usr/bin/env bash
# The run command: installs the demo profile's packages, builds only the three programs it runs
# (preset demo, build/demo), and runs the bridge (headless window) against the terminal and
# portal stand-ins on loopback, with the live log of all three.
#   bash tools/demo.sh [--events N] [--terminals K] [--rate R] [--fail-uploads S] [--keep]
#                      [--window]
# Without --events it runs until Ctrl-C; either way it ends with a summary. --window shows the
# bridge's desktop window (preset demo-window, build/demo-window) on the display in DISPLAY or
# WAYLAND_DISPLAY; without a display it stops at once with status 2.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=demo
profiles=(demo)
for arg in "$@"; do
  if [[ "$arg" == --window ]]; then
    if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
      echo "demo: --window needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
      echo "demo: run it from a desktop session (or under xvfb-run), or leave out --window" \
           "for the headless demo." >&2
      exit 2
    fi
    preset=demo-window
    profiles=(window)
  fi
done

bash scripts/install-deps.sh "${profiles[@]}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target pmrface terminal_sim portal_sim
exec /usr/bin/python3 tools/demo.py --build "build/$preset" "$@"
