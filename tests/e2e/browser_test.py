"""A real browser on the portal stand-in's live-list page: its capture button calls the bridge's
page API through a script element, the bridge drives the terminal stand-in, and the page gets
the script reply back. This is what proves the page API's CORS lines and script replies work in
a browser. Chromium is driven through chromedriver's WebDriver protocol on loopback.
Run: browser_test.py PMRFACE TERMINAL_SIM PORTAL_SIM"""

import json
import os
import socket
import subprocess
import sys
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import standins  # noqa: E402
from standins import wait_until  # noqa: E402

BINARIES = standins.take_binaries(sys.argv)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class WebDriver:
    """The few WebDriver commands the test needs, over plain HTTP."""

    def __init__(self, work):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen([CHROMEDRIVER, f"--port={self.port}",
                                      "--allowed-ips=127.0.0.1"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.base = f"http://127.0.0.1:{self.port}"
        if not wait_until(self._up, 20):
            raise RuntimeError("chromedriver did not start")
        profile = os.path.join(work, "chromium-profile")
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": CHROMIUM,
            "args": ["--headless", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-dev-shm-usage",
                     f"--user-data-dir={profile}"]}}}}
        self.session = self._call("POST", "/session", caps)["sessionId"]

    def _up(self):
        try:
            urllib.request.urlopen(self.base + "/status", timeout=1).read()
            return True
        except OSError:
            return False

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as reply:
            return json.loads(reply.read())["value"]

    def go(self, url):
        self._call("POST", f"/session/{self.session}/url", {"url": url})

    def click(self, css):
        element = self._call("POST", f"/session/{self.session}/element",
                             {"using": "css selector", "value": css})
        key = next(iter(element))
        self._call("POST", f"/session/{self.session}/element/{element[key]}/click", {})

    def run(self, script):
        return self._call("POST", f"/session/{self.session}/execute/sync",
                          {"script": script, "args": []})

    def close(self):
        try:
            self._call("DELETE", f"/session/{self.session}")
        except OSError:
            pass
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


@unittest.skipUnless(os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER),
                     "needs Debian's chromium and chromium-driver")
class CaptureButtonInChromium(unittest.TestCase):
    def setUp(self):
        self.rig = standins.Rig(BINARIES, base="127.0.65", terminals=1)
        self.addCleanup(self.rig.close)
        self.rig.start()
        self.browser = WebDriver(self.rig.work)
        self.addCleanup(self.browser.close)

    def test_capture_button_reaches_the_terminal(self):
        rig, browser = self.rig, self.browser
        terminal = rig.terminals[0]
        browser.go(rig.portal.url("/club/hlmbo_jdqface_now.html?sp=" + rig.portal.sp))
        browser.run("document.getElementById('pid').value = '4242';"
                    "document.getElementById('name').value = '李四';")
        mark = len(terminal.lines)
        browser.click("#btn-takeimg")
        terminal.wait_for(r"/face/takeImg .*personId=4242", timeout=30, start=mark)
        # The person was created first, with the name as UTF-8 through the form encoding.
        self.assertIsNotNone(terminal.find(r"/person/create", mark))
        # The page's own function received the script reply.
        self.assertTrue(wait_until(
            lambda: browser.run("return (window.apiReplies || []).length") > 0, 20))
        replies = browser.run("return window.apiReplies")
        self.assertIn("正在开启自动拍照模式", replies[-1])


if __name__ == "__main__":
    if not BINARIES:
        sys.exit("usage: browser_test.py PMRFACE TERMINAL_SIM PORTAL_SIM")
    unittest.main(verbosity=2)
