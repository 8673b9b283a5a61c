#!/usr/bin/env python3
"""Load runs of the HTTP server next to nginx, both on loopback, one request per connection.

  python3 bench/http_load.py BUILD_DIR [--seconds 5] [--rounds 2]

Two sets, each with nginx (`worker_processes auto`, `keepalive_timeout 0`, `return 200` of the
same 27-byte answer) run interleaved with ours, under wrk with 2 threads and
`Connection: close`:
- server: bench/http_load_server, our server alone answering a GET, 1, 16 and 64 connections;
- bridge: the real pmrface, headless with its output discarded, on 127.0.75.1:8090, every
  request a 55-byte callback POST, 16 and 64 connections, in `--rounds` interleaved rounds.
Needs wrk, nginx and curl (scripts/install-deps.sh bench); waits until 127.0.0.1:8091 is free.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tools"))
import standins  # noqa: E402

ANSWER = '{"result":1,"success":true}'
# A card event: no picture to fetch, so the handler's own work is what is measured.
CALLBACK = '{"personId":"101","type":"card_0","time":1600000000000}'
BRIDGE_ADDRESS = "127.0.75.1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port_8091_free(timeout=300):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        listening = subprocess.run(["ss", "-ltn"], capture_output=True, text=True).stdout
        if ":8091 " not in listening:
            return
        time.sleep(1)
    raise RuntimeError("127.0.0.1:8091 stayed taken by another bridge")


def wait_answering(port, address="127.0.0.1", timeout=20):
    if not standins.wait_until(lambda: _connects(address, port), timeout):
        raise RuntimeError(f"nothing answers on {address}:{port}")


def _connects(address, port):
    try:
        socket.create_connection((address, port), timeout=1).close()
        return True
    except OSError:
        return False


class Nginx:
    """nginx in the foreground with a prefix of its own, closing after every answer."""

    def __init__(self, work):
        self.port = free_port()
        prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(prefix, "logs"))
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off;
worker_processes auto;
pid {prefix}/nginx.pid;
error_log {prefix}/logs/error.log warn;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  keepalive_timeout 0;
  keepalive_requests 1;
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
  server {{
    listen 127.0.0.1:{self.port};
    location / {{ default_type text/html; return 200 '{ANSWER}'; }}
  }}
}}
""")
        self.proc = subprocess.Popen(["nginx", "-p", prefix, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_answering(self.port)

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


class PeakSampler:
    """Peak thread count and resident size of a process while a run lasts."""

    def __init__(self, pid):
        self.pid, self.threads, self.rss_kb = pid, 0, 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.02):
            try:
                with open(f"/proc/{self.pid}/status") as f:
                    status = f.read()
            except OSError:
                return
            self.threads = max(self.threads, int(re.search(r"^Threads:\s+(\d+)", status,
                                                           re.M).group(1)))
            self.rss_kb = max(self.rss_kb, int(re.search(r"^VmRSS:\s+(\d+)", status,
                                                         re.M).group(1)))

    def stop(self):
        self._stop.set()
        self._thread.join()


def wrk(url, connections, seconds, work, body=None):
    """requests/s, p99 in ms and wrk's error lines of one run."""
    argv = ["wrk", "-t", str(min(2, connections)), "-c", str(connections), "-d", f"{seconds}s",
            "--latency", "-H", "Connection: close"]
    if body is not None:
        script = os.path.join(work, "post.lua")
        with open(script, "w") as f:
            f.write('wrk.method = "POST"\n'
                    f"wrk.body = '{body}'\n"
                    'wrk.headers["Content-Type"] = "application/json"\n')
        argv += ["-s", script]
    out = subprocess.run(argv + [url], capture_output=True, text=True, check=True,
                         timeout=seconds + 60).stdout
    rps = float(re.search(r"^Requests/sec:\s+([\d.]+)", out, re.M).group(1))
    value, unit = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\b", out, re.M).groups()
    p99 = float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
    errors = " ".join(line.strip() for line in out.splitlines()
                      if "Socket errors" in line or "Non-2xx" in line)
    return dict(rps=rps, p99=p99, errors=errors)


def check_answer(url, body=None):
    argv = ["curl", "-s", "--max-time", "10", url]
    if body is not None:
        argv += ["-H", "Content-Type: application/json", "--data-binary", body]
    got = subprocess.run(argv, capture_output=True, text=True).stdout
    if got != ANSWER:
        raise RuntimeError(f"{url} answered {got!r}, not {ANSWER!r}")


def server_runs(build_dir, seconds, work):
    """Our server alone against nginx: {(name, connections): run}."""
    binary = os.path.join(build_dir, "bench", "http_load_server")
    server = subprocess.Popen([binary, "0", "127.0.0.1"], stdout=subprocess.PIPE, text=True)
    nginx = None
    try:
        port = int(server.stdout.readline().split()[1])
        nginx = Nginx(work)
        urls = {"pmrface": f"http://127.0.0.1:{port}/",
                "nginx": f"http://127.0.0.1:{nginx.port}/"}
        for url in urls.values():
            check_answer(url)
        results = {}
        for connections in (1, 16, 64):
            for name, url in urls.items():
                sampler = PeakSampler(server.pid) if name == "pmrface" else None
                results[name, connections] = wrk(url, connections, seconds, work)
                if sampler:
                    sampler.stop()
                    results[name, connections].update(threads=sampler.threads,
                                                      rss_kb=sampler.rss_kb)
        return results
    finally:
        if nginx:
            nginx.close()
        server.terminate()
        server.wait(10)


def bridge_runs(build_dir, seconds, rounds, work):
    """The real program against nginx: [{(name, connections): run}] per round."""
    wait_port_8091_free()
    bridge = standins.Bridge(os.path.join(build_dir, "app", "main", "pmrface"),
                             os.path.join(work, "bridge"), BRIDGE_ADDRESS,
                             # No portal: the binding's tries fail at once and wait a minute.
                             portal_host="127.0.75.2:9", quiet=True)
    nginx = None
    try:
        bridge.wait_listening()
        nginx = Nginx(work)
        urls = {"pmrface": f"http://{BRIDGE_ADDRESS}:8090/index.html",
                "nginx": f"http://127.0.0.1:{nginx.port}/index.html"}
        for url in urls.values():
            check_answer(url, CALLBACK)
        done = []
        for round_number in range(rounds):
            results = {}
            # Who goes first alternates, so neither always meets a machine just warmed up.
            order = list(urls.items())
            if round_number % 2:
                order.reverse()
            for connections in (16, 64):
                for name, url in order:
                    sampler = PeakSampler(bridge.proc.pid) if name == "pmrface" else None
                    results[name, connections] = wrk(url, connections, seconds, work, CALLBACK)
                    if sampler:
                        sampler.stop()
                        results[name, connections].update(threads=sampler.threads,
                                                          rss_kb=sampler.rss_kb)
            done.append(results)
        if not bridge.alive():
            raise RuntimeError("the bridge ended during the load")
        return done
    finally:
        if nginx:
            nginx.close()
        bridge.quit()


def describe(name, connections, run):
    extra = ""
    if "threads" in run:
        extra = f"  peak threads {run['threads']}, peak RSS {run['rss_kb']} kB"
    return (f"{name:<8} {connections:>4} {run['rps']:>10.0f} req/s  p99 {run['p99']:>8.2f} ms  "
            f"{run['errors'] or 'no errors'}{extra}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--only", choices=("server", "bridge"))
    args = parser.parse_args()
    for tool in ("wrk", "nginx", "curl"):
        if shutil.which(tool) is None:
            sys.exit(f"missing {tool} (scripts/install-deps.sh bench)")
    work = tempfile.mkdtemp(prefix="pmr-http-load.")
    try:
        if args.only != "bridge":
            print("our server alone (bench/http_load_server), GET:")
            for (name, connections), run in server_runs(args.build, args.seconds,
                                                        os.path.join(work, "s")).items():
                print("  " + describe(name, connections, run))
        if args.only != "server":
            print(f"the real pmrface on {BRIDGE_ADDRESS}:8090, {len(CALLBACK)}-byte callback POST:")
            for number, results in enumerate(bridge_runs(args.build, args.seconds, args.rounds,
                                                         os.path.join(work, "b")), 1):
                for (name, connections), run in results.items():
                    print(f"  round {number}: " + describe(name, connections, run))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
