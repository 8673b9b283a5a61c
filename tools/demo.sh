#!/usr/bin/env bash
# The run command: sets up, builds and runs what exists of the bridge.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j2
for b in build/default/bench/bench_*; do
  [[ -x "$b" && -f "$b" ]] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
