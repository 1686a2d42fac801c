#!/usr/bin/env bash
# Configures and builds one configuration of CMakePresets.json:
#   scripts/build.sh <release|asan|fuzz> [build dir] [target ...]
# Without targets it builds everything, the test suite included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-release}
dir=${2:-$root/build/$config}
shift $(( $# < 2 ? $# : 2 ))

case "$config" in
    release | asan | fuzz) ;;
    *) echo "unknown configuration: $config (release, asan or fuzz)" >&2; exit 2 ;;
esac

(cd "$root" && cmake --preset "$config" -B "$dir" >/dev/null)
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
