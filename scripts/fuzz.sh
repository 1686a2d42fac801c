#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a bounded time on a scratch copy of its seed corpus in tests/fuzz/corpus.
# Fails when a harness crashes, leaks, hangs or breaks one of its checks.
#
#   scripts/fuzz.sh [--seconds N] [--jobs N] [--build-dir DIR] [harness ...]
#
# --seconds N   time per harness (default 30)
# --jobs N      N fuzzing processes per harness (libFuzzer's -fork=N; default 1)
# --build-dir   where to build (default build/fuzz); each harness works in
#               <build dir>/work/<harness>/: corpus/ (the seeds plus what the run found),
#               artifacts/ (crashing inputs) and fuzz.log
# harness       fuzz_stringtable, fuzz_sqlparser, fuzz_configbase, fuzz_manifest (default: all four)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

seconds=30
jobs=1
dir=$root/build/fuzz
harnesses=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
        --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
        --build-dir) dir=${2:?--build-dir needs a directory}; shift 2 ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        fuzz_*) harnesses+=("$1"); shift ;;
        *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
done
[ ${#harnesses[@]} -gt 0 ] || harnesses=(fuzz_stringtable fuzz_sqlparser fuzz_configbase fuzz_manifest)
for number in "$seconds" "$jobs"; do
    case "$number" in ''|*[!0-9]*) echo "--seconds and --jobs need whole numbers" >&2; exit 2 ;; esac
done

"$root/scripts/setup.sh"

echo "=== fuzz: build (whole output in $dir/build.log)"
mkdir -p "$dir"
# -O1 keeps the inlined Qt templates out of the coverage hooks, several times the speed
# of -O0; Debug keeps Q_ASSERT. Warnings are errors here too: clang sees some gcc does not.
# (The fuzz preset of CMakePresets.json.)
if ! BUILD_LOG="$dir/build.log" "$root/scripts/build.sh" fuzz "$dir" "${harnesses[@]}"; then
    grep -E -A5 "error|warning" "$dir/build.log" | head -80 || true
    echo "=== fuzz: build failed (whole output in $dir/build.log)"
    exit 1
fi

# Files the harnesses write (the string table, scripts, INI files and their backups) go to
# a scratch directory, in memory where possible: the INI saves flush every file to disk.
scratch_base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
scratch=$(mktemp -d "$scratch_base/corvane-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# One harness: its report on stdout, exit status 1 when it found something.
run_harness() {
    local harness=$1 work=$dir/work/$1
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$root/tests/fuzz/corpus/$harness/"* "$work/corpus/"
    local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                   -close_fd_mask=1 -artifact_prefix="$work/artifacts/")
    [ "$jobs" -gt 1 ] && options+=(-fork="$jobs")
    [ -f "$root/tests/fuzz/$harness.dict" ] && options+=(-dict="$root/tests/fuzz/$harness.dict")

    if TMPDIR=$scratch \
       ASAN_OPTIONS=detect_leaks=1 \
       UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
       LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0 \
       "$dir/tests/fuzz/$harness" "${options[@]}" "$work/corpus" >"$work/fuzz.log" 2>&1; then
        local runs rate
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/fuzz.log")
        if [ -z "$runs" ]; then # fork mode: its last progress line
            runs=$(sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$work/fuzz.log" | tail -1)
            [ -n "$runs" ] && rate=$((runs / seconds))
        fi
        echo "$harness: ${runs:-?} runs, ${rate:-?} exec/s, corpus $(ls "$work/corpus" | wc -l) inputs, no crash"
        return 0
    fi
    grep -E -A40 "^==[0-9]+==|runtime error|property broken|Test unit written" "$work/fuzz.log" | head -80 || true
    for input in "$work/artifacts/"*; do
        [ -e "$input" ] || continue
        echo "$harness: crashing input $input"
        echo "  reproduce: $dir/tests/fuzz/$harness $input"
    done
    echo "=== fuzz: $harness FAILED (whole output in $work/fuzz.log)"
    return 1
}

# As many harnesses at once as there are processors (each is one process unless --jobs);
# each one's report is printed whole when it ends.
status=0
slots=$(( $(nproc) / jobs ))
[ "$slots" -ge 1 ] || slots=1
echo "=== fuzz: ${harnesses[*]}, $seconds s each, $slots at a time"
pending=()
finish_one() {
    local first=${pending[0]}
    wait "${first%%:*}" || status=1
    cat "$dir/work/${first#*:}.report"
    rm -f "$dir/work/${first#*:}.report"
    pending=("${pending[@]:1}")
}
mkdir -p "$dir/work"
for harness in "${harnesses[@]}"; do
    [ "${#pending[@]}" -lt "$slots" ] || finish_one
    run_harness "$harness" >"$dir/work/$harness.report" 2>&1 &
    pending+=("$!:$harness")
done
while [ "${#pending[@]}" -gt 0 ]; do finish_one; done

[ "$status" -eq 0 ] && echo "=== fuzz: all harnesses ran clean" || echo "=== fuzz: harnesses failed"
exit "$status"
