#!/usr/bin/env bash
# Times picture fetches from one pyftpdlib server on 127.0.0.1: our FTP client against
# curl in active mode (--ftp-port 127.0.0.1), a 200 KB and a 5 MB file, 50 fetches each,
# as whole processes with a fresh login per fetch, interleaved so that both see the same load.
# Then our client again inside one process (Google Benchmark), which is how the bridge runs it.
#   bench/ftp_fetch.sh [path/to/bench_ftp_fetch]    (builds nothing itself)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=${1:-$root/build/default/bench/bench_ftp_fetch}
fetches=${FETCHES:-50}

if [[ ! -x $bench ]]; then
  echo "ftp_fetch: no bench program at $bench (build the bench_ftp_fetch target)" >&2
  exit 2
fi
curl=$(command -v curl) || { echo "ftp_fetch: curl missing" >&2; exit 2; }
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null ||
  { echo "ftp_fetch: Debian's python3-pyftpdlib missing" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
cleanup() {
  # The server dies of the TERM (status 143), which must not become the script's status.
  if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/root"
head -c 200000 /dev/urandom >"$work/root/200k.bin"
head -c 5000000 /dev/urandom >"$work/root/5m.bin"

# The server: anonymous with password "pw", read-only, port chosen by the system.
/usr/bin/python3 - "$work/root" "$work/port" <<'PY' &
import logging, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, port_file = sys.argv[1:3]
logging.basicConfig(level=logging.CRITICAL)
authorizer = DummyAuthorizer()
authorizer.add_user("anonymous", "pw", root, perm="elr")
FTPHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
PY
server_pid=$!
for _ in $(seq 200); do [[ -s $work/port ]] && break; sleep 0.05; done
[[ -s $work/port ]] || { echo "ftp_fetch: the FTP server did not start" >&2; exit 1; }
port=$(cat "$work/port")

ours() { "$bench" --fetch 127.0.0.1 "$port" / "$1" "$work/ours.out"; }
theirs() {
  "$curl" -s -S --ftp-port 127.0.0.1 --disable-eprt -u anonymous:pw \
    -o "$work/curl.out" "ftp://127.0.0.1:$port/$1"
}

# Same bytes first, or the timing means nothing.
for file in 200k.bin 5m.bin; do
  ours "$file" && theirs "$file"
  if ! cmp -s "$work/ours.out" "$work/root/$file" || ! cmp -s "$work/curl.out" "$work/root/$file"; then
    echo "ftp_fetch: a fetched $file differs from the served one" >&2
    exit 1
  fi
done

now() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }
declare -A total
for file in 200k.bin 5m.bin; do
  total[ours_$file]=0
  total[curl_$file]=0
  for ((i = 0; i < fetches; i++)); do
    start=$(now); ours "$file"; end=$(now)
    total[ours_$file]=$((total[ours_$file] + end - start))
    start=$(now); theirs "$file"; end=$(now)
    total[curl_$file]=$((total[curl_$file] + end - start))
  done
done

rate() { awk -v n="$fetches" -v us="$1" 'BEGIN { printf "%7.1f fetches/s", n * 1e6 / us }'; }
ratio() { awk -v ours="$1" -v curl="$2" 'BEGIN { printf "%.2f", curl / ours }'; }

echo "FTP fetch, $fetches fetches per size, each a new process with its own login (active mode)"
printf "  %-10s %-26s %-26s %s\n" size ours curl "ratio ours/curl"
for file in 200k.bin 5m.bin; do
  printf "  %-10s %-26s %-26s %s\n" "$file" "$(rate "${total[ours_$file]}")" \
    "$(rate "${total[curl_$file]}")" "$(ratio "${total[ours_$file]}" "${total[curl_$file]}")"
done

echo
echo "Our client inside one process (no process start per fetch):"
PMR_BENCH_FTP=127.0.0.1:$port TMPDIR=$work "$bench" --benchmark_counters_tabular=true 2>/dev/null |
  grep -E '^(Benchmark|BM_|-)' || true
