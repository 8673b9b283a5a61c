"""The terminal disappearing during binding: a fake terminal on its own 127.0.0.x:8090 that
first accepts and closes, then accepts and hangs. The bridge reports the failure, arms its
60-second retry and keeps serving callbacks. Run: test_binding_faults.py PMRFACE"""

import os
import socket
import threading
import time
import unittest

from harness import OK_REPLY, SCHOOL_CODE_PATH, BridgeTest, Portal, own_address, path_of

UNREACHABLE = "status[0]: 青禾田识颜台没有开启或网络故障！"


class VanishingTerminal:
    """Counts connections; the first is closed at once, later ones are held open unanswered."""

    def __init__(self, address):
        self.listener = socket.create_server((address, 8090))
        self.accepted = []
        self.stop = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        self.listener.settimeout(0.2)
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            self.accepted.append((time.time(), conn))
            if len(self.accepted) == 1:
                conn.recv(65536)
                conn.close()

    def close(self):
        self.stop.set()
        self.listener.close()
        for _, conn in self.accepted:
            conn.close()


class BindingFaultTest(BridgeTest):
    def test_terminal_gone_mid_binding(self):
        terminal_address = own_address()
        terminal = VanishingTerminal(terminal_address)
        self.addCleanup(terminal.close)
        portal = Portal("ok")
        self.addCleanup(portal.close)
        os.makedirs(self.app_folder)
        with open(self.ini, "wb") as f:
            f.write(b"[JDQFACE]\r\nFIPCAddr1=%s\r\nHID=h\r\n" % terminal_address.encode())
        bridge = self.start(portal_port=portal.port)
        bridge.wait_for(lambda l: l == UNREACHABLE, timeout=30)
        first = terminal.accepted[0][0]
        # Callbacks are served while the retry is pending and while it hangs.
        deadline = first + 75
        while len(terminal.accepted) < 2 and time.time() < deadline:
            self.assert_healthy()
            time.sleep(2)
        self.assertGreaterEqual(len(terminal.accepted), 2, "no retry was armed")
        self.assertGreater(terminal.accepted[1][0] - first, 50, "the retry came too early")
        for _ in range(3):
            started = time.time()
            self.assertEqual(self.callback(b'{"personId":"9"}', timeout=20), (200, OK_REPLY))
            self.assertLess(time.time() - started, 5)
        hids = [p for _, p in portal.requests if path_of(p) == SCHOOL_CODE_PATH]
        self.assertGreaterEqual(len(hids), 2, "each run looks the school code up again")
        self.assertEqual(bridge.quit(), 0)
        with open(self.ini, "rb") as f:
            self.assertIn(b"HID=h\r\n", f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
