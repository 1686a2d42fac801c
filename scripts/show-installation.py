#!/usr/bin/env python3
"""Shows what an update did to an installation: registry entry, update flag, configuration
keys (which ones the update keeps because only the installation has them), database
schema and rows, desktop shortcut and backup.

    scripts/show-installation.py --root /tmp/sample          (a tree from make-sample.py)
    scripts/show-installation.py /path/to/Ostrelle --config-home ~/.config --package ./package

With --changes-from BEFORE.db (a copy of kqdata.db taken before the update) and a package,
it also replays the package's SQL scripts statement by statement on a copy of BEFORE.db,
as the updater runs them (comments, IFN_COL guards decided before the script runs), and
lists every row and column the scripts changed with the statement that changed it; then
it compares the replay's result with the installation's kqdata.db.

Without an installation directory the one named by the registry entry ("DisplayIcon" up
to its last separator) is shown, as the updater finds it. INI files are read by the build's
corvane-package ("corvane-package ini read", --build), as the updater reads them. Only
reads; changes nothing.
"""

import argparse
import importlib.util
import os
import shutil
import sqlite3
import sys
import tempfile
from pathlib import Path

# Loaded by path (the file name has a hyphen); keep the source tree free of caches.
sys.dont_write_bytecode = True
_spec = importlib.util.spec_from_file_location("make_sample", Path(__file__).with_name("make-sample.py"))
sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sample)


def registry_files(config_home):
    base = Path(config_home) / "Corvane" / "registry" / sample.UNINSTALL_KEY_PATH
    return [(name, base / ("%s.ini" % name)) for name in sample.DISPLAY_NAMES]


# The build whose corvane-package reads INI files as the updater does (--build).
TOOL = sample.package_tool(sample.DEFAULT_BUILD)


def read_inis(paths):
    """Per path: {"marked": whether its markers are valid, "keys": its keys}, as the
    updater reads the file; None for a path that is no file."""
    present = [p for p in paths if Path(p).is_file()]
    read = sample.read_ini_files(TOOL, present)
    return {p: read.get(p) for p in paths}


def read_ini(path):
    return read_inis([path])[path]


def keys_of(path):
    read = read_ini(path)
    return None if read is None else read["keys"]


def install_dir_of(icon):
    cut = max(icon.rfind("/"), icon.rfind("\\"))
    return icon[:cut] if cut >= 0 else icon


def shorten(value, width=48):
    text = ", ".join(value) if isinstance(value, list) else str(value)
    text = text.replace("\n", "\\n")
    return text if len(text) <= width else text[:width - 3] + "..."


def package_keys(package_dir):
    """Per INI file name: full key -> value of the last step that sets it."""
    result = {}
    application = Path(package_dir) / "application"
    if not application.is_dir():
        return result
    for step in sorted((d for d in application.iterdir() if d.is_dir() and d.name != "common"), key=step_order):
        config = step / "config"
        if not config.is_dir():
            continue
        inis = [p for p in sorted(config.iterdir()) if p.suffix.lower() == ".ini"]
        for path, read in read_inis(inis).items():
            result.setdefault(path.name, {}).update(read["keys"] if read else {})
    return result


def step_order(path):
    parts = path.name.replace("_to_", "_").split("_")
    try:
        return [int(p) for p in parts]
    except ValueError:
        return [1 << 30, path.name]


def show_registry(out, config_home):
    out("Uninstall registry entry (stand-in: %s)" % (Path(config_home) / "Corvane" / "registry"))
    icon = None
    for name, path in registry_files(config_home):
        values = keys_of(path)
        if values is None:
            out("  %s: no key" % name)
            continue
        out("  %s: %s" % (name, path.relative_to(config_home)))
        for key in ("DisplayVersion", "DisplayName", "DisplayIcon"):
            out("    %-15s %s" % (key, values.get(key, "(absent)")))
        icon = icon or values.get("DisplayIcon")
    return icon


def show_flag_and_backup(out, install):
    flag_file = install / "config" / "UPDATER.ini"
    read = read_ini(flag_file)
    if read is None:
        out("  update flag     absent (no config/UPDATER.ini): consistent")
    else:
        flag = read["keys"].get("UPDATE/FLAG", "(absent)")
        meaning = {"true": "consistent", "false": "an update stopped after its backup: the next run restores",
                   "(absent)": "consistent"}.get(flag, "unexpected value")
        state = "" if read["marked"] else " (markers damaged: the updater repairs the file)"
        out("  update flag     UPDATE/FLAG = %s: %s%s" % (flag, meaning, state))
    backup = install / "backup"
    if backup.is_dir():
        files = sum(1 for p in backup.rglob("*") if p.is_file())
        out("  backup/         present, %d files" % files)
    else:
        out("  backup/         absent")


def show_shortcut(out, home):
    desktop = Path(home) / "Desktop"
    found = False
    for name in sample.DISPLAY_NAMES:
        link = desktop / ("%s.lnk" % name)
        if link.is_symlink():
            target = os.readlink(link)
            out("  %s -> %s (%s)" % (link, target, "target exists" if Path(target).exists() else "target missing"))
            found = True
        elif link.exists():
            out("  %s (a file, not a link)" % link)
            found = True
    if not found:
        out("  none in %s" % desktop)


def show_config(out, install, package_dir, max_keys):
    config = install / "config"
    if not config.is_dir():
        out("  no config/ directory")
        return
    from_package = package_keys(package_dir) if package_dir else {}
    for path in sorted(config.iterdir(), key=lambda p: p.name.lower()):
        if path.name == "UPDATER.ini" or path.name.endswith(".bak"):
            continue
        if path.suffix.lower() != ".ini":
            out("  %s (%d bytes, replaced whole by a package)" % (path.name, path.stat().st_size))
            continue
        read = read_ini(path) or {"marked": False, "keys": {}}
        keys = read["keys"]
        state = "markers ok" if read["marked"] else "markers DAMAGED"
        bak = ", .bak beside it" if path.with_name(path.name + ".bak").exists() else ""
        out("  %s (%s%s)" % (path.name, state, bak))
        package = from_package.get(path.name)
        rows = []
        for key, value in keys.items():
            if package is None:
                note = ""
            elif key not in package:
                note = "kept (installation only)"
            elif package[key] == value:
                note = "from package"
            else:
                note = "package sets %s" % shorten(package[key], 24)
            rows.append((key, shorten(value, 30), note))
        if package:
            rows += [(key, "(missing)", "package adds %s" % shorten(value, 24))
                     for key, value in package.items() if key not in keys]
        width = max([len(r[0]) for r in rows[:max_keys]] + [10])
        for key, value, note in rows[:max_keys]:
            out(("    %-*s = %-30s %s" % (width, key, value, note)).rstrip())
        if len(rows) > max_keys:
            out("    ... %d more keys" % (len(rows) - max_keys))


WHOLE_TABLE_ROWS = 12


def show_database(out, install, max_rows):
    path = install / sample.DATABASE_NAME
    if not path.is_file():
        out("  no %s" % sample.DATABASE_NAME)
        return
    con = sqlite3.connect(path.resolve().as_uri() + "?mode=ro", uri=True)
    try:
        tables = [r[0] for r in con.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name")]
        for table in tables:
            columns = [r[1] for r in con.execute("PRAGMA table_info(%s)" % table)]
            count = con.execute("SELECT COUNT(*) FROM %s" % table).fetchone()[0]
            out("  %s (%d rows): %s" % (table, count, ", ".join(columns)))
            # Small tables (settings and the like) are shown whole.
            limit = count if count <= WHOLE_TABLE_ROWS else max_rows
            for row in con.execute("SELECT * FROM %s ORDER BY rowid LIMIT %d" % (table, limit)):
                out("      " + " | ".join(shorten("NULL" if v is None else v, 28) for v in row))
            if count > limit:
                out("      ... %d more rows" % (count - limit))
    finally:
        con.close()


def script_statements(path):
    """The statements of a dbupdate.sql as the updater's parser makes them: lines starting
    with '#' and blank lines dropped, the rest cut at every ';'. Yields (line, text)."""
    text = []
    line_of = []  # the source line of each character of text
    data = path.read_bytes()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    for number, raw in enumerate(data.split(b"\n"), 1):
        line = raw + b"\n"
        if line.startswith(b"#") or not line.strip():
            continue
        decoded = line.split(b"\0")[0].decode("utf-8", "replace")
        text.append(decoded)
        line_of.extend([number] * len(decoded))
    joined = "".join(text)
    start = 0
    for end in [i for i, c in enumerate(joined) if c == ";"] + [len(joined)]:
        piece = joined[start:end]
        stripped = piece.strip()
        if stripped:
            first = start + (len(piece) - len(piece.lstrip()))
            yield line_of[first], stripped
        start = end + 1


def table_info(con):
    info = {}
    for (table, create) in con.execute(
            "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"):
        columns = [(r[1], r[5]) for r in con.execute('PRAGMA table_info("%s")' % table)]
        keys = [name for name, pk in sorted(columns, key=lambda c: c[1]) if pk]
        info[table] = {"create": create or "", "columns": [c[0] for c in columns], "keys": keys}
    return info


def table_rows(con, table, info):
    keys = info["keys"] or ["rowid"]
    columns = info["columns"]
    select = ", ".join('"%s"' % c for c in columns)
    key_select = ", ".join(k if k == "rowid" else '"%s"' % k for k in keys)
    rows = {}
    for row in con.execute('SELECT %s, %s FROM "%s"' % (key_select, select, table)):
        rows[tuple(row[:len(keys)])] = dict(zip(columns, row[len(keys):]))
    return rows


def snapshot(con):
    info = table_info(con)
    return info, {table: table_rows(con, table, table_info_entry) for table, table_info_entry in info.items()}


def literal(value):
    if value is None:
        return "NULL"
    if isinstance(value, str):
        return "'%s'" % shorten(value, 30)
    return str(value)


def describe_key(keys, key):
    return " ".join("%s %s" % (k, shorten(v, 24)) for k, v in zip(keys or ["rowid"], key))


def diff(before, after):
    """What one statement changed: a list of (table, text)."""
    info_before, rows_before = before
    info_after, rows_after = after
    changes = []
    for table in sorted(set(info_before) | set(info_after)):
        if table not in info_after:
            changes.append((table, "table dropped"))
            continue
        if table not in info_before:
            changes.append((table, "table created (%s)" % ", ".join(info_after[table]["columns"])))
            old_rows, old_columns = {}, set()
        else:
            old_rows, old_columns = rows_before[table], set(info_before[table]["columns"])
            for column in info_after[table]["columns"]:
                if column not in old_columns:
                    values = {r.get(column) for r in rows_after[table].values()}
                    shown = (" = %s in every row" % literal(values.pop())) if len(values) == 1 else ""
                    changes.append((table, "column %s added%s" % (column, shown)))
        keys = info_after[table]["keys"]
        new_rows = rows_after[table]
        for key in sorted(set(old_rows) | set(new_rows), key=lambda k: [str(v) for v in k]):
            old, new = old_rows.get(key), new_rows.get(key)
            where = describe_key(keys, key)
            if old is None:
                if table in info_before:
                    changes.append((table, "%s: added (%s)" % (where, ", ".join(
                        "%s=%s" % (c, literal(v)) for c, v in new.items() if c not in keys))))
            elif new is None:
                changes.append((table, "%s: removed" % where))
            else:
                changed = ["%s %s -> %s" % (c, literal(old[c]), literal(new[c]))
                           for c in new if c in old and old[c] != new[c]]
                if changed:
                    changes.append((table, "%s: %s" % (where, "; ".join(changed))))
    return changes


def ifn_col_keeps(con, directive):
    fields = directive.split("|")
    if len(fields) != 3:
        return None
    row = con.execute("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?", (fields[1],)).fetchone()
    create = (row[0] or "") if row else ""
    # The statement runs when the table's CREATE statement does not mention the column.
    return fields[2].lower() not in create.lower()


def show_changes(out, before_db, install, package_dir, from_version, per_table):
    application = Path(package_dir) / "application"
    steps = sorted((d for d in application.iterdir() if d.is_dir() and d.name != "common"), key=step_order)
    if from_version:
        start = [int(p) for p in from_version.split(".")[:2]]
        steps = [s for s in steps if step_order(s)[:2] >= start]
    work = Path(tempfile.mkdtemp(prefix="show-installation."))
    try:
        replay = work / "replay.db"
        shutil.copyfile(before_db, replay)
        con = sqlite3.connect(replay, isolation_level=None)
        by_table = {}
        order = []
        statements = 0
        for step in steps:
            script = step / "sql" / "dbupdate.sql"
            if not script.is_file():
                continue
            parsed = list(script_statements(script))
            # The guards are decided before any statement of the script runs.
            decisions = {text: ifn_col_keeps(con, text) for _, text in parsed if text.startswith("IFN_COL")}
            skip_next = False
            con.execute("BEGIN")
            for line, text in parsed:
                if text.startswith("IFN_COL"):
                    skip_next = decisions[text] is False
                    continue
                if skip_next:
                    skip_next = False
                    continue
                before = snapshot(con)
                con.execute(text)
                statements += 1
                where = "%s line %d" % (step.name, line)
                for table, change in diff(before, snapshot(con)):
                    if table not in by_table:
                        by_table[table] = []
                        order.append(table)
                    by_table[table].append((change, where, " ".join(text.split())))
            con.execute("COMMIT")
        out("Database changes, row by row, and the statement that made each (%d statements of %s replayed "
            "on the database as it was before)" % (statements, ", ".join(s.name for s in steps) or "no step"))
        if not order:
            out("  none")
        for table in sorted(order):
            changes = by_table[table]
            out("  %s (%d changes)" % (table, len(changes)))
            for change, where, text in changes[:per_table]:
                out("    %s" % change)
                out("        by %s: %s" % (where, shorten(text, 90)))
            if len(changes) > per_table:
                out("    ... %d more changes (--changes-per-table)" % (len(changes) - per_table))
        installed = install / sample.DATABASE_NAME
        if installed.is_file():
            actual = sqlite3.connect(installed.resolve().as_uri() + "?mode=ro", uri=True)
            same = snapshot(actual)[1] == snapshot(con)[1]
            actual.close()
            out("  The replay %s the rows of the installation's %s." % (
                "ends with exactly" if same else "does NOT end with", sample.DATABASE_NAME))
        con.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def show_package(out, package_dir):
    package = Path(package_dir)
    version = (keys_of(package / "version.ini") or {}).get("RELEASE/VERSION", "(none)")
    application = package / "application"
    steps = sorted((d.name for d in application.iterdir() if d.is_dir() and d.name != "common"),
                   key=lambda n: step_order(Path(n))) if application.is_dir() else []
    out("Package %s" % package)
    out("  version.ini     RELEASE/VERSION = %s" % version)
    out("  steps           %s" % (", ".join(steps) or "none"))
    out("  string.bin      %s" % ("present" if (package / "string.bin").is_file() else "absent"))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Show an installation of Ostrelle/Ketterin as the updater sees it.")
    parser.add_argument("install_dir", nargs="?", type=Path,
                        help="installation directory (default: the one the registry entry names)")
    parser.add_argument("--root", type=Path, help="a make-sample.py root: sets the defaults below")
    parser.add_argument("--config-home", type=Path,
                        help="XDG config home with the registry stand-in (default: $XDG_CONFIG_HOME or ~/.config)")
    parser.add_argument("--home", type=Path, help="home directory with Desktop/ (default: $HOME)")
    parser.add_argument("--package", type=Path, help="update package, to tell package keys from kept ones")
    parser.add_argument("--rows", type=int, default=3, help="rows shown per table (default: 3)")
    parser.add_argument("--keys", type=int, default=40, help="keys shown per INI file (default: 40)")
    parser.add_argument("--changes-from", type=Path, metavar="BEFORE_DB",
                        help="kqdata.db as it was before the update: list what the package's scripts changed")
    parser.add_argument("--from-version", help="with --changes-from: the version the update started from "
                        "(default: every step of the package)")
    parser.add_argument("--changes-per-table", type=int, default=1000,
                        help="changes listed per table (default: 1000)")
    parser.add_argument("--changes-only", action="store_true",
                        help="with --changes-from: show only the scripts' changes")
    parser.add_argument("--build", type=Path, metavar="BUILD_DIR",
                        help="the build whose tools/corvane-package reads the INI files (default: "
                             "$CORVANE_BUILD, else build/release)")
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    global TOOL
    if args.build:
        TOOL = sample.package_tool(args.build)
    if not os.access(TOOL, os.X_OK):
        sys.stderr.write("show-installation: no %s: build corvane-package or name a build with --build\n" % TOOL)
        return 2
    try:
        return show(args)
    except sample.SampleError as error:
        sys.stderr.write("show-installation: %s\n" % error)
        return 2


def show(args):

    home = args.home or (args.root / "home" if args.root else Path(os.environ.get("HOME", "~")).expanduser())
    config_home = args.config_home or (args.root / "home" / ".config" if args.root else
                                       Path(os.environ.get("XDG_CONFIG_HOME") or Path(home) / ".config"))
    package = args.package or (args.root / "package" if args.root and (args.root / "package").is_dir() else None)

    lines = []
    out = lines.append
    icon = show_registry(out, config_home)
    install = args.install_dir or (Path(install_dir_of(icon)) if icon else None)
    if install is None:
        print("\n".join(lines))
        sys.stderr.write("show-installation: no installation directory given and no registry entry names one\n")
        return 2
    if args.changes_only and args.changes_from and package and install.is_dir():
        lines = []
        show_changes(lines.append, args.changes_from, install, package, args.from_version, args.changes_per_table)
        print("\n".join(lines))
        return 0
    out("")
    out("Installation %s" % install)
    if not install.is_dir():
        print("\n".join(lines + ["  does not exist"]))
        return 1
    show_flag_and_backup(out, install)
    out("")
    out("Desktop shortcut")
    show_shortcut(out, home)
    out("")
    out("Configuration (config/)" + ("" if package else "; pass --package to see which keys are kept"))
    show_config(out, install, package, args.keys)
    out("")
    out("Database (%s)" % sample.DATABASE_NAME)
    show_database(out, install, args.rows)
    if args.changes_from:
        if not package:
            sys.stderr.write("show-installation: --changes-from needs --package (or --root)\n")
            return 2
        out("")
        show_changes(out, args.changes_from, install, package, args.from_version, args.changes_per_table)
    if package:
        out("")
        show_package(out, package)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
