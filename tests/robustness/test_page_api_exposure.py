"""The page API as any page on the PC reaches it: /clearimg never passes the id that clears the
whole terminal (-1 in any spelling, or no id) to a recording fake terminal on its own
127.x.x.x:8090, and a request whose Host names anything but this service (DNS rebinding) gets
403 and neither a command nor a picture. Run: test_page_api_exposure.py PMRFACE"""

import os
import subprocess
import unittest

from harness import (PAGE_PORT, BridgeTest, RecordingTerminal, get_request, http_get_raw,
                     own_address, raw_exchange)

REFUSED = "jdqfaceapi_clearimg('操作失败，请重新操作。')".encode("gbk")
DELETED = "jdqfaceapi_clearimg('操作成功！')".encode("gbk")
FORBIDDEN = (b"HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Type: text/html\r\n"
             b"Content-Length: 0\r\nAccess-Control-Allow-Origin:*\r\n"
             b"Access-Control-Allow-Methods:*\r\nServer: pmrface/1.0\r\n\r\n")


class PageApiExposureTest(BridgeTest):
    def start_with_terminal(self):
        address = own_address()
        self.terminal = RecordingTerminal(address)
        self.addCleanup(self.terminal.close)
        os.makedirs(self.app_folder)
        with open(self.ini, "wb") as f:
            f.write(b"[JDQFACE]\r\nFIPCAddr1=%s\r\n" % address.encode())
        bridge = self.start()
        # The page API listens before the configuration names the terminal.
        bridge.wait_for(lambda l: l.startswith("log: faceip:" + address))
        return bridge

    def test_clearimg_never_clears_the_whole_terminal(self):
        self.start_with_terminal()
        for pid in (b"-1", b"%2D1", b"+-1", b"-01", b"-1.0", b"", b"%20%09", b"+"):
            raw = raw_exchange("127.0.0.1", PAGE_PORT, get_request(b"/clearimg?pid=" + pid))
            head, _, body = raw.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), pid)
            self.assertIn(b"\r\nAccess-Control-Allow-Origin:*\r\n", head + b"\r\n", pid)
            self.assertEqual(body, REFUSED, pid)
        self.assertEqual(http_get_raw(b"/clearimg"), (200, REFUSED))
        self.assertEqual(self.terminal.commands(), [])

        self.assertEqual(http_get_raw(b"/clearimg?pid=77"), (200, DELETED))
        deletes = self.terminal.commands()
        self.assertEqual(len(deletes), 1)
        self.assertEqual(deletes[0][0], "/person/delete")
        self.assertEqual(deletes[0][1]["id"], ["77"])
        self.assert_healthy()

    def test_foreign_host_names_get_403_and_nothing_runs(self):
        self.start_with_terminal()
        picture = os.urandom(50_000)
        with open(os.path.join(self.pic, "exposed.jpg"), "wb") as f:
            f.write(picture)
        targets = (b"/exposed.jpg", b"/clearimg?pid=77", b"/takeimg?pid=5&name=x",
                   b"/update?pid=5&name=x", b"/")
        for host in (b"evil.example:8091", b"127.0.0.1.nip.io:8091", b"localhost:8090"):
            for target in targets:
                raw = raw_exchange("127.0.0.1", PAGE_PORT, get_request(target, host))
                self.assertEqual(raw, FORBIDDEN, (host, target))
        # curl as a real peer, with the name a rebound page would send.
        for target in ("/exposed.jpg", "/clearimg?pid=77"):
            got = subprocess.run(["curl", "-s", "--max-time", "20", "-H", "Host: evil.example:8091",
                                  "-w", "\n%{http_code}", "http://127.0.0.1:8091" + target],
                                 capture_output=True, check=True)
            self.assertEqual(got.stdout, b"\n403", target)
        self.assertEqual(self.terminal.commands(), [])

        for host in (b"127.0.0.1:8091", b"LOCALHOST:8091", None):
            self.assertEqual(http_get_raw(b"/exposed.jpg", host=host), (200, picture), host)
        served = subprocess.run(["curl", "-s", "--max-time", "20",
                                 "http://127.0.0.1:8091/exposed.jpg"],
                                capture_output=True, check=True)
        self.assertEqual(served.stdout, picture)
        self.assertEqual(http_get_raw(b"/clearimg?pid=77", host=b"LOCALHOST:8091"),
                         (200, DELETED))
        self.assertEqual([c[0] for c in self.terminal.commands()], ["/person/delete"])
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
