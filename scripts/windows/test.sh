#!/usr/bin/env bash
# Cross-builds the project for Windows and runs the whole Qt Test suite under Wine, then
# proves the package folder complete in a fresh Wine prefix:
#
#   scripts/windows/test.sh [--screenshot FILE]
#
# Builds Qt for Windows first when the cache has none (build-qt.sh: once per machine,
# the long part of a cold run), then libsodium for the package signatures when its cache
# has none (build-sodium.sh, about two minutes). The build goes to build/windows (preset
# "windows"), the Wine prefix of the suite to build/windows/wine, the package proof to
# build/windows/proof.
# --screenshot saves the window under Wine (docs/window-wine.png in the README).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
proof_args=()
if [ "${1:-}" = "--screenshot" ]; then
    proof_args=(--screenshot "${2:?--screenshot needs a file}")
fi

start=$(date +%s)
elapsed() { local s=$(( $(date +%s) - start )); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

echo "=== windows: Qt for mingw-w64"
CORVANE_QT_WIN=$("$here/build-qt.sh")
export CORVANE_QT_WIN
echo "    $CORVANE_QT_WIN ($(elapsed))"

echo "=== windows: libsodium for mingw-w64 (package signatures)"
CORVANE_SODIUM_WIN=$("$here/build-sodium.sh")
export CORVANE_SODIUM_WIN
echo "    $CORVANE_SODIUM_WIN ($(elapsed))"

echo "=== windows: build"
dir=$root/build/windows
mkdir -p "$dir"
if ! (cd "$root" && cmake --preset windows >"$dir/../windows.log" 2>&1 \
        && nice -n 10 cmake --build "$dir" -j "$(nproc)" >>"$dir/../windows.log" 2>&1); then
    grep -E -A5 "error|warning" "$dir/../windows.log" | head -80 || true
    echo "=== windows: build failed (whole output in build/windows.log)"
    exit 1
fi
echo "    built ($(elapsed))"

status=0
echo "=== windows: tests under Wine"
# One Wine server for the whole suite, rather than one per test executable. The prefix
# is made first (its making waits for the server to end), and Wine's background services
# are started here with no terminal: started by a test, they would hold CTest's output
# pipe open and CTest would wait for them for ever.
"$here/wine-run.sh" --prefix "$dir/wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
WINEPREFIX=$dir/wine wineserver -w
WINEPREFIX=$dir/wine wineserver -p
"$here/wine-run.sh" --prefix "$dir/wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
(cd "$dir" && ctest --output-on-failure) || status=1
WINEPREFIX=$dir/wine wineserver -k || true
echo "    suite done ($(elapsed))"

echo "=== windows: package folder in a fresh Wine prefix"
"$here/prove-package.sh" "${proof_args[@]}" "$dir" || status=1

[ "$status" -eq 0 ] && echo "=== windows: all tests passed under Wine, package folder complete ($(elapsed))" \
    || echo "=== windows: tests failed ($(elapsed))"
exit "$status"
