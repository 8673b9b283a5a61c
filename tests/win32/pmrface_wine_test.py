#!/usr/bin/env python3
"""pmrface.exe under Wine, driven from Linux: it listens on 8090 and 8091, answers a callback
posted with curl, and a second start exits 0 and wakes the first.

Usage: pmrface_wine_test.py WINE_RUN PMRFACE_EXE
"""

import os
import queue
import socket
import subprocess
import sys
import threading
import time
import unittest

WINE_RUN = sys.argv[1] if len(sys.argv) > 2 else ""
PMRFACE = sys.argv[2] if len(sys.argv) > 2 else ""


def wait_port(port, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.2)
    return False


def wait_port_free(port, timeout):
    """Other bridges on this machine share the fixed ports; wait for them to end."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        listening = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True,
                                   text=True, timeout=30).stdout
        if not listening.strip():
            return True
        time.sleep(1)
    return False


class Bridge:
    """The program on pipes; its output lines arrive on a queue."""

    def __init__(self, env, args=(), program=None, cwd=None):
        self.lines = queue.Queue()
        self.all = []
        self.proc = subprocess.Popen([WINE_RUN, program or PMRFACE, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                                     cwd=cwd, text=True, encoding="utf-8", errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def expect(self, text, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=max(0.05, deadline - time.time()))
            except queue.Empty:
                break
            self.all.append(line)
            if text in line:
                return line
        raise AssertionError("no line with %r in:\n%s" % (text, "\n".join(self.all[-40:])))

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send("menu N8")
                self.send("answer ok")
                self.proc.wait(timeout=15)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(timeout=10)


@unittest.skipUnless(PMRFACE and os.path.exists("/usr/bin/curl"), "needs the program and curl")
class PmrfaceUnderWine(unittest.TestCase):
    def setUp(self):
        self.env = dict(os.environ, PMRFACE_UI="headless", PMRFACE_BIND_ADDRESS="127.0.0.1",
                        PMRFACE_HOST_ADDRESS="127.0.0.1", PMRFACE_PORTAL_HOST="127.0.0.1:9")
        self.bridge = Bridge(self.env)
        self.addCleanup(self.bridge.stop)

    def test_answers_curl_and_wakes_on_second_start(self):
        self.assertTrue(wait_port(8090, 60), "nothing listens on 127.0.0.1:8090")
        self.assertTrue(wait_port(8091, 30), "nothing listens on 127.0.0.1:8091")

        reply = subprocess.run(["curl", "-s", "--max-time", "30", "--data-binary",
                                '{"personId":"1"}', "http://127.0.0.1:8090/index.html"],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(reply.stdout, '{"result":1,"success":true}')

        second = subprocess.run([WINE_RUN, PMRFACE, "-s"], env=self.env, capture_output=True,
                                timeout=60)
        self.assertEqual(second.returncode, 0)
        self.bridge.expect("window: restore")
        self.bridge.expect("window: front")
        # Still the one bridge: the port is held by the first.
        self.assertIsNone(self.bridge.proc.poll())


@unittest.skipUnless(PMRFACE and os.path.exists("/usr/bin/curl"), "needs the program and curl")
class NativeWindowUnderWine(unittest.TestCase):
    """The same with the program's own Win32 window, its default on Windows."""

    def setUp(self):
        self.env = dict(os.environ, PMRFACE_BIND_ADDRESS="127.0.0.1",
                        PMRFACE_HOST_ADDRESS="127.0.0.1", PMRFACE_PORTAL_HOST="127.0.0.1:9")
        self.env.pop("PMRFACE_UI", None)
        self.assertTrue(wait_port_free(8091, 120), "127.0.0.1:8091 stays taken")
        self.bridge = Bridge(self.env, args=("-s",))
        self.addCleanup(self.kill)

    def kill(self):
        # The window takes no commands on standard input; its exit item needs a user.
        if self.bridge.proc.poll() is None:
            self.bridge.proc.kill()
            self.bridge.proc.wait(timeout=30)
        wait_port_free(8091, 30)

    def test_starts_hidden_answers_curl_and_a_second_start_shows_it(self):
        self.bridge.expect("title: 青禾田识颜台", timeout=60)
        self.assertTrue(wait_port(8090, 60), "nothing listens on 127.0.0.1:8090")
        self.assertTrue(wait_port(8091, 30), "nothing listens on 127.0.0.1:8091")
        # "-s": straight into the notification area.
        self.bridge.expect("window: hide")

        reply = subprocess.run(["curl", "-s", "--max-time", "30", "--data-binary",
                                '{"personId":"1"}', "http://127.0.0.1:8090/index.html"],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(reply.stdout, '{"result":1,"success":true}')

        second = subprocess.run([WINE_RUN, PMRFACE], env=self.env, capture_output=True,
                                timeout=60)
        self.assertEqual(second.returncode, 0)
        self.bridge.expect("window: show")
        self.bridge.expect("window: restore")
        self.bridge.expect("window: front")
        self.assertIsNone(self.bridge.proc.poll())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
