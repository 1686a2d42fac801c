#!/usr/bin/env bash
# Proves that a Windows package folder (scripts/windows/package.sh) holds everything the
# updater needs, on a system that has nothing else:
#
#   1. a fresh Wine prefix; a sample installation of Ostrelle 3.2 (scripts/make-sample.py)
#      copied to "C:\Program Files (x86)\Ostrelle Ünï" and its uninstall entry made with
#      `wine reg add`, DisplayIcon quoted and with an icon index as installers write it;
#   2. the sample update package to 3.5 with the folder's files beside version.ini;
#   3. the window, started from that folder under Xvfb, with no DLL path but the folder:
#      it must show the installed and the new version (screenshot with --screenshot);
#   4. corvane-updater-cli.exe run from the same folder: the update must finish (exit 0),
#      and `wine reg query` must show DisplayVersion 3.5 and DisplayName "Ostrelle 3.5",
#      the installation its new files and the flag true, the desktop Ostrelle.lnk.
#
#   scripts/windows/prove-package.sh [--screenshot FILE] [build dir]
#
# The build dir (default build/windows) is a cross build. Works below <build dir>/proof.
# Needs xvfb-run, xdotool and ImageMagick's import (scripts/setup.sh installs them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

# Inside the virtual X server: start the window from the package, wait for it, grab it.
if [ "${1:-}" = "--shoot" ]; then # --shoot <package> <output png or ->
    package=$2 out=$3
    cd "$package"
    "$here/wine-run.sh" --bare corvane-updater.exe 1 >"$package/window-stdout.txt" 2>&1 &
    pid=$!
    id=""
    # The first start of a prefix takes seconds; the window's title is the Update text.
    for _ in $(seq 1 600); do
        id=$(xdotool search --onlyvisible --name '^Update$' 2>/dev/null | head -1 || true)
        [ -n "$id" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    status=1
    if [ -n "$id" ]; then
        sleep 3 # let it paint
        if [ "$out" != "-" ]; then
            import -window root -crop "$(xdotool getwindowgeometry --shell "$id" | awk -F= '
                /^X=/ {x=$2} /^Y=/ {y=$2} /^WIDTH=/ {w=$2} /^HEIGHT=/ {h=$2}
                END {printf "%dx%d+%d+%d", w, h, x, y}')" +repage "$out"
        fi
        status=0
    fi
    kill "$pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    exit $status
fi

screenshot=-
if [ "${1:-}" = "--screenshot" ]; then
    screenshot=$(realpath -m "${2:?--screenshot needs a file}")
    shift 2
fi
build=$(realpath -m "${1:-$root/build/windows}")
work=$build/proof
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/wine LANG=C.UTF-8
fail() { echo "prove-package: $*" >&2; exit 1; }

# The package folder and a sample package around it.
python3 "$root/scripts/make-sample.py" --root "$work/sample" >/dev/null
package=$work/package
"$here/package.sh" "$package" "$build" >"$work/folder.txt"
cp -r "$work/sample/package/." "$package/"

# The installation and its uninstall entry in a fresh prefix (made by the first run).
"$here/wine-run.sh" --bare cmd /c ver >/dev/null
install_windows='C:\Program Files (x86)\Ostrelle Ünï'
install_unix="$WINEPREFIX/drive_c/Program Files (x86)/Ostrelle Ünï"
mkdir -p "$install_unix"
cp -r "$work/sample/Programs/Ostrelle/." "$install_unix/"
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Ostrelle'
reg() { "$here/wine-run.sh" --bare reg "$@" | tr -d '\r'; }
reg add "$key" /v DisplayVersion /t REG_SZ /d 3.2.0 /f >/dev/null
reg add "$key" /v DisplayName /t REG_SZ /d "Ostrelle 3.2.0" /f >/dev/null
reg add "$key" /v DisplayIcon /t REG_SZ /d "\"$install_windows\\ostrelle.exe\",0" /f >/dev/null
# reg query prints in the console's code page, which has no "Ü" under a UTF-8 locale;
# an exported key is UTF-16, every letter kept.
exported() {
    "$here/wine-run.sh" --bare reg export "$key" 'C:\uninstall.reg' /y >/dev/null
    iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/uninstall.reg" | tr -d '\r'
}
exported | grep -qF '"DisplayIcon"="\"C:\\Program Files (x86)\\Ostrelle Ünï\\ostrelle.exe\",0"' \
    || fail "the uninstall entry could not be made: $(exported)"

# The window from the folder. The Wine server of the commands above, and its desktop
# process, started without a display: a window would open on that desktop, unseen.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
if ! xvfb-run -a -s "-screen 0 800x600x24" "$0" --shoot "$package" "$screenshot"; then
    cat "$package/window-stdout.txt" >&2 || true
    fail "no window appeared"
fi
[ "$screenshot" = "-" ] || echo "prove-package: the window under Wine: $screenshot"

# The update from the folder.
set +e
(cd "$package" && "$here/wine-run.sh" --bare corvane-updater-cli.exe) >"$work/cli.txt" 2>&1
status=$?
set -e
cat "$work/cli.txt"
[ "$status" -eq 0 ] || fail "corvane-updater-cli.exe ended with exit status $status"
grep -qF "Updating $install_windows from 3.2 to 3.5" "$work/cli.txt" \
    || fail "the installation path is not shown letter for letter"

# The result, seen from outside the program.
reg query "$key" /v DisplayVersion | grep -qE 'DisplayVersion +REG_SZ +3\.5$' \
    || fail "DisplayVersion is not 3.5: $(reg query "$key")"
reg query "$key" /v DisplayName | grep -qE 'DisplayName +REG_SZ +Ostrelle 3\.5$' \
    || fail "DisplayName is not \"Ostrelle 3.5\": $(reg query "$key")"
grep -q '^FLAG=true' "$install_unix/config/UPDATER.ini" || fail "the update flag is not true"
[ -d "$install_unix/backup" ] || fail "no backup was made"
ls "$WINEPREFIX"/drive_c/users/*/Desktop/Ostrelle.lnk >/dev/null 2>&1 || fail "no desktop shortcut"
wineserver -k 2>/dev/null || true
echo "prove-package: the folder updated Ostrelle 3.2 to 3.5 in a fresh Wine prefix"
echo "prove-package: $(reg query "$key" /v DisplayVersion | grep DisplayVersion | xargs)"
