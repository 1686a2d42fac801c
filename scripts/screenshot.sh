#!/usr/bin/env bash
# Starts the real updater window under a virtual X server in a throw-away package
# directory, once per language type, and saves what it shows as
# docs/window-zh.png (0), docs/window-en.png (1) and docs/window-es.png (2).
#
#   scripts/screenshot.sh [build dir]      (default: build/release, built if missing)
#
# Needs xvfb-run, xwininfo and ImageMagick's import (scripts/setup.sh installs them).
set -euo pipefail

# Inside the virtual X server: start the window in the package and grab it.
if [ "${1:-}" = "--shoot" ]; then # --shoot <package> <language type> <output png>
    package=$2 lan=$3 out=$4
    cd "$package"
    export QT_QPA_PLATFORM=xcb
    ./corvane-updater "$lan" 2>>"$package/stderr.txt" &
    pid=$!
    # Wait until the 600 x 300 window is mapped, then grab exactly that window.
    id=""
    for _ in $(seq 1 100); do
        id=$(xwininfo -root -tree 2>/dev/null | awk '/ 600x300\+/ { print $1; exit }')
        [ -n "$id" ] && break
        sleep 0.1
    done
    sleep 1 # let it paint
    [ -n "$id" ] && import -window "$id" "$out"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ -n "$id" ]
    exit
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
if [ ! -x "$build/corvane-updater" ] || [ ! -f "$build/string.bin" ]; then
    "$root/scripts/setup.sh"
    "$root/scripts/build.sh" release "$build" >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package: the program, its string table and version.ini (a marked INI file).
package="$work/package"
mkdir -p "$package"
cp "$build/corvane-updater" "$build/string.bin" "$package/"
cat >"$package/version.ini" <<'INI'
[ZRFILE_BEGIN]
CODE=tarnwoven

[RELEASE]
VERSION=3.5

[ZRFILE_END]
CODE=tarnwoven
INI

# The uninstall registry entries, in the registry stand-in below XDG_CONFIG_HOME.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
uninstall="$XDG_CONFIG_HOME/Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall"
mkdir -p "$uninstall"
for name in Ostrelle Ketterin; do
    cat >"$uninstall/$name.ini" <<INI
[General]
DisplayVersion=3.4.0.12
DisplayIcon=C:\\\\Program Files\\\\$name\\\\$name.exe
DisplayName=$name
INI
done

mkdir -p "$root/docs"
for entry in 0:zh 1:en 2:es; do
    lan=${entry%%:*}
    name=${entry#*:}
    if xvfb-run -a -s "-screen 0 800x600x24" "$0" --shoot "$package" "$lan" "$root/docs/window-$name.png"; then
        echo "docs/window-$name.png"
    else
        echo "no window appeared for language type $lan" >&2
        exit 1
    fi
done
