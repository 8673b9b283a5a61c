#!/usr/bin/env bash
# Load run of the HTTP server next to nginx, both on loopback, one request per connection.
# Usage: bench/http_server_load.sh [build-dir] [seconds-per-run]
# Needs wrk and nginx (scripts/install-deps.sh bench) and the build's bench/http_load_server.
set -euo pipefail

build_dir=${1:-$(dirname "$0")/../build}
duration=${2:-10}
server_bin="$build_dir/bench/http_load_server"
body='{"result":1,"success":true}'

for tool in wrk nginx python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh bench)" >&2; exit 1; }
done
[[ -x "$server_bin" ]] || { echo "missing $server_bin (build target http_load_server)" >&2; exit 1; }

work=$(mktemp -d /tmp/pmr-http-load.XXXXXX)
server_pid=""
nginx_pid=""
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Our server on a free loopback port.
"$server_bin" 0 127.0.0.1 >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^port ' "$work/server.out" 2>/dev/null && break
  sleep 0.05
done
server_port=$(awk '/^port /{print $2}' "$work/server.out")

# nginx in the foreground with a prefix of its own, closing after every answer.
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  keepalive_requests 1;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type text/html; return 200 '$body'; }
  }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break
  sleep 0.05
done

# Both answer the same body.
[[ $(curl -s "http://127.0.0.1:$server_port/") == "$body" ]] || { echo "pmrface answer differs" >&2; exit 1; }
[[ $(curl -s "http://127.0.0.1:$nginx_port/") == "$body" ]] || { echo "nginx answer differs" >&2; exit 1; }

# Peak thread count and resident size of a process while a run lasts.
sample() {
  local pid=$1 out=$2 threads=0 rss=0
  while kill -0 "$pid" 2>/dev/null && [[ ! -e "$out.stop" ]]; do
    local t r
    t=$(awk '/^Threads:/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    r=$(awk '/^VmRSS:/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    ((t > threads)) && threads=$t
    ((r > rss)) && rss=$r
    sleep 0.02
  done
  echo "$threads $rss" >"$out"
}

# run NAME PORT CONCURRENCY -> "req/s p99"
run() {
  local name=$1 port=$2 conc=$3 threads=2
  ((conc < threads)) && threads=$conc
  wrk -t "$threads" -c "$conc" -d "${duration}s" --latency -H 'Connection: close' \
    "http://127.0.0.1:$port/" >"$work/wrk-$name-$conc.txt" 2>&1
  local rps p99 errors
  rps=$(awk '/^Requests\/sec:/{print $2}' "$work/wrk-$name-$conc.txt")
  p99=$(awk '$1=="99%"{print $2}' "$work/wrk-$name-$conc.txt")
  errors=$(awk '/Socket errors|Non-2xx/{printf "%s ", $0}' "$work/wrk-$name-$conc.txt")
  echo "$rps $p99 ${errors:-none}"
}

declare -A result
for conc in 1 16 64; do
  for name in pmrface nginx; do
    port=$server_port
    [[ $name == nginx ]] && port=$nginx_port
    if [[ $name == pmrface && $conc == 64 ]]; then
      rm -f "$work/sample" "$work/sample.stop"
      sample "$server_pid" "$work/sample" &
      sampler=$!
      result[$name,$conc]=$(run "$name" "$port" "$conc")
      touch "$work/sample.stop"
      wait "$sampler"
    else
      result[$name,$conc]=$(run "$name" "$port" "$conc")
    fi
  done
done

printf '%-8s %5s %12s %10s   %s\n' server conc 'req/s' p99 'wrk errors'
for conc in 1 16 64; do
  for name in pmrface nginx; do
    read -r rps p99 errors <<<"${result[$name,$conc]}"
    printf '%-8s %5s %12s %10s   %s\n' "$name" "$conc" "$rps" "$p99" "$errors"
  done
done
read -r ours _ <<<"${result[pmrface,16]}"
read -r theirs _ <<<"${result[nginx,16]}"
awk -v a="$ours" -v b="$theirs" 'BEGIN{printf "ratio pmrface/nginx at concurrency 16: %.0f%% (target >= 50%%)\n", 100*a/b}'
read -r peak_threads peak_rss <"$work/sample"
echo "pmrface at concurrency 64: peak threads $peak_threads, peak RSS $peak_rss kB"
