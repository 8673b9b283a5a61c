#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/install-deps.sh fuzz
cmake --preset fuzz
cmake --build --preset fuzz -j2
for target in build/fuzz/fuzz/fuzz_*; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  seeds="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  extra=()
  [[ -d "$seeds" ]] && extra+=("$seeds")
  for dir in $(cat "fuzz/${name#fuzz_}.corpora" 2>/dev/null); do
    [[ -d "$dir" ]] || { echo "fuzz: corpus folder $dir (from fuzz/${name#fuzz_}.corpora) is missing" >&2; exit 1; }
    extra+=("$dir")
  done
  echo "== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work" "${extra[@]}"
  rm -rf "$work"
done
