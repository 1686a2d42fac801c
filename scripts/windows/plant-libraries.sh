#!/usr/bin/env bash
# Builds planted libraries for a test: for each name, a DLL of that name whose DllMain
# appends its path to the file named by CORVANE_PLANTED_MARKER and whose every export is
# forwarded to the real library in C:\windows\system32, so a program that loads it works
# as usual (the export names are read from Wine's own library of that name).
#
#   scripts/windows/plant-libraries.sh <output dir> <name> ...     e.g. VERSION dwmapi
#
# Under Wine, a program loads them from its folder only with WINEDLLOVERRIDES=<name>=n,b,
# as Windows does for a library that is not a KnownDLL.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:?usage: plant-libraries.sh <output dir> <name> ...}
shift
wine_dlls=$(dirname "$(find /usr/lib/x86_64-linux-gnu/wine /usr/lib/wine /usr/lib64/wine -name kernel32.dll -path '*x86_64-windows*' 2>/dev/null | head -1)")
[ -d "$wine_dlls" ] || { echo "plant-libraries: Wine's 64-bit libraries not found" >&2; exit 2; }
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in "$@"; do
    lower=$(echo "$name" | tr 'A-Z' 'a-z')
    real=$wine_dlls/$lower.dll
    [ -f "$real" ] || { echo "plant-libraries: no $real" >&2; exit 2; }
    {
        echo "LIBRARY $name.dll"
        echo "EXPORTS"
        x86_64-w64-mingw32-objdump -p "$real" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
            | sed -n 's/^\s*\[\s*[0-9]*\] \([A-Za-z_][A-Za-z0-9_@?$]*\)$/\1/p' \
            | while read -r export; do echo "    $export = \"C:\\windows\\system32\\$lower.$export\""; done
    } >"$work/$name.def"
    x86_64-w64-mingw32-gcc -shared -O2 -o "$out/$name.dll" \
        "$root/tests/platform/planted/plantedlibrary.c" "$work/$name.def"
done
