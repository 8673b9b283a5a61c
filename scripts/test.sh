#!/usr/bin/env bash
# The test command: installs what the preset's tests need (the default profile and the preset's
# own, scripts/install-deps.sh), configures, builds and runs every test.
# Usage: scripts/test.sh [preset]   (default, asan, tsan, gtk or mingw; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

bash scripts/install-deps.sh default "$preset"
cmake --preset "$preset"
if [[ "$preset" == mingw ]]; then
  # Test discovery at build time already runs the programs under Wine.
  bash scripts/wine-setup.sh build/mingw
fi
cmake --build --preset "$preset" -j2
ctest --preset "$preset"
