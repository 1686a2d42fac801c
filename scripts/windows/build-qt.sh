#!/usr/bin/env bash
# Builds Qt for Windows (mingw-w64, 64 bit, shared) from Debian's own source package of the
# Qt the Linux build uses, once per machine, into a cache directory, and prints its path.
#
#   scripts/windows/build-qt.sh            build when missing, print the Qt directory
#   scripts/windows/build-qt.sh --path     only print where the Qt directory is (or would be)
#
# CORVANE_QT_WIN    the Qt directory to use or build (default below the user's cache
#                   directory: ${XDG_CACHE_HOME:-~/.cache}/corvane/qt-<version>-mingw-<hash>,
#                   the hash taken over the configure options, the SQLite and compiler versions)
# CORVANE_QT_JOBS   parallel compile jobs (default: number of cores)
#
# Installs what is missing from Debian's packages (scripts/setup.sh --windows: cross
# compiler, Wine, Tcl for the SQLite amalgamation, dpkg-dev). The sources come through apt
# with deb-src entries for the mirror this machine already uses, kept in a private apt
# directory so the system's apt is unchanged (debian-source.sh).
# The Qt directory is never half-present: Qt is built and installed elsewhere and moved into
# place at the end. An interrupted build continues where it stopped on the next run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=debian-source.sh
. "$root/scripts/windows/debian-source.sh"

only_path=0
case "${1:-}" in
    "") ;;
    --path) only_path=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
esac

log() { echo "build-qt: $*" >&2; }

# What the build needs, before anything below asks for versions of it.
[ "$only_path" -eq 1 ] || "$root/scripts/setup.sh" --windows >&2

# The same Qt as on Linux: the version of the installed qtbase5-dev, else apt's candidate.
qt_debian_version=$(debian_package_version qtbase5-dev)
[ -n "$qt_debian_version" ] || { log "cannot tell which Qt version to build (qtbase5-dev unknown to apt)"; exit 1; }
sqlite_debian_version=$(debian_package_version libsqlite3-0)
qt_upstream=${qt_debian_version%%+*}
qt_upstream=${qt_upstream%%-*}

# Only the modules and plug-ins the updater and its tests load: Core, Gui, Widgets, Sql, Test,
# the windows/offscreen/minimal platforms, the SQLite driver, the ICO plug-in, the styles.
# Network stays: Qt Gui's configuration depends on it, and the generic TUIO touch plug-in
# links it.
configure_options=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -opensource -confirm-license -release -shared -nomake examples -nomake tests
    -no-opengl -no-feature-tabletevent -no-dbus -no-icu -no-openssl
    -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz
    -sql-sqlite -qt-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
    -no-feature-concurrent -no-feature-xml -no-feature-printer
    -no-feature-jpeg -no-feature-gif -no-feature-bearermanagement -no-feature-direct2d
)

compiler_version=$(x86_64-w64-mingw32-g++-posix -dumpfullversion 2>/dev/null || echo none)
options_hash=$(printf '%s\n' "${configure_options[@]}" "$sqlite_debian_version" "$compiler_version" \
    | sha256sum | cut -c1-10)
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/corvane
qt_dir=$(realpath -m "${CORVANE_QT_WIN:-$cache_root/qt-$qt_upstream-mingw-$options_hash}")

if [ "$only_path" -eq 1 ] || [ -f "$qt_dir/lib/cmake/Qt5/Qt5Config.cmake" ]; then
    echo "$qt_dir"
    exit 0
fi

# Everything in progress lives in one work directory beside the result (same file system,
# so the final move is a rename).
parent=$(dirname "$qt_dir")
work=$parent/.work-$(basename "$qt_dir")
mkdir -p "$work"
start=$(date +%s)

# Qt's threads need the posix flavour of the cross compiler, which Qt's configure finds by
# the plain names: put those names first on the path, whichever flavour the system's
# alternatives select.
mkdir -p "$work/bin"
for tool in gcc g++; do
    ln -sf "$(command -v x86_64-w64-mingw32-$tool-posix)" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

# --- sources: Debian's source packages through a private apt directory -----------------------
qt_dsc=qtbase-opensource-src_${qt_debian_version#*:}.dsc
sqlite_dsc=sqlite3_${sqlite_debian_version#*:}.dsc
if [ ! -f "$work/download/$qt_dsc" ] || [ ! -f "$work/download/$sqlite_dsc" ]; then
    log "fetching qtbase-opensource-src $qt_debian_version and sqlite3 $sqlite_debian_version"
    debian_source_fetch "$work/apt" "$work/download" \
        "qtbase-opensource-src=$qt_debian_version" "sqlite3=$sqlite_debian_version" \
        || { log "could not fetch the sources"; exit 1; }
fi

# --- SQLite amalgamation into Qt's tree (Debian's tarball has none) ---------------------------
src=$work/qtbase
if [ ! -f "$src/src/3rdparty/sqlite/sqlite3.c" ]; then
    rm -rf "$src" "$src.tmp" "$work/sqlite"
    log "unpacking the sources"
    dpkg-source --no-check -x "$work/download/$qt_dsc" "$src.tmp" >/dev/null
    dpkg-source --no-check -x "$work/download/$sqlite_dsc" "$work/sqlite" >/dev/null
    log "building the SQLite amalgamation"
    (cd "$work/sqlite" && ./configure -q >/dev/null && make -s sqlite3.c >/dev/null)
    mkdir -p "$src.tmp/src/3rdparty/sqlite"
    cp "$work/sqlite/sqlite3.c" "$work/sqlite/sqlite3.h" "$src.tmp/src/3rdparty/sqlite/"
    rm -rf "$work/sqlite"
    mv "$src.tmp" "$src"
fi

# --- configure, build, install into a staging root, move into place --------------------------
build=$work/build
jobs=${CORVANE_QT_JOBS:-$(nproc)}
if [ ! -f "$build/Makefile" ]; then
    rm -rf "$build"
    mkdir -p "$build"
    log "configuring Qt $qt_upstream for Windows (a few minutes)"
    (cd "$build" && nice -n 10 "$src/configure" -prefix "$qt_dir" "${configure_options[@]}" >configure.log 2>&1) \
        || { tail -30 "$build/configure.log" >&2; log "configure failed (whole output in $build/configure.log)"; exit 1; }
fi
# The modules we use, with what they depend on; the plug-ins come with sub-plugins.
modules=(moc rcc uic corelib winmain network sql testlib gui widgets platformsupport platformheaders plugins)
log "building Qt (output in $build/make.log)"
# qmake, then the Makefiles of src/ and below (they are made on the first make), then
# only the modules we use.
(cd "$build" && nice -n 10 make -j"$jobs" sub-qmake-qmake-aux-pro >make.log 2>&1 \
    && nice -n 10 make sub-src-qmake_all >>make.log 2>&1 \
    && cd src && nice -n 10 make -j"$jobs" "${modules[@]/#/sub-}" >>../make.log 2>&1) \
    || { { grep -E -B2 -A8 "error|Error" "$build/make.log" || true; } | tail -40 >&2; log "build failed (whole output in $build/make.log)"; exit 1; }
stage=$work/stage
rm -rf "$stage"
install_targets=()
for module in "${modules[@]}"; do install_targets+=("sub-$module-install_subtargets"); done
(cd "$build" && make INSTALL_ROOT="$stage" install_fixqt4headers install_syncqt install_mkspecs \
        sub-qmake-qmake-aux-pro-install_subtargets >install.log 2>&1 \
    && cd src && make INSTALL_ROOT="$stage" "${install_targets[@]}" >>../install.log 2>&1) \
    || { tail -20 "$build/install.log" >&2; log "install failed"; exit 1; }
rm -rf "$qt_dir"
mv "$stage$qt_dir" "$qt_dir"
rm -rf "$work"
log "Qt for Windows is in $qt_dir ($(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s)"
echo "$qt_dir"
