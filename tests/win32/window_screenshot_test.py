#!/usr/bin/env python3
"""pmrface.exe's window under Wine, on a virtual Wine desktop inside Xvfb (bare Xvfb draws no
caption and no menu bar), photographed into a file beside the build.

Runs in a Wine prefix of its own, so that stopping all of its processes at the end cannot
touch the other Windows tests. Needs to run under xvfb-run.

Usage: window_screenshot_test.py WINE_RUN WINE_SETUP PMRFACE_EXE SCREENSHOT_PNG
"""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pmrface_wine_test import wait_port, wait_port_free  # noqa: E402

ARGS = sys.argv[1:]
WINE_RUN, WINE_SETUP, PMRFACE, SCREENSHOT = (ARGS + [""] * 4)[:4]


def image_facts(png, crop=None):
    """(width, height, distinct colours) of the picture or of a part of it."""
    command = ["convert", png]
    if crop:
        command += ["-crop", crop, "+repage"]
    command += ["-format", "%w %h %k", "info:"]
    out = subprocess.run(command, capture_output=True, text=True, timeout=60, check=True).stdout
    w, h, k = out.split()
    return int(w), int(h), int(k)


@unittest.skipUnless(PMRFACE and os.environ.get("DISPLAY") and shutil.which("import"),
                     "needs the program, an X display and ImageMagick")
class WindowOnWineDesktop(unittest.TestCase):
    def setUp(self):
        self.folder = os.path.join(os.path.dirname(os.path.abspath(SCREENSHOT)), "screenshot-wine")
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.env = dict(os.environ, WINE_BUILD_DIR=self.folder,
                        PMRFACE_BIND_ADDRESS="127.0.0.1", PMRFACE_HOST_ADDRESS="127.0.0.1",
                        PMRFACE_PORTAL_HOST="127.0.0.1:9")
        self.env.pop("PMRFACE_UI", None)
        subprocess.run(["bash", WINE_SETUP, self.folder], env=self.env, timeout=240, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_wine)

    def stop_wine(self):
        env = dict(self.env, WINEPREFIX=os.path.join(self.folder, "wine-prefix"))
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def test_window_with_menus_panes_and_status_bar(self):
        # Another bridge of this machine may still hold the fixed ports.
        self.assertTrue(wait_port_free(8090, 120) and wait_port_free(8091, 60))
        program = subprocess.run([WINE_RUN, "winepath", "-w", os.path.abspath(PMRFACE)],
                                 env=self.env, capture_output=True, text=True, timeout=60,
                                 stdin=subprocess.DEVNULL).stdout.strip()
        self.assertTrue(program, "winepath gave no Windows path")
        desktop = subprocess.Popen([WINE_RUN, "explorer", "/desktop=ci,1400x850", program],
                                   env=self.env, cwd=self.folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(desktop.kill)
        self.assertTrue(wait_port(8090, 90), "the program on the Wine desktop never listened")
        self.assertTrue(wait_port(8091, 30))
        time.sleep(4)  # the first paint of the window and its menu bar

        subprocess.run(["import", "-window", "root", SCREENSHOT], timeout=60, check=True)
        width, height, colours = image_facts(SCREENSHOT)
        self.assertGreaterEqual((width, height), (1400, 850))
        # A drawn window: caption, menu text, status bar, not a single-coloured desktop.
        self.assertGreater(colours, 16, "the screenshot is nearly blank")
        # The window is centred at 1366 x 784 on the 1400 x 850 desktop: its top rows (caption
        # and menu bar) carry text in several colours.
        _, _, top = image_facts(SCREENSHOT, "1366x60+17+20")
        self.assertGreater(top, 8, "no caption or menu bar at the top of the window")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
