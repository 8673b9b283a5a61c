"""The Linux desktop program in a real X session (run under xvfb-run): the GTK window with the
portal stand-in's attendance page in the main pane and its live list in the left one, a
terminal stand-in's recognitions arriving as rows of that list, and a screenshot of it all.
Run: desktop_test.py PMRFACE TERMINAL_SIM PORTAL_SIM SCREENSHOT.png"""

import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import standins  # noqa: E402
from standins import wait_until  # noqa: E402

BINARIES = standins.take_binaries(sys.argv)
SCREENSHOT = os.path.abspath(sys.argv.pop(1)) if BINARIES and len(sys.argv) > 1 else None


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display (xvfb-run)")
class DesktopWindow(unittest.TestCase):
    def test_portal_pages_and_live_rows_in_the_window(self):
        rig = standins.Rig(BINARIES, base="127.0.67", terminals=1, mix="known=1",
                           picture_bytes=20000)
        self.addCleanup(rig.close)
        terminal_address = rig.terminal_address(0)
        # A configured installation: the bridge binds the terminal one second after start.
        rig.start(bind=False, ui="gtk", config={"FIPCAddr1": terminal_address})
        bridge, terminal = rig.bridge, rig.terminals[0]
        bridge.wait_for(r"^navigate\[main\]: .*/mosite/xykq2\.html\?sp=SP-DEMO", timeout=30)
        bridge.wait_for(r"^navigate\[left\]: .*/club/hlmbo_jdqface_now\.html\?sp=SP-DEMO",
                        timeout=30)
        self.assertTrue(wait_until(lambda: terminal.stats()["callback_url"]
                                   == bridge.callback_url, 30), "callback registered")
        time.sleep(3 * standins.SCALE)  # the pages load before the first event
        mark = len(bridge.lines)
        terminal.add_events(3)
        bridge.wait_for(r'^script\[left\]: ins\("fp1001","http://127\.0\.0\.1:8091/', timeout=30)
        self.assertTrue(wait_until(lambda: rig.portal.stats()["uploads"] >= 3, 30))
        self.assertIsNone(bridge.find(r"^script\[left\] failed", mark),
                          "the live list ran every ins call")
        time.sleep(2 * standins.SCALE)  # let the rows and their pictures paint
        subprocess.run(["import", "-window", "root", SCREENSHOT], check=True, timeout=30)
        self.assertGreater(os.path.getsize(SCREENSHOT), 10000)
        print("screenshot: " + SCREENSHOT)


if __name__ == "__main__":
    if not BINARIES:
        sys.exit("usage: desktop_test.py PMRFACE TERMINAL_SIM PORTAL_SIM SCREENSHOT.png")
    unittest.main(verbosity=2)
