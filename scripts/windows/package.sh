#!/usr/bin/env bash
# Lays out the updater's part of a Windows update package: what a vendor drops beside
# version.ini and application/ in the package directory.
#
#   scripts/windows/package.sh <output dir> [build dir]
#
# The build dir (default build/windows) is a cross build (scripts/windows/test.sh makes
# it). The output holds exactly: corvane-updater.exe, corvane-updater-cli.exe, string.bin,
# the plug-ins the programs load (platforms/qwindows.dll, sqldrivers/qsqlite.dll,
# imageformats/qico.dll for the window icon, styles/qwindowsvistastyle.dll for the native
# look), and the DLLs these import from Qt and from the mingw runtime, found by reading
# their import tables. Windows' own DLLs are not copied. An existing output dir is replaced.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:?usage: package.sh <output dir> [build dir]}
dir=${2:-$root/build/windows}

qt=$(sed -n 's/^CORVANE_QT_PREFIX:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
[ -n "$qt" ] || qt=$(sed -n 's|^Qt5_DIR:PATH=\(.*\)/lib/cmake/Qt5$|\1|p' "$dir/CMakeCache.txt" 2>/dev/null || true)
[ -d "$qt/bin" ] || { echo "package.sh: $dir is not a Windows cross build (no Qt found in its cache)" >&2; exit 2; }
for program in corvane-updater.exe corvane-updater-cli.exe string.bin; do
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

(cd "$out" && find . -type f | sed 's|^\./||' | sort)
