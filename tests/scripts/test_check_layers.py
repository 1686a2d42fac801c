#!/usr/bin/env python3
"""Checks that scripts/check-layers.py fails on an include against the layer order
(and on the other faults it names) in a small temporary tree, passes a clean one, and
passes the repository itself.

Run: python3 tests/scripts/test_check_layers.py
"""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CHECK = REPO / "scripts" / "check-layers.py"
CMAKE_LINE = ("set(CORVANE_LAYERS log layout config platform strings fileutil db context package "
              "steps updater check driver cli dialogs app)\n")
# The map's table of folders, its row of db/ naming what db/dbcontrol.cpp includes.
DESIGN = "| # | folder | what it holds | uses |\n|---|---|---|---|\n| 7 | `db/` | the database | log |\n"


def run(root):
    result = subprocess.run([sys.executable, str(CHECK), "--root", str(root)],
                            capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout


class CheckLayersTest(unittest.TestCase):
    def tree(self, files):
        """A tree of {relative path: text}; a clean pair of folders unless overridden."""
        root = Path(self.enterContext(tempfile.TemporaryDirectory()))
        base = {
            "CMakeLists.txt": CMAKE_LINE,
            "log/applog.h": "#pragma once\n",
            "db/dbcontrol.cpp": '#include "db/dbcontrol.h"\n#include "log/applog.h"\n#include <QString>\n',
            "db/dbcontrol.h": "#pragma once\n",
            "tools/x/main.cpp": '#include "app/mainwindow.h"\n#include "db/dbcontrol.h"\n',
            "app/mainwindow.h": '#include "ui_mainwindow.h"\n',
            "entry/main.cpp": '#include "entry/entryrun.h"\n',
            "tests/db/tst_x.cpp": '#include "app/mainwindow.h"\n',
        }
        base.update(files)
        for relative, text in base.items():
            if text is None:
                continue
            path = root / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return root

    def test_clean_tree_passes(self):
        code, out = run(self.tree({}))
        self.assertEqual(code, 0, out)

    def test_faults_fail(self):
        cases = {
            "upward include": ({"db/dbcontrol.cpp": '#include "updater/cvupdater.h"\n'},
                               "db/dbcontrol.cpp:1: db/ includes \"updater/cvupdater.h\""),
            "upward include in a header, spaced": ({"log/applog.h": 'int a;\n#  include "context/zrpubmethod.h"\n'},
                                                   "log/applog.h:2:"),
            "next layer up": ({"dialogs/zrdialog.cpp": '#include "app/mainwindow.h"\n'},
                              "dialogs/zrdialog.cpp:1:"),
            "a tool's header": ({"cli/main.cpp": '#include "tools/x/packagetool.h"\n'}, "cli/main.cpp:1:"),
            "entry includes a layer": ({"entry/main.cpp": '#include "log/applog.h"\n'}, "entry/main.cpp:1:"),
            "a layer includes the entry": ({"platform/p.cpp": '#include "entry/entryrun.h"\n'}, "platform/p.cpp:1:"),
            "folder in no layer": ({"extra/x.cpp": "int x;\n"}, "extra/:"),
            "CMake order differs": ({"CMakeLists.txt": CMAKE_LINE.replace("log layout", "layout log")},
                                    "CMakeLists.txt: CORVANE_LAYERS"),
            "CMake list missing": ({"CMakeLists.txt": "project(x)\n"}, "CMakeLists.txt: no set(CORVANE_LAYERS"),
            "map names a folder not used": ({"docs/design.md": DESIGN.replace("| log |", "| log, layout |")},
                                            "docs/design.md: the row of db/"),
            "map leaves a used folder out": ({"docs/design.md": DESIGN.replace("| log |", "| everything below but log |")},
                                             "docs/design.md: the row of db/"),
        }
        for name, (files, expected) in cases.items():
            with self.subTest(name):
                code, out = run(self.tree(files))
                self.assertEqual(code, 1, out)
                self.assertIn(expected, out)

    def test_allowed_includes_pass(self):
        cases = {
            "own folder and below": {"app/mainwindow.cpp": '#include "app/mainwindow.h"\n#include "dialogs/z.h"\n'
                                                           '#include "log/applog.h"\n'},
            "tests include anything": {"tests/log/tst_y.cpp": '#include "app/mainwindow.h"\n'},
            "build trees are skipped": {"build-x/db/moc.cpp": '#include "app/mainwindow.h"\n'},
            "commented text is no include": {"log/applog.h": '// see "app/mainwindow.h"\n'},
            "map agrees": {"docs/design.md": DESIGN},
            "map agrees, as what it leaves out": {"docs/design.md": DESIGN.replace(
                "| log |", "| everything below but layout, config, platform, strings and fileutil |")},
        }
        for name, files in cases.items():
            with self.subTest(name):
                code, out = run(self.tree(files))
                self.assertEqual(code, 0, out)

    def test_repository_passes(self):
        code, out = run(REPO)
        self.assertEqual(code, 0, out)


if __name__ == "__main__":
    unittest.main()
