#!/usr/bin/env python3
"""Crash safety of corvane-updater-cli: a fault at every state-changing file operation
of an update, then the runs that follow must end exactly where an uninterrupted update
ends, and nothing the user had may be lost.

No hooks in the program: strace injects the fault at the N-th call of one system call
(`strace -f -e inject=SYSCALL:signal=SIGKILL:when=N`). One traced reference run counts
the calls first; every call that changes a file of the installation, its backup, the
registry stand-in or the desktop is then a fault point:

  kill     SIGKILL on entering the call (the call never happens). The next run with the
           same package must leave the installation exactly as one uninterrupted update
           leaves it; from the same interrupted state, a run with a newer package (one
           more step) exactly as an uninterrupted update to the newer version.
  double   a kill during an update, then a kill at every point of the restore that the
           next run starts; the run after that must still end right.
  error    the call fails with ENOSPC or EACCES instead, once (when=N) and from then on
           (when=N+). The run must exit non-zero with the installation cleanly restored,
           or succeed with the result of an uninterrupted update; either way the next
           plain run must end right. Read-only opens of INI files get EACCES too: a file
           that cannot be read must not be taken for an empty one.
  race     a second updater started while the first runs (no fault; the start of the
           second spread over the first's run time): one of them updates, the other is
           turned away (11) or finds the package applied (3), and the installation ends
           exactly as one uninterrupted update leaves it, its backup the old version.
The first step of both packages carries a removal list (a retired plug-in directory and
a file the user changed), so the points include the removals.
  sync     a flush to the disk (fdatasync, fsync, syncfs) fails with ENOSPC from that
           call on: data the program vouches for did not reach the disk, so the run
           must not exit 0; otherwise as a persistent error.
  write    another process writes to the database at this point: the updater is stopped
           right after the call (SIGSTOP), the application commits one row with no busy
           wait (every other case in WAL mode), the updater goes on. The update must
           succeed; a commit refused must have been refused with "database is locked"
           (or, met while a rollback journal is being written, "locking protocol"),
           and a row committed must be in kqdata.db afterwards or in the kept database
           the run names (kqdata.db.kept-*): never lost.

What is compared (state()): every file below the installation except backup/ (content
and permission bits, symbolic links by target), every key of every INI file, the
database (PRAGMA integrity_check, schema, every row of every table, user_version), the
values of the uninstall key, the desktop shortcut, and stray files anywhere in the
installation (backup/ included), the registry directory and the desktop: SQLite
"-journal"/"-wal"/"-shm" files, ".lock" files, QSaveFile's temporary "<name>.XXXXXX"
files, ".damaged" files and a registry commit's ".previous".

What legitimately differs after a fault, and is not compared:
  - backup/: a restore only adds and overwrites, so files the interrupted update had
    already added are in the next backup too (stray files are still looked for there);
  - UPDATE/KEY of config/UPDATER.ini (and its ".bak"): the uninstall entry that backup
    belongs to, which after an update completed by the next run names the version
    between, UPDATE/BACKUPSTART, the clock when that backup began, and UPDATE/DATABASE,
    the database's identity with its change time (the flag file is
    compared by its other keys);
  - an INI file the interrupted update had already added: the next run merges the
    package's keys into it instead of copying it, so its keys and values are compared
    but not its bytes, and its ".bak" is allowed;
  - the package's log/ directory, which records every run; modification times;
  - a database a restore kept aside (kqdata.db.kept-*, after a fault that came after
    the update wrote the database, whose identity was not recorded yet): it must pass
    SQLite's integrity check.
Right after an I/O error (not in the runs that follow it): a lock file that could not
be removed, permission bits that could not be set, a shortcut that could not be made.
Persistent unlink errors are left out: QSettings then waits forever for its own lock.

Profiles: "quick" (the CTest test: a small package, every point, every other one for
persistent errors), "asan" (the same package, every second to sixth point, for the
sanitizer build), "long" (a larger package, a sample of the points that covers every kind of
operation; scripts/crash-safety.sh). --point SYSCALL#N runs one point (see -v for the
list), --keep --work DIR keeps the samples. Exit status 0 when every case held, 1 when
one failed, 77 when strace cannot trace here (the test is then skipped).
"""

import argparse
import concurrent.futures
import hashlib
import importlib.util
import os
import random
import re
import shutil
import signal
import sqlite3
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
MAKE_SAMPLE = REPO / "scripts" / "make-sample.py"

sys.dont_write_bytecode = True
_spec = importlib.util.spec_from_file_location("make_sample", MAKE_SAMPLE)
sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sample)

SKIP = 77

# Calls that change files, directories, their permissions or their durability. openat
# and creat count only when they open for writing.
CHANGING_SYSCALLS = [
    "openat", "open", "creat", "write", "pwrite64", "writev", "pwritev", "pwritev2", "ftruncate",
    "truncate", "fallocate", "copy_file_range", "sendfile", "splice", "unlink", "unlinkat", "rename",
    "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat", "mkdir", "mkdirat", "rmdir",
    "fdatasync", "fsync", "syncfs", "sync_file_range", "fchmod", "fchmodat", "chmod", "fchown",
    "fchownat", "utimensat",
]
OPEN_SYSCALLS = {"openat", "open", "creat"}
WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_TMPFILE", "O_APPEND")

# The error an I/O fault of each call gets: a full disk where data or a new entry is
# written, a refusal where an existing entry is opened, removed, renamed or changed.
ERROR_OF = {name: "ENOSPC" for name in (
    "write", "pwrite64", "writev", "pwritev", "pwritev2", "ftruncate", "truncate", "fallocate",
    "copy_file_range", "sendfile", "splice", "link", "linkat", "symlink", "symlinkat", "mkdir",
    "mkdirat", "fdatasync", "fsync", "syncfs", "sync_file_range", "creat")}
ERROR_OF.update({name: "EACCES" for name in (
    "openat", "open", "unlink", "unlinkat", "rename", "renameat", "renameat2", "rmdir", "fchmod",
    "fchmodat", "chmod", "fchown", "fchownat", "utimensat")})

# Stage markers: the lines the program writes to its log as each stage starts.
STAGE_MARKS = [
    ("check update flag", "flag"),
    ("restore successed!", "after-restore"),
    ("backup old version", "backup"),
    ("exec update", "steps"),
    ("update db data", "sql"),
    ("update regedit and shortcut", "registry"),
]

PROFILES = {
    # The CTest test: two steps (so that a restore meets a database one committed step
    # ahead of its backup), every point.
    "quick": dict(files=10, total_mb=0.1, common_files=3, sql_statements=10, db_rows=20, steps=2,
                  kill_every=1, newer_every=1, double_firsts=3, double_every=1, error_every=1,
                  persistent_every=2, slow_lock_errors=False, races=12, sync_every=2, write_every=3),
    # The sanitizers' runtime probes memory by writing to a pipe and gives up when
    # write() keeps failing: no persistent write errors there.
    "asan": dict(files=10, total_mb=0.1, common_files=3, sql_statements=10, db_rows=20, steps=2,
                 kill_every=2, newer_every=2, double_firsts=2, double_every=3, error_every=3,
                 persistent_every=6, persistent_skip=("write", "writev", "pwrite64"), slow_lock_errors=False,
                 races=6, sync_every=4, write_every=8),
    "long": dict(files=600, total_mb=40, common_files=60, sql_statements=600, db_rows=5000, steps=3,
                 kill_sample=600, newer_every=2, double_firsts=4, double_sample=80, error_sample=400,
                 persistent_sample=120, races=24, sync_sample=40, write_sample=120),
}


class Failure(Exception):
    pass


# ---------------------------------------------------------------------------------------
# The lab: one sample installation with its pristine copy and two packages
# ---------------------------------------------------------------------------------------

class Lab:
    """A sample under root: the installation, the registry stand-in and the desktop
    (all below root/sample), the package of `steps` steps and the newer package of one
    step more. reset() puts a saved state back."""

    def __init__(self, root, cli, profile):
        self.root = Path(root)
        self.cli = str(cli)
        self.package_tool = sample.package_tool(Path(self.cli).parent)
        self.profile = profile
        self.sample_root = self.root / "sample"
        self.install = self.sample_root / "Programs" / "Ostrelle"
        self.home = self.sample_root / "home"
        self.config_home = self.home / ".config"
        self.desktop = self.home / "Desktop"
        self.package = self.sample_root / "package"
        self.newer_package = self.root / "package-newer"
        self.saved = self.root / "saved"
        self.env = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.config_home),
                        XDG_DATA_HOME=str(self.home / ".local/share"), XDG_CACHE_HOME=str(self.home / ".cache"),
                        XDG_RUNTIME_DIR=str(self.root / "run"), QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
        self.env.pop("QT_LOGGING_RULES", None)
        # LeakSanitizer cannot run under ptrace; the suite's other tests look for leaks.
        asan = self.env.get("ASAN_OPTIONS", "")
        self.env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "detect_leaks=0"

    def _generate(self, steps):
        p = self.profile
        opts = sample.Options(root=self.sample_root, config_home=None, from_version="3.2", steps=steps,
                              lang_name="Ostrelle", string_bin=None, copy_programs=[], files=p["files"],
                              total_mb=p["total_mb"], db_rows=p["db_rows"], sql_statements=p["sql_statements"],
                              common_files=p["common_files"], seed=11, force=True,
                              build=Path(self.cli).parent)
        return sample.generate(opts)

    def build(self):
        if self.root.exists():
            shutil.rmtree(self.root)
        self.root.mkdir(parents=True)
        (self.root / "run").mkdir(mode=0o700)
        # The newer package first: generation with the same seed is a prefix of it.
        self._generate(self.profile["steps"] + 1)
        shutil.move(str(self.package), str(self.newer_package))
        self.summary = self._generate(self.profile["steps"])
        # Names the backup leaves out and an update leaves alone, also in a small sample.
        for relative in ("image/splash.png", "log/ostrelle_2024-05-02.log", "install.log",
                         "plugins/log/trace.txt"):
            path = self.install / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text("%s: the installation's own, never backed up\n" % relative)
        self._add_removals()
        for package in (self.package, self.newer_package):
            (package / "log").mkdir(exist_ok=True)
        self.save("pristine")

    def _add_removals(self):
        """The first step removes a retired plug-in directory (its files, then the
        directory) and lists a file the user changed, which it keeps: kills and errors
        fall among the removals too."""
        shipped = {"plugins/retired/old_a.dll": b"retired plug-in a\n", "plugins/retired/old_b.dll": b"retired plug-in b\n",
                   "docs/tips-retired.txt": b"tips as the release shipped them\n"}
        for relative, data in shipped.items():
            path = self.install / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        (self.install / "docs/tips-retired.txt").write_bytes(b"the user's own tips\n")
        lines = {"plugins/retired": "dir plugins/retired"}
        for relative, data in shipped.items():
            lines[relative] = "file %s %d %s" % (hashlib.sha256(data).hexdigest(), len(data), relative)
        text = "corvane-removals 1\n" + "".join(lines[k] + "\n" for k in sorted(lines, key=lambda k: k.encode()))
        for package in (self.package, self.newer_package):
            first = sorted(d.name for d in (package / "application").iterdir() if d.name.startswith("3_2_to_"))[0]
            (package / "application" / first / "remove.list").write_text(text, encoding="utf-8")

    # The installation, the registry and the desktop, as they stand.
    def save(self, name):
        target = self.saved / name
        if target.exists():
            shutil.rmtree(target)
        target.mkdir(parents=True)
        for part in ("Programs", "home"):
            source = self.sample_root / part
            if source.exists():
                shutil.copytree(source, target / part, symlinks=True)

    def reset(self, name):
        for part in ("Programs", "home"):
            path = self.sample_root / part
            if path.exists():
                shutil.rmtree(path)
            source = self.saved / name / part
            if source.exists():
                shutil.copytree(source, path, symlinks=True)

    def run(self, package=None, inject=None, trace=None, timeout=120):
        """Runs the updater from a package directory; inject is a list of strace -e
        inject= expressions, trace a file for a full trace of the changing calls."""
        package = Path(package or self.package)
        command = [self.cli]
        if inject or trace:
            strace = ["strace", "-f", "-qq"]
            if trace:
                names = ",".join("?" + name for name in CHANGING_SYSCALLS)
                strace += ["-y", "-s", "160", "-o", str(trace), "-e", "trace=" + names]
            else:
                # Injection acts on traced calls only. (--seccomp-bpf would be faster, but
                # strace 6.1 then miscounts when=.)
                names = ",".join(sorted({e.split(":", 1)[0] for e in inject}))
                strace += ["-o", "/dev/null", "-e", "trace=" + names]
            for expression in inject or []:
                strace += ["-e", "inject=" + expression]
            command = isolated(strace + command)
        started = time.monotonic()
        result = subprocess.run(command, cwd=str(package), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return Run(result.returncode, result.stdout.decode("utf-8", "replace"), time.monotonic() - started)


class Run:
    def __init__(self, status, output, seconds):
        self.status = status
        self.output = output
        self.seconds = seconds

    @property
    def killed(self):
        return self.status in (-9, 137)

    def __repr__(self):
        return "exit %s" % ("SIGKILL" if self.killed else self.status)


# ---------------------------------------------------------------------------------------
# The state of an installation
# ---------------------------------------------------------------------------------------

STRAY_PATTERNS = [
    (re.compile(r"-(journal|wal|shm)$"), "SQLite journal"),
    (re.compile(r"\.lock$"), "lock file"),
    (re.compile(r"\.damaged$"), "damaged file set aside"),
    (re.compile(r"\.previous$"), "second name of an interrupted INI commit"),
]
SAVEFILE_TEMP = re.compile(r"^(.+)\.[A-Za-z0-9]{6}$")
# A database a restore kept aside (with its journals): the user's, legitimately there
# after a fault that came after the update wrote the database; never a stray.
# Pseudo keys of an INI file's state: whether its markers are valid, why it cannot be read.
MARKERS = "(markers)"
ERROR = "(error)"
KEPT_DATABASE = re.compile(r"^kqdata\.db\.kept-\d{8}-\d{6}(-\d+)?(-wal|-journal)?$")


def _sibling(relative):
    """The file a QSaveFile temporary name belongs to ("config/a.ini" for "config/a.ini.AbCdEf")."""
    temp = SAVEFILE_TEMP.match(Path(relative).name)
    return (Path(relative).parent / temp.group(1)).as_posix() if temp else None


def is_stray_name(name, has_sibling=False):
    return any(pattern.search(name) for pattern, _ in STRAY_PATTERNS) or (
        bool(SAVEFILE_TEMP.match(name)) and has_sibling)


def strays_in(directory):
    found = []
    if not directory.exists():
        return found
    for path in sorted(directory.rglob("*")):
        if path.is_dir() and not path.is_symlink():
            continue
        name = path.name
        if KEPT_DATABASE.match(name):
            continue
        for pattern, what in STRAY_PATTERNS:
            if pattern.search(name):
                found.append("%s: %s" % (what, path))
        temp = SAVEFILE_TEMP.match(name)
        if temp and (path.parent / temp.group(1)).exists():
            found.append("temporary file: %s" % path)
    return found


def database_state(path):
    if not path.exists():
        return {"missing": True}
    # Read a copy: a journal beside the file (reported as a stray) must not be rolled
    # into the file under test by merely looking at it.
    with tempfile.TemporaryDirectory() as scratch:
        copy = Path(scratch) / "kqdata.db"
        shutil.copyfile(path, copy)
        try:
            connection = sqlite3.connect("file:%s?mode=ro" % copy, uri=True)
            try:
                state = {"integrity": [r[0] for r in connection.execute("PRAGMA integrity_check")],
                         "user_version": connection.execute("PRAGMA user_version").fetchone()[0]}
                schema = connection.execute(
                    "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name").fetchall()
                state["schema"] = schema
                for kind, name, _, _ in schema:
                    if kind == "table" and not name.startswith("sqlite_"):
                        rows = connection.execute('SELECT * FROM "%s"' % name.replace('"', '""')).fetchall()
                        state["rows:" + name] = sorted(rows, key=repr)
                return state
            finally:
                connection.close()
        except sqlite3.DatabaseError as error:
            return {"error": str(error)}


def state(lab):
    """Everything an update is judged by, with the lab's own paths replaced by <root>."""
    root = str(lab.sample_root)
    files, inis = {}, {}
    for path in sorted(lab.install.rglob("*")) if lab.install.exists() else []:
        relative = path.relative_to(lab.install).as_posix()
        if relative == "backup" or relative.startswith("backup/"):
            continue
        if KEPT_DATABASE.match(relative):
            # Not compared, but it must be a whole database.
            if not relative.endswith(("-wal", "-journal")):
                kept_integrity = database_state(path).get("integrity")
                if kept_integrity != ["ok"]:
                    files[relative] = "kept database, integrity %s" % kept_integrity
            continue
        if path.is_symlink():
            files[relative] = "link -> %s" % os.readlink(path).replace(root, "<root>")
        elif path.is_dir():
            files[relative] = "dir"
        else:
            data = path.read_bytes()
            files[relative] = "%s mode %o" % (hashlib.sha256(data).hexdigest()[:16], stat.S_IMODE(path.stat().st_mode))
            if path.name.lower().endswith(".ini") or path.name.lower().endswith(".ini.bak"):
                inis[relative] = path
    registry_file = Path(sample.make_layout(sample.Options(root=lab.sample_root)).registry_file)
    # Read as the updater reads them, all in one call.
    read = sample.read_ini_files(lab.package_tool, list(inis.values()) + ([registry_file] if registry_file.exists() else []),
                                 errors=True)
    inis = {relative: ini_keys(read[path]) for relative, path in inis.items()}
    registry = ini_keys(read[registry_file]) if registry_file.exists() else None
    if registry:
        registry = {k: v.replace(root, "<root>") if isinstance(v, str) else v for k, v in registry.items()}
    shortcut = lab.desktop / "Ostrelle.lnk"
    strays = []
    for directory in (lab.install, registry_file.parent, lab.desktop):
        strays += [s.replace(root, "<root>") for s in strays_in(directory)]
    # The uninstall entry of the backup, not compared like the backup itself, and the
    # clock when it began; the flag file's bytes change with them, so it is compared by
    # its other keys.
    for name in ("config/UPDATER.ini", "config/UPDATER.ini.bak"):
        if name in inis:
            inis[name] = {k: v for k, v in inis[name].items() if k not in ("UPDATE/KEY", "UPDATE/BACKUPSTART", "UPDATE/DATABASE")}
            files[name] = "keys mode " + files[name].partition(" mode ")[2]
    flag_keys = inis.get("config/UPDATER.ini", {})
    return {
        "files": files,
        "ini": inis,
        "database": database_state(lab.install / "kqdata.db"),
        "registry": registry,
        "shortcut": os.readlink(shortcut).replace(root, "<root>") if shortcut.is_symlink() else None,
        "flag": flag_keys.get("UPDATE/FLAG"),
        "strays": strays,
    }


def ini_keys(read):
    """A file's keys as "ini read" gives them, with MARKERS telling whether the updater takes
    them for valid (a damaged file differs from a valid one by that key), or ERROR alone."""
    if "error" in read:
        return {ERROR: read["error"]}
    return dict(read["keys"], **{MARKERS: "valid" if read["marked"] else "damaged"})


def effective_flag(st):
    """UPDATE/FLAG as the next run reads it: from "UPDATER.ini", or from its ".bak" when
    the file is damaged (an empty file left by a full disk, for one)."""
    for name in ("config/UPDATER.ini", "config/UPDATER.ini.bak"):
        keys = st["ini"].get(name)
        if keys is not None and keys.get(MARKERS) == "valid":
            return keys.get("UPDATE/FLAG")
    return None


def differences(actual, expected, ignore_files=(), keys_only=()):
    """What differs, as readable lines (empty when the states are the same). INI files
    in keys_only are compared by their keys alone."""
    out = []
    for path in sorted(set(actual["files"]) | set(expected["files"])):
        if path in ignore_files:
            continue
        a, e = actual["files"].get(path), expected["files"].get(path)
        if path in keys_only and a and e:
            # The permission bits still count.
            a, e = a.partition(" mode ")[2], e.partition(" mode ")[2]
        if a != e:
            out.append("file %s: %s, expected %s" % (path, a or "missing", e or "missing"))
    for path in sorted(set(actual["ini"]) | set(expected["ini"])):
        if path in ignore_files:
            continue
        a, e = actual["ini"].get(path, {}), expected["ini"].get(path, {})
        for key in sorted(set(a) | set(e)):
            if a.get(key) != e.get(key):
                out.append("INI %s key %s: %r, expected %r" % (path, key, a.get(key), e.get(key)))
    a, e = actual["database"], expected["database"]
    if a.get("integrity", ["?"]) != ["ok"]:
        out.append("database integrity: %s" % (a.get("integrity") or a))
    for key in sorted(set(a) | set(e)):
        if a.get(key) != e.get(key):
            out.append("database %s differs: %s" % (key, _short(a.get(key))))
    for what in ("registry", "shortcut", "flag"):
        if actual[what] != expected[what]:
            out.append("%s: %r, expected %r" % (what, actual[what], expected[what]))
    out += ["stray %s" % s for s in actual["strays"]]
    return out


def _short(value, limit=160):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


# ---------------------------------------------------------------------------------------
# Fault points
# ---------------------------------------------------------------------------------------

TRACE_LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)$")


class Point:
    """The n-th call of syscall in a run (1-based, as strace's when= counts)."""

    def __init__(self, syscall, n, stage, text):
        self.syscall, self.n, self.stage, self.text = syscall, n, stage, text

    def __repr__(self):
        return "%s#%d (%s) %s" % (self.syscall, self.n, self.stage, self.text[:110])


# Where a call acts: the file of its descriptor (strace -y shows it as 4</path>) or
# its path arguments.
FD_ARG = re.compile(r"^\s*-?\d+<([^>]*)>")
STRING_ARG = re.compile(r'"((?:[^"\\]|\\.)*)"')
OUTPUT_FD_INDEX = {"copy_file_range": 2, "splice": 2}
PATH_SYSCALLS = {"truncate", "unlink", "unlinkat", "rename", "renameat", "renameat2", "link", "linkat", "symlink",
                 "symlinkat", "mkdir", "mkdirat", "rmdir", "chmod", "fchmodat", "fchownat", "utimensat"}


def _split_args(text):
    """The top-level arguments of an strace call line (after the opening parenthesis)."""
    args, depth, current, quoted, escaped = [], 0, [], False, False
    for ch in text:
        if quoted:
            current.append(ch)
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                quoted = False
            continue
        if ch == '"':
            quoted = True
        elif ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            if depth == 0:
                args.append("".join(current))
                return args
            depth -= 1
        elif ch == "," and depth == 0:
            args.append("".join(current))
            current = []
            continue
        current.append(ch)
    args.append("".join(current))
    return args


def targets_of(syscall, rest):
    args = _split_args(rest)
    result = rest.rsplit(") = ", 1)[1] if ") = " in rest else ""
    if syscall in OPEN_SYSCALLS:
        opened = FD_ARG.match(result)
        if opened:
            return [opened.group(1)]
        return [m.group(1) for m in STRING_ARG.finditer(",".join(args[:2]))]
    if syscall in PATH_SYSCALLS:
        return [m.group(1) for m in STRING_ARG.finditer(",".join(args))]
    index = OUTPUT_FD_INDEX.get(syscall, 0)
    fd = FD_ARG.match(args[index]) if index < len(args) else None
    return [fd.group(1)] if fd else []


def fault_points(trace_file, lab):
    """Reads a reference trace: (points that change the installation, read-only opens
    of INI files). Calls on the log, the terminal or the package are left out."""
    counters, changing, reads = {}, [], []
    watched = (str(lab.install), str(lab.home))
    readable = watched + (str(lab.package), str(lab.newer_package))
    stage = "start"
    tids = set()
    for line in Path(trace_file).read_text(errors="replace").splitlines():
        match = TRACE_LINE.match(line)
        if not match:
            continue
        tid, syscall, rest = match.groups()
        tids.add(tid)
        key = (tid, syscall)
        counters[key] = counters.get(key, 0) + 1
        n = counters[key]
        if "cvUpdaterlog_" in line:
            for mark, name in STAGE_MARKS:
                if mark in line:
                    stage = name
            continue
        targets = targets_of(syscall, rest)
        text = line.split(" ", 1)[1]
        if syscall in OPEN_SYSCALLS and not any(flag in rest for flag in WRITE_FLAGS):
            # The package's INI files too: a source that cannot be read must not be
            # merged as an empty one.
            if any(t.endswith(".ini") and (t + "/").startswith(tuple(r + "/" for r in readable)) for t in targets):
                reads.append(Point(syscall, n, stage, text))
            continue
        if any(t == w or t.startswith(w + "/") for t in targets for w in watched):
            changing.append(Point(syscall, n, stage, text))
    if len(tids) > 1:
        raise Failure("the updater ran %d threads; the fault counts assume one" % len(tids))
    return changing, reads


def pick(points, every=None, sample_size=None, seed=5):
    """Every n-th point, or a sample of sample_size: a few points of every (stage,
    system call) group, so that no kind of operation is left out, the rest at random."""
    if sample_size is None:
        return points[::every or 1]
    if len(points) <= sample_size:
        return list(points)
    rng = random.Random(seed)
    groups = {}
    for index, point in enumerate(points):
        groups.setdefault((point.stage, point.syscall), []).append(index)
    chosen = set()
    for indexes in groups.values():
        chosen.update(rng.sample(indexes, min(len(indexes), 3)))
    rest = [i for i in range(len(points)) if i not in chosen]
    chosen.update(rng.sample(rest, min(max(0, sample_size - len(chosen)), len(rest))))
    return [points[i] for i in sorted(chosen)]


def kill_expr(point):
    return "%s:signal=SIGKILL:when=%d" % (point.syscall, point.n)


def error_expr(point, persistent):
    return "%s:error=%s:when=%d%s" % (point.syscall, ERROR_OF.get(point.syscall, "EIO"), point.n,
                                     "+" if persistent else "")


# ---------------------------------------------------------------------------------------
# Cases (run in worker processes, each with its own lab)
# ---------------------------------------------------------------------------------------

_worker = {}


def _init_worker(work, cli, profile, references):
    lab = Lab(Path(work) / ("lab-%d" % os.getpid()), cli, profile)
    lab.build()
    _worker.update(lab=lab, references=references)


def _expect(lab, expected_name, what, tolerated=None):
    references = _worker["references"]
    expected = _tolerate(references[expected_name], tolerated or {})
    # A restore only adds and overwrites: an INI file the interrupted run had already
    # added is still there, and the next run merges the package's keys into it instead
    # of copying it. Same keys and values, but written by the settings layer, with the
    # file as it was before the merge left beside it as ".bak".
    added = {p for p in expected["ini"] if p.endswith(".ini") and p not in references["pristine"]["files"]}
    ignore = {p + ".bak" for p in added if p + ".bak" not in expected["files"]}
    problems = differences(_tolerate(state(lab), tolerated or {}), expected, ignore, keys_only=added)
    if problems:
        raise Failure("%s: %s" % (what, "; ".join(problems[:6]) + (" ..." if len(problems) > 6 else "")))


def _follow_up(lab, label, newer, tolerated=None):
    """From the state just saved as "fault": the same package must end at the reference
    update, the newer package (from the same state) at the newer reference."""
    lab.save("fault")
    run = lab.run()
    # Refused (3) when the fault came after the update was complete.
    if run.status not in (0, 3):
        raise Failure("%s, then the same package: %r, expected success\n%s" % (label, run, run.output[-600:]))
    _expect(lab, "updated", "%s, then the same package" % label, tolerated)
    if newer:
        lab.reset("fault")
        run = lab.run(lab.newer_package)
        if run.status != 0:
            raise Failure("%s, then the newer package: %r\n%s" % (label, run, run.output[-600:]))
        _expect(lab, "updated-newer", "%s, then the newer package" % label, tolerated)


def case_kill(point, newer):
    lab = _worker["lab"]
    lab.reset("pristine")
    run = lab.run(inject=[kill_expr(point)])
    if not run.killed:
        raise Failure("kill at %r not reached: %r" % (point, run))
    _follow_up(lab, "kill at %r" % point, newer)
    return "kill"


def case_double(first, second):
    lab = _worker["lab"]
    name = "first-fault-%s-%d" % (first.syscall, first.n)
    if (lab.saved / name).exists():
        lab.reset(name)
    else:
        _first_fault(lab, first, name)
    run = lab.run(inject=[kill_expr(second)])
    if not run.killed:
        raise Failure("second kill at %r not reached after %r: %r" % (second, first, run))
    _follow_up(lab, "kill at %r, kill in the restore at %r" % (first, second), newer=True)
    return "double"


def _first_fault(lab, first, name):
    lab.reset("pristine")
    run = lab.run(inject=[kill_expr(first)])
    if not run.killed:
        raise Failure("first kill at %r not reached" % first)
    lab.save(name)


# Exit statuses after which the installation must be as before the run: no installation
# found (2, the uninstall key could not be read), the version was refused (3), the
# backup failed (5), the update failed and the backup is back (6), the flag could not
# be read or set (9), the checks before the backup refused (10: a package file that
# cannot be read; 12: no space; 13: the database in use).
CLEAN_FAILURES = {2, 3, 5, 6, 9, 10, 12, 13}


def case_error(point, persistent, newer, must_fail=False):
    lab = _worker["lab"]
    references = _worker["references"]
    lab.reset("pristine")
    run = lab.run(inject=[error_expr(point, persistent)])
    label = "%s %s at %r" % ("persistent" if persistent else "one", ERROR_OF.get(point.syscall, "EIO"), point)
    if run.killed or run.status < 0:
        raise Failure("%s: the program died: %r\n%s" % (label, run, run.output[-600:]))
    if must_fail and run.status == 0:
        raise Failure("%s: exit 0, though what it wrote from there on did not reach the disk\n%s"
                      % (label, run.output[-400:]))
    outcome = "exit %d" % run.status
    st = state(lab)
    # What the failing call itself was to do may be missing after this run: a lock file
    # that could not be removed (the next run clears it), permission bits that could not
    # be set (QSaveFile and the copies go on without them), a shortcut that could not
    # be made (not a failure of the update). The runs that follow must be exact.
    tolerated = dict(strays=[])
    if point.syscall in ("fchmod", "fchmodat", "chmod"):
        tolerated["modes"] = True
    if point.syscall in ("symlink", "symlinkat"):
        tolerated["shortcut"] = True
    if run.status == 0:
        problems = differences(_tolerate(st, tolerated), _tolerate(references["updated"], tolerated))
        if problems:
            raise Failure("%s: exit 0: %s" % (label, "; ".join(problems[:6])))
    elif run.status in CLEAN_FAILURES:
        problems = clean_restore_problems(_tolerate(st, tolerated), references, tolerated)
        if problems:
            raise Failure("%s: %r but not cleanly restored: %s" % (label, run, "; ".join(problems[:6])))
    elif run.status in (4, 7):
        # The restore itself met the fault: the flag must still ask for a restore, or
        # name an update that is complete but for its flag.
        if effective_flag(st) != "false":
            raise Failure("%s: %r with the flag %r: the next run would not restore" % (label, run, effective_flag(st)))
        if not persistent:
            raise Failure("%s: a single fault made the restore fail too: %r\n%s" % (label, run, run.output[-400:]))
    else:
        raise Failure("%s: unexpected %r\n%s" % (label, run, run.output[-600:]))
    tolerated.pop("strays")
    _follow_up(lab, label, newer, tolerated)
    return outcome


def _tolerate(st, tolerated):
    st = dict(st)
    if "strays" in tolerated:
        st["strays"] = []
        st["files"] = {p: v for p, v in st["files"].items()
                       if not is_stray_name(Path(p).name, _sibling(p) in st["files"])}
    if tolerated.get("modes"):
        st["files"] = {p: v.split(" mode ")[0] for p, v in st["files"].items()}
    if tolerated.get("shortcut"):
        st["shortcut"] = None
    return st


def clean_restore_problems(actual, references, tolerated):
    """The installation as before the update: every file, key, row and value of the
    pristine installation, the flag true or absent. Files the package brings may have
    been added (a restore does not remove them), and INI files may have their ".bak"."""
    pristine = _tolerate(references["pristine"], tolerated)
    added_ok = references["package-paths"]
    ignore = {p for p in set(actual["files"]) - set(pristine["files"])
              if p in added_ok or p.endswith(".ini.bak") or p in ("config/UPDATER.ini",)}
    ignore |= {"config/UPDATER.ini", "config/UPDATER.ini.bak"}
    expected = dict(pristine, flag=actual["flag"] if actual["flag"] in (None, "true") else "true or absent",
                    shortcut=actual["shortcut"] if actual["shortcut"] in (None, references["updated"]["shortcut"])
                    else pristine["shortcut"])
    return differences(actual, expected, ignore)


class RaceStart:
    """The second updater of a race, started `delay` seconds after the first."""

    syscall = "race"

    def __init__(self, n, delay):
        self.n, self.delay = n, delay

    def __repr__(self):
        return "race#%d (second after %.0f ms)" % (self.n, self.delay * 1000)


def case_race(start):
    lab = _worker["lab"]
    references = _worker["references"]
    lab.reset("pristine")
    processes = []
    for delay in (0, start.delay):
        time.sleep(delay)
        processes.append(subprocess.Popen([lab.cli], cwd=str(lab.package), env=lab.env, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
    outputs = [p.communicate(timeout=120)[0].decode("utf-8", "replace") for p in processes]
    codes = [p.returncode for p in processes]
    label = "%r: exits %s" % (start, codes)
    if codes.count(0) != 1 or any(code not in (0, 3, 11) for code in codes):
        raise Failure("%s, expected one success and one refusal (3 or 11)\n%s" % (label, "\n".join(o[-400:] for o in outputs)))
    _expect(lab, "updated", label)
    # The backup is the old version: no file of it may differ from the pristine one.
    backup = lab.install / "backup"
    pristine = references["pristine"]["files"]
    for path in backup.rglob("*"):
        relative = path.relative_to(backup).as_posix()
        if path.is_file() and not path.is_symlink() and relative in pristine and not relative.endswith(".db"):
            if hashlib.sha256(path.read_bytes()).hexdigest()[:16] != pristine[relative].split(" mode ")[0]:
                raise Failure("%s: backup/%s is not the old version" % (label, relative))
    return "exits %s" % "+".join(str(c) for c in sorted(codes))


SYNC_SYSCALLS = ("fdatasync", "fsync", "syncfs", "sync_file_range")


def case_sync(point, newer):
    return case_error(point, True, newer, must_fail=True)


def _descendants(pid):
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            children = [int(c) for c in Path("/proc/%d/task/%d/children" % (parent, parent)).read_text().split()]
        except OSError:
            children = []
        found += children
        queue += children
    return found


def _stopped_child(strace):
    """The updater below strace once the injected SIGSTOP holds it; None when it ended
    first. A tracee shows "t" at every traced call too, but only for a moment: stopped
    is "t" for 0.3 s on end."""
    deadline = time.monotonic() + 120
    seen, since = None, 0.0
    while strace.poll() is None and time.monotonic() < deadline:
        stopped = None
        try:
            for child in _descendants(strace.pid):
                if Path("/proc/%d/stat" % child).read_text().rsplit(")", 1)[1].split()[0] in ("t", "T"):
                    stopped = child
        except OSError:
            pass
        now = time.monotonic()
        if stopped is None or stopped != seen:
            seen, since = stopped, now
        elif now - since >= 0.3:
            return stopped
        time.sleep(0.01)
    return None


def case_write(point, wal):
    lab = _worker["lab"]
    lab.reset("pristine")
    database = lab.install / "kqdata.db"
    if wal:
        # Closed at once: an open connection would be an application the update waits for.
        connection = sqlite3.connect(str(database))
        connection.execute("PRAGMA journal_mode=WAL")
        connection.close()
    expression = "%s:signal=SIGSTOP:when=%d" % (point.syscall, point.n)
    names = point.syscall
    command = isolated(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + names, "-e", "inject=" + expression,
                        lab.cli])
    strace = subprocess.Popen(command, cwd=str(lab.package), env=lab.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    child = _stopped_child(strace)
    if child is None:
        strace.kill()
        output = strace.communicate()[0].decode("utf-8", "replace")
        raise Failure("write at %r not reached\n%s" % (point, output[-400:]))
    row = "written at %s#%d" % (point.syscall, point.n)
    error = None
    try:
        connection = sqlite3.connect(str(database), timeout=0)
        try:
            connection.execute("CREATE TABLE IF NOT EXISTS app_work(v TEXT)")
            connection.execute("INSERT INTO app_work VALUES(?)", (row,))
            connection.commit()
        finally:
            connection.close()
    except sqlite3.Error as refused:
        error = str(refused)
    os.kill(child, signal.SIGCONT)
    try:
        output = strace.communicate(timeout=120)[0].decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        strace.kill()
        strace.communicate()
        raise Failure("write at %r: the updater did not go on" % point)
    if strace.returncode != 0:
        raise Failure("write at %r: exit %s\n%s" % (point, strace.returncode, output[-600:]))
    if error is not None:
        # SQLite says "locking protocol" where it meets our lock while it looks at a
        # journal being written: refused all the same.
        if "database is locked" not in error and "locking protocol" not in error:
            raise Failure("write at %r refused with %r, not \"database is locked\"" % (point, error))
        return "refused"
    places = [database] + sorted(lab.install.glob("kqdata.db.kept-*[0-9]"))
    for place in places:
        try:
            connection = sqlite3.connect("file:%s?mode=ro" % place, uri=True)
            try:
                found = connection.execute("SELECT count(*) FROM app_work WHERE v = ?", (row,)).fetchone()[0]
            finally:
                connection.close()
        except sqlite3.Error:
            continue
        if found:
            if place != database and place.name not in output:
                raise Failure("write at %r: kept in %s, which the run does not name" % (point, place))
            return "committed" if place == database else "kept"
    raise Failure("write at %r: the row committed is lost\n%s" % (point, output[-600:]))


CASES = {"kill": case_kill, "double": case_double, "error": case_error, "race": case_race, "sync": case_sync,
         "write": case_write}


def _run_case(kind, args):
    started = time.monotonic()
    try:
        outcome = CASES[kind](*args)
        return kind, args, None, outcome, time.monotonic() - started
    except Failure as failure:
        return kind, args, str(failure), None, time.monotonic() - started
    except Exception as error:  # a broken harness must not look like a pass
        return kind, args, "harness error: %r" % error, None, time.monotonic() - started


# ---------------------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------------------

# The updater looks through every process's open files before its backup, so the number of
# its openat calls follows how many processes the machine runs, and the N-th call of a
# reference run would be another call in a later run. In a PID namespace of its own it
# sees only itself and strace: the same calls in every run. Its process ids start at a
# random number there: a lock file that a killed run left names its pid, and the next run
# must not find a live updater under that pid (as pid 2 of every namespace would be).
ISOLATE = []


def isolated(command):
    if not ISOLATE:
        return command
    first = random.randrange(100000, 4000000)
    return ISOLATE + ["sh", "-c", 'echo %d > /proc/sys/kernel/ns_last_pid && exec "$@"' % first, "isolated"] + command


def isolation():
    probe = ["sh", "-c", "echo 200000 > /proc/sys/kernel/ns_last_pid"]
    for command in (["unshare", "--pid", "--fork", "--mount-proc"],
                    ["unshare", "--user", "--map-root-user", "--pid", "--fork", "--mount-proc"]):
        try:
            if subprocess.run(command + probe, capture_output=True, timeout=30).returncode == 0:
                return command
        except (OSError, subprocess.TimeoutExpired):
            pass
    return []


def strace_works():
    try:
        result = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=getpid:retval=7", "true"],
                                capture_output=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return result.returncode == 0


def package_paths(lab):
    paths = set()
    for package in (lab.package, lab.newer_package):
        application = package / "application"
        for path in application.rglob("*"):
            parts = path.relative_to(application).parts
            if parts[0] == "common":
                paths.add("/".join(parts[1:]))
            elif len(parts) > 2 and parts[1] == "common":
                paths.add("/".join(parts[2:]))
            elif len(parts) > 2 and parts[1] == "config":
                paths.add("config/" + "/".join(parts[2:]))
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cli", required=True, help="the corvane-updater-cli executable")
    parser.add_argument("--profile", choices=sorted(PROFILES), default="quick")
    parser.add_argument("--work", help="directory for the samples (default: a temporary directory)")
    parser.add_argument("--jobs", type=int,
                        help="cases run side by side (default: twice the processors; half of a case's time "
                             "is spent waiting on fsync and strace)")
    parser.add_argument("--only", choices=sorted(CASES), action="append", help="run only these kinds of case")
    parser.add_argument("--point", action="append", metavar="SYSCALL#N",
                        help="only this fault point of the reference update, e.g. write#106 (repeatable)")
    parser.add_argument("--sample", type=int, metavar="N",
                        help="a random sample of N points for each kind of case instead of the profile's choice")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--verbose", "-v", action="store_true", help="list every fault point")
    args = parser.parse_args(argv)
    profile = dict(PROFILES[args.profile])
    if args.sample:
        for kind in ("kill", "double", "error", "persistent", "sync", "write"):
            profile.pop(kind + "_every", None)
            profile[kind + "_sample"] = args.sample
    kinds = set(args.only or CASES)
    if not shutil.which("strace") or not strace_works():
        print("SKIP: strace cannot trace processes here (not installed, or ptrace is not permitted)")
        return SKIP
    ISOLATE[:] = isolation()
    if not ISOLATE:
        print("note: no PID namespace here; the points after the check of open files may shift between runs")
    cli = Path(args.cli).resolve()
    if not cli.is_file():
        print("no such program: %s" % cli)
        return 2

    started = time.monotonic()
    # Memory-backed by default: the program flushes the file system before each flag
    # change, which on a busy disk costs more than the rest of a run; a kill does not
    # care where the files are.
    shm = Path("/dev/shm")
    scratch = str(shm) if shm.is_dir() and os.access(str(shm), os.W_OK) else None
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="corvane-crash-", dir=scratch))
    work.mkdir(parents=True, exist_ok=True)
    try:
        return _main(args, profile, kinds, cli, work, started)
    finally:
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)


def _main(args, profile, kinds, cli, work, started):
    lab = Lab(work / "reference", cli, profile)
    lab.build()
    references = {"pristine": state(lab), "package-paths": package_paths(lab)}

    # The reference runs: the uninterrupted update, traced, and the newer package.
    trace = work / "reference.trace"
    run = lab.run(trace=trace)
    if run.status != 0:
        print("the reference update failed: %r\n%s" % (run, run.output))
        return 1
    references["updated"] = state(lab)
    if references["updated"]["strays"] or references["updated"]["database"].get("integrity") != ["ok"]:
        print("the reference update itself is not clean: %s" % references["updated"]["strays"])
        return 1
    again = lab.run()
    if again.status != 3:
        print("a second run of the same package should be refused (3): %r" % again)
        return 1
    if differences(state(lab), references["updated"]):
        print("a refused second run changed the installation: %s" % differences(state(lab), references["updated"]))
        return 1
    lab.reset("pristine")
    plain = lab.run()
    plain_seconds = plain.seconds
    lab.reset("pristine")
    if lab.run(lab.newer_package).status != 0:
        print("the reference update to the newer package failed")
        return 1
    references["updated-newer"] = state(lab)
    reference_seconds = run.seconds

    changing, reads = fault_points(trace, lab)
    # A WAL database is synced by other calls than a rollback journal: its own reference
    # run gives the points that a write into a WAL database can stop at.
    wal_changing = []
    if "write" in kinds:
        lab.reset("pristine")
        connection = sqlite3.connect(str(lab.install / "kqdata.db"))
        connection.execute("PRAGMA journal_mode=WAL")
        connection.close()
        wal_trace = work / "reference-wal.trace"
        wal_run = lab.run(trace=wal_trace)
        if wal_run.status != 0:
            print("the reference update of a WAL database failed: %r\n%s" % (wal_run, wal_run.output))
            return 1
        wal_changing, _ = fault_points(wal_trace, lab)
        lab.reset("pristine")
    if args.point:
        wanted = set(args.point)
        changing = [p for p in changing if "%s#%d" % (p.syscall, p.n) in wanted]
        reads = [p for p in reads if "%s#%d" % (p.syscall, p.n) in wanted]
    per_syscall = {}
    for point in changing:
        per_syscall[point.syscall] = per_syscall.get(point.syscall, 0) + 1
    print("reference update: %d changing calls (%s), %d read-only INI opens; %.2f s traced"
          % (len(changing), ", ".join("%s %d" % kv for kv in sorted(per_syscall.items())), len(reads),
             reference_seconds))
    if args.verbose:
        for point in changing:
            print("  %r" % point)

    cases = []
    if "kill" in kinds:
        kills = pick(changing, profile.get("kill_every"), profile.get("kill_sample"))
        cases += [("kill", (p, i % profile["newer_every"] == 0)) for i, p in enumerate(kills)]
    if "double" in kinds:
        cases += double_cases(lab, changing, profile, work)
    if "error" in kinds:
        error_points = changing + reads
        if profile.get("slow_lock_errors") is False:
            # A lock file that cannot be removed once makes QSettings wait 30 s for its
            # own lock at the next save of that file (QLockFile's stale time): right,
            # but too slow for the suite; the long run has them.
            error_points = [p for p in error_points
                            if not (p.syscall in ("unlink", "unlinkat") and '.lock"' in p.text)]
        once = pick(error_points, profile.get("error_every"), profile.get("error_sample"), seed=7)
        # Not unlink from some call on: QSettings then waits forever for its own lock,
        # which it can neither take nor remove (a limit of Qt's, see the README).
        skip = {"unlink", "unlinkat"} | set(profile.get("persistent_skip", ()))
        persistent = pick([p for p in error_points if p.syscall not in skip],
                          profile.get("persistent_every"), profile.get("persistent_sample"), seed=9)
        cases += [("error", (p, False, i % profile["newer_every"] == 0)) for i, p in enumerate(once)]
        cases += [("error", (p, True, i % profile["newer_every"] == 0)) for i, p in enumerate(persistent)]
    if "race" in kinds and not args.point:
        races = profile.get("races", 0)
        cases += [("race", (RaceStart(i, plain_seconds * i / max(1, races)),)) for i in range(races)]

    if "write" in kinds:
        writes = pick(changing, profile.get("write_every"), profile.get("write_sample"), seed=17)
        wal_writes = pick(wal_changing, profile.get("write_every"), profile.get("write_sample"), seed=17)
        if args.point:
            wanted = set(args.point)
            wal_writes = [p for p in wal_writes if "%s#%d" % (p.syscall, p.n) in wanted]
        # Every other point of each: half the cases in either journal mode.
        cases += [("write", (p, False)) for p in writes[0::2]]
        cases += [("write", (p, True)) for p in wal_writes[1::2]]
    if "sync" in kinds:
        syncs = pick([p for p in changing if p.syscall in SYNC_SYSCALLS], profile.get("sync_every"),
                     profile.get("sync_sample"), seed=13)
        cases += [("sync", (p, i % profile["newer_every"] == 0)) for i, p in enumerate(syncs)]

    jobs = args.jobs or 2 * (os.cpu_count() or 1)
    print("%d cases on %d jobs" % (len(cases), jobs))
    failures, tally = [], {}
    covered = {}
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, initializer=_init_worker,
                                                initargs=(str(work), str(cli), profile, references)) as pool:
        slowest = []
        for kind, case_args, failure, outcome, seconds in pool.map(_run_case, [c[0] for c in cases],
                                                                   [c[1] for c in cases], chunksize=4):
            slowest = sorted(slowest + [(seconds, kind, repr(case_args[1] if kind == "double" else case_args[0]))],
                             reverse=True)[:5]
            point = case_args[1] if kind == "double" else case_args[0]
            label = kind if kind != "error" else ("error-persistent" if case_args[1] else "error-once")
            covered.setdefault(label, {}).setdefault(point.syscall, 0)
            covered[label][point.syscall] += 1
            if failure:
                failures.append(failure)
                print("FAIL " + failure)
            else:
                tally.setdefault(label, {}).setdefault(outcome, 0)
                tally[label][outcome] += 1

    print()
    for label in sorted(covered):
        print("%-17s %4d points: %s" % (label, sum(covered[label].values()),
                                        ", ".join("%s %d" % kv for kv in sorted(covered[label].items()))))
        if label in tally:
            print("%-17s outcomes: %s" % ("", ", ".join("%s %d" % kv for kv in sorted(tally[label].items()))))
    if args.verbose:
        for seconds, kind, point in slowest:
            print("slow: %.1f s %s %s" % (seconds, kind, point[:100]))
    print("%d cases, %d failed, %.0f s" % (len(cases), len(failures), time.monotonic() - started))
    return 1 if failures else 0


def double_cases(lab, changing, profile, work):
    """First kills spread over the steps (a database one step ahead of its backup, a
    hot journal, a half-merged INI file), then every point of the restore of the run
    that follows each."""
    firsts = [p for p in changing if p.stage in ("steps", "sql", "registry")]
    if not firsts:
        return []
    wanted = profile["double_firsts"]
    sql_points = [p for p in firsts if p.stage == "sql" and p.syscall in ("pwrite64", "write", "fdatasync")]
    chosen = []
    if sql_points:
        chosen.append(sql_points[len(sql_points) // 2])
    step = max(1, len(firsts) // max(1, wanted))
    for p in firsts[step // 2::step]:
        if len(chosen) >= wanted:
            break
        if p not in chosen:
            chosen.append(p)
    cases = []
    for first in chosen:
        lab.reset("pristine")
        if not lab.run(inject=[kill_expr(first)]).killed:
            continue
        trace = work / ("second-%s-%d.trace" % (first.syscall, first.n))
        lab.run(trace=trace)
        seconds, _ = fault_points(trace, lab)
        # From the start to the backup: the clean-up of what the kill left, the restore
        # and its flag.
        restore = [p for p in seconds if p.stage in ("start", "flag", "after-restore")]
        restore = pick(restore, profile.get("double_every"), profile.get("double_sample"), seed=first.n)
        cases += [("double", (first, second)) for second in restore]
    return cases


if __name__ == "__main__":
    sys.exit(main())
