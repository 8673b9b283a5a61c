"""The first run stays light: install profiles add up, the demo's preset needs neither
GoogleTest nor Google Benchmark, and `demo.sh --window` without a display stops before it
installs or builds anything. Nothing here installs a package."""

import json
import os
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def run(argv, env=None):
    return subprocess.run(argv, cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)


def profiles():
    out = run(["bash", "scripts/install-deps.sh", "--list"])
    assert out.returncode == 0, out.stderr
    return {name: words.split() for name, words in
            (line.split(":", 1) for line in out.stdout.splitlines())}


class FirstRunTest(unittest.TestCase):
    def test_profiles_add_up_and_cover_every_tested_preset(self):
        p = profiles()
        for name, packages in p.items():
            self.assertEqual(len(packages), len(set(packages)), name)
            self.assertLessEqual(set(p["demo"]), set(packages), name)
        for name in ("asan", "tsan", "gtk", "mingw", "bench"):
            self.assertLessEqual(set(p["default"]), set(p[name]), name)
        self.assertLessEqual(set(p["window"]), set(p["gtk"]))
        self.assertNotIn("libgtest-dev", p["demo"])
        self.assertNotIn("wine", p["default"])
        with open(os.path.join(ROOT, "CMakePresets.json")) as f:
            presets = json.load(f)
        # scripts/test.sh PRESET installs the profile of the same name.
        for preset in presets["testPresets"]:
            self.assertIn(preset["name"], p)
        refused = run(["bash", "scripts/install-deps.sh", "--list", "nosuch"])
        self.assertEqual(refused.returncode, 2)
        self.assertIn("no profile 'nosuch'", refused.stderr)

    def test_demo_preset_configures_without_test_libraries(self):
        with tempfile.TemporaryDirectory() as build:
            out = run(["cmake", "--preset", "demo", "-S", ROOT, "-B", build])
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            with open(os.path.join(build, "CMakeCache.txt")) as f:
                cache = f.read()
        self.assertIn("PMR_BUILD_TESTS:BOOL=OFF", cache)
        self.assertNotIn("GTest_DIR", cache)
        self.assertNotIn("benchmark_DIR", cache)

    def test_window_without_display_stops_before_installing(self):
        with tempfile.TemporaryDirectory() as fakes:
            # Stand-ins first on PATH for what installing or building would run.
            calls = os.path.join(fakes, "calls")
            for tool in ("dpkg-query", "apt-get", "sudo", "cmake"):
                with open(os.path.join(fakes, tool), "w") as f:
                    f.write(f"#!/bin/sh\necho {tool} >>{calls}\nexit 1\n")
                os.chmod(os.path.join(fakes, tool), 0o755)
            env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
            env["PATH"] = fakes + ":" + env.get("PATH", "/usr/bin:/bin")
            out = run(["bash", "tools/demo.sh", "--window", "--events", "1"], env=env)
            self.assertEqual(out.returncode, 2)
            self.assertIn("needs a display", out.stderr)
            self.assertFalse(os.path.exists(calls), "ran something before refusing")


if __name__ == "__main__":
    unittest.main(verbosity=2)
