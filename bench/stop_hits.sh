#!/usr/bin/env bash
# The hit files of runs stopped at random moments of their writing, trial
# after trial: a run of 1ard against 84 targets (six copies of the zinc
# fingers under other names) is sent SIGKILL, SIGTERM or SIGINT at a random
# time within its usual length, into an empty results folder on odd trials
# and over a whole earlier run of it on even ones (so that the stopped run
# writes earlier hits' files again); then "1ard 1sp1 5znf" and
# "1ard 1znf 1zfd" run after it. Counts, over the trials, the stale hit
# files left (files of hits the last table does not show), the files the
# later runs called "changed or linked" and the runs that failed. The stale
# count must stay 0: a run names its files in its query's record before it
# writes them, so the next run removes what a stopped run wrote.
# Mode "noofd": bench/faults_shim.c preloaded into trel refuses the
# open-file-description locks (F_OFD_SETLK, F_OFD_GETLK fail with ENOLCK),
# as some file systems do; runs "1ard 1sp1 1znf 5znf", then "1ard 1sp1"
# three times, and prints what each removed and what it said of locks.
# Load the machine meanwhile to widen the windows.
# Usage: bench/stop_hits.sh [TRIALS] [TREL] [stops|noofd|all]   (defaults: 30, build/src/driver/trel, all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-30}
mode=${3:-all}
. "$root/bench/bench_lib.sh"
given_bench_start stop_hits "${2:-}"
cp "$zinc"/*.pdb "$work"/
cd "$work"
zinc_copies 6
ls c*_*.pdb >targets
export TREL_RESULTS=res

# The hit files in res/1ard of hits that the last table (1ard.knames) does
# not show.
stale() {
  local shown n=0 f hit
  shown=$(cat res/1ard/1ard.knames 2>/dev/null || true)
  for f in res/1ard/*; do
    f=${f##*/}
    case "$f" in 1ard.* | 1ard_* | '*') continue ;; esac
    hit=${f%%_1ard*}
    grep -qxF "$hit" <<<"$shown" || n=$((n + 1))
  done
  echo "$n"
}

if [ "$mode" != noofd ]; then
  rm -rf res
  t0=$(date +%s%N)
  "$trel" -broken 1ard.pdb -target=targets >/dev/null 2>&1
  length=$(( ($(date +%s%N) - t0) / 1000000 ))
  echo "writing run: $length ms, $(ls res/1ard | wc -l) files in res/1ard"
  for sig in KILL TERM INT; do
    left=0 changed=0 failed=0 stopped=0 written=0
    for t in $(seq "$trials"); do
      rm -rf res
      if [ $((t % 2)) -eq 0 ]; then "$trel" -broken 1ard.pdb -target=targets >/dev/null 2>&1 || failed=$((failed + 1)); fi
      # A job a script starts in the background ignores SIGINT: the run is
      # given its default back, as a terminal's would have it.
      env --default-signal=INT "$trel" -broken 1ard.pdb -target=targets >/dev/null 2>&1 &
      pid=$!
      sleep "$(awk -v l="$length" -v r="$RANDOM" 'BEGIN {printf "%.4f", l * r / 32768 / 1000}')"
      kill -s "$sig" "$pid" 2>/dev/null && stopped=$((stopped + 1)) || true
      wait "$pid" 2>/dev/null || true
      [ -d res/1ard ] && written=$((written + $(find res/1ard -type f | wc -l)))
      for targets in "1sp1.pdb 5znf.pdb" "1znf.pdb 1zfd.pdb"; do
        # shellcheck disable=SC2086
        "$trel" 1ard.pdb $targets >out 2>&1 || failed=$((failed + 1))
        if grep -q "changed or linked" out; then changed=$((changed + 1)); fi
      done
      left=$((left + $(stale)))
    done
    echo "SIG$sig: $trials trials ($stopped stopped, $written files standing after them): stale hit files left $left," \
      "runs saying \"changed or linked\" $changed, runs failed $failed"
  done
fi

if [ "$mode" != stops ]; then
  build_shim
  rm -rf res
  n=0
  for args in "1ard.pdb 1sp1.pdb 1znf.pdb 5znf.pdb" "1ard.pdb 1sp1.pdb" "1ard.pdb 1sp1.pdb" "1ard.pdb 1sp1.pdb"; do
    n=$((n + 1))
    # shellcheck disable=SC2086
    LD_PRELOAD=$shim FAULT_LOCKS=ofd "$trel" $args >out 2>&1 && status=0 || status=$?
    echo "noofd run $n ($args): exit $status, $(ls res/1ard | wc -l) files in res/1ard, $(stale) stale"
    grep -E "Removed|Kept|refuses|lock" out | sed 's/^/    /' || true
  done
fi
