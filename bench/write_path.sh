#!/usr/bin/env bash
# The cost of writing a search's result files, one trel beside another: 1ard
# against every shared structure with every hit shown (about 11,200 files),
# from a warm object cache into an empty results folder. For each trel the
# median over the trials of its CPU seconds on one thread and of its elapsed
# seconds on two threads, and the ratios of the second trel to the first.
# Usage: bench/write_path.sh OLD_TREL NEW_TREL [TRIALS]   (default 5 trials)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 OLD_TREL NEW_TREL [TRIALS]" >&2; exit 1; }
old=$(realpath "$1")
new=$(realpath "$2")
trials=${3:-5}
. "$root/bench/bench_lib.sh"
given_bench_start write_path "$new"
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
data="$root/../shared/data/pdb"
cd "$work"
find "$data" -name '*.pdb' -o -name '*.pdb.gz' -o -name '*.ent.gz' | sort > targets
query="$data/mustang-testdata/1ard.pdb"
n=$(wc -l < targets)
# A warm object cache of each trel's own (the two may keep it in layouts
# of their own, and would rebuild each other's), so that both time the same
# work.
for which in old new; do
  mkdir -p "zc_$which"
  TREL_CACHE=$work/zc_$which "${!which}" -cache -broken -nowrite "$query" $(cat targets) >/dev/null 2>&1 || true
done

one() {  # trel, cpus, which: prints "elapsed cpu"
  rm -rf res
  TREL_CACHE=$work/zc_$3 TREL_RESULTS=res TREL_CPUS=$2 /usr/bin/time -f "%e %U %S" -o t "$1" -cache -broken -top="$n" -show="$n" \
    "$query" $(cat targets) >/dev/null 2>&1 || { echo "write_path: $1 failed" >&2; exit 1; }
  awk '{printf "%s %.2f\n", $1, $2 + $3}' t
}
median() { sort -g | awk '{v[NR] = $0} END {print NR % 2 ? v[(NR + 1) / 2] : v[NR / 2]}'; }

declare -A cpu wall
for t in $(seq "$trials"); do
  for which in old new; do
    bin=$old; [ $which = new ] && bin=$new
    cpu[$which]+="$(one "$bin" 1 $which | awk '{print $2}') "
    wall[$which]+="$(one "$bin" 2 $which | awk '{print $1}') "
  done
done
files=$(find res -type f | wc -l)
for which in old new; do
  c=$(printf '%s\n' ${cpu[$which]} | median)
  w=$(printf '%s\n' ${wall[$which]} | median)
  eval "${which}_c=$c ${which}_w=$w"
  echo "$which: CPU on one thread ${cpu[$which]}(median $c s); elapsed on two threads ${wall[$which]}(median $w s)"
done
echo "targets: $n   files written: $files"
awk -v a="$old_c" -v b="$new_c" -v c="$old_w" -v d="$new_w" \
  'BEGIN {printf "new/old: CPU %.3f, two-thread elapsed %.3f\n", b / a, d / c}'
