"""The real pmrface program as a process: headless window driven through standard input, a
recognition posted with curl, the picture fetched from a Debian FTP server (pyftpdlib) and
uploaded to a small portal, the live-list call printed. Run: pmrface_process_test.py PMRFACE"""

import http.server
import json
import os
import queue
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

PMRFACE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None

FTP_SERVER = r"""
import sys, os
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, password, port_file = sys.argv[1:4]
auth = DummyAuthorizer()
auth.add_user("anonymous", password, root, perm="elr")
FTPHandler.authorizer = auth
FTPHandler.permit_foreign_addresses = False
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.address[1]))
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
"""


class Portal(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        self.uploads = []
        super().__init__(("127.0.0.1", 0), PortalHandler)


class PortalHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length) if length else self.rfile.read()
        self.server.uploads.append((self.path, urllib.parse.parse_qs(body.decode("ascii"))))
        reply = "ok".encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class FakeTerminal(http.server.ThreadingHTTPServer):
    """The terminal's HTTP API on its fixed port 8090: records each call's path and form."""
    daemon_threads = True

    def __init__(self, address):
        self.calls = []
        super().__init__((address, 8090), FakeTerminalHandler)


class FakeTerminalHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        form = urllib.parse.parse_qs(self.rfile.read(length).decode("ascii"))
        self.server.calls.append((self.path, form))
        created = [json.loads(f["person"][0])["id"] for p, f in self.server.calls
                   if p == "/person/create"]
        if self.path == "/person/find" and form["id"][0] not in created:
            reply = "人员不存在"
        elif self.path == "/face/takeImg":
            reply = "正在开启自动拍照模式"
        else:
            reply = "ok"
        data = reply.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


class Bridge:
    """pmrface with its standard streams on pipes; output lines arrive on a queue."""

    def __init__(self, env, cwd, args=()):
        self.lines = queue.Queue()
        self.all = []
        self.seen = 0  # lines before this one were matched already or lie before a match
        self.proc = subprocess.Popen([PMRFACE, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=env, cwd=cwd, text=True, encoding="utf-8",
                                     errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def expect(self, predicate, timeout=20, anywhere=False):
        """The next line after the last match that satisfies `predicate`; with `anywhere`, any
        line so far or to come (for output whose order between threads is not fixed)."""
        deadline = time.time() + timeout
        if anywhere:
            for line in self.all:
                if predicate(line):
                    return line
            # Wait for it among the lines to come without moving the cursor.
            saved, self.seen = self.seen, len(self.all)
            try:
                return self.expect(predicate, timeout)
            finally:
                self.seen = saved
        while True:
            while self.seen < len(self.all):
                line = self.all[self.seen]
                self.seen += 1
                if predicate(line):
                    return line
            if time.time() >= deadline:
                break
            try:
                self.all.append(self.lines.get(timeout=max(0.01, deadline - time.time())))
            except queue.Empty:
                break
        raise AssertionError("no matching line; output was:\n" + "\n".join(self.all))

    def exit_code(self, timeout=20):
        """Waits for the process to end; its code, with what it printed when not 0."""
        code = self.proc.wait(timeout)
        time.sleep(0.2)
        while not self.lines.empty():
            self.all.append(self.lines.get())
        if code != 0:
            raise AssertionError("exit code %d; output was:\n%s" % (code, "\n".join(self.all)))
        return code

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)


@unittest.skipUnless(PMRFACE and os.path.exists("/usr/bin/curl"), "needs the program and curl")
class PmrfaceProcessTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pmr_e2e_")
        self.ftp_root = os.path.join(self.work, "ftp")
        os.makedirs(os.path.join(self.ftp_root, "snap"))
        self.picture = bytes(random.Random(7).getrandbits(8) for _ in range(200_000))
        with open(os.path.join(self.ftp_root, "snap", "e2e.jpg"), "wb") as f:
            f.write(self.picture)
        port_file = os.path.join(self.work, "ftp.port")
        self.ftp = subprocess.Popen(["/usr/bin/python3", "-c", FTP_SERVER, self.ftp_root, "pw",
                                     port_file])
        deadline = time.time() + 20
        while not os.path.exists(port_file):
            self.assertLess(time.time(), deadline, "FTP server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.ftp_port = int(f.read())

        self.portal = Portal()
        threading.Thread(target=self.portal.serve_forever, daemon=True).start()

        # A loopback address of its own, so that the fixed port 8090 is free for this run.
        self.address = "127.0.%d.%d" % (random.randint(1, 254), random.randint(2, 254))
        runtime = os.path.join(self.work, "run")
        os.makedirs(runtime, mode=0o700)
        home = os.path.join(self.work, "home")
        self.env = dict(os.environ, PROGRAMFILES=os.path.join(self.work, "pf"),
                        HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_RUNTIME_DIR=runtime, PMRFACE_UI="headless",
                        PMRFACE_BIND_ADDRESS=self.address,
                        PMRFACE_PORTAL_HOST="127.0.0.1:%d" % self.portal.server_address[1])
        self.bridges = []

    def tearDown(self):
        for b in self.bridges:
            b.stop()
        self.ftp.kill()
        self.ftp.wait()
        self.portal.shutdown()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *args):
        bridge = Bridge(self.env, self.work, args)
        self.bridges.append(bridge)
        return bridge

    def wait_listening(self):
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                socket.create_connection((self.address, 8090), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.fail("the callback service did not listen")

    def test_recognition_end_to_end(self):
        bridge = self.start()
        bridge.expect(lambda l: l == "log: faceip:,pass=58317094")
        self.wait_listening()
        # The live list page stands in the left pane, as after a binding.
        bridge.send("navigate left http://127.0.0.1:1/club/hlmbo_jdqface_now.html?sp=")
        body = ('{"personId":"1001","type":"face_0","path":"ftp://anonymous:pw@127.0.0.1:%d'
                '/snap/e2e.jpg","time":%d}' % (self.ftp_port, int(time.time() * 1000)))
        reply = subprocess.run(["curl", "-s", "--max-time", "30", "-H",
                                "Content-Type: application/json", "--data-binary", body,
                                "http://%s:8090/index.html" % self.address],
                               capture_output=True, text=True, check=True).stdout
        self.assertEqual(reply, '{"result":1,"success":true}')

        stored = os.path.join(os.path.dirname(PMRFACE), "pic", "e2e.jpg")
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), self.picture)
        script = bridge.expect(lambda l: l.startswith("script[left]: ins("), anywhere=True)
        self.assertIn('ins("fp1001","http://127.0.0.1:8091/e2e.jpg","', script)
        bridge.expect(lambda l: l == "status[2]: 1张图片已上传...", anywhere=True)
        path, fields = self.portal.uploads[0]
        self.assertEqual(path, "/fgate/jdq_upload.html")
        self.assertEqual(fields["pid"], ["fp1001"])
        import base64
        self.assertEqual(base64.b64decode(fields["picbase64"][0]), self.picture)
        # The live list loads the picture from the local page API.
        served = subprocess.run(["curl", "-s", "--max-time", "10", "http://127.0.0.1:8091/e2e.jpg"],
                                capture_output=True, check=True).stdout
        self.assertEqual(served, self.picture)
        os.remove(stored)

        # Close hides; a second start wakes the first and ends at once.
        bridge.send("close")
        bridge.expect(lambda l: l == "window: hide")
        second = subprocess.run([PMRFACE, "-s"], env=self.env, cwd=self.work, timeout=20,
                                capture_output=True)
        self.assertEqual(second.returncode, 0)
        bridge.expect(lambda l: l == "window: show")

        bridge.send("menu N4")
        bridge.expect(lambda l: l.startswith("navigate[main]: http://127.0.0.1:%d/club/index_jdq_s"
                                             ".html?sp=&hid=" % self.portal.server_address[1]))
        bridge.send("menu 退出")
        self.assertEqual(bridge.exit_code(), 0)
        self.assertTrue(os.path.isdir(os.path.join(self.work, "pf", "kvt", "pic")))
        self.assertTrue(os.path.exists(os.path.join(self.work, "iphist.dat")))

    def test_page_api_drives_the_terminal(self):
        terminal_address = "127.0.%d.%d" % (random.randint(1, 254), random.randint(2, 254))
        terminal = FakeTerminal(terminal_address)
        threading.Thread(target=terminal.serve_forever, daemon=True).start()
        try:
            os.makedirs(os.path.join(self.work, "pf", "kvt"))
            with open(os.path.join(self.work, "pf", "kvt", "pmrface.ini"), "wb") as f:
                f.write(b"[JDQFACE]\r\nFIPCAddr1=%s\r\n" % terminal_address.encode())
            bridge = self.start()
            bridge.expect(lambda l: l == "log: faceip:%s,pass=58317094" % terminal_address)
            self.wait_listening()
            out = subprocess.run(["curl", "-s", "-i", "--max-time", "30",
                                  "http://127.0.0.1:8091/takeimg?pid=12&name=%E5%BC%A0"],
                                 capture_output=True, check=True).stdout
            head, _, body = out.partition(b"\r\n\r\n")
            self.assertIn(b"Access-Control-Allow-Origin:*", head)
            # The page reads the reply in code page 936.
            self.assertTrue(body.decode("gbk").startswith("jdqfaceapi_takeimg('"), body)
            paths = [p for p, _ in terminal.calls if p.startswith(("/person", "/face"))]
            # Unknown at first: created, found, then put into capture mode.
            self.assertEqual(paths, ["/person/find", "/person/create", "/person/find",
                                     "/face/takeImg"])
            self.assertEqual(body.decode("gbk"), "jdqfaceapi_takeimg('正在开启自动拍照模式')")
            create = dict(terminal.calls)["/person/create"]
            self.assertEqual(create["pass"], ["58317094"])
            self.assertEqual(json.loads(create["person"][0]),
                             {"id": "12", "idcardNum": "", "name": "张"})
            bridge.send("menu N8")
            self.assertEqual(bridge.exit_code(), 0)
        finally:
            terminal.shutdown()
            terminal.server_close()

    def test_start_hidden_only_with_dash_s(self):
        bridge = self.start("-s")
        bridge.expect(lambda l: l.startswith("tray: add"))
        bridge.expect(lambda l: l == "window: hide")
        bridge.send("tray-click")
        bridge.expect(lambda l: l == "window: show")
        bridge.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
