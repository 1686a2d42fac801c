#!/usr/bin/env bash
# Builds corvane-updater-cli (release) and runs the crash-safety driver on it: SIGKILL,
# ENOSPC and EACCES injected by strace at the state-changing file operations of an
# update, each followed by the runs that must end exactly as an uninterrupted update.
#
#   scripts/crash-safety.sh [--profile long|quick|asan] [--jobs N] [--work DIR] [--keep]
#                           [--only kill|double|error] [--sample N] [--point SYSCALL#N]
#                           [--build-dir DIR] [-v]
#
# --profile   long (default): a 600-file, 40 MB installation, three steps of 600 SQL
#             statements, a sample of its ~5000 points that covers every kind of
#             operation (1440 cases, about 10 minutes on 2 cores);
#             quick: the suite's test (a small package, every point, 2 to 3 minutes)
# --jobs N    cases run side by side (default 2)
# --work DIR  where the samples go (default a fresh directory in /dev/shm, else /tmp);
#             with --keep it stays, for a look at a failing case
# --only      one kind of case (repeatable)
# --sample N  N points of each kind of case instead of the profile's choice
# --point     only this point of the reference update, e.g. write#106 (repeatable;
#             -v lists them all)
# --build-dir where to build (default build/release)
# Needs strace and python3. Exit status 0 when every case held.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

profile=long
dir=$root/build/release
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --profile) profile=${2:?--profile needs a name}; shift 2 ;;
        --jobs|--work|--only|--sample|--point) args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
        --keep|--verbose|-v) args+=("$1"); shift ;;
        --build-dir) dir=${2:?--build-dir needs a directory}; shift 2 ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
    esac
done

command -v strace >/dev/null || { echo "strace is needed (scripts/setup.sh installs it)" >&2; exit 2; }
"$root/scripts/build.sh" release "$dir" corvane-updater-cli >/dev/null
exec python3 "$root/tests/crash/crash_safety.py" --cli "$dir/corvane-updater-cli" --profile "$profile" "${args[@]}"
