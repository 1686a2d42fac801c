#!/usr/bin/env bash
# Proves that a Windows package folder (scripts/windows/package.sh) holds everything the
# updater needs, on a system that has nothing else, and that the elevated process runs
# only what the vendor shipped:
#
#   1. the folder laid out and Authenticode-signed with a throw-away code-signing
#      certificate made here with OpenSSL; every program and library verified with
#      `osslsigncode verify`; the entry's imports (KnownDLLs only), its DependentLoadFlags
#      and its requireAdministrator read from the file, the Qt programs asInvoker;
#   2. a fresh Wine prefix; a sample installation of Ostrelle 3.2 (scripts/make-sample.py)
#      copied to "C:\Program Files (x86)\Ostrelle Ünï" and its uninstall entry made with
#      `wine reg add`, DisplayIcon quoted and with an icon index as installers write it;
#   3. the sample update package to 3.5 with the folder's files beside version.ini, and
#      planted: a Qt SQL driver plug-in with the SQLite driver's key in <package>/sqldrivers/
#      and in <current directory>/sqldrivers/sqldrivers/ (the package is the current
#      directory), and libraries named like the non-KnownDLLs that Qt imports (VERSION,
#      USERENV, MPR, NETAPI32, WINMM, dwmapi, UxTheme, d3d11, dxgi; plant-libraries.sh),
#      each appending to a marker file when a process loads it;
#   4. the window, started through corvane-update.exe from that folder under Xvfb, with no
#      DLL path but the folder: it must show the installed and the new version (screenshot
#      with --screenshot);
#   5. control: corvane-updater-cli.exe --check started straight from the folder loads the
#      planted libraries and plug-in (so the marker would catch them);
#   6. corvane-update.exe --cli --report update.json from the same folder: the update must
#      finish (exit 0) from a private copy below C:\windows\temp that is gone afterwards,
#      its log back in the folder's log/, the report where the relative path named it,
#      no planted plug-in loaded; `wine reg query` must show DisplayVersion 3.5 and
#      DisplayName "Ostrelle 3.5", the installation its new files and the flag true, the
#      desktop Ostrelle.lnk;
#   7. a library the vendor did not ship that replaces one it did (Qt5Core.dll changed):
#      the entry refuses (exit 14) before any program of the folder runs.
#
#   scripts/windows/prove-package.sh [--screenshot FILE] [build dir]
#
# The build dir (default build/windows) is a cross build. Works below <build dir>/proof.
# Needs xvfb-run, xdotool and ImageMagick's import (scripts/setup.sh installs them),
# openssl and osslsigncode.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

# Inside the virtual X server: start the window from the package, wait for it, grab it.
if [ "${1:-}" = "--shoot" ]; then # --shoot <package> <output png or ->
    package=$2 out=$3
    cd "$package"
    "$here/wine-run.sh" --bare corvane-update.exe 1 >"$package/window-stdout.txt" 2>&1 &
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

# A throw-away code-signing certificate, as a vendor's would be given to package.sh.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvane test vendor" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/vendor.key" -out "$work/vendor.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/vendor.key" -in "$work/vendor.pem" -out "$work/vendor.p12" \
    -passout pass:proof-only 2>/dev/null

# The package folder, signed, and a sample package around it.
python3 "$root/scripts/make-sample.py" --root "$work/sample" >/dev/null
package=$work/package
CORVANE_SIGN_PKCS12=$work/vendor.p12 CORVANE_SIGN_PASSWORD=proof-only \
    "$here/package.sh" "$package" "$build" >"$work/folder.txt"
signed=0
while read -r file; do
    osslsigncode verify -CAfile "$work/vendor.pem" -in "$package/$file" >"$work/verify.txt" 2>&1 \
        || fail "$file is not signed by the vendor's certificate: $(cat "$work/verify.txt")"
    signed=$((signed + 1))
done < <(grep -iE '\.(exe|dll)$' "$work/folder.txt")
echo "prove-package: $signed programs and libraries Authenticode-signed and verified"
pe=("python3" "$here/pe-tool.py")
"${pe[@]}" check-entry "$package/corvane-update.exe" || fail "the entry breaks its promises"
if "${pe[@]}" check-entry "$package/corvane-updater-cli.exe" >/dev/null; then
    fail "the check of the entry passes a Qt program"
fi
for program in corvane-updater.exe corvane-updater-cli.exe; do
    [ "$("${pe[@]}" level "$package/$program")" = asInvoker ] || fail "$program does not run asInvoker"
done
cp -r "$work/sample/package/." "$package/"

# Planted where Qt looked before: in the package's own plug-in folder and below the
# current directory's.
planted=$build/tests/corvane-planted-sqldriver.dll
[ -f "$planted" ] || fail "no planted plug-in in the build ($planted)"
mkdir -p "$package/sqldrivers/sqldrivers"
cp "$planted" "$package/sqldrivers/"
cp "$planted" "$package/sqldrivers/sqldrivers/"
# And libraries under the names of Windows libraries that are not KnownDLLs, imported by
# Qt5Core.dll and by the window's Qt libraries: Windows looks for them in the program's
# folder first (under Wine: WINEDLLOVERRIDES=<name>=n,b). Each forwards its exports to the
# real library, so a program that loads one works as usual.
planted_libraries=(VERSION USERENV MPR NETAPI32 WINMM dwmapi UxTheme d3d11 dxgi)
"$here/plant-libraries.sh" "$package" "${planted_libraries[@]}"
overrides=$(printf '%s,' "${planted_libraries[@]}" | tr 'A-Z' 'a-z')
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;${overrides%,}=n,b"
export CORVANE_PLANTED_MARKER='C:\planted-marker.txt'
marker=$WINEPREFIX/drive_c/planted-marker.txt

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
# The entry was stopped with its window, before it could remove its copy.
rm -rf "$WINEPREFIX"/drive_c/windows/temp/corvane-update-*

[ ! -e "$marker" ] || fail "the window started by the entry loaded what was planted: $(cat "$marker")"

# Control: the console program started straight from the folder loads the planted
# libraries before its first line, and the planted plug-in from its own folder.
(cd "$package" && "$here/wine-run.sh" --bare corvane-updater-cli.exe --check) >"$work/control.txt" 2>&1 || true
[ -e "$marker" ] || fail "control: nothing planted ran even straight from the folder"
grep -qi 'VERSION.dll' "$marker" || fail "control: the planted VERSION.dll did not run straight from the folder: $(cat "$marker")"
grep -qi 'planted Qt plug-in' "$marker" || fail "control: the planted plug-in did not run straight from the folder: $(cat "$marker")"
echo "prove-package: control, straight from the folder: $(sort -u "$marker" | wc -l) planted things ran"
rm -f "$marker"
rm -rf "$package/log"

# The update through the entry.
set +e
(cd "$package" && "$here/wine-run.sh" --bare corvane-update.exe --cli --report update.json) >"$work/cli.txt" 2>&1
status=$?
set -e
cat "$work/cli.txt"
[ "$status" -eq 0 ] || fail "corvane-update.exe --cli ended with exit status $status"
[ ! -e "$marker" ] || fail "the update started by the entry loaded what was planted: $(cat "$marker")"
grep -q '"exitStatus": *0' "$package/update.json" || fail "no report where --report update.json named it"
ls "$package"/log/cvUpdaterlog_*.txt >/dev/null 2>&1 || fail "the log did not come back to the package's log/"
if ls -d "$WINEPREFIX"/drive_c/windows/temp/corvane-update-* >/dev/null 2>&1; then
    fail "the private copy was left behind"
fi
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

# A changed library in the folder: refused before anything of the folder runs.
cp "$package/Qt5Core.dll" "$work/Qt5Core.dll"
printf 'planted' >>"$package/Qt5Core.dll"
set +e
(cd "$package" && "$here/wine-run.sh" --bare corvane-update.exe --cli --check) >"$work/refused.txt" 2>&1
status=$?
set -e
cp "$work/Qt5Core.dll" "$package/Qt5Core.dll"
[ "$status" -eq 14 ] || fail "a changed Qt5Core.dll was not refused (exit status $status): $(cat "$work/refused.txt")"
grep -q 'Qt5Core.dll' "$work/refused.txt" || fail "the refusal does not name Qt5Core.dll: $(cat "$work/refused.txt")"

wineserver -k 2>/dev/null || true
echo "prove-package: the folder updated Ostrelle 3.2 to 3.5 in a fresh Wine prefix, started by the entry, no planted plug-in loaded"
echo "prove-package: $(reg query "$key" /v DisplayVersion | grep DisplayVersion | xargs)"
