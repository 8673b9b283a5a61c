"""Shared pieces of the fault and abuse tests: the real pmrface process in a sandbox of its own
(program, picture folder, install root, runtime folder and loopback address), a portal and an
FTP server whose misbehaviour each test chooses, and raw HTTP helpers. Loopback only."""

import http.server
import os
import queue
import random
import shutil
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

PMRFACE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OK_REPLY = b'{"result":1,"success":true}'
PAGE_PORT = 8091
# The portal's data calls as the portal spells them; the fakes answer nothing else.
IDENTITY_PATH = "/wgate/wgate_gethid.asp"
SCHOOL_CODE_PATH = "/wgate/pmr_getsp.html"
UPLOAD_PATH = "/fgate/jdq_upload.html"


def path_of(target):
    """The path of a request target, without its query."""
    return target.split("?", 1)[0]


def own_address():
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 254),
                             random.randint(2, 254))


class Bridge:
    """pmrface with its standard streams on pipes; output lines collected by a reader thread."""

    def __init__(self, program, env, cwd):
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, cwd=cwd, text=True,
                                     encoding="utf-8", errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def output(self):
        with self.cond:
            return "\n".join(self.lines)

    def wait_for(self, predicate, timeout=30, start=0):
        """The first line from index `start` on that satisfies `predicate`."""
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    if predicate(line):
                        return line
                left = deadline - time.time()
                if left <= 0 or self.proc.poll() is not None:
                    break
                self.cond.wait(min(left, 0.5))
        raise AssertionError("no matching line; output was:\n" + self.output()[-6000:])

    def count(self):
        with self.cond:
            return len(self.lines)

    def alive(self):
        return self.proc.poll() is None

    def threads_and_fds(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            threads = int([l for l in f if l.startswith("Threads:")][0].split()[1])
        return threads, len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def quit(self, timeout=30):
        self.send("menu N8")
        return self.proc.wait(timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.proc.stdin.close()
        self.proc.stdout.close()


class BridgeTest(unittest.TestCase):
    """Each test gets its own folder with a hard link (or copy) of the program, so that the
    picture folder beside it belongs to this test alone."""

    def setUp(self):
        if not PMRFACE:
            self.skipTest("needs the path of the pmrface program as first argument")
        self.work = tempfile.mkdtemp(prefix="pmr_rob_")
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        self.program = os.path.join(self.bin, "pmrface")
        try:
            os.link(PMRFACE, self.program)
        except OSError:
            shutil.copy2(PMRFACE, self.program)
        self.pic = os.path.join(self.bin, "pic")
        self.app_folder = os.path.join(self.work, "pf", "kvt")
        self.ini = os.path.join(self.app_folder, "pmrface.ini")
        self.address = own_address()
        runtime = os.path.join(self.work, "run")
        os.makedirs(runtime, mode=0o700)
        home = os.path.join(self.work, "home")
        self.env = dict(os.environ, PROGRAMFILES=os.path.join(self.work, "pf"),
                        HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_RUNTIME_DIR=runtime, PMRFACE_UI="headless",
                        PMRFACE_BIND_ADDRESS=self.address, PMRFACE_HOST_ADDRESS=self.address,
                        PMRFACE_PORTAL_HOST="127.0.0.1:1")
        self.bridge = None
        self.cleanups_last = []

    def tearDown(self):
        if self.bridge:
            self.bridge.stop()
        for fn in reversed(self.cleanups_last):
            fn()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, portal_port=None, wait=True):
        if portal_port:
            self.env["PMRFACE_PORTAL_HOST"] = "127.0.0.1:%d" % portal_port
        # Port 8091 is fixed: another bridge on this machine (outside this test run) may hold
        # it for a while, so a start that cannot bind is tried again.
        deadline = time.time() + 120
        while True:
            self.bridge = Bridge(self.program, self.env, self.work)
            try:
                self.bridge.proc.wait(1.5)
            except subprocess.TimeoutExpired:
                break
            time.sleep(0.3)  # the reader thread takes the last lines
            if "already in use" not in self.bridge.output() or time.time() > deadline:
                break
            self.bridge.stop()
            time.sleep(1)
        if wait:
            try:
                wait_port(self.address, 8090)
                wait_port("127.0.0.1", PAGE_PORT)
            except AssertionError as e:
                raise AssertionError("%s; the bridge printed:\n%s" %
                                     (e, self.bridge.output()[-4000:])) from None
        return self.bridge

    def callback(self, body, timeout=30, source=None):
        return http_post(self.address, 8090, "/index.html", body, timeout, source=source)

    def assert_healthy(self):
        self.assertTrue(self.bridge.alive(), self.bridge.output()[-4000:])
        status, reply = self.callback(b'{"type":"heartbeat"}', timeout=20)
        self.assertEqual((status, reply), (200, OK_REPLY))

    def leftovers(self):
        """Files in the picture folder other than `keep`: partial or temporary files."""
        return sorted(os.listdir(self.pic)) if os.path.isdir(self.pic) else []


def wait_port(host, port, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("nothing listens on %s:%d" % (host, port))


def raw_exchange(host, port, data, timeout=30, source=None):
    """Sends `data` (from the loopback address `source`), reads until the server closes; the
    raw reply."""
    with socket.create_connection((host, port), timeout=timeout,
                                  source_address=(source, 0) if source else None) as s:
        s.sendall(data)
        chunks = []
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        else:
            raise AssertionError("the server did not close the connection in %d s" % timeout)
        return b"".join(chunks)


def parse_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    if not head:
        return None, b""
    status = int(head.split(b" ", 2)[1])
    return status, body


def http_post(host, port, path, body, timeout=30, content_type=b"application/json",
              source=None):
    request = (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nContent-Type: " +
               content_type + b"\r\nContent-Length: " + str(len(body)).encode() +
               b"\r\n\r\n" + body)
    return parse_reply(raw_exchange(host, port, request, timeout, source))


def http_get_raw(target, timeout=30, host=b"127.0.0.1:%d" % PAGE_PORT):
    """GET with `target` as raw bytes in the request line, to 127.0.0.1:8091, with `host` as
    the Host header (a browser names the port; the page API refuses any other name); no Host
    header when `host` is None."""
    return parse_reply(raw_exchange("127.0.0.1", PAGE_PORT, get_request(target, host), timeout))


def get_request(target, host=b"127.0.0.1:%d" % PAGE_PORT):
    head = b"GET " + target + b" HTTP/1.1\r\n"
    if host is not None:
        head += b"Host: " + host + b"\r\n"
    return head + b"\r\n"


# ---------------------------------------------------------------------------- the portal

class Portal(http.server.ThreadingHTTPServer):
    """Answers uploads as `mode` says: "ok", "500", "hang" (reads, never answers) or
    "redirect" (302 to `target`), the other data calls with "ok" and anything else with 404.
    Every request's path is recorded."""
    daemon_threads = True

    def __init__(self, mode="ok", target=None):
        self.mode = mode
        self.target = target
        self.requests = []
        self.release = threading.Event()
        super().__init__(("127.0.0.1", 0), PortalHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def port(self):
        return self.server_address[1]

    def close(self):
        self.release.set()
        self.shutdown()
        self.server_close()


class PortalHandler(http.server.BaseHTTPRequestHandler):
    def _answer(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        if length:
            self.rfile.read(length)
        self.server.requests.append((self.command, self.path))
        mode = self.server.mode
        path = path_of(self.path)
        if path == UPLOAD_PATH:
            if mode == "hang":
                self.server.release.wait(120)
                return
            if mode == "500":
                self.send_response(500)
                self.send_header("Content-Length", "5")
                self.end_headers()
                self.wfile.write(b"error")
                return
            if mode == "redirect":
                self.send_response(302)
                self.send_header("Location", self.server.target)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
        known = path in (IDENTITY_PATH, SCHOOL_CODE_PATH, UPLOAD_PATH)
        reply = b"ok" if known else b""
        self.send_response(200 if known else 404)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    do_GET = _answer
    do_POST = _answer

    def log_message(self, *args):
        pass


# ---------------------------------------------------------------------------- the terminal

class RecordingTerminal(http.server.ThreadingHTTPServer):
    """Answers every call with success and keeps (path, form fields)."""
    daemon_threads = True

    def __init__(self, address):
        self.calls = []
        self.lock = threading.Lock()
        super().__init__((address, 8090), RecordingTerminalHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def commands(self):
        """The person and face calls: what the page API may cause."""
        with self.lock:
            return [c for c in self.calls if c[0].startswith(("/person/", "/face/"))]

    def close(self):
        self.shutdown()
        self.server_close()


class RecordingTerminalHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        with self.server.lock:
            self.server.calls.append((self.path, urllib.parse.parse_qs(body.decode("latin-1"))))
        reply = '{"result":1,"success":true,"data":"正在开启自动拍照模式"}'.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass



# ---------------------------------------------------------------------------- the FTP server

class FaultyFtp(socketserver.ThreadingTCPServer):
    """A small FTP server for the bridge's client (USER, PASS, TYPE, SYST, CWD, SIZE, PORT,
    RETR, QUIT; active mode). `files` maps names to bytes. `fault` is one of None,
    "stall_after_login", "size_bigger", "size_smaller", "drop_data", "no_connect",
    "425"."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, files, fault=None, address="127.0.0.1"):
        self.files = files
        self.fault = fault
        self.release = threading.Event()
        self.commands = []
        super().__init__((address, 0), FtpHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def port(self):
        return self.server_address[1]

    def close(self):
        self.release.set()
        self.shutdown()
        self.server_close()


class FtpHandler(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write(text.encode() + b"\r\n")
        self.wfile.flush()

    def handle(self):
        server = self.server
        data_address = None
        self.reply("220 ready")
        for raw in self.rfile:
            line = raw.decode("latin-1").rstrip("\r\n")
            server.commands.append(line)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "USER":
                self.reply("331 password please")
            elif verb == "PASS":
                self.reply("230 logged in")
                if server.fault == "stall_after_login":
                    server.release.wait(120)
                    return
            elif verb == "TYPE":
                self.reply("200 binary")
            elif verb == "SYST":
                self.reply("215 UNIX Type: L8")
            elif verb == "CWD":
                self.reply("250 ok")
            elif verb == "SIZE":
                size = len(server.files.get(arg, b""))
                if server.fault == "size_bigger":
                    size = size * 10 + 1000
                elif server.fault == "size_smaller":
                    size = max(0, size // 10)
                self.reply("213 %d" % size if arg in server.files else "550 no such file")
            elif verb == "PORT":
                parts = [int(p) for p in arg.split(",")]
                data_address = (".".join(map(str, parts[:4])), parts[4] * 256 + parts[5])
                self.reply("200 ok")
            elif verb == "RETR":
                if arg not in server.files:
                    self.reply("550 no such file")
                    continue
                if server.fault == "425":
                    self.reply("425 Can't open data connection.")
                    continue
                self.reply("150 opening data connection")
                if server.fault == "no_connect":
                    server.release.wait(120)
                    return
                content = server.files[arg]
                # From the server's own address: the client takes data only from its peer.
                with socket.create_connection(data_address, timeout=10,
                                              source_address=(server.server_address[0], 0)) as data:
                    if server.fault == "drop_data":
                        data.sendall(content[:len(content) // 2])
                        # A reset, not a clean close: the transfer broke.
                        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                        b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    else:
                        data.sendall(content)
                if server.fault == "drop_data":
                    return  # the control connection goes too
                self.reply("226 transfer complete")
            elif verb == "QUIT":
                self.reply("221 bye")
                return
            else:
                self.reply("502 not implemented")


def picture_body(ftp_port, name, person="1001", host="127.0.0.1"):
    return ('{"personId":"%s","type":"face_0","path":"ftp://anonymous:pw@%s:%d/snap/%s",'
            '"time":%d}' % (person, host, ftp_port, name, int(time.time() * 1000))).encode()
