#!/usr/bin/env bash
# Configures and builds one configuration:
#   scripts/build.sh <release|asan> [build dir] [target ...]
# Without targets it builds everything, the test suite included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-release}
dir=${2:-$root/build/$config}
shift $(( $# < 2 ? $# : 2 ))

case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON) ;;
    *) echo "unknown configuration: $config (release or asan)" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$dir" -DCORVANE_WERROR=ON "${flags[@]}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
