#!/usr/bin/env python3
"""Checks that no function of the program's code is longer than 80 lines.

    scripts/check-function-length.py [--root DIR] [--limit N] [--top K]

A function counts from the first line of its head to its closing brace. Our style puts
a function body's braces alone at the start of a line ("{" ... "}"), so that is what is
looked for; a class body closes with "};" and is no function. Tests, scripts and build
trees are not program code. --top K also prints the K longest functions.
Exit status 0 when every function fits, 1 with one line per longer one.
"""

import argparse
import sys
from pathlib import Path

LIMIT = 80
IGNORED = {"tests", "docs", "scripts", "demo"}
SOURCE_SUFFIXES = {".cpp", ".h"}


def head_start(lines, brace):
    """The first line of the head above the body's opening brace."""
    start = brace - 1
    while start > 0:
        above = lines[start - 1].rstrip()
        if not above or above.endswith((";", "}", "{")) or above.lstrip().startswith(("//", "#")):
            break
        start -= 1
    return start


def functions(path):
    """(first line, line count, head) of each function in a source file."""
    lines = path.read_text(encoding="utf-8", errors="replace").split("\n")
    found = []
    index = 1
    while index < len(lines):
        if lines[index] == "{":
            end = index + 1
            while end < len(lines) and not lines[end].startswith("}"):
                end += 1
            if end < len(lines) and not lines[end].startswith("};"):
                start = head_start(lines, index)
                found.append((start + 1, end - start + 1, lines[start].strip()))
            index = end
        index += 1
    return found


def measure(root):
    measured = []
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        if folder.name in IGNORED or folder.name.startswith(("build", ".")):
            continue
        for path in sorted(p for p in folder.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file()):
            for line, count, head in functions(path):
                measured.append((count, f"{path.relative_to(root).as_posix()}:{line}", head))
    return sorted(measured, reverse=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--limit", type=int, default=LIMIT)
    parser.add_argument("--top", type=int, default=0)
    args = parser.parse_args()
    measured = measure(args.root)
    for count, where, head in measured[:args.top]:
        print(f"{count:4d} {where} {head}")
    longer = [entry for entry in measured if entry[0] > args.limit]
    for count, where, head in longer:
        print(f"{where}: {count} lines, more than {args.limit}: {head}")
    if longer:
        print(f"check-function-length: {len(longer)} function(s) longer than {args.limit} lines", file=sys.stderr)
        return 1
    print(f"check-function-length: every function has at most {args.limit} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
