#!/usr/bin/env bash
# The updater's main job on a throw-away sample: installs what is missing, builds the
# release configuration, makes a sample installation of Ostrelle 3.2 and an update package
# to 3.5 in three version steps under demo/, checks the package, runs the update and shows
# what it changed.
#
#   scripts/demo.sh            the update with the console program corvane-updater-cli
#   scripts/demo.sh --window   the same in the updater's window (needs a display)
#
# Everything happens below demo/ (git-ignored, replaced on every run): HOME and the XDG
# directories point there, so the registry stand-in and the desktop shortcut never touch
# your own configuration. DEMO_BUILD_DIR overrides the build directory (build/release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=console
case "${1:-}" in
    "") ;;
    --window) mode=window ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "usage: scripts/demo.sh [--window]" >&2; exit 2 ;;
esac
if [ "$mode" = window ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "demo.sh --window needs a display (DISPLAY is not set); scripts/demo.sh alone runs the console updater" >&2
    exit 2
fi

bold=""
plain=""
if [ -t 1 ]; then bold=$(printf '\033[1m'); plain=$(printf '\033[0m'); fi
section() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

section "Installing what is missing and building (build/release)"
"$root/scripts/setup.sh"
build="${DEMO_BUILD_DIR:-$root/build/release}"
mkdir -p "$build"
"$root/scripts/build.sh" release "$build" corvane-updater corvane-updater-cli string_table >"$build/demo-build.log" 2>&1 ||
    { tail -30 "$build/demo-build.log"; echo "build failed (whole output in $build/demo-build.log)" >&2; exit 1; }
echo "built: $build/corvane-updater, $build/corvane-updater-cli, $build/string.bin"

demo="$root/demo"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share" \
    XDG_CACHE_HOME="$demo/home/.cache" XDG_RUNTIME_DIR="$demo/home/run"
rm -rf "$demo"
mkdir -p "$demo" && mkdir -p -m 700 "$XDG_RUNTIME_DIR"

section "Making a sample installation and an update package in demo/"
python3 "$root/scripts/make-sample.py" --root "$demo" --from 3.2 --steps 3 \
    --install-from "$build"
show() { python3 "$root/scripts/show-installation.py" --root "$demo" --rows 3 "$@"; }

section "Before the update"
show | tee "$demo/before.txt"
# The database as it was, so that the scripts' changes can be shown row by row afterwards.
cp "$demo/Programs/Ostrelle/kqdata.db" "$demo/kqdata-before.db"

cd "$demo/package"
section "Checking the package: corvane-updater-cli --check (a dry run, changes nothing)"
./corvane-updater-cli --check

if [ "$mode" = window ]; then
    section "Updating in the window: press Update, then OK"
    ./corvane-updater 1 || true
else
    section "Updating: corvane-updater-cli"
    status=0
    ./corvane-updater-cli || status=$?
    if [ "$status" -ne 0 ]; then
        echo "corvane-updater-cli ended with exit status $status; its log:" >&2
        cat log/cvUpdaterlog_*.txt >&2
        exit "$status"
    fi
fi

section "After the update"
show | tee "$demo/after.txt"

section "What the package's SQL scripts changed, row by row (replayed on the database as it was)"
show --changes-from "$demo/kqdata-before.db" --from-version 3.2 --changes-only | tee "$demo/changes.txt"

section "Where to look"
cat <<EOF
both views     $demo/before.txt, $demo/after.txt
script changes $demo/changes.txt
installation   $demo/Programs/Ostrelle   (backup/ holds version 3.2)
package        $demo/package             (application/ is the package format)
log            $demo/package/log/
registry       $XDG_CONFIG_HOME/Corvane/registry/
shortcut       $HOME/Desktop/Ostrelle.lnk
Run it again:  scripts/demo.sh  (the demo/ directory is made afresh)
EOF
