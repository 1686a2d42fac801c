#!/usr/bin/env python3
"""Measures the updater against cp and sqlite3 on a generated installation.

  bench/run.sh [--dir DIR] [--reps N] [--build DIR] [--cache cold|warm] [--quick] [--keep]
               [--raw FILE] [--log-only] [--same-fs]

Makes, with scripts/make-sample.py, a large sample (5000 program files, 300 MB, a
kqdata.db of 100 000 rows, a package of three steps with 300 common files and 20 000
SQL statements each) and a small one (500 files, 30 MB) in a throw-away directory
below DIR (default /tmp) on one disk, and measures, each stage repeated N times
(default 5) and reported as the median:

  backup   CVUpdater::backupVersion()  vs  cp -r of the same tree to the same disk, then sync
  restore  CVUpdater::restoreVersion() vs  cp -r of that tree back over the copy, then sync;
           also vs cp -r --remove-destination, which replaces files the way the restore must
  restore after a failed update: CVUpdater::restoreVersion() after a tenth of the files
           were changed (half of them to another size, half in their last byte only) vs
           the same cp -r + sync of the whole tree
  sql      each step's dbupdate.sql through ZRSqlParser and DBControl vs the sqlite3 shell
           running the statements the parser outputs (IFN_COL resolved) in one BEGIN/COMMIT;
           also without the parser's per-statement debug log lines, to show their cost
  backup again: CVUpdater::backupVersion() over the backup just taken, the installation
           unchanged, vs the first backup (at most 1.1 x)
  update   corvane-updater-cli, the whole update, vs the sum of the references: cp -r + sync
           of the backup, cp -r + sync of the package's common trees over the installation,
           and for every step sqlite3 plus the log floor for its "sql:" lines. As root, each
           update and its references (cp, sqlite3) run on a new file system (loop device) of
           the work directory's kind, unless --same-fs. Broken down by stage from the
           time stamps of the run's log (checks, backup, each step's copies and its SQL,
           registry), and the "sql:" lines of the run per piece of the scripts (1.00: each
           statement's line written once)
  big script: a one-step package whose script is 95 MB of INSERTs (20 MB with --quick):
           the step's SQL vs sqlite3 plus the log floor, and the whole update's peak memory
  log      20 000 log lines like the SQL stage's "sql:" lines through the updater's log
           handler (message built, handled, its file opened, written once and closed)
           vs the floor: the same bytes written by a C loop of open(O_APPEND), one write
           and close per line; wall-clock and processor time per line
  verify   the check of a signed package before an update: every file of a package as large
           as the installation (its tree as the package's common files) hashed and compared
           with its manifest, vs the backup above; also with the package in the page cache,
           as it is right after a download or an unpack

and the peak memory of each of these processes on both tree sizes. Before every timed
run, dirty data is synced and, as root, the page cache dropped (--cache cold, the
default when possible); otherwise (--cache warm) the run's source is read once, the
same for both sides. The SQL runs are always compared warm. Ours are timed around the
stage inside the process, the references around the whole command. Exit status 0
when every target is met. --raw appends every single measurement to FILE.

Targets: backup and restore at most 1.2 x (cp -r + sync), the backup again at most 1.1 x
the first, the restore after a failed update at most 0.5 x, SQL with its debug lines at
most 1.3 x (sqlite3 + the log floor for its lines), the log line at most 1.5 x its floor,
verifying a package at most 0.3 x our backup, the whole update at most 1.2 x the sum of
its references, peak memory under 80 MB on either tree and under 64 MB with the big script.
--log-only measures the log line alone (a few seconds, no sample).
"""

import contextlib
import datetime
import functools
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DROP_CACHES = Path("/proc/sys/vm/drop_caches")
LOG_LINES = 20000


class Failure(Exception):
    """Ends the run with exit status 1 after its message."""


# --- options --------------------------------------------------------------------------

def usage(status):
    (sys.stdout if status == 0 else sys.stderr).write(__doc__)
    sys.exit(status)


def parse_options(argv):
    opts = {"dir": "/tmp", "reps": "5", "build": str(ROOT / "build" / "release"), "cache": "",
            "quick": False, "keep": False, "raw": "", "log_only": False, "same_fs": False}
    with_value = {"--dir": "dir", "--reps": "reps", "--build": "build", "--cache": "cache", "--raw": "raw"}
    flags = {"--quick": "quick", "--keep": "keep", "--log-only": "log_only", "--same-fs": "same_fs"}
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg in with_value and i + 1 < len(argv):
            opts[with_value[arg]] = argv[i + 1]
            i += 2
        elif arg in flags:
            opts[flags[arg]] = True
            i += 1
        elif arg in ("-h", "--help"):
            usage(0)
        else:
            sys.stderr.write("unknown option: %s\n" % arg)
            usage(2)
    if not re.fullmatch(r"[1-9][0-9]*", opts["reps"]):
        sys.stderr.write("--reps takes a positive number\n")
        sys.exit(2)
    opts["reps"] = int(opts["reps"])
    return opts


def drop_caches():
    try:
        with open(DROP_CACHES, "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def choose_cache(cache):
    if not cache:
        os.sync()
        cache = "cold" if os.access(DROP_CACHES, os.W_OK) and drop_caches() else "warm"
    if cache == "cold":
        if not os.access(DROP_CACHES, os.W_OK):
            sys.stderr.write("--cache cold needs root (drop_caches)\n")
            sys.exit(2)
    elif cache != "warm":
        sys.stderr.write("--cache takes cold or warm\n")
        sys.exit(2)
    return cache


# --- small helpers --------------------------------------------------------------------

def g6(value):
    """A number as a shell's awk hands it on: six significant digits."""
    return float("%.6g" % value)


def median(values):
    # An odd count keeps its middle figure as measured; an even one averages two.
    return g6(statistics.median(values)) if len(values) % 2 == 0 else statistics.median(values)


def ratio(a, b):
    return "%.2f" % (a / b) if b else "inf"


def mb(kib):
    return "%.1f" % (kib / 1024)


def fields(line):
    """The key=value pairs of one corvane-bench line."""
    return dict(token.split("=", 1) for token in line.split() if "=" in token)


def version_key(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def files_below(path):
    path = Path(path)
    if path.is_file():
        yield path
        return
    for top, _dirs, names in os.walk(path):
        for name in names:
            yield Path(top, name)


def read_through(path):
    for file in files_below(path):
        if file.is_symlink() or not file.is_file():
            continue
        with open(file, "rb") as f:
            while f.read(1 << 20):
                pass


def apparent_mb(path):
    """The size of a tree in MB as du -sm --apparent-size counts it (rounded up)."""
    seen = set()
    total = 0
    for top, dirs, names in os.walk(path):
        for name in [top] + [os.path.join(top, n) for n in dirs + names]:
            st = os.lstat(name)
            if (st.st_dev, st.st_ino) not in seen:
                seen.add((st.st_dev, st.st_ino))
                total += st.st_size
    return math.ceil(total / (1 << 20))


def installation_of(sample):
    return Path(sample, "Programs", "Ostrelle")


def registry_entry(sample):
    for top, _dirs, names in os.walk(Path(sample, "home", ".config", "Corvane", "registry")):
        for name in names:
            if name.endswith(".ini"):
                return Path(top, name)
    raise Failure("no registry entry below %s" % sample)


def steps_of(sample):
    application = Path(sample, "package", "application")
    return sorted((p.name for p in application.iterdir() if "_to_" in p.name and p.is_dir()), key=version_key)


def reserved_names(package_tool):
    """The names an update leaves alone, by the updater's own rule as corvane-package layout
    prints it: at the top of the installation (a trailing "*" stands for every name that
    begins so), and file names at every depth."""
    out = subprocess.run([str(package_tool), "layout"], stdout=subprocess.PIPE, check=True).stdout
    layout = json.loads(out)
    return layout["reservedNames"], layout.get("reservedFileNames", [])


def is_reserved(relative, top_names, file_names):
    """The updater's rule: a reserved entry and everything below it."""
    parts = [p for p in relative.split("/") if p]
    return any(part in file_names
               or (i == 0 and any(part.startswith(n[:-1]) if n.endswith("*") else part == n for n in top_names))
               for i, part in enumerate(parts))


def change_tenth(install, reserved):
    """What a failed update leaves before its restore: every tenth file (by path) changed,
    every other one of those to another size, the rest in their last byte only, so that
    only a comparison of the whole content finds them. Leaves out what the backup does."""
    paths = []
    for top, dirs, files in os.walk(install):
        relative_top = os.path.relpath(top, install)
        prefix = "" if relative_top == "." else relative_top + "/"
        dirs[:] = [d for d in dirs if not d.startswith(".") and not is_reserved(prefix + d, *reserved)]
        for name in files:
            path = os.path.join(top, name)
            if name.startswith(".") or is_reserved(prefix + name, *reserved) or os.path.islink(path):
                continue
            paths.append(path)
    paths.sort()
    changed = paths[::10]
    for i, path in enumerate(changed):
        if i % 2 == 0:
            with open(path, "ab") as f:
                f.write(b"changed by the update")
        else:
            with open(path, "r+b") as f:
                f.seek(0, 2)
                if f.tell() == 0:
                    f.write(b"x")
                else:
                    f.seek(-1, 2)
                    last = f.read(1)
                    f.seek(-1, 2)
                    f.write(bytes([last[0] ^ 0xFF]))
    return "%d of %d" % (len(changed), len(paths))


def same_log_lines(first, second):
    """Both directories' log files hold the same lines, time stamps (23 bytes) aside."""
    def lines(directory):
        out = []
        for file in sorted(Path(directory, "log").glob("*.txt")):
            out.extend(line[23:] for line in file.read_bytes().split(b"\n")[:-1])
        return out
    return lines(first) == lines(second)


def sqlite_dump(db):
    return subprocess.run(["sqlite3", str(db), ".dump"], stdout=subprocess.PIPE, check=True).stdout


@functools.lru_cache(maxsize=None)
def pieces_of(sample, step):
    """The pieces of a step's script that get a "sql:" line: the text of the lines the parser
    keeps, cut at every ";", empty pieces left out."""
    count = 0
    tail = ""
    with open(Path(sample, "package", "application", step, "sql", "dbupdate.sql"), "rb") as f:
        for line in f:
            if line.startswith(b"#") or not line.strip():
                continue
            parts = (tail + line.decode("utf-8", "replace")).split(";")
            count += sum(1 for p in parts[:-1] if p)
            tail = parts[-1]
    return count + (1 if tail else 0)


def fresh_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    Path(path).mkdir(parents=True)


def sql_lines_logged(log_dir):
    """How many "sql:" lines a run wrote into the log files of log_dir."""
    count = 0
    for path in Path(log_dir).glob("*.txt"):
        with open(path, "rb") as f:
            count += sum(1 for line in f if b" sql: " in line)
    return count


def log_marks(log_dir):
    """(time stamp in seconds, the rest of the line) of every line of a run's log but its
    "sql:" lines."""
    marks = []
    for path in sorted(Path(log_dir).glob("*.txt")):
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if " sql: " in line:
                    continue
                try:
                    stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f").timestamp()
                except ValueError:
                    continue  # a message of several lines: its later lines carry no time stamp
                marks.append((stamp, line[24:]))
    return marks


STEP_LINE = "FormalUpdateO::execUpdate(const QString&) exec update"
STAGES = ("check", "backup", "copy", "config", "sql", "registry")


def stage_times(log_dir):
    """Seconds of each stage of one whole update, from its log's time stamps (copy and sql
    summed over the steps), to the millisecond."""
    marks = log_marks(log_dir)

    def find(text, start=0):
        return next((i for i in range(start, len(marks)) if text in marks[i][1]), None)

    def first(text, start=0):
        i = find(text, start)
        if i is None:
            raise Failure("the update's log in %s has no line with '%s'" % (log_dir, text.strip()))
        return i

    def seconds(begin, end):
        return marks[end][0] - marks[begin][0]

    # The checks: from the first of them (the version, where the front end checks it) to
    # the start of the backup, the update flag's check included.
    checks = find(" check version")
    checks = first(" check package") if checks is None else checks
    backup, execute = first(" backup old version"), first(" exec update\n")
    registry = first(" update regedit and shortcut")
    total = {"check": seconds(checks, backup),
             "backup": seconds(backup, execute),
             "copy": 0.0, "config": 0.0, "sql": 0.0,
             "registry": seconds(registry, first(" exit status"))}
    # Each step: its removals and copies from "exec update <step>" to "update config
    # files", its INI merges up to "update db data", then its SQL up to the next step (or
    # the registry after the last).
    step = find(STEP_LINE, execute + 1)
    while step is not None:
        db = first("update db data", step)
        config = find(" update config files", step)
        config = db if config is None or config > db else config
        after = find(STEP_LINE, db)
        total["copy"] += seconds(step, config)
        total["config"] += seconds(config, db)
        total["sql"] += seconds(db, registry if after is None else after)
        step = after
    return {stage: round(value, 3) for stage, value in total.items()}


# --- a fresh file system --------------------------------------------------------------
# A file system that has just freed hundreds of megabytes of trees is slower to create the
# next ones (ext4 skips the freed inodes; with "discard" it trims the freed blocks), and the
# benchmark frees such trees between its runs: the same update took 2 s, 3 s and 4.4 s in a
# row. Where it can (root, a loop device), each whole update and its references run on a
# new file system of the work directory's kind, made, used once and taken down.

def fresh_fs_kind(work):
    """(type, mount options) for new file systems like work's, or None where there can be none."""
    if os.geteuid() != 0 or shutil.which("losetup") is None:
        return None
    found = subprocess.run(["findmnt", "-no", "FSTYPE,OPTIONS", "-T", str(work)], stdout=subprocess.PIPE,
                           universal_newlines=True)
    parts = found.stdout.split()
    if found.returncode != 0 or len(parts) != 2 or parts[0] not in MKFS:
        return None
    if shutil.which(MKFS[parts[0]][0]) is None:
        return None
    options = ",".join(o for o in parts[1].split(",") if o in ("discard", "noatime", "relatime"))
    try:
        with FreshFileSystem(Path(work) / "probe.img", Path(work) / "probe", 64, parts[0], options):
            pass
    except (OSError, subprocess.CalledProcessError):
        return None
    return parts[0], options


# Inode tables and the journal written by mkfs, not by a kernel thread during the runs.
MKFS = {"ext4": ["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0"],
        "xfs": ["mkfs.xfs", "-q", "-f"]}


class FreshFileSystem:
    """A new file system in a sparse image, mounted at mount_point through a loop device
    with direct I/O (no second page cache on the image), and removed on leaving."""

    def __init__(self, image, mount_point, size_mb, kind, options):
        self.image, self.mount_point = Path(image), Path(mount_point)
        self.size_mb, self.kind, self.options = size_mb, kind, options
        self.loop = None

    def __enter__(self):
        with open(self.image, "wb") as f:
            f.truncate(self.size_mb << 20)
        try:
            subprocess.run(MKFS[self.kind] + [str(self.image)], check=True, stdout=subprocess.DEVNULL)
            self.loop = subprocess.run(["losetup", "-f", "--show", "--direct-io=on", str(self.image)],
                                       stdout=subprocess.PIPE, universal_newlines=True,
                                       check=True).stdout.strip()
            self.mount_point.mkdir(parents=True, exist_ok=True)
            subprocess.run(["mount", "-t", self.kind] + (["-o", self.options] if self.options else [])
                           + [self.loop, str(self.mount_point)], check=True)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *_):
        if self.loop:
            subprocess.run(["umount", str(self.mount_point)], stderr=subprocess.DEVNULL)
            subprocess.run(["losetup", "-d", self.loop])
            self.loop = None
        self.image.unlink(missing_ok=True)


# --- the run --------------------------------------------------------------------------

class Bench:
    def __init__(self, opts, cache, bench, cli, package_tool, work):
        self.opts = opts
        self.cache = cache
        self.bench = str(bench)
        self.cli = str(cli) if cli else ""
        self.package_tool = package_tool
        self.work = Path(work)
        self.result = {}
        self.failed = False
        self._reserved = None
        self.fs_kind = None

    def reserved(self):
        if self._reserved is None:
            self._reserved = reserved_names(self.package_tool)
        return self._reserved

    # Dirty data left by the set-up must not be flushed inside a measurement; then the
    # caches are made equal for both sides. The SQL runs are always compared warm: their
    # files are small, and a cold start would time loading the programs' libraries.
    def settle(self, *paths, warm=False):
        os.sync()
        if self.cache == "cold" and not warm:
            if not drop_caches():
                raise Failure("could not drop the page cache")
        else:
            for path in paths:
                read_through(path)

    def record(self, label, line):
        if self.opts["raw"]:
            with open(self.opts["raw"], "a") as f:
                f.write("%s %s\n" % (label, line))

    def _run(self, args, **kwargs):
        # Started by a small shell that stays: a process forked from this one would count
        # this interpreter's memory into its own peak (ru_maxrss survives the exec).
        done = subprocess.run(["sh", "-c", '"$@"; exit $?', "sh"] + args, stdout=subprocess.PIPE,
                              universal_newlines=True, **kwargs)
        return done.returncode, done.stdout.rstrip("\n")

    def ours(self, sample, *args, env=None):
        """One stage of ours on a sample: its bench line; the run fails with it."""
        status, line = self._run([self.bench, "--root", str(sample)] + list(args), env=env)
        if status != 0:
            raise Failure("corvane-bench %s failed: %s (log: %s/package/log)" % (" ".join(args), line, sample))
        rules = (env or os.environ).get("QT_LOGGING_RULES", "")
        self.record("%s %s%s" % (Path(sample).name, " ".join(args), " (%s)" % rules if rules else ""), line)
        return fields(line)

    def reference(self, *args):
        """A reference command, timed by the same program."""
        status, line = self._run([self.bench, "run"] + [str(a) for a in args])
        if status != 0:
            raise Failure("reference failed: %s (%s)" % (" ".join(str(a) for a in args), line))
        self.record("reference %s" % Path(str(args[-1])).name, line)
        return fields(line)

    # --- backup and restore -----------------------------------------------------------
    def measure_copies(self, sample, label, n):
        install = installation_of(sample)
        copy = self.work / ("copy-" + label)
        runs = {k: [] for k in ("backup", "backup.again", "backup.ref", "restore", "restore.ref", "restore.same",
                                "restore.failed")}
        for _ in range(n):
            shutil.rmtree(install / "backup", ignore_errors=True)
            shutil.rmtree(copy, ignore_errors=True)
            self.settle(install)
            line = self.ours(sample, "backup")
            runs["backup"].append(float(line["seconds"]))
            self.result[label + ".backup.rss"] = int(line["peak_rss_kb"])

            # The next update's backup over this one, the installation unchanged.
            self.settle(install)
            runs["backup.again"].append(float(self.ours(sample, "backup")["seconds"]))

            # The very files the backup copied, copied by cp to the same disk.
            self.settle(install / "backup")
            line = self.reference("sh", "-c", 'cp -r "$1" "$2" && sync', "sh", install / "backup", copy)
            runs["backup.ref"].append(float(line["seconds"]))

            # Both put the backup back over a tree that holds every file already.
            self.settle(install / "backup")
            line = self.ours(sample, "restore")
            runs["restore"].append(float(line["seconds"]))
            self.result[label + ".restore.rss"] = int(line["peak_rss_kb"])

            self.settle(install / "backup")
            line = self.reference("sh", "-c", 'cp -r "$1/." "$2/" && sync', "sh", install / "backup", copy)
            runs["restore.ref"].append(float(line["seconds"]))

            # cp under the copy's own rule: every existing file removed, then created anew.
            self.settle(install / "backup")
            line = self.reference("sh", "-c", 'cp -r --remove-destination "$1/." "$2/" && sync', "sh",
                                  install / "backup", copy)
            runs["restore.same"].append(float(line["seconds"]))

            # The restore after a failed update that changed a tenth of the files.
            self.result[label + ".changed"] = change_tenth(install, self.reserved())
            self.settle(install)
            line = self.ours(sample, "restore")
            runs["restore.failed"].append(float(line["seconds"]))
        shutil.rmtree(copy, ignore_errors=True)
        for key, values in runs.items():
            self.result["%s.%s" % (label, key)] = median(values)

    # --- log line ---------------------------------------------------------------------
    # Ours and the floor alternate, each in a fresh directory on the same disk.
    def measure_log(self, n):
        runs = {"log": [], "log.ref": [], "log.cpu": [], "log.cpu.ref": []}
        for _ in range(n):
            for kind in ("log", "logfloor"):
                directory = self.work / ("log-" + kind)
                shutil.rmtree(directory, ignore_errors=True)
                os.sync()
                status, line = self._run([self.bench, kind, str(LOG_LINES), str(directory)])
                if status != 0:
                    raise Failure("corvane-bench %s failed: %s" % (kind, line))
                self.record(kind, line)
                values = fields(line)
                suffix = "" if kind == "log" else ".ref"
                runs["log" + suffix].append(float(values["seconds"]))
                runs["log.cpu" + suffix].append(float(values["cpu_seconds"]))
        if not same_log_lines(self.work / "log-log", self.work / "log-logfloor"):
            raise Failure("the handler's lines differ from the floor's (time stamps aside)")
        shutil.rmtree(self.work / "log-log")
        shutil.rmtree(self.work / "log-logfloor")
        for key, values in runs.items():
            self.result[key] = median(values)

    def log_floor_for(self, lines):
        """The log floor for so many lines like the SQL stage's, from the log measurement."""
        return g6(lines * self.result["log.ref"] / LOG_LINES)

    def log_report(self):
        r = self.result
        print("Log line (%d lines; reference: open(O_APPEND), write, close per line)" % LOG_LINES)
        print("%-22s %11s %11s %7s   %s" % ("", "corvane", "floor", "ratio", "target"))
        self.row("log, wall-clock", r["log"], r["log.ref"], "1.5")
        self.row("  processor time", r["log.cpu"], r["log.cpu.ref"], "")
        print("  per line: %.2f us, floor %.2f us" % (r["log"] * 1e6 / LOG_LINES, r["log.ref"] * 1e6 / LOG_LINES))

    # --- SQL of each step -------------------------------------------------------------
    # Each step starts from the database as the steps before it left it; both sides start
    # from the same file and must end with the same content.
    def measure_sql(self, sample, label, n):
        install = installation_of(sample)
        db = install / "kqdata.db"
        sqlwork = self.work / ("sql-" + label)
        sqlwork.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(db, sqlwork / "original.db")
        self.result[label + ".sql.rss"] = 0
        quiet_env = dict(os.environ, QT_LOGGING_RULES="ZR_LOG.A.debug=false")
        # Kept for the whole update's reference (measure_update()).
        statements = self.work / ("statements-" + label)
        statements.mkdir(parents=True, exist_ok=True)
        for step in steps_of(sample):
            script = statements / (step + ".sql")
            step_sql = Path(sample, "package", "application", step, "sql")
            shutil.copyfile(db, sqlwork / "before.db")
            self.ours(sample, "statements", step, str(script))
            ours_sql, quiet_sql, ref_sql = [], [], []
            for _ in range(n):
                shutil.copyfile(sqlwork / "before.db", db)
                self.settle(db, step_sql, warm=True)
                line = self.ours(sample, "sql", step)
                ours_sql.append(float(line["seconds"]))
                rss = int(line["peak_rss_kb"])
                if rss > self.result[label + ".sql.rss"]:
                    self.result[label + ".sql.rss"] = rss

                # The same without the per-statement debug lines, to show what they cost.
                shutil.copyfile(sqlwork / "before.db", db)
                self.settle(db, step_sql, warm=True)
                quiet_sql.append(float(self.ours(sample, "sql", step, env=quiet_env)["seconds"]))

                shutil.copyfile(sqlwork / "before.db", sqlwork / "reference.db")
                self.settle(sqlwork / "reference.db", script, warm=True)
                line = self.reference("sqlite3", "-bail", sqlwork / "reference.db", ".read %s" % script)
                ref_sql.append(float(line["seconds"]))
            if sqlite_dump(db) != sqlite_dump(sqlwork / "reference.db"):
                raise Failure("step %s: the database differs from the sqlite3 shell's result" % step)
            self.result["%s.sql.%s" % (label, step)] = median(ours_sql)
            self.result["%s.sql.%s.ref" % (label, step)] = median(ref_sql)
            self.result["%s.sql.%s.quiet" % (label, step)] = median(quiet_sql)
            self.result["%s.sql.%s.lines" % (label, step)] = pieces_of(sample, step)
            self.result["%s.sql.%s.floor" % (label, step)] = self.log_floor_for(pieces_of(sample, step))
        # Back to the state of the other measurements.
        shutil.copyfile(sqlwork / "original.db", db)
        shutil.rmtree(sqlwork)

    # --- the whole update -------------------------------------------------------------
    # Every run starts from the installation and registry entry as generated.
    def keep_pristine(self, sample, label):
        pristine = self.work / ("pristine-" + label)
        pristine.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cp", "-a", str(installation_of(sample)), str(pristine / "install")], check=True)
        subprocess.run(["cp", "-a", str(registry_entry(sample)), str(pristine / "registry.ini")], check=True)

    def fresh_fs(self, mount_point, size_mb):
        """A new file system at mount_point for one run, or nothing where there can be none."""
        if self.fs_kind is None:
            return contextlib.nullcontext()
        image = self.work / (Path(mount_point).name + ".img")
        return FreshFileSystem(image, mount_point, size_mb, *self.fs_kind)

    def measure_update(self, sample, label, n):
        install = installation_of(sample)
        pristine = self.work / ("pristine-" + label)
        registry = registry_entry(sample)
        package = Path(sample, "package")
        env = dict(os.environ, HOME=str(Path(sample, "home")), XDG_CONFIG_HOME=str(Path(sample, "home", ".config")))
        log_dir = package / "log"
        # Room for the installation, its backup and the package's copies, twice over.
        size_mb = 3 * apparent_mb(pristine / "install") + 256
        commons = [package / "application" / "common"]
        commons += [package / "application" / step / "common" for step in steps_of(sample)]
        runs = {"update": [], "backup.ref": [], "common": [], "sql.ref": []}
        stages = []
        if list(install.parent.iterdir()) != [install]:
            raise Failure("%s holds more than the installation" % install.parent)
        for _ in range(n):
            fresh_directory(log_dir)
            shutil.rmtree(install, ignore_errors=True)
            # The installation's parent, so that the new file system's lost+found stays outside it.
            with self.fresh_fs(install.parent, size_mb):
                subprocess.run(["cp", "-a", str(pristine / "install"), str(install)], check=True)
                subprocess.run(["cp", "-a", str(pristine / "registry.ini"), str(registry)], check=True)
                for shortcut in Path(sample, "home", "Desktop").glob("*.lnk"):
                    shortcut.unlink()
                self.settle(install, package)
                status, line = self._run([self.bench, "run", self.cli, "--quiet"], cwd=str(package), env=env)
                if status != 0:
                    raise Failure("corvane-updater-cli failed: %s" % line)
            self.record(label + " update", line)
            values = fields(line)
            runs["update"].append(float(values["seconds"]))
            self.result[label + ".update.rss"] = int(values["peak_rss_kb"])
            stages.append(stage_times(log_dir))
            self.result[label + ".update.sqllines"] = sql_lines_logged(log_dir)
            self.update_references(pristine, commons, self.work / ("statements-" + label), size_mb, runs)
        shutil.rmtree(install, ignore_errors=True)
        subprocess.run(["cp", "-a", str(pristine / "install"), str(install)], check=True)
        for key, values in runs.items():
            if values:
                self.result["%s.update%s" % (label, "" if key == "update" else "." + key)] = median(values)
        for stage in STAGES:
            self.result["%s.update.%s" % (label, stage)] = median([times[stage] for times in stages])
        self.result[label + ".update.pieces"] = sum(pieces_of(sample, step) for step in steps_of(sample))

    def update_references(self, pristine, commons, statements, size_mb, runs):
        """The plain tools' part of one whole update, on a file system in the state the
        update found: cp of the backup, cp of the package's common trees over the
        installation, and sqlite3 running each step's statements on its database (where
        measure_sql() left them)."""
        ref = self.work / "reference-fs"
        with self.fresh_fs(ref, size_mb):
            subprocess.run(["cp", "-a", str(pristine / "install"), str(ref / "install")], check=True)
            self.settle(ref / "install")
            line = self.reference("sh", "-c", 'cp -r "$1" "$2" && sync', "sh", ref / "install", ref / "backup")
            runs["backup.ref"].append(float(line["seconds"]))
            self.settle(*commons)
            line = self.reference("sh", "-c", 'to=$1; shift; for d; do cp -r "$d/." "$to/" || exit 1; done; sync',
                                  "sh", ref / "install", *commons)
            runs["common"].append(float(line["seconds"]))
            scripts = sorted(statements.glob("*.sql"), key=lambda path: version_key(path.stem))
            if scripts:
                total = 0.0
                for script in scripts:
                    self.settle(ref / "install" / "kqdata.db", script, warm=True)
                    line = self.reference("sqlite3", "-bail", ref / "install" / "kqdata.db", ".read %s" % script)
                    total += float(line["seconds"])
                runs["sql.ref"].append(total)
        shutil.rmtree(ref, ignore_errors=True)

    # --- a big script -----------------------------------------------------------------
    # The step's SQL alone (memory and time against sqlite3 plus the log floor) and the whole
    # update's peak memory, once each: the script is what matters, not the tree.
    def measure_big(self, sample):
        r = self.result
        db = installation_of(sample) / "kqdata.db"
        step = steps_of(sample)[0]
        step_sql = Path(sample, "package", "application", step, "sql")
        log_dir = Path(sample, "package", "log")
        sqlwork = self.work / "sql-big"
        script = sqlwork / (step + ".sql")
        sqlwork.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(db, sqlwork / "before.db")
        r["big.script.mb"] = math.ceil(os.path.getsize(step_sql / "dbupdate.sql") / (1 << 20))
        self.ours(sample, "statements", step, str(script))

        self.settle(db, step_sql, warm=True)
        fresh_directory(log_dir)
        line = self.ours(sample, "sql", step)
        r["big.sql"] = float(line["seconds"])
        r["big.sql.rss"] = int(line["peak_rss_kb"])
        r["big.sql.lines"] = pieces_of(sample, step)
        r["big.sql.logged"] = sql_lines_logged(log_dir)

        shutil.copyfile(sqlwork / "before.db", sqlwork / "reference.db")
        self.settle(sqlwork / "reference.db", script, warm=True)
        line = self.reference("sqlite3", "-bail", sqlwork / "reference.db", ".read %s" % script)
        r["big.sql.ref"] = float(line["seconds"])
        r["big.sql.floor"] = self.log_floor_for(r["big.sql.lines"])
        shutil.copyfile(sqlwork / "before.db", db)
        shutil.rmtree(sqlwork)
        if self.cli:
            self.measure_update(sample, "big", 1)

    # --- package verification ---------------------------------------------------------
    # A package holding the whole installation tree as its common files, with its manifest:
    # every byte is read and hashed, as before an update of a signed package.
    def measure_verify(self, sample, label, n):
        package = self.work / (label + "-package")
        shutil.rmtree(package, ignore_errors=True)
        common = package / "application" / "common"
        common.mkdir(parents=True)
        subprocess.run(["cp", "-r", "%s/." % installation_of(sample), "%s/" % common], check=True)
        shutil.rmtree(common / "backup", ignore_errors=True)
        shutil.copyfile(Path(sample, "package", "version.ini"), package / "version.ini")
        subprocess.run([self.bench, "manifest", str(package)], stdout=subprocess.DEVNULL, check=True)
        self.result[label + ".verify.bytes"] = apparent_mb(package)
        ours_cold, ours_warm = [], []
        for _ in range(n):
            for warm, runs, name in ((False, ours_cold, " verify"), (True, ours_warm, " verify cached")):
                # A package just downloaded or unpacked is still in the page cache.
                self.settle(package, warm=warm)
                status, line = self._run([self.bench, "verify", str(package)], stderr=subprocess.DEVNULL)
                if status != 0:
                    raise Failure("corvane-bench verify %s failed" % package)
                self.record(label + name, line)
                values = fields(line)
                runs.append(float(values["seconds"]))
                if not warm:
                    self.result[label + ".verify.rss"] = int(values["peak_rss_kb"])
        self.result[label + ".verify"] = median(ours_cold)
        self.result[label + ".verify.warm"] = median(ours_warm)
        shutil.rmtree(package)

    def hash_engine(self):
        done = subprocess.run([self.bench, "verify", "/nonexistent"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True)
        found = re.findall(r"SHA-256 by ([A-Za-z]*)", done.stdout)
        return found[-1] if found else ""

    # --- report -----------------------------------------------------------------------
    def row(self, name, ours, ref, target):
        r = ratio(ours, ref)
        if target:
            met = r != "inf" and float(r) <= float(target)
            self.failed = self.failed or not met
            print("%-22s %9.3f s %9.3f s %7s   <= %-5s %s" % (name, ours, ref, r, target, "ok" if met else "MISSED"))
        else:
            print("%-22s %9.3f s %9.3f s %7s" % (name, ours, ref, r))

    def report(self, large_text, small_text, steps):
        print()
        self.log_report()
        print()
        print("Large tree: %s" % large_text)
        print("%-22s %11s %11s %7s   %s" % ("stage", "corvane", "reference", "ratio", "target"))
        self.copies_report()
        self.sql_report(steps)
        self.verify_report()
        if self.cli:
            self.update_report(steps)
        else:
            print("whole update: skipped, corvane-updater-cli is not built")
        print()
        self.big_report()
        print()
        self.memory_report(large_text, small_text)

    def copies_report(self):
        r = self.result
        self.row("backup", r["large.backup"], r["large.backup.ref"], "1.2")
        self.row("backup again", r["large.backup.again"], r["large.backup"], "1.1")
        print("  (over the backup just taken, the installation unchanged; reference: the first backup)")
        self.row("restore", r["large.restore"], r["large.restore.ref"], "1.2")
        self.row("  vs cp that removes", r["large.restore"], r["large.restore.same"], "")
        self.row("restore, failed update", r["large.restore.failed"], r["large.restore.ref"], "0.5")
        print("  (%s files changed by the update; reference: cp -r + sync of the whole tree)" % r["large.changed"])

    def sql_report(self, steps):
        """The rows of every step's SQL."""
        r = self.result
        for step in steps:
            key = "large.sql." + step
            step_ref = g6(r[key + ".ref"] + r[key + ".floor"])
            self.row("sql " + step, r[key], step_ref, "1.3")
            self.row("  without debug log", r[key + ".quiet"], r[key + ".ref"], "")
        print("  (reference: sqlite3 running the same statements in one BEGIN/COMMIT, plus the log floor for the")
        print("   step's %s \"sql:\" lines; without the debug log: sqlite3 alone)" % r["large.sql.%s.lines" % steps[-1]])

    def verify_report(self):
        r = self.result
        self.row("verify (%s MB)" % r["large.verify.bytes"], r["large.verify"], r["large.backup"], "0.3")
        self.row("  package cached", r["large.verify.warm"], r["large.backup"], "0.3")
        print("  (reference: our backup of the installation; every byte of the package read and hashed, "
              "SHA-256 by %s)" % self.hash_engine())

    def update_report(self, steps):
        r = self.result
        # sqlite3 measured beside the update (update_references()), the log floor as for each step.
        sql_ref_sum = g6(r["large.update.sql.ref"] + sum(r["large.sql.%s.floor" % step] for step in steps))
        update_ref = g6(r["large.update.backup.ref"] + sql_ref_sum + r["large.update.common"])
        self.row("whole update", r["large.update"], update_ref, "1.2")
        print("  (reference: cp -r + sync of the backup, of the package's common trees, and sqlite3 plus the log")
        print("   floor of every step)")
        self.row("  checks", r["large.update.check"], update_ref, "")
        self.row("  backup", r["large.update.backup"], r["large.update.backup.ref"], "")
        self.row("  steps' copies", r["large.update.copy"], r["large.update.common"], "")
        self.row("  steps' INI merges", r["large.update.config"], update_ref, "")
        self.row("  steps' SQL", r["large.update.sql"], sql_ref_sum, "")
        self.row("  registry, shortcut", r["large.update.registry"], update_ref, "")
        lines, pieces = r["large.update.sqllines"], r["large.update.pieces"]
        met = lines <= pieces
        self.failed = self.failed or not met
        print("%-22s %11s %11s %7s   <= 1.00 %s" % ('"sql:" lines per piece', lines, pieces, ratio(lines, pieces),
                                                   "ok" if met else "MISSED"))

    def big_report(self):
        r = self.result
        print("Big script: one step of %s MB, %s pieces" % (r["big.script.mb"], r["big.sql.lines"]))
        self.row("sql, big script", r["big.sql"], g6(r["big.sql.ref"] + r["big.sql.floor"]), "1.3")
        self.row("  vs sqlite3 alone", r["big.sql"], r["big.sql.ref"], "")
        print('  "sql:" lines written: %s for %s pieces' % (r["big.sql.logged"], r["big.sql.lines"]))
        if r["big.sql.logged"] > r["big.sql.lines"]:
            print("  more than one line per piece: MISSED")
            self.failed = True
        for stage in ("sql", "update"):
            key = "big.%s.rss" % stage
            if key not in r:
                continue
            met = r[key] < 64 * 1024
            self.failed = self.failed or not met
            print("%-22s %9s MB   <= 64 MB %s" % ("peak memory, " + stage, mb(r[key]), "ok" if met else "MISSED"))
        if "big.update" in r:
            print("%-22s %9.3f s   (checks %.3f, backup %.3f, copies %.3f, SQL %.3f)"
                  % ("whole update, big", r["big.update"], r["big.update.check"], r["big.update.backup"],
                     r["big.update.copy"], r["big.update.sql"]))

    def memory_report(self, large_text, small_text):
        r = self.result
        print("Peak memory (resident set, MB): small tree %s; large tree %s" % (small_text, large_text))
        print("%-22s %11s %11s" % ("process", "small", "large"))
        peak_max = 0
        for stage in ("backup", "restore", "sql", "verify", "update"):
            if "large.%s.rss" % stage not in r:
                continue
            print("%-22s %11s %11s" % (stage, mb(r["small.%s.rss" % stage]), mb(r["large.%s.rss" % stage])))
            peak_max = max(peak_max, r["small.%s.rss" % stage], r["large.%s.rss" % stage])
        if peak_max < 80 * 1024:
            print("highest peak %s MB   <= 80 MB ok" % mb(peak_max))
        else:
            print("highest peak %s MB   <= 80 MB MISSED" % mb(peak_max))
            self.failed = True


def describe(sample):
    install = installation_of(sample)
    count = sum(1 for f in files_below(install) if f.is_file() and not f.is_symlink())
    return "%d files, %s MB" % (count, apparent_mb(install))


def make_sample(directory, args, build_dir):
    subprocess.run([sys.executable, str(ROOT / "scripts" / "make-sample.py"), "--root", str(directory), "--seed", "1",
                    "--build", str(build_dir)] + args, stdout=subprocess.DEVNULL, check=True)


def build(build_dir):
    """Builds what the run needs; returns corvane-bench, corvane-updater-cli (or None) and
    corvane-package."""
    if not Path(build_dir, "CMakeCache.txt").is_file():
        subprocess.run(["cmake", "--preset", "release", "-B", build_dir], cwd=str(ROOT),
                       stdout=subprocess.DEVNULL, check=True)
    cache = Path(build_dir, "CMakeCache.txt").read_text()
    found = re.search(r"^CMAKE_BUILD_TYPE:[A-Z]*=(.*)$", cache, re.M)
    build_type = found.group(1) if found else ""
    if build_type != "Release":
        sys.stderr.write("warning: %s is a '%s' build; figures of a Release build are the ones to compare\n"
                         % (build_dir, build_type))
    # The samples' packages are built by corvane-package, with the build's string table.
    targets = ["corvane-bench", "corvane-package", "string_table"]
    listed = subprocess.run(["cmake", "--build", build_dir, "--target", "help"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, universal_newlines=True).stdout
    if "corvane-updater-cli" in listed:
        targets.append("corvane-updater-cli")
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1), "--target"] + targets,
                   stdout=subprocess.DEVNULL, check=True)
    cli = Path(build_dir, "corvane-updater-cli")
    return (Path(build_dir, "bench", "corvane-bench"), cli if os.access(cli, os.X_OK) else None,
            Path(build_dir, "tools", "corvane-package"))


def sample_sizes(quick):
    """make-sample's options of the large, small and big samples, and the MB they need."""
    # --quick shrinks the large sample and the big script to try the benchmark out.
    if quick:
        large = ["--files", "1000", "--total-mb", "60", "--db-rows", "20000", "--common-files", "60",
                 "--sql-statements", "4000"]
        big_statements, need_mb = 250000, 1000
    else:
        large = ["--files", "5000", "--total-mb", "300", "--db-rows", "100000", "--common-files", "300",
                 "--sql-statements", "20000"]
        big_statements, need_mb = 1200000, 4700
    small = ["--files", "500", "--total-mb", "30", "--db-rows", "100000", "--common-files", "300",
             "--sql-statements", "20000"]
    # One step whose script is large; the rest small.
    big = ["--files", "200", "--total-mb", "10", "--db-rows", "20000", "--common-files", "20", "--steps", "1",
           "--sql-statements", str(big_statements)]
    return {"large": large, "small": small, "big": big}, need_mb


def measure_all(b, work, reps):
    large, small, big = work / "large", work / "small", work / "big"
    if b.cli:
        b.keep_pristine(large, "large")
        b.keep_pristine(small, "small")
        b.keep_pristine(big, "big")
    print("log line ...")
    b.measure_log(reps)
    print("backup and restore ...")
    b.measure_copies(large, "large", reps)
    b.measure_copies(small, "small", 1)
    print("SQL of every step ...")
    b.measure_sql(large, "large", reps)
    b.measure_sql(small, "small", 1)
    print("verifying a package as large as the installation ...")
    b.measure_verify(large, "large", reps)
    b.measure_verify(small, "small", 1)
    if b.cli:
        print("whole update ...")
        b.measure_update(large, "large", reps)
        b.measure_update(small, "small", 1)
    print("a big script ...")
    b.measure_big(big)


def run(opts):
    for tool in ("sqlite3", "cmake"):
        if shutil.which(tool) is None:
            sys.stderr.write("%s is missing (scripts/setup.sh installs it)\n" % tool)
            return 2
    cache = choose_cache(opts["cache"])
    samples, need_mb = sample_sizes(opts["quick"])

    # The installation, its backup, the cp reference, a pristine copy for the whole-update
    # runs and the package, for the large sample; a tenth of that for the small one; the
    # big script, its statements for sqlite3 and the copies of its database.
    parent = opts["dir"]
    os.makedirs(parent, exist_ok=True)
    st = os.statvfs(parent)
    avail_mb = st.f_bavail * st.f_frsize // (1 << 20)
    if opts["log_only"]:
        need_mb = 100
    if avail_mb < need_mb:
        sys.stderr.write("only %d MB free below %s; the benchmark needs about %d MB (--dir elsewhere)\n"
                         % (avail_mb, parent, need_mb))
        return 2

    bench, cli, package_tool = build(opts["build"])
    work = tempfile.mkdtemp(prefix="corvane-bench.", dir=parent)
    b = Bench(opts, cache, bench, cli, package_tool, work)
    try:
        print("corvane benchmark: median of %d runs, caches %s before every run, work in %s"
              % (opts["reps"], cache, work))
        if not opts["same_fs"] and not opts["log_only"]:
            b.fs_kind = fresh_fs_kind(work)
        print("whole updates and their references on %s"
              % ("a new %s file system each (loop device)" % b.fs_kind[0] if b.fs_kind else "the work directory's disk"))
        reps = opts["reps"]
        if opts["log_only"]:
            b.measure_log(reps)
            b.log_report()
            return 1 if b.failed else 0
        print("making the samples ...")
        for label, args in samples.items():
            make_sample(Path(work, label), args, opts["build"])
        large_dir = Path(work, "large")
        large_text, small_text = describe(large_dir), describe(Path(work, "small"))
        measure_all(b, Path(work), reps)
        b.report(large_text, small_text, steps_of(large_dir))
        print("all targets met" if not b.failed else "targets missed")
        return 1 if b.failed else 0
    except Failure as error:
        sys.stderr.write("%s\n" % error)
        return 1
    except subprocess.CalledProcessError as error:
        sys.stderr.write("%s failed (exit status %s)\n" % (" ".join(map(str, error.cmd)), error.returncode))
        return 1
    finally:
        if opts["keep"]:
            print("kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def main():
    sys.stdout.reconfigure(line_buffering=True)
    return run(parse_options(sys.argv[1:]))


if __name__ == "__main__":
    sys.exit(main())
