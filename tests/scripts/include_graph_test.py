"""The folders form layers: every `#include "..."` of the project's own sources may reach only
the folders its own folder is allowed to use (ALLOWED). The core (base, net, state, portal,
gateway, terminal) never sees a window backend or the application, and the window port and
its backends never see the application. Run: include_graph_test.py [SOURCE_ROOT]"""

import os
import re
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

CORE = ["base", "net", "state", "portal", "gateway", "terminal"]
BACKENDS = ["ui/headless", "ui/gtk", "ui/win32"]

# What each folder may include besides itself. Subfolders not named here (testing/, the
# stand-ins' folders) belong to the folder above them.
ALLOWED = {
    "base": [],
    "net": ["base"],
    "state": ["base"],
    "portal": ["base", "net", "state"],
    "gateway": ["base", "net", "state", "portal"],
    "terminal": ["base", "net", "state", "portal"],
    "ui": ["base", "net"],
    "ui/headless": ["base", "net", "ui"],
    "ui/gtk": ["base", "net", "ui"],
    "ui/win32": ["base", "net", "ui"],
    "app": CORE + ["ui"],
    "app/main": CORE + ["ui"] + BACKENDS + ["app"],
    "tools": CORE,
    "bench": CORE,
    "fuzz": CORE,
    "packaging": CORE + ["ui", "app", "app/main"],
    "tests": CORE + ["ui"] + BACKENDS + ["app", "app/main", "tools", "packaging"],
}

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".inc", ".rc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(path):
    """The folder of ALLOWED that a root-relative path belongs to (the longest match)."""
    parts = path.split("/")
    for n in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in ALLOWED:
            return candidate
    return None


def sources(root):
    for top in sorted(ALLOWED):
        if "/" in top:
            continue  # walked with its parent
        for base, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/")


def violations(root):
    """Lines "file:line: ..." for every include outside what its folder may use."""
    found = []
    for path in sources(root):
        here = folder_of(path)
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                there = folder_of(target)
                if there is None:
                    found.append("%s:%d: includes \"%s\", which lies in no known folder"
                                 % (path, number, target))
                elif there != here and there not in ALLOWED[here]:
                    found.append("%s:%d: %s may not include %s (\"%s\")"
                                 % (path, number, here, there, target))
    return found


class IncludeGraphTest(unittest.TestCase):
    def test_tree_keeps_its_layers(self):
        found = violations(ROOT)
        self.assertEqual(found, [], "\n" + "\n".join(found))

    def test_forbidden_edges_are_named_with_file_and_line(self):
        with tempfile.TemporaryDirectory() as root:
            files = {
                "state/a.h": '#include "base/text.h"\n#include "app/files.h"\n',
                "gateway/testing/b.h": '#include "ui/headless/headless_window.h"\n',
                "net/c.cpp": '\n#  include "gateway/outbox.h"\n',
                "ui/gtk/d.cpp": '#include "ui/window.h"\n#include "app/main/form.h"\n',
                "ui/e.cpp": '#include "ui/gtk/gtk_window.h"\n',
                "tools/x/f.cpp": '#include "tools/x/f.h"\n#include "stray.h"\n',
                "app/main/g.cpp": '#include "ui/win32/win32_window.h"\n#include <app/x.h>\n',
            }
            for path, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            # Allowed edges, an angle-bracket include and a stand-in's own folder pass.
            self.assertEqual(violations(root), [
                'gateway/testing/b.h:1: gateway may not include ui/headless '
                '("ui/headless/headless_window.h")',
                'net/c.cpp:2: net may not include gateway ("gateway/outbox.h")',
                'state/a.h:2: state may not include app ("app/files.h")',
                'tools/x/f.cpp:2: includes "stray.h", which lies in no known folder',
                'ui/e.cpp:1: ui may not include ui/gtk ("ui/gtk/gtk_window.h")',
                'ui/gtk/d.cpp:2: ui/gtk may not include app/main ("app/main/form.h")',
            ])

if __name__ == "__main__":
    if len(sys.argv) > 1:
        ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
