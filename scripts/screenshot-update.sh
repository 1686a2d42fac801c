#!/usr/bin/env bash
# Screenshots of the real updater window before and after an update, for the README:
# the window as it opens on the demo's sample package (docs/update-before.png) and the
# window with its result box beside it once Update has run (docs/update-after.png).
#
#   scripts/screenshot-update.sh [build dir]     (default: build/release, built if missing)
#
# Runs under a virtual X server; needs xvfb-run, xdotool, xwininfo and ImageMagick's
# import and convert (apt-get install xvfb xdotool x11-utils imagemagick).
set -euo pipefail

# Inside the virtual X server: --shoot <package dir> <before png> <after png>
if [ "${1:-}" = "--shoot" ]; then
    package=$2 before=$3 after=$4
    cd "$package"
    export QT_QPA_PLATFORM=xcb
    ./corvane-updater 1 2>>"$package/stderr.txt" &
    pid=$!
    trap 'kill "$pid" 2>/dev/null || true' EXIT

    # The top-level windows as "id width height x y", from xwininfo's tree of the root.
    windows() {
        xwininfo -root -children 2>/dev/null |
            awk '$1 ~ /^0x/ { if (match($0, /[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+/)) {
                     split(substr($0, RSTART, RLENGTH), g, /[x+]/); print $1, g[1], g[2], g[3], g[4] } }'
    }
    # Only mapped windows count: Qt keeps a few unmapped helper windows around.
    mapped() { xwininfo -id "$1" 2>/dev/null | grep -q "Map State: IsViewable"; }

    window=""
    for _ in $(seq 1 100); do
        while read -r id w h _x _y; do
            [ "$w" = 600 ] && [ "$h" = 300 ] && mapped "$id" && window=$id
        done < <(windows)
        [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
    sleep 1 # let it paint
    import -window "$window" "$before"

    # Update sits at (110, 240), 100 x 33, in the window.
    xdotool mousemove --window "$window" 160 256 click 1
    box=""
    for _ in $(seq 1 600); do
        while read -r id w h x y; do
            [ "$id" != "$window" ] && [ "$w" -gt 100 ] && [ "$h" -gt 100 ] && mapped "$id" && box="$id $w $h $x $y"
        done < <(windows)
        [ -n "$box" ] && break
        sleep 0.1
    done
    [ -n "$box" ] || { echo "no result box appeared" >&2; exit 1; }
    read -r box _ <<<"$box"
    # Without a window manager the box has no frame and lands on top of the window: move
    # it aside, grab both, and show them side by side, the box framed.
    xdotool windowmove "$box" 640 0
    sleep 1
    work=$package
    import -window "$window" "$work/window.png"
    import -window "$box" "$work/box.png"
    convert "$work/window.png" \( "$work/box.png" -bordercolor "#7a7f87" -border 1 \) \
        -background "#c9ced6" -gravity center +smush 16 -bordercolor "#c9ced6" -border 8 "$after"
    rm -f "$work/window.png" "$work/box.png"
    exit 0
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
if [ ! -x "$build/corvane-updater" ] || [ ! -f "$build/string.bin" ]; then
    "$root/scripts/setup.sh"
    "$root/scripts/build.sh" release "$build" >/dev/null
fi
for tool in xvfb-run xdotool xwininfo import convert; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (see the head of this script)" >&2; exit 1; }
done

# A fixed, readable path: it shows in the window as the installation directory.
work=/tmp/corvane-screenshot
if [ -e "$work" ] && [ ! -O "$work" ]; then
    echo "$work belongs to someone else" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
python3 "$root/scripts/make-sample.py" --root "$work" --from 3.2 --steps 3 --build "$build" \
    --install-from "$build" >/dev/null

mkdir -p "$root/docs"
xvfb-run -a -s "-screen 0 1280x800x24" "$0" --shoot "$work/package" "$root/docs/update-before.png" \
    "$root/docs/update-after.png"
echo "docs/update-before.png"
echo "docs/update-after.png"
