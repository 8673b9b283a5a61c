"""Callback pipeline load: 20 simulated terminals (each from its own loopback address) post
face events to a running pmrface for a while; pictures of 200 KB come from a Debian FTP
server (pyftpdlib), uploads go to a small portal. Reports events per second, p50/p99 callback
latency (request sent -> reply read), uploads completed, and the bridge's RSS over time.
Each terminal posts `rate` events a second (0: as fast as replies come back).
Usage: callback_pipeline.py PMRFACE [seconds] [rate]"""

import http.client
import http.server
import json
import logging
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

pmrface = os.path.abspath(sys.argv[1])
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
rate = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
terminals = 20

work = tempfile.mkdtemp(prefix="pmr_pipeline_")
root = os.path.join(work, "ftp")
os.makedirs(root)
for i in range(terminals):
    with open(os.path.join(root, "t%02d.jpg" % i), "wb") as f:
        f.write(b"\xff\xd8" + os.urandom(200_000) + b"\xff\xd9")

ftp_script = r"""
import sys, os, logging
logging.basicConfig(level=logging.WARNING)
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer
auth = DummyAuthorizer()
auth.add_user("anonymous", "pw", sys.argv[1], perm="elr")
FTPHandler.authorizer = auth
server = ThreadedFTPServer(("127.0.0.1", 0), FTPHandler)
server.max_cons = 256
open(sys.argv[2] + ".tmp", "w").write(str(server.address[1]))
os.replace(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
"""
port_file = os.path.join(work, "ftp.port")
ftp = subprocess.Popen(["/usr/bin/python3", "-c", ftp_script, root, port_file])
while not os.path.exists(port_file):
    time.sleep(0.05)
ftp_port = int(open(port_file).read())

uploads = [0]
upload_lock = threading.Lock()


class Portal(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.rfile.read(length)
        with upload_lock:
            uploads[0] += 1
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


portal = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Portal)
portal.daemon_threads = True
threading.Thread(target=portal.serve_forever, daemon=True).start()

address = "127.0.77.1"
env = dict(os.environ, PROGRAMFILES=os.path.join(work, "pf"),
           XDG_RUNTIME_DIR=os.path.join(work, "run"), PMRFACE_UI="headless",
           PMRFACE_BIND_ADDRESS=address,
           PMRFACE_PORTAL_HOST="127.0.0.1:%d" % portal.server_address[1])
os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
bridge = subprocess.Popen([pmrface], env=env, cwd=work, stdin=subprocess.PIPE,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
while True:
    try:
        socket.create_connection((address, 8090), timeout=1).close()
        break
    except OSError:
        time.sleep(0.05)


def rss_kb():
    with open("/proc/%d/status" % bridge.pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


latencies = []
failures = [0]
exits = [0]
lock = threading.Lock()
stop_at = time.time() + seconds


def terminal(i):
    source = "127.0.78.%d" % (i + 1)
    next_at = time.time() + i * (1.0 / rate if rate else 0) / terminals
    while time.time() < stop_at:
        if rate:
            time.sleep(max(0.0, next_at - time.time()))
            next_at += 1.0 / rate
        body = json.dumps({"personId": str(1000 + i), "type": "face_0",
                           "path": "ftp://anonymous:pw@127.0.0.1:%d/t%02d.jpg" % (ftp_port, i),
                           "time": int(time.time() * 1000)})
        start = time.perf_counter()
        try:
            conn = http.client.HTTPConnection(address, 8090, timeout=30,
                                              source_address=(source, 0))
            conn.request("POST", "/index.html", body, {"Content-Type": "application/json"})
            reply = conn.getresponse().read()
            conn.close()
            elapsed = time.perf_counter() - start
            with lock:
                latencies.append(elapsed)
                if reply != b'{"result":1,"success":true}':
                    exits[0] += 1  # answered without the reply: a dropped (busy) event
        except Exception:
            with lock:
                failures[0] += 1


rss = [(0.0, rss_kb())]
threads = [threading.Thread(target=terminal, args=(i,)) for i in range(terminals)]
begin = time.time()
for t in threads:
    t.start()
while any(t.is_alive() for t in threads):
    time.sleep(1)
    rss.append((time.time() - begin, rss_kb()))
elapsed = time.time() - begin
time.sleep(3)  # let the last uploads finish
rss.append((time.time() - begin, rss_kb()))

bridge.stdin.write("menu N8\n".encode())
bridge.stdin.flush()
try:
    bridge.wait(15)
except subprocess.TimeoutExpired:
    bridge.kill()
ftp.kill()
portal.shutdown()
shutil.rmtree(work, ignore_errors=True)

latencies.sort()
n = len(latencies)
p = lambda q: latencies[min(n - 1, int(q * n))] * 1000 if n else float("nan")
second_10 = min(rss, key=lambda r: abs(r[0] - 10))[1]
last = rss[-1][1]
print("terminals            %d (one loopback address each), %.0f s, %s" %
      (terminals, elapsed, "%.1f events/s each" % rate if rate else "closed loop"))
print("events answered      %d (%.1f per second), %d without the normal reply" %
      (n, n / elapsed, exits[0]))
print("events failed        %d" % failures[0])
print("callback latency     p50 %.1f ms, p99 %.1f ms, max %.1f ms" %
      (p(0.50), p(0.99), latencies[-1] * 1000 if n else 0))
print("uploads completed    %d" % uploads[0])
print("bridge RSS           start %d kB, at 10 s %d kB, end %d kB (growth after 10 s %.1f%%)" %
      (rss[0][1], second_10, last, 100.0 * (last - second_10) / max(second_10, 1)))
