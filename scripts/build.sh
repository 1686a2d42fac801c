#!/usr/bin/env bash
# Configures and builds one configuration of CMakePresets.json:
#   scripts/build.sh <release|asan|fuzz> [build dir] [target ...]
# Without targets it builds everything, the test suite included.
# With BUILD_LOG=FILE the whole output goes to FILE and only one line per finished
# target ("[ 42%] Built target corvane_core") is printed, as the test command shows it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-release}
dir=${2:-$root/build/$config}
shift $(( $# < 2 ? $# : 2 ))

case "$config" in
    release | asan | fuzz) ;;
    *) echo "unknown configuration: $config (release, asan or fuzz)" >&2; exit 2 ;;
esac

targets=()
for target in "$@"; do targets+=(--target "$target"); done
build() {
    (cd "$root" && cmake --preset "$config" -B "$dir" >/dev/null)
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}

if [ -z "${BUILD_LOG:-}" ]; then
    build
    exit
fi
build >"$BUILD_LOG" 2>&1 &
pid=$!
# The log grows while the build runs; each finished target is one line here.
tail -n +1 --pid="$pid" -f "$BUILD_LOG" 2>/dev/null | awk '/\] Built target / { print "  " $0; fflush() }'
wait "$pid"
