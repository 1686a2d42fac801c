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

if [ -n "${BUILD_LOG:-}" ]; then
    log=$BUILD_LOG
    exec env -u BUILD_LOG "$root/scripts/run-logged.sh" "$log" "$0" "$config" "$dir" "$@"
fi
build
