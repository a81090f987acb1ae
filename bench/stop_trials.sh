#!/usr/bin/env bash
# Runs stopped at random moments of their writing, trial after trial: a run
# of 1ard against eight zinc fingers into an empty results folder is sent
# SIGKILL or SIGTERM at a random time within its usual length; then a run
# with the other seven targets writes over what it left, and -purge empties
# the folder. Counts, over the trials, the files the second run set aside
# as not trel's (numbered names, the logs left out) and the files -purge
# left (its own log left out). Both must stay 0: a stopped run leaves every
# file it placed in the folder's record. Load the machine meanwhile to
# widen the windows.
# Usage: bench/stop_trials.sh [TRIALS] [TREL]   (defaults: 30, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-30}
. "$root/bench/bench_lib.sh"
given_bench_start stop_trials "${2:-}"
cp "$zinc"/*.pdb "$work"/
cd "$work"
others=$(ls *.pdb | grep -v '^1ard.pdb$')
first=$(echo $others | cut -d' ' -f1-8)
second=$(echo $others | cut -d' ' -f9-)
export TREL_RESULTS=trel_results

# The usual length of the first run, in milliseconds.
rm -rf trel_results
t0=$(date +%s%N)
# shellcheck disable=SC2086
"$trel" 1ard.pdb $first >/dev/null 2>&1
length=$(( ($(date +%s%N) - t0) / 1000000 ))
echo "first run: $length ms, $(find trel_results -type f | wc -l) files"

for sig in KILL TERM; do
  aside=0 left=0 stopped=0
  for t in $(seq "$trials"); do
    rm -rf trel_results
    # shellcheck disable=SC2086
    "$trel" 1ard.pdb $first >/dev/null 2>&1 &
    pid=$!
    sleep "$(awk -v l="$length" -v r="$RANDOM" 'BEGIN {printf "%.4f", l * r / 32768 / 1000}')"
    kill -s "$sig" "$pid" 2>/dev/null && stopped=$((stopped + 1)) || true
    wait "$pid" 2>/dev/null || true
    # shellcheck disable=SC2086
    "$trel" 1ard.pdb $second >/dev/null 2>&1 || true
    aside=$((aside + $(find trel_results -type f -regex '.*\.[0-9]+\(\.[a-z0-9]+\)?' ! -name 'trel.log*' | wc -l)))
    "$trel" -purge >/dev/null 2>&1 || true
    [ -d trel_results ] && left=$((left + $(find trel_results -type f ! -name 'trel.log' | wc -l)))
  done
  echo "SIG$sig: $trials trials ($stopped stopped before their end): files set aside $aside, files left by -purge $left"
done
