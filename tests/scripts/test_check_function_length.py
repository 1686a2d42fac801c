#!/usr/bin/env python3
"""Checks that scripts/check-function-length.py fails on a function longer than the
limit, passes one of exactly the limit, is not fooled by class bodies, tests or build
trees, and passes the repository itself.

Run: python3 tests/scripts/test_check_function_length.py
"""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CHECK = REPO / "scripts" / "check-function-length.py"


def function(head, lines):
    """A function of `lines` lines in all: head, braces and a body of statements."""
    return head + "\n{\n" + "    x();\n" * (lines - 3) + "}\n"


def run(root):
    result = subprocess.run([sys.executable, str(CHECK), "--root", str(root)],
                            capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout


class CheckFunctionLengthTest(unittest.TestCase):
    def tree(self, files):
        root = Path(self.enterContext(tempfile.TemporaryDirectory()))
        for relative, text in files.items():
            path = root / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return root

    def test_cases(self):
        cases = [
            ("80 lines", {"db/a.cpp": function("bool A::f()", 80)}, 0, ""),
            ("81 lines", {"db/a.cpp": function("bool A::f()", 81)}, 1, "db/a.cpp:1: 81 lines"),
            ("head over two lines", {"db/a.cpp": "int x;\n" + function("bool A::f(int a,\n            int b)", 81)},
             1, "db/a.cpp:2: 82 lines"),
            ("a long class body", {"db/a.cpp": "class A\n{\n" + "    int x;\n" * 90 + "};\n"}, 0, ""),
            ("tests are no program code", {"tests/db/tst_a.cpp": function("void T::f()", 200)}, 0, ""),
            ("build trees are skipped", {"build-x/a.cpp": function("void f()", 200)}, 0, ""),
        ]
        for name, files, status, expected in cases:
            with self.subTest(name):
                code, out = run(self.tree(files))
                self.assertEqual(code, status, out)
                self.assertIn(expected, out)

    def test_repository_passes(self):
        code, out = run(REPO)
        self.assertEqual(code, 0, out)


if __name__ == "__main__":
    unittest.main()
