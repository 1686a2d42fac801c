#!/usr/bin/env bash
# Lays out the updater's part of a Windows update package: what a vendor drops beside
# version.ini and application/ in the package directory.
#
#   scripts/windows/package.sh <output dir> [build dir]
#
# The build dir (default build/windows) is a cross build (scripts/windows/test.sh makes
# it). The output holds exactly: corvane-update.exe (the elevated entry users and
# roll-outs start), corvane-updater.exe, corvane-updater-cli.exe, string.bin, the plug-ins
# the programs load (platforms/qwindows.dll, sqldrivers/qsqlite.dll, imageformats/qico.dll
# for the window icon, styles/qwindowsvistastyle.dll for the native look), and the DLLs
# these import from Qt and from the mingw runtime, found by reading their import tables.
# Windows' own DLLs are not copied. An existing output dir is replaced.
#
# With CORVANE_SIGN_PKCS12 (a PKCS#12 file holding the vendor's code-signing certificate
# and key) and CORVANE_SIGN_PASSWORD (its password; handed to osslsigncode through a file,
# never on a command line), every program and library is Authenticode-signed (SHA-256, no
# time stamp: no network is needed), so the elevation prompt names the vendor.
#
# Then the list of these files (the manifest format: SHA-256, size, path of every file but
# the entry, as signed) is written into the entry, which is signed last: the entry copies
# exactly these files, checked, into a folder only administrators can write and starts
# the updater there; a file the vendor did not ship is never copied.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:?usage: package.sh <output dir> [build dir]}
dir=${2:-$root/build/windows}

qt=$(sed -n 's/^CORVANE_QT_PREFIX:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
[ -n "$qt" ] || qt=$(sed -n 's|^Qt5_DIR:PATH=\(.*\)/lib/cmake/Qt5$|\1|p' "$dir/CMakeCache.txt" 2>/dev/null || true)
[ -d "$qt/bin" ] || { echo "package.sh: $dir is not a Windows cross build (no Qt found in its cache)" >&2; exit 2; }
for program in corvane-update.exe corvane-updater.exe corvane-updater-cli.exe string.bin; do
    [ -f "$dir/$program" ] || { echo "package.sh: $dir/$program is missing; build first" >&2; exit 2; }
done

objdump=x86_64-w64-mingw32-objdump
gcc_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
pthread_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
search=("$qt/bin" "$gcc_runtime" "$pthread_runtime")

rm -rf "$out"
mkdir -p "$out"
cmake --install "$dir" --prefix "$out" >/dev/null

plugins=(platforms/qwindows.dll sqldrivers/qsqlite.dll imageformats/qico.dll styles/qwindowsvistastyle.dll)
for plugin in "${plugins[@]}"; do
    mkdir -p "$out/$(dirname "$plugin")"
    cp "$qt/plugins/$plugin" "$out/$plugin"
done

# The DLLs imported by what is in the folder, and by those in turn, that come from Qt or
# the compiler; anything else is part of Windows.
pending=("$out/corvane-updater.exe" "$out/corvane-updater-cli.exe")
for plugin in "${plugins[@]}"; do pending+=("$out/$plugin"); done
while [ ${#pending[@]} -gt 0 ]; do
    file=${pending[0]}
    pending=("${pending[@]:1}")
    while read -r dll; do
        [ -e "$out/$dll" ] && continue
        for source in "${search[@]}"; do
            if [ -f "$source/$dll" ]; then
                cp "$source/$dll" "$out/$dll"
                pending+=("$out/$dll")
                break
            fi
        done
    done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

# Authenticode: every program and library but the entry now, the entry after its list.
sign() { :; }
if [ -n "${CORVANE_SIGN_PKCS12:-}" ]; then
    [ -f "$CORVANE_SIGN_PKCS12" ] || { echo "package.sh: CORVANE_SIGN_PKCS12 names no file: $CORVANE_SIGN_PKCS12" >&2; exit 2; }
    command -v osslsigncode >/dev/null || { echo "package.sh: osslsigncode is missing (apt-get install osslsigncode)" >&2; exit 2; }
    secret=$(mktemp)
    trap 'rm -f "$secret"' EXIT
    chmod 600 "$secret"
    printf '%s' "${CORVANE_SIGN_PASSWORD:-}" >"$secret"
    sign() {
        osslsigncode sign -pkcs12 "$CORVANE_SIGN_PKCS12" -readpass "$secret" -h sha256 \
            -n "Corvane updater" -in "$1" -out "$1.signed" >/dev/null \
            || { echo "package.sh: signing $1 failed" >&2; exit 1; }
        mv "$1.signed" "$1"
    }
fi
while read -r file; do
    sign "$out/$file"
done < <(cd "$out" && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) ! -name corvane-update.exe | sed 's|^\./||' | LC_ALL=C sort)

list=$(mktemp)
{
    echo "corvane-manifest 1"
    (cd "$out" && find . -type f ! -name corvane-update.exe | sed 's|^\./||' | LC_ALL=C sort) | while read -r file; do
        echo "$(sha256sum "$out/$file" | cut -d' ' -f1) $(stat -c %s "$out/$file") $file"
    done
} >"$list"
python3 "$root/scripts/windows/pe-tool.py" embed-list "$out/corvane-update.exe" "$list"
rm -f "$list"
sign "$out/corvane-update.exe"

(cd "$out" && find . -type f | sed 's|^\./||' | sort)
