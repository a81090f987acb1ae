#!/usr/bin/env bash
# Runs killed inside a PID namespace of their own, where no later run can
# tell their process from another by its id: trial after trial, over a whole
# earlier run (so that results are replaced, through temporary names), a run
# of 1ard against the zinc fingers started under `unshare --pid --fork
# --kill-child --map-root-user` is killed (SIGKILL) at a random time within
# its usual length; then a run outside the namespace and -purge. Counts the
# temporary files standing after the kill and after the run outside, and
# every file -purge left (its own log aside). The last must stay 0. Then
# REWRITES trials where the run in the namespace is killed in the record's
# rewrite (a damaged line appended to the record makes it rewrite; the
# run kills itself as it opens the rewrite's temporary .zam_written.*.tmp,
# by bench/faults_shim.c), each followed by the run outside and -purge.
# Usage: bench/pidns_kill.sh [TRIALS] [TREL] [REWRITES]   (defaults: 20, build/src/driver/trel, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-20}
. "$root/bench/bench_lib.sh"
given_bench_start pidns_kill "${2:-}"
command -v unshare >/dev/null || { echo "pidns_kill: unshare is needed" >&2; exit 1; }
cp "$zinc"/*.pdb "$work"/
cd "$work"
targets=$(ls *.pdb | grep -v '^1ard.pdb$')
export TREL_RESULTS=trel_results
rm -rf trel_results
t0=$(date +%s%N)
# shellcheck disable=SC2086
"$trel" 1ard.pdb $targets >/dev/null 2>&1
length=$(( ($(date +%s%N) - t0) / 1000000 ))
temps() { find trel_results -name '*.tmp' 2>/dev/null | wc -l; }
after_kill=0 after_run=0 left=0
for t in $(seq "$trials"); do
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $targets >/dev/null 2>&1
  # shellcheck disable=SC2086
  unshare --pid --fork --kill-child --map-root-user "$trel" 1ard.pdb $targets >/dev/null 2>&1 &
  pid=$!
  sleep "$(awk -v l="$length" -v r="$RANDOM" 'BEGIN {printf "%.4f", l * r / 32768 / 1000}')"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  after_kill=$((after_kill + $(temps)))
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $(echo $targets | cut -d' ' -f1-5) >/dev/null 2>&1 || true
  after_run=$((after_run + $(temps)))
  "$trel" -purge >/dev/null 2>&1 || true
  [ -d trel_results ] && left=$((left + $(find trel_results -type f ! -name 'trel.log' | wc -l)))
done
echo "first run: $length ms; $trials trials: temporary files after the kill $after_kill, after a run outside $after_run, files left by -purge $left"

build_shim
after_kill=0 after_run=0 left=0 names=""
for _ in $(seq "${3:-5}"); do
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $targets >/dev/null 2>&1
  echo "Q damaged line" >>trel_results/.zam_written
  # shellcheck disable=SC2086
  unshare --pid --fork --kill-child --map-root-user env LD_PRELOAD="$shim" FAULT_KILL='*.zam_written.*.tmp' \
    "$trel" 1ard.pdb $targets >/dev/null 2>&1 || true
  after_kill=$((after_kill + $(find trel_results -name '.zam_written.*.tmp' | wc -l)))
  # shellcheck disable=SC2086
  "$trel" 1ard.pdb $(echo $targets | cut -d' ' -f1-5) >/dev/null 2>&1 || true
  after_run=$((after_run + $(find trel_results -name '.zam_written.*.tmp' | wc -l)))
  "$trel" -purge >/dev/null 2>&1 || true
  n=$(left trel_results)
  [ "$n" -gt 0 ] && [ -z "$names" ] && names=$(left_names trel_results)
  left=$((left + n))
done
echo "${3:-5} kills in the record's rewrite: its temporaries after the kill $after_kill, after a run outside $after_run," \
  "files left by -purge $left $names"
