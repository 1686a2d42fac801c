#!/usr/bin/env bash
# Builds the release and the AddressSanitizer + UndefinedBehaviorSanitizer configurations
# and runs the whole suite in both, then runs each fuzz harness for a bounded time.
# Then it cross-builds for Windows and runs the suite under Wine and the package folder's
# proof (scripts/windows/test.sh; the first run on a machine builds Qt for Windows, the
# long part of a cold run). CORVANE_WINDOWS=0 leaves the Windows part out.
# Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_part=${CORVANE_WINDOWS:-1}
if [ "$windows_part" != 0 ]; then
    "$root/scripts/setup.sh" --windows
else
    "$root/scripts/setup.sh"
fi

# A merge left half-done must not pass as a tested tree.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1 \
        && git -C "$root" grep -nE '^(<<<<<<<|>>>>>>>)( |$)' -- . ':!scripts/test.sh'; then
    echo "=== tests failed: merge-conflict markers in the files above"
    exit 1
fi

# Every #include points down the layer order (the folders' libraries link that way too),
# and docs/design.md's map names what each folder uses.
if ! python3 "$root/scripts/check-layers.py"; then
    echo "=== tests failed: includes against the layer order (scripts/check-layers.py)"
    exit 1
fi

# No function of the program longer than 80 lines.
if ! python3 "$root/scripts/check-function-length.py"; then
    echo "=== tests failed: functions longer than 80 lines (scripts/check-function-length.py)"
    exit 1
fi

# Progress: one line per finished build target, one per finished test (CTest's own),
# and the time each part took.
took() { printf '%d min %02d s' $(( ($(date +%s) - $1) / 60 )) $(( ($(date +%s) - $1) % 60 )); }
start=$(date +%s)
status=0
for config in release asan; do
    echo "=== $config: build (whole output in build/$config.log)"
    mkdir -p "$root/build"
    begin=$(date +%s)
    if ! BUILD_LOG="$root/build/$config.log" "$root/scripts/build.sh" "$config" "$root/build/$config"; then
        # Neither an empty grep nor head closing the pipe may end the script before its message.
        grep -E -A5 "error|warning" "$root/build/$config.log" | head -80 || true
        echo "=== $config: build failed (whole output in build/$config.log)"
        exit 1
    fi
    echo "=== $config: built in $(took "$begin")"
    echo "=== $config: tests"
    begin=$(date +%s)
    (cd "$root/build/$config" && ctest --output-on-failure -j "$(nproc)") || status=1
    echo "=== $config: tests ran in $(took "$begin")"
done

"$root/scripts/fuzz.sh" || status=1

windows=""
if [ "$windows_part" != 0 ]; then
    "$root/scripts/windows/test.sh" || status=1
    windows=", Windows suite passed under Wine"
fi

if [ "$status" -eq 0 ]; then
    echo "=== all tests passed in both configurations, fuzz harnesses clean$windows ($(took "$start"))"
else
    echo "=== tests failed ($(took "$start"))"
fi
exit "$status"
