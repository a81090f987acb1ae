#!/usr/bin/env bash
# A FIFO at the results folder's log name (trel_results/trel.log), as a
# user or a tool may leave one: a run of 1ard against three zinc fingers,
# then -purge, each given at most LIMIT seconds (default 20; then killed).
# Prints each one's exit status (137: killed at the limit), its elapsed
# time, what it said of the log, and what stands at trel.log after it. Both
# must end within seconds and say what they did.
# Usage: bench/log_fifo.sh [TREL] [LIMIT]   (defaults: build/src/driver/trel, 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
limit=${2:-20}
. "$root/bench/bench_lib.sh"
given_bench_start log_fifo "${1:-}"
cp "$zinc"/1ard.pdb "$zinc"/1sp1.pdb "$zinc"/5znf.pdb "$zinc"/1znf.pdb "$work"/
cd "$work"
export TREL_RESULTS=trel_results
mkdir trel_results
for args in "1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb" "-purge"; do
  [ -p trel_results/trel.log ] || { rm -f trel_results/trel.log; mkfifo trel_results/trel.log; }
  t0=$(date +%s%N)
  # shellcheck disable=SC2086
  { timeout -s KILL "$limit" "$trel" $args >out 2>&1 && status=0 || status=$?; } 2>/dev/null
  [ "$status" -eq 137 ] && status="137 (killed at $limit s)"
  echo "trel $args: exit $status after $(( ($(date +%s%N) - t0) / 1000000 )) ms; at trel.log now: $(stat -c %F trel_results/trel.log 2>/dev/null || echo nothing)"
  grep -i 'log\|fifo\|pipe' out | head -4 | sed 's/^/    /' || true
done
