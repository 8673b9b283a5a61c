#!/usr/bin/env bash
# The run command: sets up, builds what is missing, and runs the bridge (headless window) against
# the terminal and portal stand-ins on loopback, with the live log of all three.
#   bash tools/demo.sh [--events N] [--terminals K] [--rate R] [--fail-uploads S] [--keep]
# Without --events it runs until Ctrl-C; either way it ends with a summary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target pmrface terminal_sim portal_sim
exec /usr/bin/python3 tools/demo.py --build build/default "$@"
