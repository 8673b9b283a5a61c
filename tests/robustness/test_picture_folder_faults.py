"""The picture folder not writable (a regular file stands in its place) and full (a small tmpfs
when the test may mount one): the callback is answered, nothing partial remains, and the bridge
stores pictures again once the folder is usable. Run: test_picture_folder_faults.py PMRFACE"""

import os
import subprocess
import unittest

from harness import OK_REPLY, BridgeTest, FaultyFtp, picture_body


class PictureFolderFaultTest(BridgeTest):
    def test_folder_replaced_by_a_file(self):
        os.makedirs(self.bin, exist_ok=True)
        with open(self.pic, "wb") as f:
            f.write(b"not a folder")
        bridge = self.start()
        content = os.urandom(50_000)
        ftp = FaultyFtp({"a.jpg": content})
        self.addCleanup(ftp.close)
        self.assertEqual(self.callback(picture_body(ftp.port, "a.jpg")), (200, OK_REPLY))
        with open(self.pic, "rb") as f:
            self.assertEqual(f.read(), b"not a folder")
        self.assertNotIn("张图片等待上传", bridge.output())
        os.remove(self.pic)
        os.makedirs(self.pic)
        self.assertEqual(self.callback(picture_body(ftp.port, "a.jpg")), (200, OK_REPLY))
        self.assertEqual(self.leftovers(), ["a.jpg"], bridge.output()[-3000:])
        with open(os.path.join(self.pic, "a.jpg"), "rb") as f:
            self.assertEqual(f.read(), content)
        self.assert_healthy()

    def test_full_folder(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        os.makedirs(self.pic)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", self.pic],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("mount is not permitted here: " + mounted.stderr.decode(errors="replace"))
        self.cleanups_last.append(lambda: subprocess.run(["umount", "-l", self.pic]))
        small = os.urandom(40_000)
        big = os.urandom(400_000)
        ftp = FaultyFtp({"same.jpg": small, "big.jpg": big})
        self.addCleanup(ftp.close)
        self.start()
        self.assertEqual(self.callback(picture_body(ftp.port, "same.jpg")), (200, OK_REPLY))
        self.assertEqual(self.callback(picture_body(ftp.port, "big.jpg")), (200, OK_REPLY))
        self.assertEqual(self.leftovers(), ["same.jpg"], self.bridge.output()[-3000:])
        # The folder fills up while the same name is fetched again: the old picture survives.
        ftp.files["same.jpg"] = big
        self.assertEqual(self.callback(picture_body(ftp.port, "same.jpg")), (200, OK_REPLY))
        self.assertEqual(self.leftovers(), ["same.jpg"])
        with open(os.path.join(self.pic, "same.jpg"), "rb") as f:
            self.assertEqual(f.read(), small)
        # Space freed: stored again.
        ftp.files["big.jpg"] = os.urandom(150_000)
        os.remove(os.path.join(self.pic, "same.jpg"))
        self.assertEqual(self.callback(picture_body(ftp.port, "big.jpg")), (200, OK_REPLY))
        with open(os.path.join(self.pic, "big.jpg"), "rb") as f:
            self.assertEqual(f.read(), ftp.files["big.jpg"])
        self.assertEqual(self.leftovers(), ["big.jpg"])
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
