#!/usr/bin/env bash
# -purge beside a live run, trial after trial: 1ard against 90 shared
# structures with files for all 90 hits (-broken -show=90: 1,810 files)
# starts in an empty results folder, and -purge runs once the query's
# folder holds 150 files. Counts, at the run's end, the files missing of
# the hits its table shows (20 each) and of the query's own, the runs that
# failed, and prints what -purge said it left in the first trial. The
# files missing must be 0: -purge leaves a live run's folder and log.
# Usage: bench/purge_live.sh [TRIALS] [TREL]   (defaults: 10, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-10}
. "$root/bench/bench_lib.sh"
given_bench_start purge_live "${2:-}"
cd "$work"
find "$root/../shared/data/pdb" -name '*.pdb' -o -name '*.pdb.gz' -o -name '*.ent.gz' | sort | head -90 >targets
export TREL_RESULTS=trel_results
run() { "$trel" -broken -show=90 "$zinc/1ard.pdb" -target=targets; }
rm -rf trel_results
run >/dev/null 2>&1
own=$(cd trel_results/1ard && ls 1ard.k* 1ard_query* | grep -v kwritten)

shown=0 missing=0 gone=0 torn=0 own_missing=0 failed=0 late=0
for t in $(seq "$trials"); do
  rm -rf trel_results
  run >out 2>&1 &
  pid=$!
  while [ "$(ls trel_results/1ard 2>/dev/null | wc -l)" -lt 150 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
  kill -0 "$pid" 2>/dev/null || late=$((late + 1))
  "$trel" -purge >purge.out 2>&1 || true
  [ "$t" -eq 1 ] && { grep -i 'left\|keep\|live\|writ' purge.out | head -4 | sed 's/^/    -purge: /' || true; }
  wait "$pid" || failed=$((failed + 1))
  read -r s m g o < <(shown_missing trel_results/1ard 20 out)
  shown=$((shown + s)) missing=$((missing + m)) gone=$((gone + g)) torn=$((torn + o))
  for f in $own; do [ -e "trel_results/1ard/$f" ] || own_missing=$((own_missing + 1)); done
done
echo "$trials trials ($late where the run ended before -purge): $shown shown hits checked, hit files gone $missing" \
  "($gone hits without a file, $torn torn), own files gone $own_missing, runs failed $failed"
