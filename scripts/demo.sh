#!/usr/bin/env bash
# The updater's main job on a throw-away sample: installs what is missing, builds the
# release configuration, makes a sample installation of Ostrelle 3.2 and the installed
# trees of releases 3.2 to 3.5 under demo/, builds and signs an update package from them
# with corvane-package, shows a tampered copy of it refused with nothing changed, checks
# the package, runs the update and shows what it changed.
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
"$root/scripts/build.sh" release "$build" corvane-updater corvane-updater-cli string_table corvane-package \
    >"$build/demo-build.log" 2>&1 ||
    { tail -30 "$build/demo-build.log"; echo "build failed (whole output in $build/demo-build.log)" >&2; exit 1; }
tool="$build/tools/corvane-package"
echo "built: $build/corvane-updater, $build/corvane-updater-cli, $build/string.bin, $tool"

demo="$root/demo"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share" \
    XDG_CACHE_HOME="$demo/home/.cache" XDG_RUNTIME_DIR="$demo/home/run"
rm -rf "$demo"
mkdir -p "$demo" && mkdir -p -m 700 "$XDG_RUNTIME_DIR"

section "Making a sample installation of 3.2 and the installed trees of releases 3.2 to 3.5 in demo/"
python3 "$root/scripts/make-sample.py" --root "$demo" --from 3.2 --steps 3 --releases --build "$build"
# The sample's own package carries only the string table; the one built below carries the
# updater's programs too.
rm -r "$demo/package"
install="$demo/Programs/Ostrelle"
show() { python3 "$root/scripts/show-installation.py" --root "$demo" --build "$build" --rows 3 "$@"; }

section "Building the package from the release trees: corvane-package build"
cmake --install "$build" --prefix "$demo/updater" >/dev/null
scripts=()
for version in 3.3 3.4 3.5; do
    scripts+=(--sql "$version=$demo/sql/$version.sql")
done
"$tool" build --release 3.2="$demo/releases/3.2" --release 3.3="$demo/releases/3.3" \
    --release 3.4="$demo/releases/3.4" --release 3.5="$demo/releases/3.5" "${scripts[@]}" \
    --updater "$demo/updater" --out "$demo/package"

section "Signing it, and trusting the key in the installation: corvane-package keygen, sign, verify"
mkdir -p "$demo/vendor"
"$tool" keygen --secret-key "$demo/vendor/vendor-demo.secret" --trusted-keys "$demo/vendor/TRUSTED_KEYS.ini" \
    --name vendor-demo
cp "$demo/vendor/TRUSTED_KEYS.ini" "$install/config/TRUSTED_KEYS.ini"
"$tool" sign --package "$demo/package" --secret-key "$demo/vendor/vendor-demo.secret"
"$tool" verify --package "$demo/package" --trusted-keys "$install/config/TRUSTED_KEYS.ini"

section "A tampered copy: one byte changed in a step file, refused with nothing changed"
cp -r "$demo/package" "$demo/package-tampered"
victim="application/3_2_to_3_3/common/ostrelle.exe"
python3 - "$demo/package-tampered/$victim" <<'PYTHON'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(100)
    byte = f.read(1)
    f.seek(100)
    f.write(bytes([byte[0] ^ 0x01]))
PYTHON
echo "changed one byte of $victim"
# Every file of the installation with its size and time, and the uninstall entry (the
# updater's lock file UPDATER.lock aside, which every run takes).
state() {
    (cd "$install" && find . -type d -printf '%p/\n' -o ! -name UPDATER.lock -printf '%p %s %T@\n' | sort)
    cat "$XDG_CONFIG_HOME/Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/Ostrelle.ini"
}
before=$(state | sha256sum)
status=0
(cd "$demo/package-tampered" && ./corvane-updater-cli) || status=$?
after=$(state | sha256sum)
if [ "$status" -ne 14 ] || [ "$before" != "$after" ]; then
    echo "the tampered package was not refused cleanly (exit status $status)" >&2
    exit 1
fi
echo "exit status $status; the installation and its uninstall entry are unchanged"

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

section "What release 3.4 deleted (application/3_3_to_3_4/remove.list): gone, and kept in backup/"
sed -E '1d; s/^file [0-9a-f]{64} [0-9]+ //; s/^dir //' "$demo/package/application/3_3_to_3_4/remove.list" |
while IFS= read -r path; do
    if [ -e "$install/$path" ]; then state="still installed (kept)"; else state="removed"; fi
    if [ -e "$install/backup/$path" ]; then state="$state; in backup/"; fi
    echo "  $path: $state"
done | tee -a "$demo/after.txt"

section "What the package's SQL scripts changed, row by row (replayed on the database as it was)"
show --changes-from "$demo/kqdata-before.db" --from-version 3.2 --changes-only | tee "$demo/changes.txt"

section "Where to look"
cat <<EOF
both views     $demo/before.txt, $demo/after.txt
script changes $demo/changes.txt
installation   $demo/Programs/Ostrelle   (backup/ holds version 3.2)
package        $demo/package             (built by corvane-package; application/ is the package format)
releases       $demo/releases/           (the installed trees it was built from)
signing key    $demo/vendor/             (trusted by the installation's config/TRUSTED_KEYS.ini)
log            $demo/package/log/
registry       $XDG_CONFIG_HOME/Corvane/registry/
shortcut       $HOME/Desktop/Ostrelle.lnk
Run it again:  scripts/demo.sh  (the demo/ directory is made afresh)
EOF
