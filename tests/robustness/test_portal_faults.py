"""A portal that hangs, answers 500 or redirects: stored pictures stay counted as waiting, a
failed upload is not sent again before its pause (15 s), the bridge keeps working.
Run: test_portal_faults.py PMRFACE"""

import os
import time
import unittest

from harness import (OK_REPLY, UPLOAD_PATH, BridgeTest, FaultyFtp, Portal, own_address, path_of,
                     picture_body)


class PortalFaultTest(BridgeTest):
    def upload_two(self, portal):
        bridge = self.start(portal_port=portal.port)
        pictures = {"p1.jpg": os.urandom(20_000), "p2.jpg": os.urandom(20_000)}
        ftp = FaultyFtp(pictures)
        self.addCleanup(ftp.close)
        for name in pictures:
            self.assertEqual(self.callback(picture_body(ftp.port, name), source=own_address()),
                             (200, OK_REPLY))
        bridge.wait_for(lambda l: l == "status[1]: 2张图片等待上传...")
        for name, content in pictures.items():
            with open(os.path.join(self.pic, name), "rb") as f:
                self.assertEqual(f.read(), content)
        return bridge

    def uploads(self, portal):
        return [p for _, p in portal.requests if path_of(p) == UPLOAD_PATH]

    def test_error_status_leaves_pictures_waiting_until_their_retry(self):
        portal = Portal("500")
        self.addCleanup(portal.close)
        bridge = self.upload_two(portal)
        upload_url = "http://127.0.0.1:%d/fgate/jdq_upload.html" % portal.port
        bridge.wait_for(lambda l: l == "log: " + upload_url + "...错误！")
        deadline = time.time() + 20
        while bridge.output().count(upload_url + "...错误！") < 2 and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(3)
        self.assertEqual(len(self.uploads(portal)), 2, "no retry before the first pause")
        out = bridge.output()
        self.assertIn("status[2]: 0张图片已上传...", out)
        self.assertNotIn("status[1]: 1张图片等待上传...\nstatus[2]: 1", out)
        self.assertNotIn("1张图片已上传", out)
        self.assert_healthy()

    def test_redirect_is_not_followed_to_a_success(self):
        elsewhere = Portal("ok")
        self.addCleanup(elsewhere.close)
        portal = Portal("redirect", target="http://127.0.0.1:%d/moved" % elsewhere.port)
        self.addCleanup(portal.close)
        bridge = self.upload_two(portal)
        upload_url = "http://127.0.0.1:%d/fgate/jdq_upload.html" % portal.port
        deadline = time.time() + 40
        while bridge.output().count(upload_url + "...错误！") < 2 and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(1)
        # The client reports a redirect as an error and does not follow it.
        self.assertEqual(elsewhere.requests, [])
        out = bridge.output()
        self.assertEqual(out.count(upload_url + "...错误！"), 2, out[-3000:])
        self.assertNotIn("1张图片已上传", out)
        self.assertEqual(len(self.uploads(portal)), 2)
        self.assert_healthy()

    def test_hanging_portal_does_not_stop_callbacks(self):
        portal = Portal("hang")
        self.addCleanup(portal.close)
        bridge = self.upload_two(portal)
        # The uploads hang; callbacks and the page API go on.
        for _ in range(3):
            self.assert_healthy()
        upload_url = "http://127.0.0.1:%d/fgate/jdq_upload.html" % portal.port
        # The client's read time-out ends each hanging upload as a failure.
        bridge.wait_for(lambda l: l == "log: " + upload_url + "...错误！", timeout=90)
        self.assertNotIn("1张图片已上传", bridge.output())
        self.assertEqual(len(self.uploads(portal)), 2)
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
