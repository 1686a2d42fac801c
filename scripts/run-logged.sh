#!/usr/bin/env bash
# Runs a command with its whole output going to a log file and prints, as the command
# goes, only the lines that say a build target is finished ("[ 42%] Built target x").
#   scripts/run-logged.sh LOG COMMAND [ARG ...]
# Exits with the command's status.
set -euo pipefail
log=${1:?usage: run-logged.sh LOG COMMAND [ARG ...]}
shift
# The file exists before either side starts: on a busy machine the follower can run before
# the command's shell has opened its output, and a follower that finds no file ends.
mkdir -p "$(dirname "$log")"
: >"$log"
"$@" >>"$log" 2>&1 &
pid=$!
# -F follows by name and keeps trying; --pid ends it once the command is gone and its last
# lines are read.
tail -n +1 -s 0.2 --pid="$pid" -F "$log" 2>/dev/null \
    | awk '/\] Built target / { print "  " $0; fflush() }' || true
status=0
wait "$pid" || status=$?
exit "$status"
