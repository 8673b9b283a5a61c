"""The bridge against the terminal and portal stand-ins, all real processes on loopback, driven
through the bridge's standard input the way an operator uses it.
Run: system_test.py PMRFACE TERMINAL_SIM PORTAL_SIM"""

import os
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import standins  # noqa: E402
from standins import wait_until  # noqa: E402

BINARIES = standins.take_binaries(sys.argv)


def read_ini(path):
    with open(path, "rb") as f:
        return f.read()


class RigCase(unittest.TestCase):
    terminals = 1
    rate = 0.0
    base = "127.0.61"

    def setUp(self):
        self.rig = standins.Rig(BINARIES, base=self.base, terminals=self.terminals,
                                rate=self.rate, heartbeat=0)
        self.addCleanup(self._close)

    def _close(self):
        if hasattr(self, "rig"):
            codes = self.rig.close()
            self.assertEqual(codes.get("portal", 0), 0)

    def fail_with_output(self, message):
        self.fail(message + "\n--- bridge\n" + "\n".join(self.rig.bridge.lines[-40:]))


class FirstStartAndBinding(RigCase):
    def test_first_start_installs_binds_and_registers_the_callback(self):
        rig = self.rig.start(bind=False)
        bridge = rig.bridge
        self.assertTrue(os.path.isdir(bridge.install_dir), "install folder")
        # The copy is made once the window is created, which is after the services listen.
        self.assertTrue(wait_until(lambda: os.path.isfile(os.path.join(bridge.install_dir, "pmr")),
                                   20), "installed copy of the program")
        # Binding one second after start: identity from the portal, written to the INI.
        bridge.wait_for(r"navigate\[left\]: .*/club/hlmbo_jdqface_now\.html\?sp=SP-DEMO",
                        timeout=30)
        self.assertTrue(wait_until(lambda: os.path.exists(bridge.ini_path)
                                   and b"HID=HID-DEMO-1" in read_ini(bridge.ini_path), 10),
                        "HID written to the configuration file")
        stats = rig.portal.stats()
        self.assertEqual(stats["gethid"], 1)
        self.assertGreaterEqual(stats["getsp"], 1)

        # The operator sets the terminal's address: the bridge registers its callback with it
        # and shows the heart-beat reply.
        terminal = rig.terminals[0]
        rig.bind()
        status = bridge.wait_for(r"^status\[0\]: " + re.escape(terminal.address) + ":",
                                 timeout=30)
        self.assertGreater(len(status), len("status[0]: " + terminal.address + ":"),
                           "heart-beat reply shown")
        self.assertEqual(terminal.stats()["callback_url"], bridge.callback_url)

        # A second start with the same install keeps the identity: no new one is issued.
        self.assertEqual(bridge.quit(), 0)
        rig.start_bridge()
        rig.bridge.wait_for(r"navigate\[left\]: ", timeout=30)
        self.assertEqual(rig.portal.stats()["gethid"], 1)

    def test_terminal_away_then_back_is_bound_by_the_retry(self):
        rig = self.rig.start(bind=False)
        terminal = rig.terminals[0]
        # The binding one second after start has no terminal address yet: portal only.
        rig.bridge.wait_for(r"^navigate\[left\]: ", timeout=30)
        terminal.stop()
        mark = len(rig.bridge.lines)
        rig.bridge.set_terminal(terminal.address)
        rig.bridge.wait_for(r"^status\[0\]: 青禾田识颜台没有开启或网络故障！", timeout=40,
                            start=mark)
        rig.terminals[0] = rig.start_terminal(0)
        # The retry comes 60 seconds after the failure, without the operator.
        rig.bridge.wait_for(r"^status\[0\]: " + re.escape(terminal.address) + ":", timeout=90,
                            start=mark)
        self.assertEqual(rig.terminals[0].stats()["callback_url"], rig.bridge.callback_url)


class ManyEventsFromThreeTerminals(RigCase):
    terminals = 3
    base = "127.0.62"

    def test_no_event_is_lost(self):
        rig = self.rig.start()
        per_terminal = 67  # 201 events in all
        for t in rig.terminals:
            t.add_events(per_terminal)

        def all_sent():
            stats = [t.stats() for t in rig.terminals]
            return all(s["events_sent"] >= per_terminal and
                       s["events_answered"] + s["events_failed"] >= s["events_sent"]
                       for s in stats)
        self.assertTrue(wait_until(all_sent, 240, interval=0.5), "events not all sent")
        self.assertTrue(rig.wait_uploads_settled(timeout=120), "uploads not all arrived")
        summary = rig.summary()
        self.assertEqual(summary["events_sent"], per_terminal * 3)
        self.assertEqual(rig.problems(), [], summary)
        self.assertEqual(standins.lost_events(summary), 0, summary)
        self.assertGreater(summary["pictures_stored"], 100, summary)
        # Every picture came from one of the three terminals.
        senders = {name.rsplit("_", 1)[0] for name in rig.bridge.pictures()}
        self.assertEqual(len(senders), 3, senders)
        rig.bridge.wait_for(r"^script\[left\]: ins\(\"fp", timeout=10)


class PortalFaults(RigCase):
    base = "127.0.63"

    def test_uploads_wait_while_the_portal_fails_and_flow_again_after(self):
        rig = self.rig.start()
        terminal = rig.terminals[0]
        rig.portal.set_status(500)
        terminal.add_events(6)
        self.assertTrue(wait_until(lambda: terminal.stats()["events_answered"] >= 6, 60))
        pictures = terminal.stats()["ftp_retr"]
        self.assertGreater(pictures, 0)
        rig.bridge.wait_for(r"^status\[1\]: %d张图片等待上传" % pictures, timeout=30)
        self.assertEqual(rig.portal.stats()["uploads"], 0)
        self.assertTrue(rig.bridge.alive())

        # A failed upload stays counted as waiting; new pictures are uploaded again.
        rig.portal.set_status(200)
        terminal.add_events(4)
        self.assertTrue(wait_until(lambda: terminal.stats()["events_answered"] >= 10, 60))
        later = terminal.stats()["ftp_retr"] - pictures
        self.assertTrue(wait_until(lambda: rig.portal.stats()["uploads"] >= later, 60))
        rig.bridge.wait_for(r"^status\[2\]: %d张图片已上传" % later, timeout=30)
        rig.bridge.wait_for(r"^status\[1\]: %d张图片等待上传" % pictures, timeout=30)

    def test_exit_while_uploads_are_running_is_quick_and_keeps_the_ini(self):
        rig = self.rig.start()
        terminal = rig.terminals[0]
        self.assertTrue(wait_until(lambda: os.path.exists(rig.bridge.ini_path) and
                                   b"HID=" in read_ini(rig.bridge.ini_path), 20))
        before = read_ini(rig.bridge.ini_path)
        standins.http_get(rig.portal.url("/sim/hang?ms=20000"))
        terminal.add_events(8)
        self.assertTrue(wait_until(lambda: terminal.stats()["ftp_retr"] >= 4, 60))
        rig.bridge.wait_for(r"^status\[1\]: [1-9]", timeout=20)
        started = time.monotonic()
        code = rig.bridge.quit(timeout=10)
        took = time.monotonic() - started
        self.assertEqual(code, 0)
        self.assertLess(took, 5 * standins.SCALE, "exit took %.1f s" % took)
        self.assertEqual(read_ini(rig.bridge.ini_path), before)


class SecondStart(RigCase):
    base = "127.0.64"

    def test_second_start_wakes_the_first_and_exits(self):
        rig = self.rig.start(bind=False)
        first = rig.bridge
        first.send("close")
        first.wait_for(r"^window: hide", timeout=10)
        mark = len(first.lines)
        second = subprocess.run([first.binary], env=first.env, cwd=first.bin_dir, timeout=30,
                                stdin=subprocess.DEVNULL, capture_output=True)
        self.assertEqual(second.returncode, 0, second.stdout + second.stderr)
        first.wait_for(r"^window: show", timeout=10, start=mark)
        self.assertTrue(first.alive())


if __name__ == "__main__":
    if not BINARIES:
        sys.exit("usage: system_test.py PMRFACE TERMINAL_SIM PORTAL_SIM")
    unittest.main(verbosity=2)
