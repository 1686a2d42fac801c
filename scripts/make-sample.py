#!/usr/bin/env python3
"""Makes a sample Corvane installation, its uninstall registry entry and an update package.

Used for the newcomer demo (small, readable sample) and for the benchmark (large tree):

    scripts/make-sample.py --root /tmp/sample
    scripts/make-sample.py --root /tmp/bench --files 5000 --total-mb 300 --db-rows 100000 \
        --common-files 300 --sql-statements 20000 --seed 1

Layout under --root (defaults):

    Programs/Ostrelle/          the installation: program files, config/, kqdata.db
    home/.config/Corvane/registry/HKEY_LOCAL_MACHINE/.../Uninstall/Ostrelle.ini
    home/Desktop/               where the updater puts its shortcut (HOME=<root>/home)
    package/                    the update package, built by "corvane-package build" (of the
                                build given by --build) from the installed tree of every
                                release: the installation, then each release's changed and
                                new files and settings; the second release after the
                                installed one (3.4 from 3.2) also deletes a plug-in and a
                                document, which the package's removal list carries
    releases/<version>/         with --releases: those release trees, kept
    sql/<version>.sql           with --releases: the update script of the step to <version>

Only the Python standard library is used, and the build's corvane-package, which writes
the INI files as the updater does ("corvane-package ini") and builds the package. The output depends only on the options and
--seed, never on the clock, so two runs with the same options give the same bytes (apart
from the registry file, which names the absolute installation path).

Importable: load the file with importlib and call generate(Options(...)); write_ini_files()
and read_ini_files() write and read INI files through corvane-package.
"""

import argparse
import dataclasses
import json
import math
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

UNINSTALL_KEY_PATH = "HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall"
DISPLAY_NAMES = ("Ostrelle", "Ketterin")

REPO = Path(__file__).resolve().parent.parent
# The build whose corvane-package builds the package (and whose string.bin the package
# gets unless --string-bin names one).
DEFAULT_BUILD = Path(os.environ.get("CORVANE_BUILD", REPO / "build" / "release"))

DATABASE_NAME = "kqdata.db"
SCRIPT_NAME = "dbupdate.sql"

MIN_FILE_SIZE = 300
MAX_FILE_SIZE = 6 * 1024 * 1024
DEFAULT_FILE_SIZE = 20 * 1024
RANDOM_BLOCK_SIZE = 8 * 1024 * 1024
TEXT_BLOCK_SIZE = 512 * 1024

TEXT_SUFFIXES = {".txt", ".html", ".qss", ".xml", ".json", ".csv", ".css", ".js", ".log", ".pem", ".svg"}


# ---------------------------------------------------------------------------------------
# INI files, written and read by the updater's own code through "corvane-package ini"
# ---------------------------------------------------------------------------------------

def write_ini_files(tool, files, marked=True):
    """Writes INI files as the updater writes them, in one call of the tool: files maps a
    path to its groups, each group name ("" for top-level keys) to an ordered mapping of
    key to value (a string, number, bool, list, or a string in QSettings' "@" form such as
    "@Point(120 80)"); marked=False writes no markers (a registry key's file). Returns the
    bytes written."""
    arguments = [str(tool), "ini", "write", "--files"] + ([] if marked else ["--unmarked"])
    payload = json.dumps({str(path): groups for path, groups in files.items()}).encode("utf-8")
    done = subprocess.run(arguments, input=payload, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise SampleError("%s ini write failed: %s" % (tool, done.stderr.decode(errors="replace").strip()))
    return sum(Path(path).stat().st_size for path in files)


def read_ini_files(tool, paths, errors=False):
    """Reads INI files as the updater reads them: per path, {"marked": whether its markers
    are valid, "keys": full key ("group/key", or "key" at the top) to value, markers
    apart}. Values are strings (numbers too), lists, None, or "@" forms. A file that is
    missing, unreadable or no text raises SampleError, or with errors=True gets
    {"error": text}."""
    if not paths:
        return {}
    done = subprocess.run([str(tool), "ini", "read", "--files"] + [str(p) for p in paths],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0 and not (errors and done.stdout.strip()):
        raise SampleError("%s ini read failed: %s" % (tool, done.stderr.decode(errors="replace").strip()))
    read = json.loads(done.stdout)
    return {path: read[str(path)] for path in paths}


# ---------------------------------------------------------------------------------------
# Options and versions
# ---------------------------------------------------------------------------------------

@dataclasses.dataclass
class Options:
    root: Path
    config_home: Path = None
    from_version: str = "3.2"
    steps: int = 3
    lang_name: str = "Ostrelle"
    string_bin: Path = None
    copy_programs: list = dataclasses.field(default_factory=list)
    install_from: Path = None
    files: int = 30
    total_mb: float = None
    db_rows: int = 200
    sql_statements: int = 40
    common_files: int = 6
    seed: int = 1
    force: bool = False
    releases: bool = False
    build: Path = None


class SampleError(Exception):
    """A problem with the options or the target directories; the message says which."""


def parse_version(text):
    """(major, minor, full text written to DisplayVersion) of "3.2" or "3.2.0"."""
    match = re.fullmatch(r"(\d+)\.(\d+)(\.\d+)?", text.strip())
    if not match:
        raise SampleError("--from needs a version like 3.2 or 3.2.0, not %r" % text)
    major, minor = int(match.group(1)), int(match.group(2))
    full = text.strip() if match.group(3) else "%d.%d.0" % (major, minor)
    return major, minor, full


def step_names(major, minor, steps):
    return ["%d_%d_to_%d_%d" % (major, k, major, k + 1) for k in range(minor, minor + steps)]


@dataclasses.dataclass
class Layout:
    root: Path
    install_dir: Path
    program: Path
    config_home: Path
    registry_file: Path
    home: Path
    package_dir: Path


def make_layout(opts):
    root = Path(opts.root).absolute()
    install_dir = root / "Programs" / opts.lang_name
    config_home = Path(opts.config_home).absolute() if opts.config_home else root / "home" / ".config"
    return Layout(
        root=root,
        install_dir=install_dir,
        program=install_dir / ("%s.exe" % opts.lang_name.lower()),
        config_home=config_home,
        registry_file=config_home / "Corvane" / "registry" / UNINSTALL_KEY_PATH / ("%s.ini" % opts.lang_name),
        home=root / "home",
        package_dir=root / "package",
    )


# ---------------------------------------------------------------------------------------
# File contents
# ---------------------------------------------------------------------------------------

WORDS = ("order customer invoice report printer export import settings window template "
         "ledger account balance payment delivery address tax discount stock product "
         "barcode label summary monthly weekly archive backup restore network server "
         "client module feature option layout toolbar status preview document record").split()


class ContentSource:
    """File bodies cut from one pre-made random block (and one text block), each file at
    its own offset behind a header naming it, so writing hundreds of MB stays fast."""

    def __init__(self, rng):
        self.binary = memoryview(rng.randbytes(RANDOM_BLOCK_SIZE))
        lines = []
        size = 0
        while size < TEXT_BLOCK_SIZE:
            line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14))).capitalize() + ".\n"
            lines.append(line)
            size += len(line)
        self.text = memoryview("".join(lines).encode("ascii"))

    def write(self, path, size, header, rng):
        block = self.text if path.suffix.lower() in TEXT_SUFFIXES else self.binary
        head = header.encode("utf-8")[:size]
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as out:
            out.write(head)
            remaining = size - len(head)
            pos = rng.randrange(len(block))
            while remaining > 0:
                n = min(remaining, len(block) - pos)
                out.write(block[pos:pos + n])
                remaining -= n
                pos = 0


def plan_sizes(count, total, rng):
    """count sizes from a few hundred bytes to a few MB, summing to about total: most
    files small, a few large, like a real program tree."""
    if count <= 0:
        return []
    mean = max(MIN_FILE_SIZE, total / count)
    sigma = 1.8
    mu = math.log(mean) - sigma * sigma / 2
    sizes = [rng.lognormvariate(mu, sigma) for _ in range(count)]
    for _ in range(12):
        sizes = [min(MAX_FILE_SIZE, max(MIN_FILE_SIZE, s)) for s in sizes]
        current = sum(sizes)
        if abs(current - total) <= total * 0.0005:
            break
        factor = total / current
        sizes = [s * factor for s in sizes]
    sizes = [int(min(MAX_FILE_SIZE, max(MIN_FILE_SIZE, s))) for s in sizes]
    # Put the rounding rest on the largest file that can take it, so totals are exact
    # whenever the bounds allow it.
    rest = int(total) - sum(sizes)
    largest = max(range(count), key=lambda i: sizes[i])
    sizes[largest] = int(min(MAX_FILE_SIZE, max(MIN_FILE_SIZE, sizes[largest] + rest)))
    return sizes


# The installation's own program files. Reserved names (image/, log/, install.log) are
# there on purpose: an update leaves them alone and the backup leaves them out.
CORE_FILES = [
    "{exe}", "uninstall.exe", "Qt5Core.dll", "Qt5Gui.dll", "Qt5Widgets.dll", "Qt5Sql.dll",
    "platforms/qwindows.dll", "sqldrivers/qsqlite.dll", "imageformats/qico.dll", "imageformats/qjpeg.dll",
    "translations/{lower}_en.qm", "translations/{lower}_zh_CN.qm", "translations/qt_zh_CN.qm",
    "resources/icons/app.ico", "resources/icons/toolbar/open.png", "resources/icons/toolbar/save.png",
    "resources/icons/toolbar/print.png", "resources/themes/light/style.qss", "resources/themes/dark/style.qss",
    "data/templates/invoice.html", "data/templates/delivery_note.html", "data/templates/letter.html",
    "docs/readme.txt", "docs/license.txt", "docs/manual/index.html", "docs/manual/getting_started.html",
    "image/splash.png", "log/{lower}_2024-05-02.log", "install.log",
]

# Where generated files go, and what kind of file each branch holds.
BRANCHES = {
    "plugins/imageformats": [".dll"], "plugins/printsupport": [".dll"], "plugins/reports": [".dll", ".json"],
    "plugins/importers": [".dll", ".json"], "plugins/exporters": [".dll"], "plugins/styles": [".dll"],
    "resources/icons": [".png", ".svg"], "resources/themes": [".qss", ".png"], "resources/fonts": [".ttf"],
    "resources/sounds": [".wav"], "data/templates": [".html", ".xml"], "data/maps": [".dat"],
    "data/samples": [".csv", ".kq"], "data/forms": [".xml"], "data/tax-tables": [".dat", ".csv"],
    "docs/manual": [".html", ".png"], "docs/api": [".html"], "docs/release-notes": [".txt", ".html"],
    "translations/extra": [".qm"],
}
SUBDIR_WORDS = ["set", "pack", "region", "chapter", "module", "size", "theme", "group", "part", "volume"]


def plan_install_paths(opts, rng):
    lower = opts.lang_name.lower()
    core = [p.format(exe="%s.exe" % lower, lower=lower) for p in CORE_FILES]
    generated_count = max(0, opts.files - len(core))
    dirs = list(BRANCHES)
    wanted_dirs = max(len(dirs), generated_count // 30)
    while len(dirs) < wanted_dirs:
        parent = rng.choice([d for d in dirs if d.count("/") < 4])
        dirs.append("%s/%s_%03d" % (parent, rng.choice(SUBDIR_WORDS), len(dirs)))
    generated = []
    for i in range(generated_count):
        directory = rng.choice(dirs)
        branch = next(b for b in BRANCHES if directory == b or directory.startswith(b + "/"))
        stem = rng.choice(WORDS)
        generated.append("%s/%s_%05d%s" % (directory, stem, i, rng.choice(BRANCHES[branch])))
    return core[:max(opts.files, 1)] if opts.files < len(core) else core + generated


def reserved_names(package_tool):
    """The names an update leaves alone, by the updater's own rule as corvane-package layout
    prints it: (names at the top of the installation, "name*" standing for every name that
    begins so; file names at every depth)."""
    done = subprocess.run([str(package_tool), "layout"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise SampleError("%s layout failed: %s" % (package_tool, done.stderr.decode(errors="replace").strip()))
    layout = json.loads(done.stdout)
    return layout["reservedNames"], layout.get("reservedFileNames", [])


def is_reserved_path(relative, reserved):
    """The updater's rule: a reserved entry and everything below it."""
    top_names, file_names = reserved
    parts = [p for p in relative.split("/") if p]
    return any(part in file_names
               or (i == 0 and any(part.startswith(n[:-1]) if n.endswith("*") else part == n for n in top_names))
               for i, part in enumerate(parts))


def readme_text(name, version, notes):
    lines = ["%s %s - read me" % (name, version), "",
             "%s keeps your customers, orders and invoices in kqdata.db." % name, "",
             "What is new:"] + ["  * %s" % n for n in notes] + [""]
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# Configuration files
# ---------------------------------------------------------------------------------------

def main_ini_install(opts, version):
    zh = opts.lang_name == "Ketterin"
    return {
        "": {"configVersion": version, "language": "zh_CN" if zh else "en", "theme": "light"},
        "MainWindow": {"pos": "@Point(120 80)", "size": "@Size(1280 800)",
                       "maximized": False, "splitterSizes": ["240", "1040"]},
        "RecentFiles": {
            "lastFile": "/home/wang/文档/发票 2024年3月.kq" if zh else "/home/zoe/Dokumente/Überweisung März 2024.kq",
            "lastDir": "/home/wang/文档" if zh else "/home/zoe/Dokumente",
            "maxCount": 8},
        "User": {"name": "王小明" if zh else "Zoë Ångström",
                 "company": "上海科文贸易有限公司" if zh else "Müller & Söhne GmbH",
                 "signature": "此致, 王小明" if zh else "Mit freundlichen Grüßen, Zoë Ångström"},
        "Database": {"file": DATABASE_NAME, "busyTimeoutMs": 2000, "backupIntervalDays": 7},
        "Update": {"server": "https://updates.corvane.example/%s" % opts.lang_name.lower(),
                   "channel": "stable", "checkOnStart": True},
    }


def main_ini_step(opts, k, version):
    lower = opts.lang_name.lower()
    changes = [
        {"Database": {"busyTimeoutMs": 5000, "journalMode": "WAL"},
         "Update": {"server": "https://updates.corvane.example/v3/%s" % lower},
         "Features": {"customerNotes": True}},
        {"Features": {"loyaltyPoints": True, "invoicePdf": True},
         "Update": {"verifySignature": True}},
        {"Features": {"auditLog": True},
         "Database": {"vacuumOnUpdate": True},
         "MainWindow": {"toolbarIconSize": 24}},
    ]
    groups = {"": {"configVersion": version}}
    if k < len(changes):
        groups.update(changes[k])
    else:
        groups["Features"] = {"feature%s" % version.replace(".", "_"): True}
    return groups


def network_ini_install():
    return {"Server": {"host": "sync.corvane.example", "port": 8443, "timeoutSec": 30},
            "Proxy": {"enabled": False, "host": "", "port": 3128},
            "Credentials": {"user": "zoe.angstrom", "rememberPassword": True}}


def printing_ini_install(opts):
    zh = opts.lang_name == "Ketterin"
    return {"Printer": {"name": "打印机 二楼" if zh else "HP LaserJet Büro 2.OG", "paper": "A4", "duplex": True},
            "Margins": {"left": 20, "top": 15, "right": 15, "bottom": 20},
            "Invoice": {"footer": "IBAN DE02 1203 0000 0000 2020 51; BIC BYLADEM1001"}}


def plugin_ini_install(index, rng):
    return {"Plugin": {"enabled": rng.random() < 0.8, "loadOrder": index},
            "Options": {"opt%02d" % j: rng.randint(0, 1000) for j in range(40)},
            "State": {"lastRun": "2024-04-%02d 09:%02d:00" % (rng.randint(1, 28), rng.randint(0, 59)),
                      "dockArea": rng.choice(["left", "right", "bottom"])}}


def plugin_ini_step(k, rng):
    options = {"opt%02d" % j: rng.randint(1001, 2000) for j in range(40) if j % 3 == k % 3}
    options["opt%02d" % (40 + k)] = rng.randint(0, 9)
    return {"Options": options, "Plugin": {"apiLevel": 3 + k}}


def menus_xml(version, entries):
    items = "\n".join('    <action id="%s" />' % e for e in entries)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- menus for version %s -->\n'
            '<menus version="%s">\n  <menu id="file">\n%s\n  </menu>\n</menus>\n' % (version, version, items))


def write_bytes(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return len(data)


# ---------------------------------------------------------------------------------------
# Database and update scripts
# ---------------------------------------------------------------------------------------

BASE_TABLES = {
    "customers": [("id", "INTEGER PRIMARY KEY"), ("name", "TEXT NOT NULL"), ("city", "TEXT"),
                  ("phone", "TEXT"), ("created_at", "TEXT")],
    "products": [("id", "INTEGER PRIMARY KEY"), ("sku", "TEXT NOT NULL UNIQUE"), ("title", "TEXT"),
                 ("price", "REAL")],
    "orders": [("id", "INTEGER PRIMARY KEY"), ("customer_id", "INTEGER NOT NULL"), ("ordered_at", "TEXT"),
               ("status", "TEXT"), ("total", "REAL")],
    "order_items": [("id", "INTEGER PRIMARY KEY"), ("order_id", "INTEGER NOT NULL"),
                    ("product_id", "INTEGER NOT NULL"), ("quantity", "INTEGER"), ("unit_price", "REAL")],
    "settings": [("key", "TEXT PRIMARY KEY"), ("value", "TEXT")],
}
BASE_INDEXES = [("idx_orders_customer", "orders", "customer_id"),
                ("idx_order_items_order", "order_items", "order_id")]

FIRST_NAMES = ["Zoë", "Jürgen", "Ana", "Wang", "Li", "Émile", "Søren", "Olga", "Mateo", "Aiko", "Fatma", "Seán"]
LAST_NAMES = ["Ångström", "Müller", "García", "王", "李", "Dubois", "Nakamura", "O'Brien", "Kowalski", "Øvergaard"]
CITIES = ["Berlin", "München", "Zürich", "Shanghai", "北京", "Madrid", "Köln", "Wien", "Kraków", "Dublin"]
STATUSES = ["open", "paid", "shipped", "cancelled"]
ADJECTIVES = ["Compact", "Deluxe", "Eco", "Heavy-duty", "Mini", "Pro", "Classic", "Smart"]
NOUNS = ["label printer", "paper roll", "scanner", "cash drawer", "receipt pad", "toner", "stapler", "binder"]
NOTES = ["Rückruf erbeten", "Liefert nur vormittags", "请在下午送货", "VIP - bevorzugt per E-Mail kontaktieren",
         "Zahlung per Überweisung", "Cliente habitual, descuento acordado", "O'Brien account merged",
         "Keine Werbung", "Rechnung an die Buchhaltung"]


def db_shape(rows):
    customers = max(3, rows * 10 // 100)
    products = max(3, rows * 2 // 100)
    orders = max(3, rows * 38 // 100)
    items = max(3, rows - customers - products - orders)
    return {"customers": customers, "products": products, "orders": orders, "order_items": items}


def fake_date(rng, year_from=2021, year_to=2024):
    return "%04d-%02d-%02d %02d:%02d:00" % (rng.randint(year_from, year_to), rng.randint(1, 12),
                                            rng.randint(1, 28), rng.randint(7, 19), rng.randint(0, 59))


def create_table_sql(table, columns, if_not_exists=False):
    return "CREATE TABLE %s%s (%s)" % ("IF NOT EXISTS " if if_not_exists else "", table,
                                       ", ".join("%s %s" % c for c in columns))


def make_database(path, opts, from_version, rng):
    shape = db_shape(opts.db_rows)
    if path.exists():
        path.unlink()
    con = sqlite3.connect(str(path))
    try:
        with con:
            for table, columns in BASE_TABLES.items():
                con.execute(create_table_sql(table, columns))
            for name, table, column in BASE_INDEXES:
                con.execute("CREATE INDEX %s ON %s(%s)" % (name, table, column))
            con.executemany("INSERT INTO customers VALUES (?, ?, ?, ?, ?)", (
                (i, "%s %s" % (rng.choice(FIRST_NAMES), rng.choice(LAST_NAMES)), rng.choice(CITIES),
                 "+49 %d %07d" % (rng.randint(30, 89), rng.randint(0, 9999999)), fake_date(rng, 2015, 2021))
                for i in range(1, shape["customers"] + 1)))
            con.executemany("INSERT INTO products VALUES (?, ?, ?, ?)", (
                (i, "SKU-%06d" % i, "%s %s" % (rng.choice(ADJECTIVES), rng.choice(NOUNS)),
                 round(rng.uniform(0.5, 400), 2))
                for i in range(1, shape["products"] + 1)))
            con.executemany("INSERT INTO orders VALUES (?, ?, ?, ?, ?)", (
                (i, rng.randint(1, shape["customers"]), fake_date(rng), rng.choice(STATUSES),
                 round(rng.uniform(5, 2500), 2))
                for i in range(1, shape["orders"] + 1)))
            con.executemany("INSERT INTO order_items VALUES (?, ?, ?, ?, ?)", (
                (i, rng.randint(1, shape["orders"]), rng.randint(1, shape["products"]), rng.randint(1, 12),
                 round(rng.uniform(0.5, 400), 2))
                for i in range(1, shape["order_items"] + 1)))
            con.executemany("INSERT INTO settings VALUES (?, ?)", [
                ("schema_version", from_version), ("company_name", "Müller & Söhne GmbH"),
                ("currency", "EUR"), ("invoice_prefix", "RE-"), ("vat_rate", "0.19"),
                ("locale", "zh_CN" if opts.lang_name == "Ketterin" else "de_DE"),
                ("last_backup", "2024-05-01 18:30:00")])
    finally:
        con.close()
    shape["settings"] = 7
    return shape


@dataclasses.dataclass
class StepPlan:
    title: str
    tables: list        # (table, [(column, type)]) created with CREATE TABLE IF NOT EXISTS
    columns: list       # (table, column, type) added behind an IFN_COL guard
    indexes: list       # (index, table, column)


STEP_PLANS = [
    StepPlan("customer e-mail, notes and discounts",
             [("customer_notes", [("id", "INTEGER PRIMARY KEY"), ("customer_id", "INTEGER NOT NULL"),
                                  ("note", "TEXT"), ("created_at", "TEXT")])],
             [("customers", "email", "TEXT"), ("customers", "country_code", "TEXT NOT NULL DEFAULT 'DE'"),
              ("orders", "discount", "REAL NOT NULL DEFAULT 0"), ("products", "barcode", "TEXT")],
             [("idx_customer_notes_customer", "customer_notes", "customer_id"),
              ("idx_customers_email", "customers", "email")]),
    StepPlan("loyalty points and invoices",
             [("invoices", [("id", "INTEGER PRIMARY KEY"), ("order_id", "INTEGER NOT NULL"),
                            ("invoice_no", "TEXT"), ("issued_at", "TEXT"), ("amount", "REAL")])],
             [("customers", "loyalty_points", "INTEGER NOT NULL DEFAULT 0"), ("orders", "invoice_no", "TEXT"),
              ("order_items", "tax_rate", "REAL NOT NULL DEFAULT 0.19"),
              ("customer_notes", "pinned", "INTEGER NOT NULL DEFAULT 0")],
             [("idx_invoices_order", "invoices", "order_id")]),
    StepPlan("audit log, newsletter and stock",
             [("audit_log", [("id", "INTEGER PRIMARY KEY"), ("happened_at", "TEXT"), ("actor", "TEXT"),
                             ("action", "TEXT"), ("detail", "TEXT")])],
             [("customers", "newsletter", "INTEGER NOT NULL DEFAULT 0"), ("orders", "shipped_at", "TEXT"),
              ("products", "stock_qty", "INTEGER NOT NULL DEFAULT 0"), ("invoices", "paid_at", "TEXT")],
             [("idx_audit_log_time", "audit_log", "happened_at")]),
]


def step_plan(k, major, minor_to):
    if k < len(STEP_PLANS):
        return STEP_PLANS[k]
    # Column names of fixed width, so that no name is part of another one: the updater's
    # column test is a substring match on the table's CREATE statement.
    tag = "%d_%03d" % (major, minor_to)
    return StepPlan("archive %s" % tag.replace("_", "."),
                    [("archive_" + tag, [("id", "INTEGER PRIMARY KEY"), ("ref_id", "INTEGER"),
                                         ("payload", "TEXT"), ("created_at", "TEXT")])],
                    [("customers", "attr_" + tag, "TEXT"), ("orders", "flag_" + tag, "INTEGER NOT NULL DEFAULT 0")],
                    [("idx_archive_%s_ref" % tag, "archive_" + tag, "ref_id")])


def sql_text(value):
    if ";" in value:
        raise ValueError("the update script is cut at every ';', so literals must not hold one: %r" % value)
    return "'" + value.replace("'", "''") + "'"


class ScriptBuilder:
    """Collects script lines and counts statements (directives included)."""

    def __init__(self):
        self.lines = []
        self.statements = 0
        self.directives = 0

    def comment(self, text):
        self.lines.append("# " + text if text else "#")

    def blank(self):
        self.lines.append("")

    def statement(self, text):
        self.lines.append(text + ";")
        self.statements += 1

    def guard(self, table, column, alter_type):
        self.lines.append("IFN_COL|%s|%s;" % (table, column))
        self.lines.append("ALTER TABLE %s ADD COLUMN %s %s;" % (table, column, alter_type))
        self.statements += 2
        self.directives += 1

    def text(self):
        return "\n".join(self.lines) + "\n"


class SchemaState:
    """What the database holds before each script, so guards and statements fit it."""

    def __init__(self, shape):
        self.shape = shape
        self.columns = {t: [c for c, _ in cols] for t, cols in BASE_TABLES.items()}
        # The ALTER type an earlier release used: the bare type, since SQLite refuses
        # constraints such as NOT NULL without a default or UNIQUE in ADD COLUMN.
        self.types = {(t, c): ty.split()[0] for t, cols in BASE_TABLES.items() for c, ty in cols}
        self.next_id = {}
        # Columns that ALTER statements of earlier releases added; cumulative scripts keep
        # their guards. The base columns stand for releases before this sample's start.
        self.altered = [(t, c) for t, cols in BASE_TABLES.items() if t != "settings"
                        for c, ty in cols if c != "id" and "NOT NULL" not in ty]

    def has(self, table, column=None):
        return table in self.columns and (column is None or column in self.columns[table])

    def new_id(self, table):
        self.next_id[table] = self.next_id.get(table, 0) + 1
        return self.next_id[table]


def bulk_templates(state, shape, rng, version_tag, plan_new):
    """Statement makers usable now, each weighted higher when it uses this step's news."""
    c = lambda: rng.randint(1, shape["customers"])      # noqa: E731
    o = lambda: rng.randint(1, shape["orders"])         # noqa: E731
    p = lambda: rng.randint(1, shape["products"])       # noqa: E731
    i = lambda: rng.randint(1, shape["order_items"])    # noqa: E731
    makers = [
        (("customers", "phone"), lambda: "UPDATE customers SET phone = %s WHERE id = %d"
         % (sql_text("+49 %d %07d" % (rng.randint(30, 89), rng.randint(0, 9999999))), c())),
        (("orders", "status"), lambda: "UPDATE orders SET status = 'paid' WHERE id = %d AND status = 'open'" % o()),
        (("settings", "value"), lambda: "INSERT OR REPLACE INTO settings (key, value) VALUES (%s, %s)"
         % (sql_text("report.layout.%s.%d" % (version_tag, rng.randint(1, 400))),
            sql_text(rng.choice(["compact", "detailed", "landscape"])))),
        (("customers", "email"), lambda: "UPDATE customers SET email = %s WHERE id = %d"
         % (sql_text("kunde%d@example.com" % rng.randint(1, 10 ** 6)), c())),
        (("customer_notes", None), lambda: "INSERT OR IGNORE INTO customer_notes (id, customer_id, note, created_at)\n"
         "    VALUES (%d, %d, %s, %s)" % (state.new_id("customer_notes"), c(), sql_text(rng.choice(NOTES)),
                                          sql_text(fake_date(rng, 2024, 2024)))),
        (("orders", "discount"), lambda: "UPDATE orders SET discount = %s WHERE id = %d AND status = 'open'"
         % (rng.choice(["0.02", "0.05", "0.1"]), o())),
        (("products", "barcode"), lambda: "UPDATE products SET barcode = %s WHERE id = %d"
         % (sql_text("400%010d" % rng.randint(0, 10 ** 10 - 1)), p())),
        (("customers", "loyalty_points"), lambda: "UPDATE customers SET loyalty_points = %d WHERE id = %d"
         % (rng.randint(0, 5000), c())),
        (("invoices", None), lambda: "INSERT OR IGNORE INTO invoices (id, order_id, invoice_no, issued_at, amount)\n"
         "    VALUES (%d, %d, %s, %s, %.2f)" % (state.new_id("invoices"), o(),
                                                sql_text("RE-2024-%06d" % rng.randint(1, 999999)),
                                                sql_text(fake_date(rng, 2024, 2024)), rng.uniform(5, 2500))),
        (("order_items", "tax_rate"), lambda: "UPDATE order_items SET tax_rate = 0.07 WHERE id = %d" % i()),
        (("customer_notes", "pinned"), lambda: "UPDATE customer_notes SET pinned = 1 WHERE id = %d"
         % rng.randint(1, max(1, state.next_id.get("customer_notes", 1)))),
        (("audit_log", None), lambda: "INSERT OR IGNORE INTO audit_log (id, happened_at, actor, action, detail)\n"
         "    VALUES (%d, %s, 'updater', %s, %s)" % (state.new_id("audit_log"), sql_text(fake_date(rng, 2024, 2024)),
                                                    sql_text(rng.choice(["migrate", "recalculate", "reindex"])),
                                                    sql_text("Datensatz %d geprüft" % rng.randint(1, 10 ** 6)))),
        (("customers", "newsletter"), lambda: "UPDATE customers SET newsletter = 1 WHERE id = %d" % c()),
        (("orders", "shipped_at"), lambda: "UPDATE orders SET shipped_at = %s WHERE id = %d AND status = 'shipped'"
         % (sql_text(fake_date(rng, 2024, 2024)), o())),
        (("products", "stock_qty"), lambda: "UPDATE products SET stock_qty = %d WHERE id = %d"
         % (rng.randint(0, 500), p())),
        (("invoices", "paid_at"), lambda: "UPDATE invoices SET paid_at = %s WHERE id = %d"
         % (sql_text(fake_date(rng, 2024, 2024)), rng.randint(1, max(1, state.next_id.get("invoices", 1))))),
    ]
    for table in [t for t in state.columns if t.startswith("archive_")]:
        makers.append(((table, None), lambda table=table: "INSERT OR IGNORE INTO %s (id, ref_id, payload, created_at)"
                       " VALUES (%d, %d, %s, %s)" % (table, state.new_id(table), c(),
                                                     sql_text(rng.choice(NOTES)), sql_text(fake_date(rng, 2024, 2024)))))
    for table, column in [(t, col) for t in ("customers", "orders") for col in state.columns[t]
                          if col.startswith(("attr_", "flag_"))]:
        value = "'x'" if column.startswith("attr_") else "1"
        makers.append(((table, column), lambda table=table, column=column, value=value:
                       "UPDATE %s SET %s = %s WHERE id = %d" % (table, column, value,
                                                               c() if table == "customers" else o())))
    usable = [(need, make) for need, make in makers if state.has(*need)]
    weights = [4 if need in plan_new or (need[0], None) in plan_new else 1 for need, _ in usable]
    return usable, weights


def make_update_script(k, step, major, minor_from, state, n_statements, rng):
    """One step's dbupdate.sql. Guards only name columns of tables that exist before the
    script runs, because the updater resolves every guard before any statement runs."""
    plan = step_plan(k, major, minor_from + 1)
    version_from, version_to = "%d.%d" % (major, minor_from), "%d.%d" % (major, minor_from + 1)
    before = {t: list(cols) for t, cols in state.columns.items()}
    script = ScriptBuilder()
    script.comment("Corvane database update %s -> %s (%s): %s" % (version_from, version_to, step, plan.title))
    script.comment("Lines that start with '#' are comments. IFN_COL|table|column runs the next statement")
    script.comment("only when the table lacks that column, so the script can run again safely.")
    script.blank()

    plan_new = set()
    for table, columns in plan.tables:
        script.comment("new table %s" % table)
        lines = ",\n".join("    %s %s" % c for c in columns)
        script.statement("CREATE TABLE IF NOT EXISTS %s (\n%s\n)" % (table, lines))
        if table not in state.columns:
            state.columns[table] = [c for c, _ in columns]
        plan_new.add((table, None))
    script.blank()
    script.comment("new columns")
    for table, column, column_type in plan.columns:
        if table not in before:
            raise ValueError("step %s guards %s.%s, but %s only appears in this very script"
                             % (step, table, column, table))
        script.guard(table, column, column_type)
        if column not in state.columns[table]:
            state.columns[table].append(column)
            state.types[(table, column)] = column_type
        plan_new.add((table, column))
    # Columns that earlier releases added: the guards find them and skip the statement,
    # which is what makes a cumulative script safe on any older database.
    recheck = list(state.altered)
    script.blank()
    script.comment("columns of earlier releases (kept from the cumulative script)")
    for table, column in recheck[-4:]:
        script.guard(table, column, state.types[(table, column)])
    state.altered += [(t, c) for t, c, _ in plan.columns]
    script.blank()
    for name, table, column in plan.indexes:
        script.statement("CREATE INDEX IF NOT EXISTS %s ON %s(%s)" % (name, table, column))
    script.statement("INSERT OR REPLACE INTO settings (key, value) VALUES ('schema_version', %s)" % sql_text(version_to))
    script.blank()

    usable, weights = bulk_templates(state, state.shape, rng, step, plan_new)
    batch = 0
    next_batch_at = script.statements
    while script.statements < n_statements:
        if script.statements >= next_batch_at:
            batch += 1
            next_batch_at += 250
            script.comment("data batch %d" % batch)
        if recheck and rng.random() < 0.04 and script.statements + 2 <= n_statements:
            table, column = rng.choice(recheck)
            script.guard(table, column, state.types[(table, column)])
            continue
        make = rng.choices(usable, weights)[0][1]
        script.statement(make())
    script.blank()
    script.comment("end of update %s -> %s" % (version_from, version_to))
    return script


# ---------------------------------------------------------------------------------------
# The whole sample
# ---------------------------------------------------------------------------------------

def _human(size):
    for unit in ("B", "KB", "MB", "GB"):
        if size < 1024 or unit == "GB":
            return ("%d %s" % (size, unit)) if unit == "B" else ("%.1f %s" % (size, unit))
        size /= 1024.0


def _clear_targets(layout, opts):
    targets = [layout.install_dir, layout.package_dir, layout.root / "releases", layout.root / "sql"]
    busy = [p for p in targets if p.exists() and any(p.iterdir())]
    if layout.registry_file.exists():
        busy.append(layout.registry_file)
    if busy and not opts.force:
        raise SampleError("already there: %s (pass --force to replace the sample)" % ", ".join(map(str, busy)))
    for path in targets:
        if path.exists():
            shutil.rmtree(path)
    if layout.registry_file.exists():
        layout.registry_file.unlink()
    for name in DISPLAY_NAMES:
        link = layout.home / "Desktop" / ("%s.lnk" % name)
        if link.is_symlink() or link.exists():
            link.unlink()


def validate(opts):
    if opts.lang_name not in DISPLAY_NAMES:
        raise SampleError("--lang-name must be one of %s" % ", ".join(DISPLAY_NAMES))
    if opts.steps < 1:
        raise SampleError("--steps must be at least 1")
    for name in ("files", "db_rows"):
        if getattr(opts, name) < 1:
            raise SampleError("--%s must be at least 1" % name.replace("_", "-"))
    for name in ("sql_statements", "common_files"):
        if getattr(opts, name) < 0:
            raise SampleError("--%s must not be negative" % name.replace("_", "-"))
    if opts.total_mb is not None and opts.total_mb <= 0:
        raise SampleError("--total-mb must be positive")
    if opts.install_from and not (Path(opts.install_from) / "cmake_install.cmake").is_file():
        raise SampleError("not a CMake build directory: %s" % opts.install_from)
    for path in ([opts.string_bin] if opts.string_bin else []) + list(opts.copy_programs):
        if not Path(path).is_file():
            raise SampleError("not a file: %s" % path)
    build = Path(opts.build or DEFAULT_BUILD)
    if not os.access(package_tool(build), os.X_OK):
        raise SampleError("no %s: build it first (scripts/build.sh release %s corvane-package string_table) "
                          "or name another build with --build" % (package_tool(build), build))
    if not opts.string_bin and not opts.install_from and not (build / "string.bin").is_file():
        raise SampleError("no string table %s for the package: build string_table or pass --string-bin"
                          % (build / "string.bin"))


def package_tool(build):
    return Path(build) / "tools" / ("corvane-package.exe" if os.name == "nt" else "corvane-package")


def generate(opts):
    """Makes the sample and returns a summary (a dict of paths, counts and sizes)."""
    started = time.monotonic()
    validate(opts)
    major, minor, full_version = parse_version(opts.from_version)
    steps = step_names(major, minor, opts.steps)
    new_version = "%d.%d" % (major, minor + opts.steps)
    layout = make_layout(opts)
    _clear_targets(layout, opts)

    rng_files = random.Random("%s:files" % opts.seed)
    rng_config = random.Random("%s:config" % opts.seed)
    rng_db = random.Random("%s:db" % opts.seed)
    rng_sql = random.Random("%s:sql" % opts.seed)
    content = ContentSource(random.Random("%s:content" % opts.seed))
    name, lower = opts.lang_name, opts.lang_name.lower()
    version_from = "%d.%d" % (major, minor)
    summary = {"root": str(layout.root), "install_dir": str(layout.install_dir), "program": str(layout.program),
               "registry_file": str(layout.registry_file), "package_dir": str(layout.package_dir),
               "home": str(layout.home), "config_home": str(layout.config_home),
               "installed_version": full_version, "package_version": new_version, "steps": steps}

    # Installation: program files.
    paths = plan_install_paths(opts, rng_files)
    total_bytes = int((opts.total_mb * 1024 * 1024) if opts.total_mb else len(paths) * DEFAULT_FILE_SIZE)
    sizes = plan_sizes(len(paths), total_bytes, rng_files)
    install_bytes = 0
    for relative, size in zip(paths, sizes):
        path = layout.install_dir / relative
        if relative == "docs/readme.txt":
            size = write_bytes(path, readme_text(name, full_version, ["Faster start-up", "New report layouts"]).encode())
        else:
            content.write(path, size, "%s %s %s\n" % (name, full_version, relative), rng_files)
        install_bytes += size
    layout.home.joinpath("Desktop").mkdir(parents=True, exist_ok=True)

    # Installation: configuration. No UPDATER.ini: an absent flag means consistent.
    config_dir = layout.install_dir / "config"
    plugins = opts.files // 500
    install_ini = {"%s.ini" % lower: main_ini_install(opts, version_from), "network.ini": network_ini_install(),
                   "printing.ini": printing_ini_install(opts)}
    for p in range(plugins):
        install_ini["plugin_%02d.ini" % p] = plugin_ini_install(p, rng_config)
    build = Path(opts.build or DEFAULT_BUILD)
    tool = package_tool(build)
    config_bytes = write_ini_files(tool, {config_dir / file_name: groups for file_name, groups in install_ini.items()})
    config_bytes += write_bytes(config_dir / "menus.xml",
                                menus_xml(version_from, ["open", "save", "print", "quit"]).encode())

    # Installation: database.
    shape = make_database(layout.install_dir / DATABASE_NAME, opts, version_from, rng_db)
    install_files = sum(1 for p in layout.install_dir.rglob("*") if p.is_file())

    # Registry stand-in: one INI file per key, values at top level ([General]).
    write_ini_files(tool, {layout.registry_file: {"": {
        "DisplayIcon": str(layout.program), "DisplayName": "%s %s" % (name, full_version),
        "DisplayVersion": full_version, "Publisher": "Corvane"}}}, marked=False)

    # The releases after the installed one, each the tree before it with one step's
    # changes, and the vendor's update scripts; corvane-package builds the package from them.
    reserved = reserved_names(tool)
    work = layout.root / ".make-sample"
    shutil.rmtree(work, ignore_errors=True)
    releases = layout.root / "releases" if opts.releases else work / "releases"
    scripts_dir = layout.root / "sql" if opts.releases else work / "sql"
    previous = releases / version_from
    # Kept release trees are the vendor's, apart from the installation an update changes.
    if opts.releases:
        shutil.copytree(layout.install_dir, previous, symlinks=True)
    else:
        linked_copy(layout.install_dir, previous)
    release_dirs = [(version_from, previous)]
    configs = {file_name: groups for file_name, groups in install_ini.items()}

    # Never a file below a reserved folder (log/...): an update leaves those alone.
    candidates = [p for p in paths if p != "%s.exe" % lower and p != "docs/readme.txt"
                  and not is_reserved_path(p, reserved)]
    mean_size = max(MIN_FILE_SIZE, total_bytes // max(1, len(paths)))

    # Files every release from the first step on has (a licence, a certificate, patches).
    common_count = max(2, opts.common_files // 10)
    common_paths = ["docs/license.txt", "resources/certificates/corvane-update-ca.pem"]
    pool = [p for p in candidates if p not in common_paths]
    changed = rng_files.sample(pool, min(len(pool), (common_count - 2) // 2))
    common_paths += changed + ["runtime/patches/patch_%03d.dll" % i for i in range(common_count - 2 - len(changed))]
    common_sizes = plan_sizes(len(common_paths), mean_size * len(common_paths), rng_files)

    state = SchemaState(shape)
    scripts = []
    for k, step in enumerate(steps):
        version_to = "%d.%d" % (major, minor + k + 1)
        current = releases / version_to
        linked_copy(previous, current)
        if k == 0:
            for relative, size in zip(common_paths, common_sizes):
                content.write(fresh(current / relative), size, "%s common %s\n" % (name, relative), rng_files)
        # Program files: the main program and the read-me change at every step, then
        # changed installed files and new files in new nested directories.
        fixed = ["%s.exe" % lower, "docs/readme.txt", "translations/%s_en.qm" % lower]
        wanted = max(opts.common_files, len(fixed))
        pool = [p for p in candidates if p not in fixed]
        changed = rng_files.sample(pool, min(len(pool), (wanted - len(fixed)) * 3 // 5))
        fresh_dirs = [("plugins/features/v%s" % step, [".dll", ".json"]),
                      ("resources/icons/v%s/toolbar" % step, [".png", ".svg"]),
                      ("data/templates/v%s/forms" % step, [".xml", ".html"])]
        new_files = []
        for i in range(wanted - len(fixed) - len(changed)):
            directory, suffixes = rng_files.choice(fresh_dirs)
            new_files.append("%s/%s_%04d%s" % (directory, rng_files.choice(WORDS), i, rng_files.choice(suffixes)))
        step_paths = fixed + changed + new_files
        for relative, size in zip(step_paths, plan_sizes(len(step_paths), mean_size * len(step_paths), rng_files)):
            path = fresh(current / relative)
            if relative == "docs/readme.txt":
                write_bytes(path, readme_text(name, version_to, [step_plan(k, major, minor + k + 1).title]).encode())
            else:
                content.write(path, size, "%s %s %s\n" % (name, version_to, relative), rng_files)

        # Configuration: keys added and changed in INI files (never removed: the merge keeps
        # every key), other files replaced.
        step_config = {"%s.ini" % lower: main_ini_step(opts, k, version_to)}
        if k % 3 == 0:
            step_config["printing.ini"] = {"Invoice": {"showQrCode": True}, "Printer": {"pdfDpi": 300 + 100 * k}}
        if k % 3 == 1:
            step_config["network.ini"] = {"Server": {"port": 9443, "tlsMinVersion": "1.2"}}
            step_config["cloud.ini"] = {"Cloud": {"enabled": False, "endpoint": "https://cloud.corvane.example/api/v1",
                                                  "syncIntervalMin": 15 + k}}
        if k % 3 == 2:
            step_config["network.ini"] = {"Server": {"retryCount": 3, "timeoutSec": 45 + k}}
        for p in range(plugins):
            step_config["plugin_%02d.ini" % p] = plugin_ini_step(k, rng_config)
        for file_name, groups in step_config.items():
            merged = {group: dict(keys) for group, keys in configs.get(file_name, {}).items()}
            for group, keys in groups.items():
                merged.setdefault(group, {}).update(keys)
            configs[file_name] = merged
        # (Each file written anew: the release trees share the files they do not change.)
        write_ini_files(tool, {current / "config" / file_name: configs[file_name] for file_name in step_config})
        actions = ["open", "save", "print", "export-pdf", "quit"] + ["feature-%s" % step]
        if k % 3 == 1:
            write_bytes(fresh(current / "config" / "shortcuts.xml"), (
                '<?xml version="1.0" encoding="UTF-8"?>\n<shortcuts>\n  <key action="export-pdf" seq="Ctrl+E" />\n'
                '</shortcuts>\n').encode())
        else:
            write_bytes(fresh(current / "config" / "menus.xml"), menus_xml(version_to, actions).encode())

        # Database.
        script = make_update_script(k, step, major, minor + k, state, opts.sql_statements, rng_sql)
        script_path = scripts_dir / ("%s.sql" % version_to)
        write_bytes(script_path, script.text().encode("utf-8"))
        scripts.append((version_to, script_path, script))
        release_dirs.append((version_to, current))
        previous = current
    if len(release_dirs) > 2:
        drop_files([tree for _, tree in release_dirs[1:]])

    updater = work / "updater"
    copied = lay_out_updater(opts, build, updater)
    arguments = [str(tool), "build"]
    arguments += ["--release=%s=%s" % (version, tree) for version, tree in release_dirs]
    arguments += ["--sql=%s=%s" % (version, path) for version, path, _ in scripts]
    arguments += ["--updater=%s" % updater, "--out=%s" % layout.package_dir]
    done = subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise SampleError("corvane-package build did not carry the sample (exit status %d):\n%s"
                          % (done.returncode, done.stdout.decode(errors="replace")))
    shutil.rmtree(work)

    application = layout.package_dir / "application"
    step_summaries = []
    for (version_to, _, script), step in zip(scripts, steps):
        step_dir = application / step
        step_summaries.append({
            "name": step, "version": version_to, "common_files": _count_files(step_dir / "common"),
            "config_files": _count_files(step_dir / "config"), "sql_statements": script.statements,
            "sql_directives": script.directives, "removals": _count_removals(step_dir / "remove.list"),
            "bytes": sum(p.stat().st_size for p in step_dir.rglob("*") if p.is_file())})
    if opts.releases:
        summary["releases"] = [str(tree) for _, tree in release_dirs]
        summary["scripts"] = [str(path) for _, path, _ in scripts]
    summary.update({
        "install_files": install_files, "install_program_files": len(paths), "install_bytes": install_bytes,
        "config_files": len(install_ini) + 1, "config_bytes": config_bytes, "db_rows": shape,
        "package_common_files": _count_files(application / "common"),
        "package_files": _count_files(layout.package_dir),
        "package_bytes": sum(p.stat().st_size for p in layout.package_dir.rglob("*") if p.is_file()),
        "step_details": step_summaries, "copied": copied,
        "seconds": round(time.monotonic() - started, 2)})
    return summary


def _count_files(path):
    return sum(1 for p in Path(path).rglob("*") if p.is_file()) if Path(path).is_dir() else 0


def _count_removals(path):
    # Below the list's header line, one path a line.
    return max(0, len(path.read_bytes().splitlines()) - 1) if path.is_file() else 0


def fresh(path):
    """path, with a file that is there removed: the release trees share unchanged files
    (hard links), so a file of a newer release is always written anew."""
    if path.is_symlink() or path.is_file():
        path.unlink()
    return path


def linked_copy(source, target):
    """A copy of a tree whose files are hard links to the source's."""
    shutil.copytree(source, target, symlinks=True, copy_function=os.link)


def lay_out_updater(opts, build, updater):
    """The updater's folder the package carries: what --install-from, --string-bin and
    --copy-program name, else the build's string table alone. Returns the names."""
    updater.mkdir(parents=True)
    if opts.install_from:
        # The build's own install rules lay out the updater's files of a package.
        subprocess.run(["cmake", "--install", str(opts.install_from), "--prefix", str(updater)],
                       check=True, stdout=subprocess.DEVNULL)
    if opts.string_bin or not (updater / "string.bin").is_file():
        shutil.copy2(opts.string_bin or build / "string.bin", updater / "string.bin")
    for program in opts.copy_programs:
        shutil.copy2(program, updater / Path(program).name)
    return sorted(p.name for p in updater.iterdir())


def drop_files(trees):
    """The second release after the installed one (trees[1]; trees[0] is the release before
    it) deletes a plug-in and a document, as real releases do: the package carries the
    deletion in the step's removal list. Only files that neither that release nor a later
    one writes anew (they all still share the file) are dropped, from that release and
    every later one."""
    first = trees[1]

    def unchanged(relative):
        st = (first / relative).stat()
        return all((t / relative).is_file() and os.path.samestat(st, (t / relative).stat()) for t in trees)

    for directories, suffix in ((("plugins", "imageformats"), ".dll"), (("docs",), ".html")):
        candidates = [p for d in directories for p in sorted((first / d).rglob("*" + suffix)) if p.is_file()]
        for path in candidates:
            relative = path.relative_to(first).as_posix()
            if unchanged(relative):
                for tree in trees[1:]:
                    (tree / relative).unlink()
                break


def print_summary(s, out=sys.stdout):
    w = out.write
    w("Sample made under %s in %.1f s\n" % (s["root"], s["seconds"]))
    w("  installation   %s (version %s)\n" % (s["install_dir"], s["installed_version"]))
    w("                 %d program files, %s; config/: %d files; kqdata.db: %s\n" % (
        s["install_program_files"], _human(s["install_bytes"]), s["config_files"],
        ", ".join("%s %d" % (t, n) for t, n in s["db_rows"].items())))
    w("                 no config/UPDATER.ini (an absent flag means consistent)\n")
    w("  registry key   %s\n" % s["registry_file"])
    w("  package        %s (version %s, built by corvane-package build)\n" % (s["package_dir"], s["package_version"]))
    w("                 application/common: %d files\n" % s["package_common_files"])
    for step in s["step_details"]:
        w("                 application/%s: %d common files, %d config files, %d SQL statements"
          " (%d IFN_COL), %d paths to remove, %s\n" % (
              step["name"], step["common_files"], step["config_files"], step["sql_statements"],
              step["sql_directives"], step["removals"], _human(step["bytes"])))
    w("                 %d files, %s in all\n" % (s["package_files"], _human(s["package_bytes"])))
    if s.get("releases"):
        w("  releases       %s\n" % ", ".join(s["releases"]))
        w("  scripts        %s\n" % ", ".join(s["scripts"]))
    w("  updater files  %s\n" % ", ".join(s["copied"]))
    w("Run the updater from the package directory:\n")
    w("  cd %s && HOME=%s XDG_CONFIG_HOME=%s ./corvane-updater 1\n" % (s["package_dir"], s["home"], s["config_home"]))


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Make a sample installation of Ostrelle/Ketterin, its uninstall registry entry "
                    "and an update package for the Corvane updater.",
        epilog="Benchmark tree: --files 5000 --total-mb 300 --db-rows 100000 --common-files 300 "
               "--sql-statements 20000")
    parser.add_argument("--root", required=True, type=Path, help="directory to make the sample in")
    parser.add_argument("--config-home", type=Path,
                        help="XDG config home holding the registry stand-in (default: ROOT/home/.config)")
    parser.add_argument("--from", dest="from_version", default="3.2", help="installed version (default: 3.2)")
    parser.add_argument("--steps", type=int, default=3, help="version steps in the package (default: 3)")
    parser.add_argument("--lang-name", choices=DISPLAY_NAMES, default="Ostrelle",
                        help="display name of the product (default: Ostrelle)")
    parser.add_argument("--string-bin", type=Path, help="string table to copy into the package")
    parser.add_argument("--copy-program", dest="copy_programs", action="append", type=Path, default=[],
                        metavar="PATH", help="program to copy into the package (repeatable)")
    parser.add_argument("--install-from", type=Path, metavar="BUILD_DIR",
                        help="lay out the updater's programs and string table in the package with "
                             "'cmake --install BUILD_DIR'")
    parser.add_argument("--files", type=int, default=30, help="program files of the installation (default: 30)")
    parser.add_argument("--total-mb", type=float,
                        help="total size of those files in MB (default: 20 KB per file)")
    parser.add_argument("--db-rows", type=int, default=200, help="rows in kqdata.db (default: 200)")
    parser.add_argument("--sql-statements", type=int, default=40,
                        help="statements per update script, IFN_COL lines included (default: 40)")
    parser.add_argument("--common-files", type=int, default=6,
                        help="program files per version step (default: 6)")
    parser.add_argument("--seed", type=int, default=1, help="seed of every random choice (default: 1)")
    parser.add_argument("--force", action="store_true", help="replace a sample already under ROOT")
    parser.add_argument("--releases", action="store_true",
                        help="keep the installed tree of every release in ROOT/releases/<version> and the "
                             "update scripts in ROOT/sql/<version>.sql, the inputs of the package's build")
    parser.add_argument("--build", type=Path, metavar="BUILD_DIR",
                        help="the build whose tools/corvane-package builds the package, and whose string.bin "
                             "it carries unless --string-bin or --install-from give one (default: "
                             "$CORVANE_BUILD, else build/release)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        summary = generate(Options(**vars(args)))
    except SampleError as error:
        sys.stderr.write("make-sample: %s\n" % error)
        return 2
    print_summary(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
