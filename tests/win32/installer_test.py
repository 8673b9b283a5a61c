#!/usr/bin/env python3
"""pmrface-setup.exe under Wine, in a prefix of its own: a silent install places the program,
its shortcuts, the uninstall entry and the firewall rules; the installed program starts from its
folder and serves that folder's pictures; a silent uninstall takes away what the installer
placed and leaves the configuration and the pictures.

Wine's netsh.exe (8.0) accepts every command, prints nothing, keeps nothing and exits 0, and
its firewall object reads no rules: no rule can be seen. So the prefix runs NETSH_STAND_IN in
its place, which records each command line exactly as the installer passed it.

Usage: installer_test.py WINE_RUN SETUP_EXE WINE_SETUP PMRFACE_EXE NETSH_STAND_IN
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pmrface_wine_test import Bridge, wait_port, wait_port_free  # noqa: E402

ARGS = sys.argv[1:6] if len(sys.argv) > 5 else [""] * 5
WINE_RUN, SETUP, WINE_SETUP, PROGRAM, NETSH_STAND_IN = ARGS

LINK = "朗程汇.lnk"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\pmrface"
INSTDIR = r"C:\Program Files\kvt"
NETSH = r'"C:\windows\system32\netsh.exe"'
# Stale rules of the name, the rules for each program (a dismissed prompt's block rules), then
# one allow rule for each program; the stand-in's delete finds nothing and exits 1.
INSTALL_NETSH = [
    ('advfirewall firewall delete rule name="pmrface"', 1),
    (r'advfirewall firewall delete rule name=all dir=in program="C:\Program Files\kvt\pmr.exe"', 1),
    (r'advfirewall firewall delete rule name=all dir=in program="C:\Program Files\kvt\pmrface.exe"',
     1),
    (r'advfirewall firewall add rule name="pmrface" dir=in action=allow'
     r' program="C:\Program Files\kvt\pmr.exe" protocol=TCP profile=any enable=yes', 0),
    (r'advfirewall firewall add rule name="pmrface" dir=in action=allow'
     r' program="C:\Program Files\kvt\pmrface.exe" protocol=TCP profile=any enable=yes', 0),
]


def wait_for(condition, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.5)
    return condition()


@unittest.skipUnless(SETUP and os.path.exists("/usr/bin/curl"), "needs the installer and curl")
class InstallerUnderWine(unittest.TestCase):
    def setUp(self):
        self.sandbox = tempfile.mkdtemp(prefix="installer_test_", dir=os.getcwd())
        self.env = dict(os.environ, WINE_BUILD_DIR=self.sandbox, PMRFACE_UI="headless",
                        PMRFACE_BIND_ADDRESS="127.0.0.1", PMRFACE_HOST_ADDRESS="127.0.0.1",
                        PMRFACE_PORTAL_HOST="127.0.0.1:9")
        self.addCleanup(shutil.rmtree, self.sandbox, True)
        self.addCleanup(self._stop_wineserver)
        subprocess.run(["bash", WINE_SETUP, self.sandbox], env=self.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=240)
        self.drive_c = os.path.join(self.sandbox, "wine-prefix", "drive_c")
        self.kvt = os.path.join(self.drive_c, "Program Files", "kvt")
        shutil.copyfile(NETSH_STAND_IN,
                        os.path.join(self.drive_c, "windows", "system32", "netsh.exe"))
        # Wine would keep running its own netsh over a file it did not make.
        done = self.wine("reg", "add", r"HKCU\Software\Wine\DllOverrides", "/v", "netsh.exe",
                         "/d", "native", "/f")
        self.assertEqual(done.returncode, 0, done.stderr)

    def _stop_wineserver(self):
        env = dict(self.env, WINEPREFIX=os.path.join(self.sandbox, "wine-prefix"))
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def wine(self, *args, timeout=120):
        return subprocess.run([WINE_RUN, *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def links(self):
        """Every shortcut of ours in the user's folders (Desktop may lead out of the prefix)."""
        found = []
        for root in (os.path.join(self.drive_c, "users"), os.path.join(self.sandbox, "wine-home")):
            for folder, _, files in os.walk(root, followlinks=True):
                found += [os.path.join(folder, f) for f in files
                          if f == LINK or f == "青禾田识颜台.lnk"]
        return sorted(set(os.path.realpath(f) for f in found))

    def netsh_calls(self):
        path = os.path.join(self.drive_c, "netsh-calls.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()

    def has_uninstall_entry(self):
        return self.wine("reg", "query", UNINSTALL_KEY, "/v", "UninstallString").returncode == 0

    def test_installs_runs_and_uninstalls(self):
        done = self.wine(SETUP, "/S", timeout=180)
        self.assertEqual(done.returncode, 0, done.stderr)
        for name in ("pmrface.exe", "pmr.exe", "uninstall.exe"):
            self.assertTrue(os.path.isfile(os.path.join(self.kvt, name)), name)
        with open(PROGRAM, "rb") as f:
            program = f.read()
        with open(os.path.join(self.kvt, "pmr.exe"), "rb") as f:
            self.assertEqual(f.read(), program)
        links = self.links()
        names = [os.path.basename(l) for l in links]
        self.assertEqual(names.count(LINK), 2, links)  # desktop and Startup
        self.assertIn("青禾田识颜台.lnk", names)
        self.assertTrue(any("startup" in l.lower() for l in links), links)
        self.assertTrue(self.has_uninstall_entry())
        # The firewall rules, and their exit codes in setup.log for the IT person.
        self.assertEqual(self.netsh_calls(), [NETSH + " " + args for args, _ in INSTALL_NETSH])
        with open(os.path.join(self.kvt, "setup.log"), encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(),
                             ["netsh %s: exit code %d" % call for call in INSTALL_NETSH])

        # The installed program, started as its shortcuts start it.
        self.assertTrue(wait_port_free(8091, 300), "127.0.0.1:8091 stays taken")
        bridge = Bridge(self.env, program=INSTDIR + r"\pmr.exe", cwd=self.kvt)
        self.addCleanup(bridge.stop)
        self.assertTrue(wait_port(8091, 90), "nothing listens on 127.0.0.1:8091")
        bridge.expect("faceip:")
        # Its picture folder is the one beside it.
        pic = os.path.join(self.kvt, "pic")
        self.assertTrue(wait_for(lambda: os.path.isdir(pic), 30))
        with open(os.path.join(pic, "a1.jpg"), "wb") as f:
            f.write(b"\xff\xd8picture\xff\xd9")
        got = subprocess.run(["curl", "-s", "--max-time", "30", "http://127.0.0.1:8091/a1.jpg"],
                             capture_output=True, timeout=60)
        self.assertEqual(got.stdout, b"\xff\xd8picture\xff\xd9")
        bridge.stop()
        self.assertEqual(bridge.proc.returncode, 0)
        with open(os.path.join(self.kvt, "pmrface.ini"), "w") as f:
            f.write("[JDQFACE]\nFIPCAddr1=192.168.1.20\n")

        # The uninstaller runs from a copy in %TEMP% and returns at once: wait for its work.
        done = self.wine(INSTDIR + r"\uninstall.exe", "/S")
        self.assertEqual(done.returncode, 0, done.stderr)
        gone = lambda: not any(os.path.exists(os.path.join(self.kvt, n))
                               for n in ("pmrface.exe", "pmr.exe", "uninstall.exe", "iphist.dat",
                                         "setup.log"))
        self.assertTrue(wait_for(gone, 90), os.listdir(self.kvt))
        self.assertTrue(wait_for(lambda: not self.links(), 30), self.links())
        self.assertTrue(wait_for(lambda: not self.has_uninstall_entry(), 30))
        # Both rules carry the one name.
        self.assertEqual(self.netsh_calls()[len(INSTALL_NETSH):],
                         [NETSH + ' advfirewall firewall delete rule name="pmrface"'])
        # The school's data stays.
        self.assertTrue(os.path.isfile(os.path.join(self.kvt, "pmrface.ini")))
        self.assertTrue(os.path.isfile(os.path.join(pic, "a1.jpg")))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
