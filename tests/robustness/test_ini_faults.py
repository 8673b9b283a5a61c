"""The configuration file missing, read-only or damaged at start: the bridge starts, keeps the
values it could read, and never writes a corrupted file. Run: test_ini_faults.py PMRFACE"""

import os
import stat
import unittest

from harness import BridgeTest, Portal

START_LINE = "log: faceip:%s,pass=58317094"


class IniFaultTest(BridgeTest):
    def run_with(self, content, read_only=False):
        """Starts the bridge on `content` with a portal that issues the identity "NEWHID", waits
        for the binding's look-ups and exits; the output."""
        portal = Portal("ok")
        self.addCleanup(portal.close)
        if content is not None:
            os.makedirs(self.app_folder, exist_ok=True)
            with open(self.ini, "wb") as f:
                f.write(content)
            if read_only:
                os.chmod(self.ini, stat.S_IRUSR)
        bridge = self.start(portal_port=portal.port)
        bridge.wait_for(lambda l: l.startswith("log: faceip:"))
        bridge.wait_for(lambda l: l.startswith("navigate[main]:") or "SP..." in l, timeout=30)
        self.assert_healthy()
        self.assertEqual(bridge.quit(), 0)
        return bridge.output()

    def read_back(self):
        with open(self.ini, "rb") as f:
            return f.read()

    def test_missing_file_is_created_with_the_identity(self):
        out = self.run_with(None)
        self.assertIn(START_LINE % "", out)
        self.assertIn(b"HID=ok", self.read_back())

    def test_damaged_files_keep_what_could_be_read(self):
        cases = {
            "half line, no newline": (b"[JDQFACE]\r\nFIPCAddr1=127.0.0.9\r\nSP=school\r\nHID=ab",
                                      "127.0.0.9", [b"FIPCAddr1=127.0.0.9", b"SP=school",
                                                    b"HID=ab"]),
            "garbage bytes": (b"\x01\x80\x81\r\n[JDQFACE]\r\n\x01\x02garbage\r\nFIPCAddr1=127.0.0.8"
                              b"\r\nHID=h1\r\n\xff\xff\xff\xff", "127.0.0.8",
                              [b"\x01\x02garbage", b"FIPCAddr1=127.0.0.8", b"HID=h1"]),
            "invalid GBK": (b"[JDQFACE]\nFIPCAddr1=127.0.0.7\nSP=\x81\x20\xd5\nHID=h2\n",
                            "127.0.0.7", [b"FIPCAddr1=127.0.0.7", b"SP=\x81\x20\xd5",
                                          b"HID=h2"]),
            "section only, truncated": (b"[JDQFA", "", [b"[JDQFA"]),
        }
        for name, (content, address, kept) in cases.items():
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                out = self.run_with(content)
                self.assertIn(START_LINE % address, out)
                after = self.read_back()
                for line in kept:
                    self.assertIn(line, after)
                # Only HID may be added or changed; with an HID present nothing is written.
                if b"HID=" in content:
                    self.assertEqual(after, content)

    def test_read_only_file_is_still_read(self):
        content = b"[JDQFACE]\r\nFIPCAddr1=127.0.0.6\r\nSP=s\r\n"
        out = self.run_with(content, read_only=True)
        self.assertIn(START_LINE % "127.0.0.6", out)
        after = self.read_back()
        self.assertTrue(after.startswith(content[:-2]), after)
        if os.geteuid() != 0:
            self.assertEqual(after, content)


if __name__ == "__main__":
    unittest.main(verbosity=2)
