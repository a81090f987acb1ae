#!/usr/bin/env bash
# Runs of one query that overlap in one results folder, started side by side
# as users start them, trial after trial. After each trial it counts, over
# the hits that any of the runs' tables shows, the files missing of the 20
# each such hit gets, the hits gone whole or torn, and trel's files set aside
# under numbered names (NAME.1, the logs left out); a run that failed counts
# too. Three cases:
#   earlier    two runs of 1ard with other targets, over a folder that holds
#              both runs' earlier results (made by a first round)
#   identical  four identical runs: 1ard against every zinc finger
#   fresh      two runs with other targets from an empty folder
# Load the machine meanwhile (a build on every core) to widen the windows.
# Usage: bench/overlap_runs.sh [TRIALS] [TREL]   (defaults: 20, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-20}
. "$root/bench/bench_lib.sh"
given_bench_start overlap_runs "${2:-}"
cp "$zinc"/*.pdb "$work"/
cd "$work"
mkdir -p zc
export ZAM_CACHE=$work/zc TREL_RESULTS=res

all=$(ls *.pdb | grep -v '^1ard.pdb$' | tr '\n' ' ')

# Starts the runs given as argument lists (one string each) at once; their
# outputs go to out.N; the failures go to the counts.
run_at_once() {
  local n=0 pids=()
  for args in "$@"; do
    # shellcheck disable=SC2086
    "$trel" -q1 $args > "out.$n" 2>&1 &
    pids+=($!)
    n=$((n + 1))
  done
  failed=0
  for p in "${pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
}

# Counts, for the hits the outputs' tables show, those gone or torn, and the
# files set aside, into the totals.
count() {
  local s m g t
  read -r s m g t < <(shown_missing res/1ard 20 out.*)
  shown=$((shown + s)) missing=$((missing + m)) gone=$((gone + g)) torn=$((torn + t))
  aside=$((aside + $(aside res)))
  fails=$((fails + failed))
}

for case in earlier identical fresh; do
  missing=0 gone=0 torn=0 aside=0 fails=0 shown=0
  for ((t = 0; t < trials; t++)); do
    rm -rf res out.*
    case $case in
      earlier)
        run_at_once "1ard.pdb 1sp1.pdb 1zaa1.pdb" "1ard.pdb 1znf.pdb 5znf.pdb"
        run_at_once "1ard.pdb 1sp1.pdb 1zaa1.pdb" "1ard.pdb 1znf.pdb 5znf.pdb" ;;
      identical)
        run_at_once "1ard.pdb $all" "1ard.pdb $all" "1ard.pdb $all" "1ard.pdb $all" ;;
      fresh)
        run_at_once "1ard.pdb 1sp1.pdb 1zaa1.pdb 2drp1.pdb" "1ard.pdb 1znf.pdb 5znf.pdb 1paa.pdb" ;;
    esac
    count
  done
  printf '%-10s %3d trials: %5d shown hits checked, %d files missing (%d hits gone, %d torn), %d set aside, %d runs failed\n' \
    "$case" "$trials" "$shown" "$missing" "$gone" "$torn" "$aside" "$fails"
done
