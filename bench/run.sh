#!/usr/bin/env bash
# Measures the updater against cp and sqlite3 on a generated installation.
#
#   bench/run.sh [--dir DIR] [--reps N] [--build DIR] [--cache cold|warm] [--quick] [--keep]
#                [--raw FILE] [--log-only]
#
# Makes, with scripts/make-sample.py, a large sample (5000 program files, 300 MB, a
# kqdata.db of 100 000 rows, a package of three steps with 300 common files and 20 000
# SQL statements each) and a small one (500 files, 30 MB) in a throw-away directory
# below DIR (default /tmp) on one disk, and measures, each stage repeated N times
# (default 5) and reported as the median:
#
#   backup   CVUpdater::backupVersion()  vs  cp -r of the same tree to the same disk, then sync
#   restore  CVUpdater::restoreVersion() vs  cp -r of that tree back over the copy, then sync;
#            also vs cp -r --remove-destination, which replaces files the way the restore must
#   restore after a failed update: CVUpdater::restoreVersion() after a tenth of the files
#            were changed (half of them to another size, half in their last byte only) vs
#            the same cp -r + sync of the whole tree
#   sql      each step's dbupdate.sql through ZRSqlParser and DBControl vs the sqlite3 shell
#            running the statements the parser outputs (IFN_COL resolved) in one BEGIN/COMMIT;
#            also without the parser's per-statement debug log lines, to show their cost
#   backup again: CVUpdater::backupVersion() over the backup just taken, the installation
#            unchanged, vs the first backup (at most 1.1 x)
#   update   corvane-updater-cli, the whole update, vs the sum of the references: cp -r + sync
#            of the backup, cp -r + sync of the package's common trees, and for every step
#            sqlite3 plus the log floor for its "sql:" lines; broken down by stage from the
#            time stamps of the run's log (checks, backup, each step's copies and its SQL,
#            registry), and the "sql:" lines of the run per piece of the scripts (1.00: each
#            statement's line written once)
#   big script: a one-step package whose script is 100 MB of INSERTs (23 MB with --quick):
#            the step's SQL vs sqlite3 plus the log floor, and the whole update's peak memory
#   log      20 000 log lines like the SQL stage's "sql:" lines through the updater's log
#            handler (message built, handled, its file opened, written once and closed)
#            vs the floor: the same bytes written by a C loop of open(O_APPEND), one write
#            and close per line; wall-clock and processor time per line
#   verify   the check of a signed package before an update: every file of a package as large
#            as the installation (its tree as the package's common files) hashed and compared
#            with its manifest, vs the backup above; also with the package in the page cache,
#            as it is right after a download or an unpack
#
# and the peak memory of each of these processes on both tree sizes. Before every timed
# run, dirty data is synced and, as root, the page cache dropped (--cache cold, the
# default when possible); otherwise (--cache warm) the run's source is read once, the
# same for both sides. The SQL runs are always compared warm. Ours are timed around the
# stage inside the process, the references around the whole command. Exit status 0
# when every target is met. --raw appends every single measurement to FILE.
#
# Targets: backup and restore at most 1.2 x (cp -r + sync), the backup again at most 1.1 x
# the first, the restore after a failed update at most 0.5 x, SQL with its debug lines at
# most 1.3 x (sqlite3 + the log floor for its lines), the log line at most 1.5 x its floor,
# verifying a package at most 0.3 x our backup, the whole update at most 1.2 x the sum of
# its references, peak memory under 80 MB on either tree and under 64 MB with the big script.
# --log-only measures the log line alone (a few seconds, no sample).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
parent=/tmp
reps=5
build="$root/build/release"
cache=""
quick=0
keep=0
raw=""
log_only=0

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit "${1:-0}"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --dir) parent=$2; shift 2 ;;
        --reps) reps=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --cache) cache=$2; shift 2 ;;
        --quick) quick=1; shift ;;
        --keep) keep=1; shift ;;
        --raw) raw=$2; shift 2 ;;
        --log-only) log_only=1; shift ;;
        -h|--help) usage 0 ;;
        *) echo "unknown option: $1" >&2; usage 2 ;;
    esac
done
[[ "$reps" =~ ^[1-9][0-9]*$ ]] || { echo "--reps takes a positive number" >&2; exit 2; }

for tool in sqlite3 python3 cmake; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

if [ -z "$cache" ]; then
    if [ -w /proc/sys/vm/drop_caches ] && sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then
        cache=cold
    else
        cache=warm
    fi
fi
case "$cache" in
    cold) [ -w /proc/sys/vm/drop_caches ] || { echo "--cache cold needs root (drop_caches)" >&2; exit 2; } ;;
    warm) ;;
    *) echo "--cache takes cold or warm" >&2; exit 2 ;;
esac

# Large and small samples; --quick shrinks the large one to try the script out.
if [ "$quick" -eq 1 ]; then
    large=(--files 1000 --total-mb 60 --db-rows 20000 --common-files 60 --sql-statements 4000)
    big_statements=250000
    need_mb=1000
else
    large=(--files 5000 --total-mb 300 --db-rows 100000 --common-files 300 --sql-statements 20000)
    big_statements=1200000
    need_mb=3700
fi
small=(--files 500 --total-mb 30 --db-rows 100000 --common-files 300 --sql-statements 20000)
# One step whose script is large; the rest small.
big=(--files 200 --total-mb 10 --db-rows 20000 --common-files 20 --steps 1 --sql-statements "$big_statements")

# The installation, its backup, the cp reference, a pristine copy for the whole-update
# runs and the package, for the large sample; a tenth of that for the small one.
mkdir -p "$parent"
avail_mb=$(df -Pm "$parent" | awk 'NR == 2 { print $4 }')
[ "$log_only" -eq 1 ] && need_mb=100
if [ "$avail_mb" -lt "$need_mb" ]; then
    echo "only $avail_mb MB free below $parent; the benchmark needs about $need_mb MB (--dir elsewhere)" >&2
    exit 2
fi

# --- build ----------------------------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset release -B "$build" >/dev/null)
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
[ "$build_type" = Release ] || echo "warning: $build is a '$build_type' build; figures of a Release build are the ones to compare" >&2
targets=(corvane-bench)
if cmake --build "$build" --target help 2>/dev/null | grep -q 'corvane-updater-cli'; then
    targets+=(corvane-updater-cli)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
bench="$build/bench/corvane-bench"
cli="$build/corvane-updater-cli"
[ -x "$cli" ] || cli=""

work=$(mktemp -d "$parent/corvane-bench.XXXXXX")
cleanup() { [ "$keep" -eq 1 ] && echo "kept: $work" || rm -rf "$work"; }
trap cleanup EXIT

# --- helpers --------------------------------------------------------------------------
# Dirty data left by the set-up must not be flushed inside a measurement; then the
# caches are made equal for both sides. The SQL runs are always compared warm: their
# files are small, and a cold start would time loading the programs' libraries.
settle() {
    sync
    if [ "$cache" = cold ] && [ "${settle_warm:-0}" -eq 0 ]; then
        echo 3 >/proc/sys/vm/drop_caches
    else
        local dir
        for dir in "$@"; do
            find "$dir" -type f -exec cat {} + >/dev/null
        done
    fi
}

field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

record() { [ -z "$raw" ] || echo "$1 $2" >>"$raw"; }

# One stage of ours on a sample: prints the bench line, fails the script on failure.
ours() {
    local sample=$1; shift
    local line
    if ! line=$("$bench" --root "$sample" "$@"); then
        echo "corvane-bench $* failed: $line (log: $sample/package/log)" >&2
        exit 1
    fi
    record "$(basename "$sample") $*${QT_LOGGING_RULES:+ ($QT_LOGGING_RULES)}" "$line"
    echo "$line"
}

# A reference command, timed by the same program.
reference() {
    local line
    if ! line=$("$bench" run "$@"); then
        echo "reference failed: $* ($line)" >&2
        exit 1
    fi
    record "reference $(basename "${@: -1}")" "$line"
    echo "$line"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

make_sample() {
    local dir=$1; shift
    python3 "$root/scripts/make-sample.py" --root "$dir" --seed 1 "$@" >/dev/null
}

installation_of() { echo "$1/Programs/Ostrelle"; }

# What a failed update leaves before its restore: every tenth file (by path) changed,
# every other one of those to another size, the rest in their last byte only, so that
# only a comparison of the whole content finds them. Leaves out what the backup does.
change_tenth() {
    python3 - "$1" <<'PY'
import os, sys
root = sys.argv[1]
# The updater's rule (InstallLayout): its own names at the top, a few file names anywhere.
skip_top = {"backup", "log", "image", "Updater"}
skip_files = {"UPDATER.ini", "install.log", "UPDATER.lock"}
paths = []
for top, dirs, files in os.walk(root):
    if top == root:
        dirs[:] = [d for d in dirs if d not in skip_top]
    dirs[:] = [d for d in dirs if not d.startswith(".")]
    for name in files:
        if name.startswith(".") or name in skip_files:
            continue
        path = os.path.join(top, name)
        if not os.path.islink(path):
            paths.append(path)
paths.sort()
for i, path in enumerate(paths[::10]):
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
print(len(paths[::10]), "of", len(paths))
PY
}

steps_of() { (cd "$1/package/application" && ls -d *_to_* | sort -V); }

# The pieces of a step's script that get a "sql:" line: the text of the lines the parser
# keeps, cut at every ";", empty pieces left out.
pieces_of() {
    python3 - "$1/package/application/$2/sql/dbupdate.sql" <<'PY'
import sys
count = 0
tail = ""
with open(sys.argv[1], "rb") as f:
    for line in f:
        if line.startswith(b"#") or not line.strip():
            continue
        parts = (tail + line.decode("utf-8", "replace")).split(";")
        count += sum(1 for p in parts[:-1] if p)
        tail = parts[-1]
print(count + (1 if tail else 0))
PY
}

# The log floor for n lines like the SQL stage's, from the log measurement (seconds).
log_floor_for() { awk -v n="$1" -v s="${result[log.ref]}" -v l="$log_lines" 'BEGIN { print n * s / l }'; }

# Every measured figure, by name: times (seconds) and peak memory (KiB).
declare -A result

# --- backup and restore ---------------------------------------------------------------
measure_copies() {
    local sample=$1 label=$2 n=$3
    local install copy line i
    install=$(installation_of "$sample")
    copy="$work/copy-$label"
    local -a ours_backup=() ref_backup=() ours_restore=() ref_restore=() same_rule=() ours_failed=() ours_again=()
    for ((i = 0; i < n; i++)); do
        rm -rf "$install/backup" "$copy"
        settle "$install"
        line=$(ours "$sample" backup)
        ours_backup+=("$(field seconds "$line")")
        result[$label.backup.rss]=$(field peak_rss_kb "$line")

        # The next update's backup over this one, the installation unchanged.
        settle "$install"
        line=$(ours "$sample" backup)
        ours_again+=("$(field seconds "$line")")

        # The very files the backup copied, copied by cp to the same disk.
        settle "$install/backup"
        line=$(reference sh -c 'cp -r "$1" "$2" && sync' sh "$install/backup" "$copy")
        ref_backup+=("$(field seconds "$line")")

        # Both put the backup back over a tree that holds every file already.
        settle "$install/backup"
        line=$(ours "$sample" restore)
        ours_restore+=("$(field seconds "$line")")
        result[$label.restore.rss]=$(field peak_rss_kb "$line")

        settle "$install/backup"
        line=$(reference sh -c 'cp -r "$1/." "$2/" && sync' sh "$install/backup" "$copy")
        ref_restore+=("$(field seconds "$line")")

        # cp under the copy's own rule: every existing file removed, then created anew.
        settle "$install/backup"
        line=$(reference sh -c 'cp -r --remove-destination "$1/." "$2/" && sync' sh "$install/backup" "$copy")
        same_rule+=("$(field seconds "$line")")

        # The restore after a failed update that changed a tenth of the files.
        result[$label.changed]=$(change_tenth "$install")
        settle "$install"
        line=$(ours "$sample" restore)
        ours_failed+=("$(field seconds "$line")")
    done
    rm -rf "$copy"
    result[$label.backup]=$(median "${ours_backup[@]}")
    result[$label.backup.ref]=$(median "${ref_backup[@]}")
    result[$label.backup.again]=$(median "${ours_again[@]}")
    result[$label.restore]=$(median "${ours_restore[@]}")
    result[$label.restore.ref]=$(median "${ref_restore[@]}")
    result[$label.restore.same]=$(median "${same_rule[@]}")
    result[$label.restore.failed]=$(median "${ours_failed[@]}")
}

failed=0
row() { # name ours reference target
    local r verdict=""
    r=$(ratio "$2" "$3")
    if [ -n "$4" ]; then
        if awk -v r="$r" -v t="$4" 'BEGIN { exit !(r <= t) }'; then verdict="ok"; else verdict="MISSED"; failed=1; fi
        printf '%-22s %9.3f s %9.3f s %7s   <= %-5s %s\n' "$1" "$2" "$3" "$r" "$4" "$verdict"
    else
        printf '%-22s %9.3f s %9.3f s %7s\n' "$1" "$2" "$3" "$r"
    fi
}

# --- log line -------------------------------------------------------------------------
# Ours and the floor alternate, each in a fresh directory on the same disk.
log_lines=20000
measure_log() {
    local n=$1 i kind line
    local -a ours_wall=() ours_cpu=() floor_wall=() floor_cpu=()
    for ((i = 0; i < n; i++)); do
        for kind in log logfloor; do
            rm -rf "$work/log-$kind"
            sync
            if ! line=$("$bench" "$kind" "$log_lines" "$work/log-$kind"); then
                echo "corvane-bench $kind failed: $line" >&2
                exit 1
            fi
            record "$kind" "$line"
            if [ "$kind" = log ]; then
                ours_wall+=("$(field seconds "$line")"); ours_cpu+=("$(field cpu_seconds "$line")")
            else
                floor_wall+=("$(field seconds "$line")"); floor_cpu+=("$(field cpu_seconds "$line")")
            fi
        done
    done
    if ! cmp -s <(cut -c24- "$work"/log-log/log/*.txt) <(cut -c24- "$work"/log-logfloor/log/*.txt); then
        echo "the handler's lines differ from the floor's (time stamps aside)" >&2
        exit 1
    fi
    rm -rf "$work/log-log" "$work/log-logfloor"
    result[log]=$(median "${ours_wall[@]}")
    result[log.ref]=$(median "${floor_wall[@]}")
    result[log.cpu]=$(median "${ours_cpu[@]}")
    result[log.cpu.ref]=$(median "${floor_cpu[@]}")
}

log_report() {
    local us_ours us_floor
    us_ours=$(awk -v s="${result[log]}" -v n="$log_lines" 'BEGIN { printf "%.2f", s * 1e6 / n }')
    us_floor=$(awk -v s="${result[log.ref]}" -v n="$log_lines" 'BEGIN { printf "%.2f", s * 1e6 / n }')
    echo "Log line ($log_lines lines; reference: open(O_APPEND), write, close per line)"
    printf '%-22s %11s %11s %7s   %s\n' "" corvane floor ratio target
    row "log, wall-clock" "${result[log]}" "${result[log.ref]}" 1.5
    row "  processor time" "${result[log.cpu]}" "${result[log.cpu.ref]}" ""
    echo "  per line: $us_ours us, floor $us_floor us"
}

# --- SQL of each step -----------------------------------------------------------------
# Each step starts from the database as the steps before it left it; both sides start
# from the same file and must end with the same content.
measure_sql() {
    local sample=$1 label=$2 n=$3
    local settle_warm=1
    local install db sqlwork step line i
    install=$(installation_of "$sample")
    db="$install/kqdata.db"
    sqlwork="$work/sql-$label"
    mkdir -p "$sqlwork"
    cp "$db" "$sqlwork/original.db"
    result[$label.sql.rss]=0
    for step in $(steps_of "$sample"); do
        cp "$db" "$sqlwork/before.db"
        ours "$sample" statements "$step" "$sqlwork/$step.sql" >/dev/null
        local -a ours_sql=() quiet_sql=() ref_sql=()
        for ((i = 0; i < n; i++)); do
            cp "$sqlwork/before.db" "$db"
            settle "$db" "$sample/package/application/$step/sql"
            line=$(ours "$sample" sql "$step")
            ours_sql+=("$(field seconds "$line")")
            local rss
            rss=$(field peak_rss_kb "$line")
            [ "$rss" -gt "${result[$label.sql.rss]}" ] && result[$label.sql.rss]=$rss

            # The same without the per-statement debug lines, to show what they cost.
            cp "$sqlwork/before.db" "$db"
            settle "$db" "$sample/package/application/$step/sql"
            line=$(QT_LOGGING_RULES="ZR_LOG.A.debug=false" ours "$sample" sql "$step")
            quiet_sql+=("$(field seconds "$line")")

            cp "$sqlwork/before.db" "$sqlwork/reference.db"
            settle "$sqlwork/reference.db" "$sqlwork/$step.sql"
            line=$(reference sqlite3 -bail "$sqlwork/reference.db" ".read $sqlwork/$step.sql")
            ref_sql+=("$(field seconds "$line")")
        done
        if ! cmp -s <(sqlite3 "$db" .dump) <(sqlite3 "$sqlwork/reference.db" .dump); then
            echo "step $step: the database differs from the sqlite3 shell's result" >&2
            exit 1
        fi
        result[$label.sql.$step]=$(median "${ours_sql[@]}")
        result[$label.sql.$step.ref]=$(median "${ref_sql[@]}")
        result[$label.sql.$step.quiet]=$(median "${quiet_sql[@]}")
        result[$label.sql.$step.lines]=$(pieces_of "$sample" "$step")
        result[$label.sql.$step.floor]=$(log_floor_for "${result[$label.sql.$step.lines]}")
    done
    # Back to the state of the other measurements.
    cp "$sqlwork/original.db" "$db"
    rm -rf "$sqlwork"
}

# --- the whole update -----------------------------------------------------------------
# Every run starts from the installation and registry entry as generated.
measure_update() {
    local sample=$1 label=$2 n=$3
    local install pristine registry line i
    install=$(installation_of "$sample")
    pristine="$work/pristine-$label"
    registry=$(find "$sample/home/.config/Corvane/registry" -name '*.ini' | head -n 1)
    local -a ours_update=() ref_common=() stages=()
    for ((i = 0; i < n; i++)); do
        rm -rf "$sample/package/log" && mkdir "$sample/package/log"
        rm -rf "$install"
        cp -a "$pristine/install" "$install"
        cp -a "$pristine/registry.ini" "$registry"
        rm -f "$sample/home/Desktop/"*.lnk
        settle "$install" "$sample/package"
        line=$(cd "$sample/package" && HOME="$sample/home" XDG_CONFIG_HOME="$sample/home/.config" \
            "$bench" run "$cli" --quiet) || { echo "corvane-updater-cli failed: $line" >&2; exit 1; }
        record "$label update" "$line"
        ours_update+=("$(field seconds "$line")")
        result[$label.update.rss]=$(field peak_rss_kb "$line")
        stages+=("$(stage_times "$sample/package/log")")
        result[$label.update.sqllines]=$(cat "$sample/package/log"/*.txt | grep -c ' sql: ' || true)

        # What the steps' file copies alone cost cp.
        local commons=("$sample/package/application/common") step
        for step in $(steps_of "$sample"); do
            commons+=("$sample/package/application/$step/common")
        done
        rm -rf "$work/common-copy" && mkdir "$work/common-copy"
        settle "$sample/package"
        line=$(reference sh -c 'to=$1; shift; for d; do cp -r "$d/." "$to/" || exit 1; done; sync' \
            sh "$work/common-copy" "${commons[@]}")
        ref_common+=("$(field seconds "$line")")
    done
    rm -rf "$work/common-copy"
    result[$label.update]=$(median "${ours_update[@]}")
    result[$label.update.common]=$(median "${ref_common[@]}")
    local stage k
    for stage in check backup copy sql registry; do
        local -a values=()
        for k in "${stages[@]}"; do values+=("$(field "$stage" "$k")"); done
        result[$label.update.$stage]=$(median "${values[@]}")
    done
    local pieces=0 step
    for step in $(steps_of "$sample"); do pieces=$((pieces + $(pieces_of "$sample" "$step"))); done
    result[$label.update.pieces]=$pieces
}

# Seconds of each stage of one whole update, from its log's time stamps: "check=S backup=S
# copy=S sql=S registry=S" (copy and sql summed over the steps).
stage_times() {
    python3 - "$1" <<'PY'
import datetime, glob, sys
marks = []
for path in sorted(glob.glob(sys.argv[1] + "/*.txt")):
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if " sql: " in line:
                continue
            stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            marks.append((stamp, line[24:]))
def first(text, start=0):
    for i in range(start, len(marks)):
        if text in marks[i][1]:
            return i
    return None
total = {"check": 0.0, "backup": 0.0, "copy": 0.0, "sql": 0.0, "registry": 0.0}
check, flag = first(" check package"), first(" check update flag")
backup, execute = first(" backup old version"), first(" exec update\n")
registry, end = first(" update regedit and shortcut"), first(" exit status")
total["check"] = marks[flag][0] - marks[check][0]
total["backup"] = marks[execute][0] - marks[backup][0]
total["registry"] = marks[end][0] - marks[registry][0]
# Each step: its copies from "exec update <step>" to "update db data", then its SQL.
i = execute
while True:
    step = first("FormalUpdateO::execUpdate(const QString&) exec update", i + 1)
    if step is None:
        break
    db = first("update db data", step)
    after = first("FormalUpdateO::execUpdate(const QString&) exec update", db) or registry
    total["copy"] += marks[db][0] - marks[step][0]
    total["sql"] += marks[after][0] - marks[db][0]
    i = db
print(" ".join("%s=%.3f" % kv for kv in total.items()))
PY
}

# --- a big script ---------------------------------------------------------------------
# The step's SQL alone (memory and time against sqlite3 plus the log floor) and the whole
# update's peak memory, once each: the script is what matters, not the tree.
measure_big() {
    local sample=$1
    local install db step line sqlwork="$work/sql-big"
    install=$(installation_of "$sample")
    db="$install/kqdata.db"
    step=$(steps_of "$sample" | head -n 1)
    mkdir -p "$sqlwork"
    cp "$db" "$sqlwork/before.db"
    result[big.script.mb]=$(du -m --apparent-size "$sample/package/application/$step/sql/dbupdate.sql" | cut -f1)
    ours "$sample" statements "$step" "$sqlwork/$step.sql" >/dev/null
    settle_warm=1 settle "$db" "$sample/package/application/$step/sql"
    rm -rf "$sample/package/log" && mkdir "$sample/package/log"
    line=$(ours "$sample" sql "$step")
    result[big.sql]=$(field seconds "$line")
    result[big.sql.rss]=$(field peak_rss_kb "$line")
    result[big.sql.lines]=$(pieces_of "$sample" "$step")
    result[big.sql.logged]=$(cat "$sample/package/log"/*.txt | grep -c ' sql: ' || true)
    cp "$sqlwork/before.db" "$sqlwork/reference.db"
    settle_warm=1 settle "$sqlwork/reference.db" "$sqlwork/$step.sql"
    line=$(reference sqlite3 -bail "$sqlwork/reference.db" ".read $sqlwork/$step.sql")
    result[big.sql.ref]=$(field seconds "$line")
    result[big.sql.floor]=$(log_floor_for "${result[big.sql.lines]}")
    cp "$sqlwork/before.db" "$db"
    rm -rf "$sqlwork"
    if [ -n "$cli" ]; then
        measure_update "$sample" big 1
    fi
}

describe() {
    local install
    install=$(installation_of "$1")
    printf '%d files, %s MB' "$(find "$install" -type f | wc -l)" "$(du -sm --apparent-size "$install" | cut -f1)"
}

keep_pristine() {
    local sample=$1 label=$2
    local pristine="$work/pristine-$label"
    mkdir -p "$pristine"
    cp -a "$(installation_of "$sample")" "$pristine/install"
    cp -a "$(find "$sample/home/.config/Corvane/registry" -name '*.ini' | head -n 1)" "$pristine/registry.ini"
}

# --- run ------------------------------------------------------------------------------
echo "corvane benchmark: median of $reps runs, caches $cache before every run, work in $work"
if [ "$log_only" -eq 1 ]; then
    measure_log "$reps"
    log_report
    exit "$failed"
fi
echo "making the samples ..."
make_sample "$work/large" "${large[@]}"
make_sample "$work/small" "${small[@]}"
make_sample "$work/big" "${big[@]}"
# --- package verification ------------------------------------------------------------
# A package holding the whole installation tree as its common files, with its manifest:
# every byte is read and hashed, as before an update of a signed package.
measure_verify() {
    local sample=$1 label=$2 n=$3
    local package="$work/$label-package" line i
    local -a ours_verify=()
    rm -rf "$package"
    mkdir -p "$package/application/common"
    cp -r "$(installation_of "$sample")/." "$package/application/common/"
    rm -rf "$package/application/common/backup"
    cp "$sample/package/version.ini" "$package/"
    "$bench" manifest "$package" >/dev/null
    result[$label.verify.bytes]=$(du -sm --apparent-size "$package" | cut -f1)
    local -a ours_warm=()
    for ((i = 0; i < n; i++)); do
        settle "$package"
        line=$("$bench" verify "$package" 2>/dev/null) || { echo "corvane-bench verify $package failed" >&2; exit 1; }
        record "$label verify" "$line"
        ours_verify+=("$(field seconds "$line")")
        result[$label.verify.rss]=$(field peak_rss_kb "$line")
        # A package just downloaded or unpacked is still in the page cache.
        settle_warm=1 settle "$package"
        line=$("$bench" verify "$package" 2>/dev/null) || { echo "corvane-bench verify $package failed" >&2; exit 1; }
        record "$label verify cached" "$line"
        ours_warm+=("$(field seconds "$line")")
    done
    result[$label.verify]=$(median "${ours_verify[@]}")
    result[$label.verify.warm]=$(median "${ours_warm[@]}")
    rm -rf "$package"
}

large_text=$(describe "$work/large")
small_text=$(describe "$work/small")
[ -n "$cli" ] && keep_pristine "$work/large" large && keep_pristine "$work/small" small && keep_pristine "$work/big" big

echo "log line ..."
measure_log "$reps"
echo "backup and restore ..."
measure_copies "$work/large" large "$reps"
measure_copies "$work/small" small 1
echo "SQL of every step ..."
measure_sql "$work/large" large "$reps"
measure_sql "$work/small" small 1
echo "verifying a package as large as the installation ..."
measure_verify "$work/large" large "$reps"
measure_verify "$work/small" small 1
if [ -n "$cli" ]; then
    echo "whole update ..."
    measure_update "$work/large" large "$reps"
    measure_update "$work/small" small 1
fi
echo "a big script ..."
measure_big "$work/big"

# --- report ---------------------------------------------------------------------------
echo
log_report
echo
echo "Large tree: $large_text"
printf '%-22s %11s %11s %7s   %s\n' stage corvane reference ratio target
row backup "${result[large.backup]}" "${result[large.backup.ref]}" 1.2
row "backup again" "${result[large.backup.again]}" "${result[large.backup]}" 1.1
echo "  (over the backup just taken, the installation unchanged; reference: the first backup)"
row restore "${result[large.restore]}" "${result[large.restore.ref]}" 1.2
row "  vs cp that removes" "${result[large.restore]}" "${result[large.restore.same]}" ""
row "restore, failed update" "${result[large.restore.failed]}" "${result[large.restore.ref]}" 0.5
echo "  (${result[large.changed]} files changed by the update; reference: cp -r + sync of the whole tree)"
sql_ref_sum=0
for step in $(steps_of "$work/large"); do
    step_ref=$(awk -v a="${result[large.sql.$step.ref]}" -v b="${result[large.sql.$step.floor]}" 'BEGIN { print a + b }')
    row "sql $step" "${result[large.sql.$step]}" "$step_ref" 1.3
    row "  without debug log" "${result[large.sql.$step.quiet]}" "${result[large.sql.$step.ref]}" ""
    sql_ref_sum=$(awk -v a="$sql_ref_sum" -v b="$step_ref" 'BEGIN { print a + b }')
done
echo "  (reference: sqlite3 running the same statements in one BEGIN/COMMIT, plus the log floor for the"
echo "   step's ${result[large.sql.$step.lines]} \"sql:\" lines; without the debug log: sqlite3 alone)"
row "verify (${result[large.verify.bytes]} MB)" "${result[large.verify]}" "${result[large.backup]}" 0.3
row "  package cached" "${result[large.verify.warm]}" "${result[large.backup]}" 0.3
echo "  (reference: our backup of the installation; every byte of the package read and hashed, SHA-256 by $(
    "$bench" verify /nonexistent 2>&1 | sed -n 's/.*SHA-256 by \([A-Za-z]*\).*/\1/p'))"
if [ -n "$cli" ]; then
    update_ref=$(awk -v a="${result[large.backup.ref]}" -v b="$sql_ref_sum" -v c="${result[large.update.common]}" \
        'BEGIN { print a + b + c }')
    row "whole update" "${result[large.update]}" "$update_ref" 1.2
    echo "  (reference: cp -r + sync of the backup, of the package's common trees, and sqlite3 plus the log"
    echo "   floor of every step)"
    row "  checks" "${result[large.update.check]}" "$update_ref" ""
    row "  backup" "${result[large.update.backup]}" "${result[large.backup.ref]}" ""
    row "  steps' copies" "${result[large.update.copy]}" "${result[large.update.common]}" ""
    row "  steps' SQL" "${result[large.update.sql]}" "$sql_ref_sum" ""
    row "  registry, shortcut" "${result[large.update.registry]}" "$update_ref" ""
    lines_ratio=$(ratio "${result[large.update.sqllines]}" "${result[large.update.pieces]}")
    printf '%-22s %11s %11s %7s   <= 1.00 %s\n' '"sql:" lines per piece' "${result[large.update.sqllines]}" \
        "${result[large.update.pieces]}" "$lines_ratio" "$([ "${result[large.update.sqllines]}" -le "${result[large.update.pieces]}" ] && echo ok || { failed=1; echo MISSED; })"
else
    echo "whole update: skipped, corvane-updater-cli is not built"
fi

echo
echo "Big script: one step of ${result[big.script.mb]} MB, ${result[big.sql.lines]} pieces"
big_ref=$(awk -v a="${result[big.sql.ref]}" -v b="${result[big.sql.floor]}" 'BEGIN { print a + b }')
row "sql, big script" "${result[big.sql]}" "$big_ref" 1.3
row "  vs sqlite3 alone" "${result[big.sql]}" "${result[big.sql.ref]}" ""
echo "  \"sql:\" lines written: ${result[big.sql.logged]} for ${result[big.sql.lines]} pieces"
[ "${result[big.sql.logged]}" -le "${result[big.sql.lines]}" ] || { echo "  more than one line per piece: MISSED"; failed=1; }
for stage in sql update; do
    key=big.$stage.rss
    [ -n "${result[$key]:-}" ] || continue
    if [ "${result[$key]}" -lt $((64 * 1024)) ]; then verdict=ok; else verdict=MISSED; failed=1; fi
    printf '%-22s %9s MB   <= 64 MB %s\n' "peak memory, $stage" "$(mb "${result[$key]}")" "$verdict"
done
if [ -n "${result[big.update]:-}" ]; then
    printf '%-22s %9.3f s   (checks %.3f, backup %.3f, copies %.3f, SQL %.3f)\n' "whole update, big" "${result[big.update]}" \
        "${result[big.update.check]}" "${result[big.update.backup]}" "${result[big.update.copy]}" "${result[big.update.sql]}"
fi

echo
echo "Peak memory (resident set, MB): small tree $small_text; large tree $large_text"
printf '%-22s %11s %11s\n' process small large
peak_max=0
for stage in backup restore sql verify update; do
    [ -n "${result[large.$stage.rss]:-}" ] || continue
    printf '%-22s %11s %11s\n' "$stage" "$(mb "${result[small.$stage.rss]}")" "$(mb "${result[large.$stage.rss]}")"
    for size in small large; do
        [ "${result[$size.$stage.rss]}" -gt "$peak_max" ] && peak_max=${result[$size.$stage.rss]}
    done
done
if [ "$peak_max" -lt $((80 * 1024)) ]; then
    echo "highest peak $(mb "$peak_max") MB   <= 80 MB ok"
else
    echo "highest peak $(mb "$peak_max") MB   <= 80 MB MISSED"
    failed=1
fi

[ "$failed" -eq 0 ] && echo "all targets met" || echo "targets missed"
exit "$failed"
