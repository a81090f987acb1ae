#!/usr/bin/env bash
# Two runs of one query, each pinned to a core of its own, writing all their
# result files (1ard against every shared structure: about 11,200 files
# each), started together into one results folder and into two: the
# median elapsed time of the pair in each case and their ratio. Runs into
# one folder take turns only where a file is put in place and recorded;
# the ratio shows what that costs.
# Usage: bench/shared_folder.sh [TRIALS] [TREL]   (defaults: 3, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-3}
. "$root/bench/bench_lib.sh"
given_bench_start shared_folder "${2:-}"
data="$root/../shared/data/pdb"
cd "$work"
find "$data" -name '*.pdb' -o -name '*.pdb.gz' -o -name '*.ent.gz' | sort > targets
query="$data/mustang-testdata/1ard.pdb"
n=$(wc -l < targets)
cores=$(nproc)
[ "$cores" -ge 2 ] || { echo "shared_folder: needs two cores" >&2; exit 1; }
# A warm object cache first, so that both cases time the same work.
mkdir -p zc
export TREL_CACHE=$work/zc
"$trel" -cache -broken -nowrite "$query" $(cat targets) >/dev/null 2>&1 || true

pair() {  # folder of the first run, folder of the second
  rm -rf "$1" "$2"
  local start end
  start=$(date +%s.%N)
  TREL_RESULTS=$1 taskset -c 0 "$trel" -cache -broken -top="$n" -show="$n" "$query" $(cat targets) >out.0 2>&1 &
  local a=$!
  TREL_RESULTS=$2 taskset -c 1 "$trel" -cache -broken -top="$n" -show="$n" "$query" $(cat targets) >out.1 2>&1 &
  local b=$!
  wait $a && wait $b || { echo "shared_folder: a run failed" >&2; cat out.0 out.1 >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.2f\n", $2 - $1}'
}

median() { sort -g | awk '{v[NR] = $0} END {print NR % 2 ? v[(NR + 1) / 2] : v[NR / 2]}'; }

one=(); two=()
for t in $(seq "$trials"); do
  one+=("$(pair res res)")
  files=$(find res -type f | wc -l)
  two+=("$(pair res_a res_b)")
done
m1=$(printf '%s\n' "${one[@]}" | median)
m2=$(printf '%s\n' "${two[@]}" | median)
echo "targets: $n   files in the shared folder: $files"
echo "one folder:  ${one[*]}  (median $m1 s)"
echo "two folders: ${two[*]}  (median $m2 s)"
awk -v a="$m1" -v b="$m2" 'BEGIN {printf "ratio one/two: %.2f\n", a / b}'
