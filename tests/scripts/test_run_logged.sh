#!/usr/bin/env bash
# scripts/run-logged.sh, as the test command uses it for every build, on a machine kept
# busy beside it: every run prints the finished targets and keeps the command's status.
# Before the log file was made up front, about a third of such runs ended early.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run_logged=$here/../../scripts/run-logged.sh
work=$(mktemp -d)
busy=()
cleanup() { kill "${busy[@]}" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in 1 2 3 4; do (while :; do :; done) & busy+=($!); done

fake_build() { printf 'cc -c a.c\n[ 50%%] Built target a\nwarning: none\n[100%%] Built target b\n'; exit "$1"; }
export -f fake_build
runs=${RUNS:-40}
for i in $(seq "$runs"); do
    for want in 0 3; do
        rm -f "$work/build.log"   # as in a fresh clone
        status=0
        out=$("$run_logged" "$work/build.log" bash -c "fake_build $want") || status=$?
        expected=$'  [ 50%] Built target a\n  [100%] Built target b'
        if [ "$status" != "$want" ] || [ "$out" != "$expected" ]; then
            echo "run $i: status $status (want $want), printed:"; printf '%s\n' "$out"
            exit 1
        fi
        grep -q '^warning: none$' "$work/build.log" || { echo "run $i: the log lacks the command's output"; exit 1; }
    done
done
echo "$runs runs of each status under load: every target printed, every status kept"
