"""Nothing lost: the real bridge against a portal that refuses, hangs or is not there, a PC
killed or told to exit while uploads wait, a terminal that reuses a file name and one that
sends a burst. Every picture must reach the portal with its own bytes and card id, none twice.
Run: test_outbox.py PMRFACE"""

import base64
import hashlib
import http.server
import os
import re
import socket
import threading
import time
import unittest
import urllib.parse

from harness import (IDENTITY_PATH, OK_REPLY, SCHOOL_CODE_PATH, UPLOAD_PATH, BridgeTest, FaultyFtp,
                     FtpHandler, RecordingTerminal, own_address, path_of, picture_body)


class RecordingPortal(http.server.ThreadingHTTPServer):
    """A portal that keeps every accepted upload as (pid, sha1 of the picture). `mode`, changed
    at any time: "ok", "refuse" (500) or "hang" (reads the request, never answers)."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port=0, delay=0.0):
        self.mode = "ok"
        self.delay = delay
        self.accepted = []
        self.refused = 0
        self.lock = threading.Lock()
        self.release = threading.Event()
        super().__init__(("127.0.0.1", port), RecordingHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def port(self):
        return self.server_address[1]

    def uploads(self):
        with self.lock:
            return list(self.accepted)

    def close(self):
        self.release.set()
        self.shutdown()
        self.server_close()


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        server = self.server
        if server.mode != "ok":
            return self.answer(500, b"down")
        if path_of(self.path) == IDENTITY_PATH:
            return self.answer(200, b"HID-OUTBOX")
        if path_of(self.path) == SCHOOL_CODE_PATH:
            return self.answer(200, b"SP-OUTBOX")
        self.answer(404, b"")

    def do_POST(self):
        server = self.server
        body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        if path_of(self.path) != UPLOAD_PATH:
            return self.answer(404, b"")
        if server.mode == "hang":
            server.release.wait(120)
            return
        if server.mode == "refuse":
            with server.lock:
                server.refused += 1
            return self.answer(500, b"refused")
        time.sleep(server.delay)
        fields = urllib.parse.parse_qs(body.decode("ascii"), keep_blank_values=True)
        picture = base64.b64decode(fields["picbase64"][0])
        with server.lock:
            server.accepted.append((fields["pid"][0], hashlib.sha1(picture).hexdigest(),
                                    fields["sp"][0]))
        self.answer(200, "上传成功".encode())

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class SlowFtp(FaultyFtp):
    """Greets after `greeting_delay` seconds, so that a burst finds its retrieval running."""

    def __init__(self, files, greeting_delay, address):
        self.greeting_delay = greeting_delay
        super().__init__(files, address=address)
        self.RequestHandlerClass = SlowFtpHandler


class SlowFtpHandler(FtpHandler):
    def handle(self):
        time.sleep(self.server.greeting_delay)
        super().handle()


def sha1(data):
    return hashlib.sha1(data).hexdigest()


class OutboxTest(BridgeTest):
    def send_events(self, ftp, pictures, first_person=1000, name=None):
        """One face event per picture, one after another; {pid: sha1} of what was sent.
        With `name`, every picture is served under that one file name."""
        expected = {}
        for i, data in enumerate(pictures):
            person = str(first_person + i)
            file_name = name or "p%d.jpg" % (first_person + i)
            ftp.files[file_name] = data
            self.assertEqual(self.callback(picture_body(ftp.port, file_name, person)),
                             (200, OK_REPLY))
            expected["fp" + person] = sha1(data)
        return expected

    def wait_delivered(self, portal, expected, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if {pid for pid, _, _ in portal.uploads()} >= set(expected):
                break
            time.sleep(0.2)
        time.sleep(1)  # a duplicate would come now
        got = portal.uploads()
        pids = [pid for pid, _, _ in got]
        self.assertEqual(sorted(pids), sorted(set(pids)), "a picture reached the portal twice")
        self.assertEqual({pid: digest for pid, digest, _ in got}, expected)

    def log_file_text(self):
        folder = os.path.join(self.app_folder, "log")
        text = ""
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text += f.read()
        return text

    def test_refusing_portal_then_back_loses_nothing(self):
        portal = RecordingPortal()
        self.addCleanup(portal.close)
        portal.mode = "refuse"
        ftp = FaultyFtp({})
        self.addCleanup(ftp.close)
        bridge = self.start(portal_port=portal.port)
        pictures = [os.urandom(3000 + i) for i in range(120)]
        expected = self.send_events(ftp, pictures[:60])
        self.assertGreater(portal.refused, 0)
        portal.mode = "ok"
        expected.update(self.send_events(ftp, pictures[60:], first_person=1060))
        # The refused ones come again after their pause (15 s, then doubling).
        self.wait_delivered(portal, expected, timeout=90)
        bridge.wait_for(lambda l: l == "status[1]: 0张图片等待上传...", timeout=10,
                        start=bridge.count() - 20)
        self.assertIn("...错误！", bridge.output())
        self.assertEqual(os.listdir(os.path.join(self.app_folder, "outbox")), [])
        self.assertTrue(re.search(r"upload: p10\d\d.jpg for fp10\d\d failed \(HTTP/1.\d 500",
                                  self.log_file_text()), "the log file names the reason")

    def test_one_file_name_six_pictures(self):
        portal = RecordingPortal(delay=2.0)
        self.addCleanup(portal.close)
        ftp = FaultyFtp({})
        self.addCleanup(ftp.close)
        self.start(portal_port=portal.port)
        pictures = [os.urandom(5000) for _ in range(6)]
        expected = self.send_events(ftp, pictures, name="same.jpg")
        self.wait_delivered(portal, expected, timeout=60)

    def test_sigkill_and_exit_lose_nothing(self):
        portal = RecordingPortal()
        self.addCleanup(portal.close)
        ftp = FaultyFtp({})
        self.addCleanup(ftp.close)

        portal.mode = "hang"
        bridge = self.start(portal_port=portal.port)
        expected = self.send_events(ftp, [os.urandom(4000) for _ in range(8)])
        bridge.wait_for(lambda l: l == "status[1]: 8张图片等待上传...")
        bridge.proc.kill()
        bridge.stop()

        # Started again: the eight wait from the start; the portal still hangs, and "退出"
        # does not wait for it.
        bridge = self.start(portal_port=portal.port)
        bridge.wait_for(lambda l: l == "status[1]: 8张图片等待上传...")
        expected.update(self.send_events(ftp, [os.urandom(4000) for _ in range(8)],
                                         first_person=2000))
        bridge.wait_for(lambda l: l == "status[1]: 16张图片等待上传...")
        started = time.time()
        self.assertEqual(bridge.quit(timeout=10), 0)
        self.assertLess(time.time() - started, 5, "exit waited for the uploads")
        bridge.stop()

        portal.release.set()
        portal.mode = "ok"
        bridge = self.start(portal_port=portal.port)
        self.wait_delivered(portal, expected, timeout=60)
        bridge.wait_for(lambda l: l == "status[2]: 16张图片已上传...", timeout=10)
        self.assertTrue("16 pictures not yet uploaded queued again" in self.log_file_text())

    def test_burst_from_one_sender_fetches_once(self):
        portal = RecordingPortal()
        self.addCleanup(portal.close)
        # The terminal's pictures lie on its own address, as a real terminal's do.
        sender = own_address()
        ftp = SlowFtp({"b.jpg": os.urandom(2000)}, greeting_delay=1.0, address=sender)
        self.addCleanup(ftp.close)
        bridge = self.start(portal_port=portal.port)
        replies = [None] * 8
        gate = threading.Barrier(8)

        def post(i):
            gate.wait()
            replies[i] = self.callback(picture_body(ftp.port, "b.jpg", str(i), host=sender),
                                       source=sender)

        threads = [threading.Thread(target=post, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(sum(1 for r in replies if r == (200, OK_REPLY)), 1, replies)
        self.assertEqual(sum(1 for c in ftp.commands if c.startswith("USER")), 1)
        self.assertEqual(bridge.output().count("-------->exit"), 7)

    def test_portal_away_at_start_is_bound_when_it_comes_back(self):
        # A terminal that takes its callback address; the portal's port has nobody yet.
        terminal_address = own_address()
        terminal = RecordingTerminal(terminal_address)
        self.addCleanup(terminal.close)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            portal_port = probe.getsockname()[1]
        os.makedirs(self.app_folder)
        with open(self.ini, "wb") as f:
            f.write(b"[JDQFACE]\r\nFIPCAddr1=%s\r\n" % terminal_address.encode())
        bridge = self.start(portal_port=portal_port)
        bridge.wait_for(lambda l: l == "status[0]: 网络故障，无法获取SP...", timeout=30)
        # Bound to the terminal meanwhile, but no school code and no pages.
        bridge.wait_for(lambda l: l.startswith("status[0]: " + terminal_address + ":"))
        self.assertNotIn("navigate[left]", bridge.output())

        portal = RecordingPortal(port=portal_port)
        self.addCleanup(portal.close)
        back = time.time()
        line = bridge.wait_for(lambda l: l.startswith("navigate[left]:"), timeout=90)
        self.assertLess(time.time() - back, 90)
        self.assertIn("SP-OUTBOX", line)
        with open(self.ini, "rb") as f:
            self.assertIn(b"HID=HID-OUTBOX", f.read())
        self.assertTrue("binding: the identity issue failed" in self.log_file_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
