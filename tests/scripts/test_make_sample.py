#!/usr/bin/env python3
"""Checks that scripts/make-sample.py makes a valid installation, registry entry and
update package, that the package's SQL scripts run on the sample database in order (as
the updater runs them), and that scripts/show-installation.py reports both the fresh
and an updated installation.

Run: python3 -m unittest discover -s tests/scripts   (or this file directly)
"""

import hashlib
import importlib.util
import os
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
MAKE_SAMPLE = REPO / "scripts" / "make-sample.py"
SHOW_INSTALLATION = REPO / "scripts" / "show-installation.py"

# Loaded by path (the file name has a hyphen); keep the source tree free of caches.
sys.dont_write_bytecode = True
_spec = importlib.util.spec_from_file_location("make_sample", MAKE_SAMPLE)
sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sample)

UNINSTALL = "Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall"
MARK_LINES = (b"[ZRFILE_BEGIN]\nCODE=tarnwoven\n", b"[ZRFILE_END]\nCODE=tarnwoven\n")
READ_LIMIT = 10199  # the updater reads a script line in pieces of at most this many bytes
# The updater's names, as the build's corvane-package prints them (CORVANE_BUILD names the build).
TOOL = sample.package_tool(sample.DEFAULT_BUILD)
RESERVED = sample.reserved_names(TOOL)


def run(script, *args, check=True):
    result = subprocess.run([sys.executable, str(script)] + [str(a) for a in args],
                            capture_output=True, text=True, timeout=600)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (script.name, result.returncode, result.stdout, result.stderr))
    return result


def make(root, *args):
    return run(MAKE_SAMPLE, "--root", root, *args)


def files_under(path):
    return sorted(p for p in Path(path).rglob("*") if p.is_file())


def tree_digest(path):
    return {str(p.relative_to(path)): hashlib.sha256(p.read_bytes()).hexdigest() for p in files_under(path)}


def steps_of(package):
    return sorted((d for d in (package / "application").iterdir() if d.is_dir() and d.name != "common"),
                  key=lambda d: [int(x) for x in d.name.replace("_to_", "_").split("_")])


class UpdateScript:
    """Reads a dbupdate.sql the way the updater does: whole lines starting with "#" and
    blank lines are dropped, the rest is cut at every ";", and an IFN_COL|table|column
    directive keeps the next statement only when the table's CREATE statement does not
    contain the column name (a case-insensitive LIKE), judged before anything runs."""

    def __init__(self, path):
        self.path = path
        self.data = path.read_bytes()

    def pieces(self):
        kept = []
        for line in self.data.split(b"\n"):
            if not line.strip() or line.startswith(b"#"):
                continue
            kept.append(line.decode("utf-8") + "\n")
        return [p for p in "".join(kept).split(";") if p]

    def parse(self, con):
        statements, guards = [], []
        skip = False
        for piece in self.pieces():
            text = piece.strip()
            if not text:
                continue
            if text.startswith("IFN_COL"):
                fields = text.split("|")
                if len(fields) != 3:
                    raise AssertionError("malformed directive %r in %s" % (text, self.path))
                table, column = fields[1], fields[2]
                like = con.execute("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ? "
                                   "AND sql LIKE ?", (table, "%" + column + "%")).fetchone()[0] > 0
                exact = column in [r[1] for r in con.execute("PRAGMA table_info(%s)" % table)]
                guards.append((table, column, like, exact))
                skip = like
                continue
            if not skip:
                statements.append(text)
            skip = False
        return statements, guards

    def apply(self, con):
        """Parses, then runs every statement in one transaction; returns the guards."""
        statements, guards = self.parse(con)
        con.execute("BEGIN")
        for text in statements:
            try:
                con.execute(text)
            except sqlite3.Error as error:
                con.execute("ROLLBACK")
                raise AssertionError("%s: %s\nin: %s" % (self.path, error, text))
        con.execute("COMMIT")
        return guards


def read_ini(path):
    """{"marked": ..., "keys": {...}} of one INI file, as the updater reads it."""
    return sample.read_ini_files(TOOL, [path])[path]


def ini_keys(path):
    return read_ini(path)["keys"]


def merge_configs(install_config, step_config):
    """The configuration step as the updater does it, on the keys read: INI files merged
    key by key (package wins, installation-only keys stay), other files replaced."""
    for path in sorted(step_config.iterdir()):
        target = install_config / path.name
        if path.suffix.lower() == ".ini" and target.exists():
            keys = ini_keys(target)
            keys.update(ini_keys(path))
            shutil.copyfile(target, str(target) + ".bak")
            sample.write_ini_files(TOOL, {target: keys})
        else:
            shutil.copyfile(path, target)


def table_counts(con, tables=("customers", "products", "orders", "order_items")):
    return {t: con.execute("SELECT COUNT(*) FROM %s" % t).fetchone()[0] for t in tables}


class SmallSampleTest(unittest.TestCase):
    """The default sample (the newcomer demo), made once and only read."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="make-sample-")
        cls.root = Path(cls.tmp.name) / "sample"
        cls.output = make(cls.root, "--seed", "7").stdout
        cls.install = cls.root / "Programs" / "Ostrelle"
        cls.package = cls.root / "package"
        cls.registry = cls.root / "home" / ".config" / UNINSTALL / "Ostrelle.ini"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_help_and_summary(self):
        self.assertIn("--sql-statements", run(MAKE_SAMPLE, "--help").stdout)
        for text in (str(self.install), str(self.registry), str(self.package), "3_2_to_3_3",
                     "version 3.2.0", "version 3.5", "no config/UPDATER.ini", "built by corvane-package build",
                     "updater files  string.bin"):
            self.assertIn(text, self.output)

    def test_installation_layout(self):
        program_files = [p for p in files_under(self.install)
                         if p.relative_to(self.install).parts[0] != "config" and p.name != "kqdata.db"]
        self.assertEqual(len(program_files), 30)
        self.assertTrue((self.install / "ostrelle.exe").is_file())
        self.assertGreaterEqual(max(len(p.relative_to(self.install).parts) for p in program_files), 4)
        # Reserved names that the backup leaves out are part of a real installation.
        for name in ("image", "log", "install.log"):
            self.assertTrue((self.install / name).exists(), name)
        self.assertFalse((self.install / "config" / "UPDATER.ini").exists())
        self.assertFalse((self.install / "backup").exists())
        self.assertTrue((self.root / "home" / "Desktop").is_dir())
        self.assertEqual((self.install / "docs" / "readme.txt").read_text().splitlines()[0],
                         "Ostrelle 3.2.0 - read me")

    def test_registry_key_names_the_program(self):
        raw = self.registry.read_bytes()
        self.assertTrue(raw.startswith(b"[General]\n"))
        values = ini_keys(self.registry)
        self.assertFalse(read_ini(self.registry)["marked"])
        self.assertEqual(values["DisplayVersion"], "3.2.0")
        self.assertEqual(values["DisplayName"], "Ostrelle 3.2.0")
        icon = values["DisplayIcon"]
        self.assertEqual(icon, str(self.install / "ostrelle.exe"))
        self.assertEqual(icon[:icon.rfind("/")], str(self.install))
        self.assertFalse((self.registry.parent / "Ketterin.ini").exists())

    def test_every_ini_file_is_marked(self):
        inis = list((self.install / "config").glob("*.ini")) + list(self.package.rglob("*.ini"))
        self.assertGreaterEqual(len(inis), 8)
        for path in inis:
            raw = path.read_bytes()
            for marker in MARK_LINES:
                self.assertIn(marker, raw, path)
        for path, read in sample.read_ini_files(TOOL, inis).items():
            self.assertTrue(read["marked"], path)
        self.assertEqual(ini_keys(self.package / "version.ini")["RELEASE/VERSION"], "3.5")

    def test_package_steps_and_layout(self):
        self.assertEqual([d.name for d in steps_of(self.package)], ["3_2_to_3_3", "3_3_to_3_4", "3_4_to_3_5"])
        self.assertTrue((self.package / "application" / "common").is_dir())
        self.assertEqual((self.package / "string.bin").read_bytes(), (sample.DEFAULT_BUILD / "string.bin").read_bytes())
        for index, step in enumerate(steps_of(self.package)):
            # The first release also brings the files every later one has (a licence, a certificate).
            self.assertEqual(len(files_under(step / "common")), 8 if index == 0 else 6, step)
            # The second release deletes a plug-in and a document.
            removals = (step / "remove.list").read_text().splitlines()[1:] if index == 1 else []
            self.assertEqual(len(removals), 2 if index == 1 else 0, step)
            self.assertEqual((step / "remove.list").exists(), index == 1, step)
            config = list((step / "config").iterdir())
            self.assertTrue(all(p.is_file() for p in config), "the config step only takes files: %s" % step)
            self.assertTrue(any(p.suffix == ".ini" for p in config))
            self.assertTrue(any(p.suffix == ".xml" for p in config))
            self.assertTrue((step / "sql" / "dbupdate.sql").is_file())
            self.assertEqual((step / "common" / "docs" / "readme.txt").read_text().split(" - ")[0],
                             "Ostrelle " + step.name.split("_to_")[1].replace("_", "."))

    def test_package_files_fit_the_installation(self):
        # The file steps copy trees over the installation and stop at the first clash: a
        # file where the installation has a directory or the other way round. Hidden
        # files are not copied at all, and program trees must not carry the configuration
        # or the database, which have steps of their own.
        trees = [self.package / "application" / "common"] + [s / "common" for s in steps_of(self.package)]
        for tree in trees:
            for path in files_under(tree):
                relative = path.relative_to(tree)
                self.assertFalse(any(part.startswith(".") for part in relative.parts), path)
                self.assertNotIn(relative.parts[0], ("config", "kqdata.db", "backup"), path)
                self.assertFalse(any(sample.is_reserved_path("/".join(relative.parts[:i + 1]), RESERVED)
                                     for i in range(len(relative.parts))), path)
                self.assertFalse((self.install / relative).is_dir(), path)
                for parent in list(relative.parents)[:-1]:
                    self.assertFalse((self.install / parent).is_file(), path)
        changed = [p for t in trees for p in files_under(t) if (self.install / p.relative_to(t)).is_file()]
        self.assertTrue(changed, "some package files replace installed ones")

    def test_configuration_merge_adds_changes_and_keeps_keys(self):
        work = Path(self.tmp.name) / "merge"
        shutil.copytree(self.install / "config", work)
        before = ini_keys(work / "ostrelle.ini")
        for step in steps_of(self.package):
            merge_configs(work, step / "config")
        merged = read_ini(work / "ostrelle.ini")
        self.assertTrue(merged["marked"])
        after = merged["keys"]
        self.assertEqual(after["configVersion"], "3.5")                      # changed by the package
        self.assertEqual(after["Database/busyTimeoutMs"], "5000")
        self.assertEqual(after["Database/journalMode"], "WAL")               # new
        self.assertEqual(after["MainWindow/toolbarIconSize"], "24")          # new, in a group with kept keys
        for key in ("MainWindow/pos", "MainWindow/splitterSizes", "RecentFiles/lastFile", "User/name",
                    "User/signature", "theme"):
            self.assertEqual(after[key], before[key], key)                   # only the installation has them
        self.assertEqual(after["RecentFiles/lastFile"], "/home/zoe/Dokumente/Überweisung März 2024.kq")
        self.assertEqual(after["User/signature"], "Mit freundlichen Grüßen, Zoë Ångström")
        self.assertEqual(after["MainWindow/splitterSizes"], ["240", "1040"])
        self.assertEqual(ini_keys(work / "network.ini")["Server/port"], "9443")
        # A package INI file the installation lacks arrives byte for byte.
        self.assertEqual((work / "cloud.ini").read_bytes(),
                         (self.package / "application" / "3_3_to_3_4" / "config" / "cloud.ini").read_bytes())
        self.assertIn(b'version="3.5"', (work / "menus.xml").read_bytes())

    def test_database_rows(self):
        con = sqlite3.connect(self.install / "kqdata.db")
        try:
            self.assertEqual(sum(table_counts(con).values()), 200)
            self.assertEqual(con.execute("SELECT value FROM settings WHERE key = 'schema_version'").fetchone()[0], "3.2")
            names = [r[0] for r in con.execute("SELECT name FROM customers")]
            self.assertTrue(any(not n.isascii() for n in names))
            self.assertEqual(con.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        finally:
            con.close()

    def test_sql_scripts_run_in_order_and_again(self):
        db = Path(self.tmp.name) / "apply" / "kqdata.db"
        db.parent.mkdir()
        shutil.copyfile(self.install / "kqdata.db", db)
        con = sqlite3.connect(db, isolation_level=None)
        try:
            base_counts = table_counts(con)
            scripts = [UpdateScript(s / "sql" / "dbupdate.sql") for s in steps_of(self.package)]
            for script in scripts:
                self.assertEqual(len([p for p in script.pieces() if p.strip()]), 40, script.path)
                self.assertTrue(all(len(line) < READ_LIMIT for line in script.data.split(b"\n")))
                guards = script.apply(con)
                for table, column, like, exact in guards:
                    # The updater's test is a substring match; the sample must not depend on it.
                    self.assertEqual(like, exact, "%s: IFN_COL|%s|%s" % (script.path, table, column))
                self.assertTrue(any(not g[2] for g in guards), "a guard that adds a column")
                self.assertTrue(any(g[2] for g in guards), "a guard that skips a present column")
            columns = {r[1] for r in con.execute("PRAGMA table_info(customers)")}
            self.assertTrue({"email", "country_code", "loyalty_points", "newsletter"} <= columns)
            tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            self.assertTrue({"customer_notes", "invoices", "audit_log"} <= tables)
            self.assertEqual(con.execute("SELECT value FROM settings WHERE key = 'schema_version'").fetchone()[0], "3.5")
            self.assertEqual(table_counts(con), base_counts)
            updated = table_counts(con, ("customers", "customer_notes", "invoices", "audit_log"))
            self.assertGreater(updated["customer_notes"] + updated["invoices"] + updated["audit_log"], 0)

            # Run again, as after an interrupted update: every guard now skips.
            for script in scripts:
                self.assertTrue(all(g[2] for g in script.apply(con)), script.path)
            self.assertEqual(table_counts(con, ("customers", "customer_notes", "invoices", "audit_log")), updated)
            self.assertEqual(con.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        finally:
            con.close()


class OptionsTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="make-sample-")
        self.base = Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_same_seed_same_bytes(self):
        make(self.base / "a", "--seed", "3")
        make(self.base / "b", "--seed", "3")
        make(self.base / "c", "--seed", "4")
        for part in ("Programs", "package"):
            first = tree_digest(self.base / "a" / part)
            self.assertEqual(first, tree_digest(self.base / "b" / part), part)
            self.assertNotEqual(first, tree_digest(self.base / "c" / part), part)

    def test_releases_drop_a_plugin_and_a_document(self):
        make(self.base, "--releases")
        releases = self.base / "releases"
        self.assertEqual(sorted(p.name for p in releases.iterdir()), ["3.2", "3.3", "3.4", "3.5"])
        dropped = sorted(set(tree_digest(releases / "3.3")) - set(tree_digest(releases / "3.4")))
        self.assertEqual(len(dropped), 2, dropped)
        self.assertTrue(dropped[0].startswith("docs/") and dropped[0].endswith(".html"), dropped)
        self.assertTrue(dropped[1].endswith(".dll"), dropped)
        # No later release brings them back: the update to 3.5 must remove them.
        self.assertFalse(set(dropped) & set(tree_digest(releases / "3.5")))

    def test_ketterin_other_version_sizes_and_copies(self):
        string_bin = self.base / "in" / "string.bin"
        string_bin.parent.mkdir()
        string_bin.write_bytes(bytes(range(256)) * 4)
        program = self.base / "in" / "corvane-updater"
        program.write_bytes(b"\x7fELF program")
        program.chmod(0o755)
        other = self.base / "in" / "corvane-updater-cli"
        other.write_bytes(b"\x7fELF cli")
        config_home = self.base / "cfg"
        root = self.base / "k"
        make(root, "--lang-name", "Ketterin", "--from", "4.7", "--steps", "2", "--config-home", config_home,
             "--string-bin", string_bin, "--copy-program", program, "--copy-program", other,
             "--files", "80", "--total-mb", "2", "--common-files", "12", "--sql-statements", "150",
             "--db-rows", "500")
        install = root / "Programs" / "Ketterin"
        registry = ini_keys(config_home / UNINSTALL / "Ketterin.ini")
        self.assertEqual(registry["DisplayVersion"], "4.7.0")
        self.assertEqual(registry["DisplayIcon"], str(install / "ketterin.exe"))
        self.assertFalse((root / "home" / ".config").exists())
        package = root / "package"
        self.assertEqual(ini_keys(package / "version.ini")["RELEASE/VERSION"], "4.9")
        self.assertEqual([d.name for d in steps_of(package)], ["4_7_to_4_8", "4_8_to_4_9"])
        self.assertEqual((package / "string.bin").read_bytes(), string_bin.read_bytes())
        self.assertEqual((package / "corvane-updater").read_bytes(), program.read_bytes())
        self.assertTrue(os.stat(package / "corvane-updater").st_mode & stat.S_IXUSR)
        self.assertTrue((package / "corvane-updater-cli").is_file())

        program_files = [p for p in files_under(install)
                         if p.relative_to(install).parts[0] != "config" and p.name != "kqdata.db"]
        self.assertEqual(len(program_files), 80)
        total = sum(p.stat().st_size for p in program_files)
        self.assertAlmostEqual(total / (2 * 1024 * 1024), 1.0, delta=0.02)
        main_ini = ini_keys(install / "config" / "ketterin.ini")
        self.assertEqual(main_ini["User/name"], "王小明")
        self.assertEqual(main_ini["configVersion"], "4.7")
        for index, step in enumerate(steps_of(package)):
            self.assertEqual(len(files_under(step / "common")), 14 if index == 0 else 12)
            pieces = UpdateScript(step / "sql" / "dbupdate.sql").pieces()
            self.assertEqual(len([p for p in pieces if p.strip()]), 150)
        con = sqlite3.connect(install / "kqdata.db")
        try:
            self.assertEqual(sum(table_counts(con).values()), 500)
        finally:
            con.close()

    def test_bench_shaped_tree(self):
        # The benchmark's shape at a tenth of its size: nested tree with small and large
        # files, plugin INI files, long scripts with guards spread through them.
        root = self.base / "bench"
        make(root, "--files", "1200", "--total-mb", "24", "--db-rows", "10000", "--common-files", "60",
             "--sql-statements", "3000", "--steps", "4")
        install = root / "Programs" / "Ostrelle"
        sizes = [p.stat().st_size for p in files_under(install) if p.parent.name != "config"
                 and p.name != "kqdata.db" and p.relative_to(install).parts[0] != "docs"]
        self.assertGreaterEqual(min(sizes), sample.MIN_FILE_SIZE)
        self.assertLessEqual(max(sizes), sample.MAX_FILE_SIZE)
        self.assertGreater(max(sizes), 512 * 1024)
        self.assertGreater(sum(1 for s in sizes if s < 2048), 20)
        self.assertGreaterEqual(len(list((install / "config").glob("plugin_*.ini"))), 2)
        depth = max(len(p.relative_to(install).parts) for p in files_under(install))
        self.assertGreaterEqual(depth, 5)

        db = root / "work.db"
        shutil.copyfile(install / "kqdata.db", db)
        con = sqlite3.connect(db, isolation_level=None)
        try:
            for step in steps_of(root / "package"):
                script = UpdateScript(step / "sql" / "dbupdate.sql")
                guards = script.apply(con)
                self.assertGreater(len(guards), 50, step)
                self.assertTrue(all(like == exact for _, _, like, exact in guards), step)
            # The fourth step goes past the planned releases and adds generated columns.
            columns = {r[1] for r in con.execute("PRAGMA table_info(customers)")}
            self.assertIn("attr_3_006", columns)
        finally:
            con.close()

    def test_existing_sample_needs_force(self):
        root = self.base / "again"
        make(root, "--seed", "1")
        marker = root / "Programs" / "Ostrelle" / "added-by-hand.txt"
        marker.write_text("x")
        again = run(MAKE_SAMPLE, "--root", root, check=False)
        self.assertEqual(again.returncode, 2)
        self.assertIn("--force", again.stderr)
        self.assertTrue(marker.exists())
        make(root, "--seed", "1", "--force")
        self.assertFalse(marker.exists())

    def test_bad_options_are_refused(self):
        for args, text in ((["--from", "3"], "--from"), (["--steps", "0"], "--steps"),
                           (["--string-bin", self.base / "missing.bin"], "not a file")):
            result = run(MAKE_SAMPLE, "--root", self.base / "bad", *args, check=False)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(text, result.stderr)


class ShowInstallationTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="show-installation-")
        self.root = Path(self.tmp.name) / "sample"
        make(self.root, "--seed", "5")
        self.install = self.root / "Programs" / "Ostrelle"
        self.package = self.root / "package"

    def tearDown(self):
        self.tmp.cleanup()

    def show(self, *args):
        return run(SHOW_INSTALLATION, *args).stdout

    def test_fresh_installation(self):
        out = self.show("--root", self.root)
        for text in ("DisplayVersion  3.2.0", "DisplayName     Ostrelle 3.2.0", "Ketterin: no key",
                     "absent (no config/UPDATER.ini): consistent", "backup/         absent",
                     "none in %s" % (self.root / "home" / "Desktop"), "RELEASE/VERSION = 3.5",
                     "3_2_to_3_3, 3_3_to_3_4, 3_4_to_3_5", "customers (20 rows): id, name, city, phone, created_at"):
            self.assertIn(text, out)
        lines = out.splitlines()
        self.assertTrue(any(l.strip().startswith("MainWindow/pos") and "kept (installation only)" in l for l in lines))
        self.assertTrue(any(l.strip().startswith("Database/journalMode") and "package adds WAL" in l for l in lines))
        self.assertTrue(any(l.strip().startswith("configVersion") and "package sets 3.5" in l for l in lines))

    def test_after_an_update(self):
        # What the updater leaves behind, made by hand: registry, flag, shortcut, backup,
        # merged configuration and the updated database.
        program = self.install / "ostrelle.exe"
        registry = self.root / "home" / ".config" / UNINSTALL / "Ostrelle.ini"
        sample.write_ini_files(TOOL, {registry: {"": {"DisplayIcon": str(program), "DisplayName": "Ostrelle 3.5",
                                                     "DisplayVersion": "3.5"}}}, marked=False)
        sample.write_ini_files(TOOL, {self.install / "config" / "UPDATER.ini": {"UPDATE": {"FLAG": True}}})
        (self.install / "backup").mkdir()
        (self.install / "backup" / "ostrelle.exe").write_bytes(b"old")
        (self.root / "home" / "Desktop" / "Ostrelle.lnk").symlink_to(program)
        con = sqlite3.connect(self.install / "kqdata.db", isolation_level=None)
        try:
            for step in steps_of(self.package):
                merge_configs(self.install / "config", step / "config")
                UpdateScript(step / "sql" / "dbupdate.sql").apply(con)
        finally:
            con.close()

        # Without --root: the installation comes from the registry entry.
        out = self.show("--config-home", self.root / "home" / ".config", "--home", self.root / "home",
                        "--package", self.package, "--rows", "1")
        for text in ("DisplayVersion  3.5", "DisplayName     Ostrelle 3.5", "Installation %s" % self.install,
                     "UPDATE/FLAG = true: consistent", "backup/         present, 1 files",
                     "Ostrelle.lnk -> %s (target exists)" % program, "ostrelle.ini (markers ok, .bak beside it)",
                     "cloud.ini (markers ok)", "shortcuts.xml (", "invoices (", "audit_log ("):
            self.assertIn(text, out)
        self.assertNotIn("(missing)", out)
        lines = out.splitlines()
        self.assertTrue(any(l.strip().startswith("configVersion") and l.rstrip().endswith("from package")
                            for l in lines))
        self.assertTrue(any(l.strip().startswith("RecentFiles/lastFile") and "kept (installation only)" in l
                            for l in lines))
        customers = next(l for l in lines if l.startswith("  customers ("))
        self.assertIn("email", customers)
        self.assertIn("newsletter", customers)

        sample.write_ini_files(TOOL, {self.install / "config" / "UPDATER.ini": {"UPDATE": {"FLAG": False}}})
        out = self.show("--root", self.root)
        self.assertIn("UPDATE/FLAG = false: an update stopped after its backup: the next run restores", out)

    def test_script_changes_row_by_row(self):
        before = Path(self.tmp.name) / "before.db"
        shutil.copyfile(self.install / "kqdata.db", before)
        con = sqlite3.connect(self.install / "kqdata.db", isolation_level=None)
        try:
            for step in steps_of(self.package):
                UpdateScript(step / "sql" / "dbupdate.sql").apply(con)
        finally:
            con.close()

        out = self.show("--root", self.root, "--changes-from", before, "--from-version", "3.2", "--changes-only")
        lines = out.splitlines()
        # Each change of schema_version names its step, the line of its statement and the statement.
        for step, old, new in (("3_2_to_3_3", "3.2", "3.3"), ("3_3_to_3_4", "3.3", "3.4"), ("3_4_to_3_5", "3.4", "3.5")):
            source = (self.package / "application" / step / "sql" / "dbupdate.sql").read_text(encoding="utf-8")
            number = next(i for i, l in enumerate(source.splitlines(), 1) if "'schema_version'" in l)
            at = lines.index("    key schema_version: value '%s' -> '%s'" % (old, new))
            self.assertTrue(lines[at + 1].startswith("        by %s line %d: INSERT OR REPLACE INTO settings" % (step, number)),
                            lines[at + 1])
        self.assertIn("  The replay ends with exactly the rows of the installation's kqdata.db.", lines)
        self.assertTrue(any(l.startswith("    column email added") for l in lines))
        # The later scripts repeat the guarded ALTER; skipped there, it shows once.
        added = [i for i, l in enumerate(lines) if l.startswith("    column loyalty_points added")]
        self.assertEqual(len(added), 1, out)
        self.assertIn("ALTER TABLE customers ADD COLUMN loyalty_points", lines[added[0] + 1])

        # A change no script made is told apart.
        con = sqlite3.connect(self.install / "kqdata.db", isolation_level=None)
        con.execute("UPDATE customers SET city = 'elsewhere' WHERE id = 1")
        con.close()
        out = self.show("--root", self.root, "--changes-from", before, "--changes-only")
        self.assertIn("  The replay does NOT end with the rows of the installation's kqdata.db.", out)

    def test_no_registry_entry(self):
        result = run(SHOW_INSTALLATION, "--config-home", self.root / "nowhere", "--home", self.root / "home",
                     check=False)
        self.assertEqual(result.returncode, 2)
        self.assertIn("Ostrelle: no key", result.stdout)
        self.assertIn("no installation directory", result.stderr)


class ReservedRuleTest(unittest.TestCase):
    # The updater's rule, as its package tool tells it: its own folders at the top only, a few
    # file names anywhere.
    def test_reserved_paths(self):
        cases = {"image": True, "log": True, "backup": True, "Updater": True, "install.log": True,
                 "config/UPDATER.ini": True, "a/b/UPDATER.lock": True,
                 "share/mime/image": False, "share/mime/image/png.xml": False, "plugins/log": False,
                 "Image": False, "images": False, "docs/backup/x.txt": False}
        for path, reserved in cases.items():
            with self.subTest(path=path):
                self.assertEqual(sample.is_reserved_path(path, RESERVED), reserved)


if __name__ == "__main__":
    unittest.main()
