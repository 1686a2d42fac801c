#!/usr/bin/env bash
# Builds the release and the AddressSanitizer + UndefinedBehaviorSanitizer configurations
# and runs the whole suite in both, then runs each fuzz harness for a bounded time.
# Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

status=0
for config in release asan; do
    echo "=== $config: build"
    mkdir -p "$root/build"
    if ! "$root/scripts/build.sh" "$config" "$root/build/$config" >"$root/build/$config.log" 2>&1; then
        grep -E -A5 "error|warning" "$root/build/$config.log" | head -80
        echo "=== $config: build failed (whole output in build/$config.log)"
        exit 1
    fi
    echo "=== $config: tests"
    (cd "$root/build/$config" && ctest --output-on-failure -j "$(nproc)") || status=1
done

"$root/scripts/fuzz.sh" || status=1

[ "$status" -eq 0 ] && echo "=== all tests passed in both configurations, fuzz harnesses clean" || echo "=== tests failed"
exit "$status"
