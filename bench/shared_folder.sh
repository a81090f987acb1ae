#!/usr/bin/env bash
# Two runs of one query, each pinned to a core of its own, writing all their
# result files (1ard against every shared structure: about 11,200 files
# each), started together into one results folder and into two: the
# median elapsed time of the pair in each case and their ratio, for each
# trel given (the trels taking turns, each with a warm object cache of its
# own). Runs into one folder take turns only where a file is put in place
# and recorded; the ratio shows what that costs.
# Usage: bench/shared_folder.sh [TRIALS] [TREL...]   (defaults: 3, build/src/driver/trel)
# (CORES: the two cores, default the first two this process may use)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-3}
[ $# -gt 0 ] && shift
. "$root/bench/bench_lib.sh"
given_bench_start shared_folder "${1:-}"
trels=("$trel")
[ $# -gt 1 ] && for t in "${@:2}"; do trels+=("$(realpath "$t")"); done
data="$root/../shared/data/pdb"
cd "$work"
find "$data" -name '*.pdb' -o -name '*.pdb.gz' -o -name '*.ent.gz' | sort > targets
query="$data/mustang-testdata/1ard.pdb"
n=$(wc -l < targets)
[ "$(nproc)" -ge 2 ] || { echo "shared_folder: needs two cores" >&2; exit 1; }
cores=${CORES:-$(python3 -c 'import os; c = sorted(os.sched_getaffinity(0)); print("%d,%d" % (c[0], c[1]))')}
for k in "${!trels[@]}"; do
  mkdir -p "zc_$k"
  TREL_CACHE=$work/zc_$k "${trels[$k]}" -cache -broken -nowrite "$query" $(cat targets) >/dev/null 2>&1 || true
done

# Each pair writes into a place of its own, made for it (fresh_place);
# "res" names the folder of its first run.
pair() {  # trel's index, folder of the first run, folder of the second
  local start end a b base
  base=$(fresh_place)
  echo "$base/$2" > res
  start=$(date +%s.%N)
  for side in 0 1; do
    folder=$base/$2
    [ $side = 1 ] && folder=$base/$3
    TREL_CACHE=$work/zc_$1 TREL_RESULTS=$folder taskset -c "$(cut -d, -f$((side + 1)) <<<"$cores")" "${trels[$1]}" -cache -broken \
      -top="$n" -show="$n" "$query" $(cat targets) >out.$side 2>&1 &
    [ $side = 0 ] && a=$! || b=$!
  done
  wait $a && wait $b || { echo "shared_folder: a run failed" >&2; cat out.0 out.1 >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.2f\n", $2 - $1}'
}
median() { sort -g | awk '{v[NR] = $0} END {print NR % 2 ? v[(NR + 1) / 2] : v[NR / 2]}'; }

declare -A one two
for t in $(seq "$trials"); do
  for k in "${!trels[@]}"; do
    one[$k]+="$(pair "$k" res res) "
    files=$(find "$(cat res)" -type f | wc -l)
    two[$k]+="$(pair "$k" res_a res_b) "
  done
done
echo "targets: $n   files in the shared folder: $files   cores: $cores"
for k in "${!trels[@]}"; do
  m1=$(printf '%s\n' ${one[$k]} | median)
  m2=$(printf '%s\n' ${two[$k]} | median)
  echo "${trels[$k]}:"
  echo "  one folder:  ${one[$k]} (median $m1 s)"
  echo "  two folders: ${two[$k]} (median $m2 s)"
  awk -v a="$m1" -v b="$m2" 'BEGIN {printf "  ratio one/two: %.2f\n", a / b}'
done
