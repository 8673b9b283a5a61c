"""The desktop program's notification-area icon and its hiding, in a real X session with a
session bus of its own (run under xvfb-run and dbus-run-session). With a tray host on the bus
(tray_host.py) a minimised window becomes an AppIndicator whose menu's first entry "显示"
brings it back; without one, minimising still hides and a second start shows the window.
Run: desktop_tray_test.py PMRFACE TERMINAL_SIM PORTAL_SIM"""

import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import standins  # noqa: E402
from standins import wait_until  # noqa: E402

BINARIES = standins.take_binaries(sys.argv)


def page_port_free():
    out = subprocess.run(["ss", "-ltnH"], capture_output=True, text=True, timeout=10).stdout
    return ":8091 " not in out


def visible_windows(pid):
    """X windows of the process that are mapped (what the user sees)."""
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                         capture_output=True, text=True, timeout=10).stdout
    return out.split()


def all_windows(pid):
    out = subprocess.run(["xdotool", "search", "--pid", str(pid)],
                         capture_output=True, text=True, timeout=10).stdout
    return out.split()


@unittest.skipUnless(os.environ.get("DISPLAY") and os.environ.get("DBUS_SESSION_BUS_ADDRESS"),
                     "needs an X display and a session bus (xvfb-run, dbus-run-session)")
class DesktopTray(unittest.TestCase):
    def start_bridge(self, base):
        # Other programs on this machine may hold the page API's port for a while.
        self.assertTrue(wait_until(page_port_free, 120), "port 8091 stays taken")
        rig = standins.Rig(BINARIES, base=base, terminals=0)
        self.addCleanup(rig.close)
        rig.start(bind=False, ui="gtk")
        bridge = rig.bridge
        bridge.wait_for(r"^window: show", timeout=30)
        self.assertTrue(wait_until(lambda: visible_windows(bridge.proc.pid), 20),
                        "the window is mapped")
        return rig, bridge

    def minimise(self, bridge):
        """What a window manager does to iconify: the window is unmapped while shown."""
        mark = len(bridge.lines)
        window = visible_windows(bridge.proc.pid)[0]
        subprocess.run(["xdotool", "windowunmap", window], check=True, timeout=10)
        bridge.wait_for(r"^tray: add 青禾田勤星册", timeout=20, start=mark)
        bridge.wait_for(r"^window: hide", timeout=20, start=mark)
        self.assertTrue(wait_until(lambda: not visible_windows(bridge.proc.pid), 20),
                        "the window is hidden")

    def test_tray_icon_stands_for_the_window_and_its_first_entry_shows_it(self):
        import tray_host
        host = tray_host.TrayHost()
        self.addCleanup(host.close)
        rig, bridge = self.start_bridge("127.0.68")
        self.assertEqual(host.registered(), [], "no icon while the window is shown")

        self.minimise(bridge)
        item = host.wait_item()
        self.assertTrue(wait_until(lambda: host.properties(item).get("Status") == "Active", 20))
        props = host.properties(item)
        self.assertEqual(props["Title"], "青禾田勤星册")
        self.assertEqual(props["Category"], "ApplicationStatus")
        entries = host.menu_entries(item)
        self.assertTrue(entries, "the icon has a menu")
        ident, label, visible, enabled = entries[0]
        self.assertEqual(label, "显示")
        self.assertTrue(visible and enabled)

        # The menu entry is the left click: the window comes back and the icon goes.
        mark = len(bridge.lines)
        host.click(item, ident)
        bridge.wait_for(r"^tray: remove", timeout=20, start=mark)
        bridge.wait_for(r"^window: show", timeout=20, start=mark)
        self.assertTrue(wait_until(lambda: visible_windows(bridge.proc.pid), 20))
        self.assertTrue(wait_until(lambda: host.properties(item).get("Status") == "Passive", 20))

        # A second minimise uses the same icon again.
        self.minimise(bridge)
        self.assertTrue(wait_until(lambda: host.properties(item).get("Status") == "Active", 20))
        self.assertEqual(len(host.registered()), 1)
        self.assertTrue(bridge.alive())

    def test_an_icon_that_does_not_reach_the_host_is_made_anew(self):
        import tray_host
        host = tray_host.TrayHost(unanswered=1)
        self.addCleanup(host.close)
        rig, bridge = self.start_bridge("127.0.70")
        self.minimise(bridge)
        item = host.wait_item(timeout=15)
        self.assertTrue(wait_until(lambda: host.properties(item).get("Status") == "Active", 20))
        self.assertEqual(host.properties(item)["Title"], "青禾田勤星册")
        ident = host.menu_entries(item)[0][0]
        mark = len(bridge.lines)
        host.click(item, ident)
        bridge.wait_for(r"^window: show", timeout=20, start=mark)
        self.assertEqual(len(host.registered()), 1)

    def test_without_a_tray_host_minimise_hides_and_a_second_start_shows(self):
        rig, bridge = self.start_bridge("127.0.69")
        self.minimise(bridge)
        self.assertTrue(all_windows(bridge.proc.pid), "hidden, not destroyed")

        mark = len(bridge.lines)
        second = subprocess.run([bridge.binary], env=bridge.env, cwd=bridge.bin_dir,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        self.assertEqual(second.returncode, 0, second.stderr)
        bridge.wait_for(r"^window: show", timeout=20, start=mark)
        bridge.wait_for(r"^tray: remove", timeout=20, start=mark)
        self.assertTrue(wait_until(lambda: visible_windows(bridge.proc.pid), 20),
                        "the second start shows the window")
        self.assertTrue(bridge.alive())
        self.assertEqual(bridge.count(r"^window: close"), 0)


if __name__ == "__main__":
    if not BINARIES:
        sys.exit("usage: desktop_tray_test.py PMRFACE TERMINAL_SIM PORTAL_SIM")
    unittest.main(verbosity=2)
