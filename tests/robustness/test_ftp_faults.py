"""FTP servers that stall, lie about SIZE, drop the data connection or never connect back: the
callback is still answered, nothing partial stays in the picture folder, and an earlier good
picture of the same name survives. Run: test_ftp_faults.py PMRFACE"""

import os
import random
import threading
import unittest

from harness import OK_REPLY, BridgeTest, FaultyFtp, own_address, picture_body


class FtpFaultTest(BridgeTest):
    def fetch(self, server, name, source=None):
        return self.callback(picture_body(server.port, name), timeout=120, source=source)

    def test_faults_keep_the_earlier_picture(self):
        good = bytes(random.Random(1).getrandbits(8) for _ in range(300_000))
        other = bytes(random.Random(2).getrandbits(8) for _ in range(300_000))
        bridge = self.start()
        first = FaultyFtp({"same.jpg": good})
        self.addCleanup(first.close)
        self.assertEqual(self.fetch(first, "same.jpg"), (200, OK_REPLY))
        stored = os.path.join(self.pic, "same.jpg")
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), good)

        # All faults at once, each callback from its own sender so none is taken as busy.
        faults = ["stall_after_login", "drop_data", "no_connect", "425"]
        servers = {fault: FaultyFtp({"same.jpg": other}, fault) for fault in faults}
        for server in servers.values():
            self.addCleanup(server.close)
        replies = {}

        def run(fault):
            replies[fault] = self.fetch(servers[fault], "same.jpg", source=own_address())

        threads = [threading.Thread(target=run, args=(f,)) for f in faults]
        for t in threads:
            t.start()
        for t in threads:
            t.join(150)
        for fault in faults:
            with self.subTest(fault=fault):
                self.assertEqual(replies.get(fault), (200, OK_REPLY))
                self.assertTrue(any(c.startswith("USER") for c in servers[fault].commands))
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), good, "a failed fetch replaced the earlier picture")
        self.assertEqual(self.leftovers(), ["same.jpg"])
        # The stall and the missing data connection run into the client's time-outs.
        bridge.wait_for(lambda l: l.startswith("log: FtpDownLoad:"), timeout=5)
        self.assertEqual(bridge.output().count("status[1]: 2张图片等待上传..."), 0)
        self.assert_healthy()

    def test_size_lies_are_ignored(self):
        # The SIZE answer is not used: the file as sent is what is stored, whole.
        self.start()
        for fault in ("size_bigger", "size_smaller"):
            with self.subTest(fault=fault):
                content = os.urandom(100_000)
                server = FaultyFtp({"lie.jpg": content}, fault)
                self.addCleanup(server.close)
                self.assertEqual(self.fetch(server, "lie.jpg"), (200, OK_REPLY))
                self.assertIn("SIZE lie.jpg", server.commands)
                with open(os.path.join(self.pic, "lie.jpg"), "rb") as f:
                    self.assertEqual(f.read(), content)
                self.assertEqual(self.leftovers(), ["lie.jpg"])
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
