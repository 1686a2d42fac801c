#!/usr/bin/env python3
"""Checks that every #include of the program's folders points down the layer order.

    scripts/check-layers.py [--root DIR]

A folder may include its own headers and those of the folders before it in LAYERS,
never one after it: the folders' include graph then has no circle, and each folder's
library links only the libraries before it. The folders in TOP (the project's tools)
may include any layer; nothing includes them. The folders in ALONE include no other
folder and are included by none. A folder with C++ sources that is in none of these
lists is an error too, so a new folder has to take its place here first. The list in
the top CMakeLists.txt that adds the folders' libraries must name LAYERS in this order,
and the "uses" column of docs/design.md's table of folders must name the folders each
one really includes, so the map stays true.
Exit status 0 when clean, 1 with one line per fault.
"""

import argparse
import re
import sys
from pathlib import Path

# Bottom to top.
LAYERS = [
    "log",       # the log helper and the message handler
    "layout",    # the installation's names and rules
    "config",    # INI files
    "platform",  # Windows interfaces and their stand-ins
    "strings",   # the string table format, reader and compiler
    "fileutil",  # copies, tree walks, sync
    "db",        # the database, its parser, snapshots and trial runs
    "context",   # ZRPubMethod and ConsoleText
    "package",   # manifest, signature, trusted keys, verifier, removal lists
    "steps",     # the update object and its steps
    "updater",   # CVUpdater, the update flag and lock, the application check
    "check",     # the dry run
    "driver",    # the sequence of one update
    "cli",       # the console program
    "dialogs",   # message boxes
    "app",       # the entry and the window
]
TOP = ["tools", "bench"]
ALONE = ["entry"]
# Not program code: tests may include anything, build trees are generated.
IGNORED = {"tests", "docs", "scripts", "demo", ".git"}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.MULTILINE)
CMAKE_LIST = re.compile(r"set\(CORVANE_LAYERS\s+([^)]*)\)")
SOURCE_SUFFIXES = {".cpp", ".h"}


def rank_of(folder):
    if folder in LAYERS:
        return LAYERS.index(folder)
    if folder in TOP:
        return len(LAYERS)
    return None


def check_file(path, folder, relative, faults, uses):
    text = path.read_text(encoding="utf-8", errors="replace")
    own = rank_of(folder)
    for match in INCLUDE.finditer(text):
        target = match.group(1)
        if target == folder:
            continue
        if target in LAYERS:
            uses.add(target)
        line = text.count("\n", 0, match.start()) + 1
        where = f"{relative}:{line}"
        header = match.group(0).split('"')[1]
        if target in ALONE or folder in ALONE:
            if target in LAYERS or target in TOP or target in ALONE:
                faults.append(f"{where}: {folder}/ stands alone but includes \"{header}\"")
            continue
        target_rank = rank_of(target)
        if target_rank is None:
            continue  # a system or generated header such as "ui_mainwindow.h" lives in no folder of ours
        if target in TOP:
            faults.append(f"{where}: {folder}/ includes the tool header \"{header}\"")
        elif target_rank > own:
            faults.append(f"{where}: {folder}/ includes \"{header}\" of {target}/, a layer above it")


def check_cmake(root, faults):
    cmake = root / "CMakeLists.txt"
    if not cmake.exists():
        return
    match = CMAKE_LIST.search(cmake.read_text(encoding="utf-8"))
    if not match:
        faults.append("CMakeLists.txt: no set(CORVANE_LAYERS ...) naming the folders' libraries")
        return
    listed = match.group(1).split()
    if listed != LAYERS:
        faults.append("CMakeLists.txt: CORVANE_LAYERS is " + " ".join(listed)
                      + ", the layer order is " + " ".join(LAYERS))


# A row of the folders' table: "| 7 | `db/` | what it holds | layout, log, ... |".
DESIGN_ROW = re.compile(r"^\|[^|]*\| `([a-z-]+)/` \|.*\| ([^|]*) \|$", re.MULTILINE)


def documented_uses(folder, text):
    """The folders a row's "uses" column names; None for a row that names no layers."""
    text = text.strip()
    if text.startswith("on top:"):
        text = text[len("on top:"):]
    elif text.startswith("everything below"):
        below = LAYERS[:LAYERS.index(folder)] if folder in LAYERS else list(LAYERS)
        _, _, but = text.partition(" but ")
        left_out = {name.strip() for name in re.split(r",| and ", but) if name.strip()}
        return {name for name in below if name not in left_out}
    elif text.startswith("alone") or text == "anything":
        return None
    return {name.strip() for name in text.split(",") if name.strip()}


def check_design(root, uses_of, faults):
    design = root / "docs" / "design.md"
    if not design.exists():
        return
    for match in DESIGN_ROW.finditer(design.read_text(encoding="utf-8")):
        folder = match.group(1)
        if folder not in uses_of:
            continue
        documented = documented_uses(folder, match.group(2))
        if documented is not None and documented != uses_of[folder]:
            faults.append(f"docs/design.md: the row of {folder}/ names {', '.join(sorted(documented)) or 'nothing'}; "
                          f"its includes use {', '.join(sorted(uses_of[folder])) or 'nothing'}")


def check(root):
    faults = []
    uses_of = {}
    for folder_path in sorted(p for p in root.iterdir() if p.is_dir()):
        folder = folder_path.name
        if folder in IGNORED or folder.startswith("build") or folder.startswith("."):
            continue
        sources = sorted(p for p in folder_path.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file())
        if not sources:
            continue
        if rank_of(folder) is None and folder not in ALONE:
            faults.append(f"{folder}/: a folder of sources in no layer (add it to scripts/check-layers.py)")
            continue
        uses = uses_of.setdefault(folder, set())
        for path in sources:
            check_file(path, folder, path.relative_to(root).as_posix(), faults, uses)
    check_cmake(root, faults)
    check_design(root, uses_of, faults)
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    args = parser.parse_args()
    faults = check(args.root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"check-layers: {len(faults)} fault(s) against the layer order or its map", file=sys.stderr)
        return 1
    print("check-layers: every include points down the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
