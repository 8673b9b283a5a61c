#!/usr/bin/env bash
# Times our Base64 encoder and decoder against coreutils base64 on the same 8 MB random file
# (and its one-line text), in one run,
# as whole processes writing to /dev/null (best of RUNS, interleaved so both see the same load).
#   bench/base64_vs_coreutils.sh [path/to/bench_base64]    (builds nothing itself)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=${1:-$root/build/default/bench/bench_base64}
runs=${RUNS:-15}
size=$((8 * 1024 * 1024))

if [[ ! -x $bench ]]; then
  echo "base64_vs_coreutils: no bench program at $bench (build the bench_base64 target)" >&2
  exit 2
fi
coreutils=$(command -v base64) || { echo "base64_vs_coreutils: coreutils base64 missing" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/in.bin"

# Same text first, or the timing means nothing.
"$coreutils" -w0 "$work/in.bin" >"$work/coreutils.txt"
for mode in --encode-file --encode-picture; do
  "$bench" "$mode" "$work/in.bin" >"$work/ours.txt"
  if ! cmp -s "$work/coreutils.txt" "$work/ours.txt"; then
    echo "base64_vs_coreutils: our text ($mode) differs from coreutils base64 -w0" >&2
    exit 1
  fi
done
"$bench" --decode-file "$work/coreutils.txt" >"$work/decoded.bin"
if ! cmp -s "$work/in.bin" "$work/decoded.bin"; then
  echo "base64_vs_coreutils: our decoding of the coreutils text differs from the input" >&2
  exit 1
fi

# Microseconds of one run of a command.
micros() {
  local start end
  start=${EPOCHREALTIME/[.,]/}
  "$@" >/dev/null
  end=${EPOCHREALTIME/[.,]/}
  echo $((end - start))
}

# The contenders, as functions so that paths with blanks stay whole.
coreutils_one_line() { "$coreutils" -w0 "$work/in.bin"; }
ours_one_line() { "$bench" --encode-file "$work/in.bin"; }
ours_picture() { "$bench" --encode-picture "$work/in.bin"; }
coreutils_wrapped() { "$coreutils" "$work/in.bin"; }
ours_wrapped() { "$bench" --encode-stream "$work/in.bin"; }
coreutils_decode() { "$coreutils" -d "$work/coreutils.txt"; }
ours_decode() { "$bench" --decode-file "$work/coreutils.txt"; }

# Best time of each named function over $runs interleaved rounds.
declare -A best
measure() {
  local round name elapsed
  for ((round = 0; round < runs; round++)); do
    for name in "$@"; do
      elapsed=$(micros "$name")
      if [[ -z ${best[$name]:-} ]] || ((elapsed < best[$name])); then best[$name]=$elapsed; fi
    done
  done
}
measure coreutils_one_line ours_one_line ours_picture coreutils_wrapped ours_wrapped \
  coreutils_decode ours_decode

rate() { awk -v b="$size" -v us="$1" 'BEGIN { printf "%8.1f MB/s (%d us)", b / us, us }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }

echo "Base64 encoding of an 8 MiB file, best of $runs runs (MB = 10^6 bytes)"
echo "  coreutils base64 -w0     $(rate "${best[coreutils_one_line]}")"
echo "  ours, one line           $(rate "${best[ours_one_line]}")"
echo "  ours, picture text       $(rate "${best[ours_picture]}")  (whole text in memory)"
echo "  coreutils base64         $(rate "${best[coreutils_wrapped]}")"
echo "  ours, lines with CR LF   $(rate "${best[ours_wrapped]}")"
echo "  coreutils base64 -d      $(rate "${best[coreutils_decode]}")  (one-line text back to the file)"
echo "  ours, decode             $(rate "${best[ours_decode]}")"
echo "ratio ours/coreutils, one line: $(ratio "${best[ours_one_line]}" "${best[coreutils_one_line]}")"
echo "ratio ours/coreutils, wrapped:  $(ratio "${best[ours_wrapped]}" "${best[coreutils_wrapped]}")"
echo "ratio ours/coreutils, decode:   $(ratio "${best[ours_decode]}" "${best[coreutils_decode]}")"
