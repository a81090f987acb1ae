#!/usr/bin/env bash
# Two runs of one query over their earlier results, one of them stopped,
# then both again at once, trial after trial: run a (1ard against three
# copies of the zinc fingers) and run b (1ard against three other copies)
# write their results; then both start at once and one of them (a and b by
# turns) gets SIGTERM, or apart SIGKILL, at a random moment within the
# pair's usual length; then both run again at once. Counts, over the hits
# the last two tables show, the files missing of the 20 each hit gets (and
# the hits gone or torn), the query's own files missing, the runs that said
# they removed files, and the runs that failed. The files lost must be 0.
# Mode "forced": over the results of run b (1ard against 1sp1, 5znf and
# 1znf: 60 hit files), run a (1ard against 1zaa1, each linkat delayed
# 0.15 s by strace) begins first and ends last; run b again begins after a
# and ends before it (its files written with the same bytes, so their
# times stay older than a's start); then six lines
# of a gone run, naming files of b's hits ahead, are appended to the
# query's .kwritten. Counts b's hit files kept at a's end (60 each trial).
# Load the machine meanwhile to widen the windows.
# Usage: bench/stop_overlap.sh [TRIALS] [TREL] [MODES]   (defaults: 60, build/src/driver/trel, "TERM KILL forced")
# (AHEAD_LINES=0: the forced case without the appended lines, as a control)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-60}
. "$root/bench/bench_lib.sh"
given_bench_start stop_overlap "${2:-}"
need strace strace
cp "$zinc"/*.pdb "$work"/
cd "$work"
zinc_copies 6
export TREL_RESULTS=res
args_a="1ard.pdb $(echo c[123]_*.pdb)"
args_b="1ard.pdb $(echo c[456]_*.pdb)"

# Runs a and b at once (their outputs out.a, out.b); with a signal $1, sends
# it to run $2 after a random time within the pair's length. Counts failures.
pair() {
  # shellcheck disable=SC2086
  env --default-signal=INT "$trel" $args_a >out.a 2>&1 &
  local a=$!
  # shellcheck disable=SC2086
  env --default-signal=INT "$trel" $args_b >out.b 2>&1 &
  local b=$!
  if [ -n "${1:-}" ]; then
    random_sleep "$length"
    if [ "$2" = a ]; then kill -s "$1" "$a" 2>/dev/null || true; else kill -s "$1" "$b" 2>/dev/null || true; fi
    wait "$a" "$b" 2>/dev/null || true
  else
    wait "$a" || failed=$((failed + 1))
    wait "$b" || failed=$((failed + 1))
  fi
}

rm -rf res
t0=$(date +%s%N)
failed=0
pair
length=$(( ($(date +%s%N) - t0) / 1000000 ))
own=$(cd res/1ard && ls 1ard.k* 1ard_query* | grep -v kwritten)
echo "pair of runs: $length ms, $(ls res/1ard | wc -l) files in res/1ard ($(echo $own | wc -w) of the query's own)"

for mode in ${3:-TERM KILL forced}; do
  [ "$mode" = forced ] && continue
  shown=0 missing=0 gone=0 torn=0 own_missing=0 removed=0 failed=0
  for t in $(seq "$trials"); do
    rm -rf res out.*
    pair
    if [ $((t % 2)) -eq 0 ]; then pair "$mode" a; else pair "$mode" b; fi
    pair
    read -r s m g o < <(shown_missing res/1ard 20 out.a out.b)
    shown=$((shown + s)) missing=$((missing + m)) gone=$((gone + g)) torn=$((torn + o))
    for f in $own; do [ -e "res/1ard/$f" ] || own_missing=$((own_missing + 1)); done
    removed=$((removed + $(cat out.a out.b | grep -c '^Removed' || true)))
  done
  echo "SIG$mode: $trials trials, $shown shown hits checked: hit files lost $missing ($gone hits gone, $torn torn)," \
    "own files lost $own_missing, runs saying Removed $removed, runs failed $failed"
done

# The ahead line of the file $2 for the hit $3 by the run $1.
ahead_line() {
  python3 -c 'import sys, zlib; b = ("%s %s/%s" % tuple(sys.argv[1:4])).encode(); print("+%08x %s" % (zlib.crc32(b), b.decode()))' "$@"
}

if [[ " ${3:-forced} " == *" forced "* ]]; then
  kept=0 due=0 failed=0
  for t in $(seq "$trials"); do
    rm -rf res out.*
    "$trel" 1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb >/dev/null 2>&1 || failed=$((failed + 1))
    strace -f -o /dev/null -e trace=linkat -e inject=linkat:delay_enter=150000 "$trel" 1ard.pdb 1zaa1.pdb >out.a 2>&1 &
    a=$!
    # a has begun once a file of its own hit stands (the earlier run's files
    # stand from the start): b begins after it.
    while ! compgen -G 'res/1ard/1zaa1_1ard*' >/dev/null && kill -0 "$a" 2>/dev/null; do sleep 0.01; done
    "$trel" 1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb >out.b 2>&1 || failed=$((failed + 1))
    kill -0 "$a" 2>/dev/null || echo "forced: run a ended before b (trial $t)" >&2
    for h in 1sp1 5znf 1znf; do
      for f in $(cd res/1ard && ls "${h}_1ard"* | head -$((${AHEAD_LINES:-6} / 3))); do ahead_line 1.1 "$f" "$h"; done
    done >>res/1ard/1ard.kwritten
    wait "$a" || failed=$((failed + 1))
    read -r s m g o < <(shown_missing res/1ard 20 out.b)
    kept=$((kept + 20 * s - m)) due=$((due + 20 * s))
  done
  echo "forced: $trials trials: b's hit files kept $kept of $due, runs failed $failed"
fi
