"""Path traversal against the page API's file route: public payload lists sent as raw bytes in
the request line, plus NUL, overlong UTF-8, backslashes, drive letters and UNC names. A canary
just outside the picture folder and one in the program folder never appear in a reply; a real
picture is still served byte-exact. Run: test_traversal.py PMRFACE"""

import os
import unittest

from harness import REPO, BridgeTest, http_get_raw

CORPUS = os.path.join(os.path.dirname(REPO), "shared", "corpora", "traversal")
CANARY = b"CANARY-7f3a-outside-the-picture-folder"


class TraversalTest(BridgeTest):
    def test_nothing_outside_the_picture_folder_is_served(self):
        self.start()
        picture = os.urandom(70_000)
        with open(os.path.join(self.pic, "real.jpg"), "wb") as f:
            f.write(picture)
        # Beside the picture folder (the program folder) and one level above it.
        names = ["canary.txt", "etc/passwd", "boot.ini", "WINDOWS/win.ini", "win.ini",
                 ".htaccess", "pmrface.ini"]
        for folder in (self.bin, self.work):
            for name in names:
                path = os.path.join(folder, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(CANARY)

        # CI always has the corpus: a missing folder must fail, not pass on the built-in part.
        self.assertTrue(os.path.isdir(CORPUS), "traversal corpus %s is missing" % CORPUS)
        payloads = []
        for name in sorted(os.listdir(CORPUS)):
            if name.endswith(".txt"):
                with open(os.path.join(CORPUS, name), "rb") as f:
                    payloads += [l.rstrip(b"\r\n") for l in f if l.strip()]
        expanded = []
        for p in payloads:
            if b"{FILE}" in p:
                expanded += [p.replace(b"{FILE}", n) for n in (b"canary.txt", b"pmrface")]
            else:
                expanded.append(p)
        built_in = [b"/../canary.txt", b"/..%00/canary.txt", b"/%00../canary.txt",
                    b"/real.jpg%00../../canary.txt", b"/%c0%ae%c0%ae/canary.txt",
                    b"/%c0%ae%c0%ae%c0%afcanary.txt", b"/..\\canary.txt", b"/..%5ccanary.txt",
                    b"/C:\\canary.txt", b"/c:/canary.txt", b"C:\\canary.txt",
                    b"/\\\\server\\share\\canary.txt", b"\\\\127.0.0.1\\c$\\canary.txt",
                    b"//../canary.txt", b"/%2e%2e/canary.txt", b"/.%2e/canary.txt",
                    b"/%252e%252e/canary.txt", b"/" + self.bin.encode() + b"/canary.txt",
                    b"/../pmrface", b"/../../pf/kvt/pmrface.ini", b"/../pic/../canary.txt"]
        targets = built_in + expanded
        for target in targets:
            if b" " in target:
                continue  # a blank would only end the request target early
            status, body = http_get_raw(target, timeout=20)
            self.assertNotIn(CANARY, body, target)
            self.assertFalse(body.startswith(b"\x7fELF"), target)
            if status is not None:
                self.assertIn(status, (200, 400, 404, 500), target)
        self.assertGreater(len(targets), 100)

        status, body = http_get_raw(b"/real.jpg")
        self.assertEqual((status, body), (200, picture))
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
