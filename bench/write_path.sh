#!/usr/bin/env bash
# The cost of writing a search's result files, one trel beside another: 1ard
# against every shared structure with every hit shown (about 11,200 files),
# from a warm object cache (one for each trel) into an empty results
# folder, the two taking turns. For each trel the medians over the trials
# of its CPU seconds on one thread and on two, and of its elapsed seconds
# on two threads, and the ratios of the second trel to the first; then the
# system calls a placed file (strace -c -f, all calls of the run over the
# files it left) of one run on two threads, against every structure and
# against the first 90 of them (1,810 files).
# Usage: bench/write_path.sh OLD_TREL NEW_TREL [TRIALS]   (default 5 trials)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 OLD_TREL NEW_TREL [TRIALS]" >&2; exit 1; }
old=$(realpath "$1")  # read as ${!which}
new=$(realpath "$2")
trials=${3:-5}
. "$root/bench/bench_lib.sh"
given_bench_start write_path "$new"
need strace strace
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
data="$root/../shared/data/pdb"
cd "$work"
find "$data" -name '*.pdb' -o -name '*.pdb.gz' -o -name '*.ent.gz' | sort > targets
head -90 targets > targets90
query="$data/mustang-testdata/1ard.pdb"
n=$(wc -l < targets)
# A warm object cache of each trel's own (the two may keep it in layouts
# of their own, and would rebuild each other's), so that both time the same
# work.
for which in old new; do
  mkdir -p "zc_$which"
  TREL_CACHE=$work/zc_$which "${!which}" -cache -broken -nowrite "$query" $(cat targets) >/dev/null 2>&1 || true
done

# Each run writes into a place of its own, made for it (fresh_place).
one() {  # which, cpus[, targets file[, wrapper...]]: prints "elapsed cpu"; the folder it wrote is named in "res"
  local which=$1 cpus=$2 list=${3:-targets} m out
  shift $(($# < 3 ? $# : 3))
  m=$(wc -l < "$list")
  out=$(fresh_place)
  echo "$out/r" > res
  TREL_CACHE=$work/zc_$which TREL_RESULTS=$out/r TREL_CPUS=$cpus /usr/bin/time -f "%e %U %S" -o t "$@" "${!which}" \
    -cache -broken -top="$m" -show="$m" "$query" $(cat "$list") >/dev/null 2>&1 ||
    { echo "write_path: ${!which} failed" >&2; exit 1; }
  awk '{printf "%s %.2f\n", $1, $2 + $3}' t
}
median() { sort -g | awk '{v[NR] = $0} END {print NR % 2 ? v[(NR + 1) / 2] : v[NR / 2]}'; }

declare -A cpu1 cpu2 wall m1 m2 mw
for _ in $(seq "$trials"); do
  for which in old new; do
    cpu1[$which]+="$(one $which 1 | awk '{print $2}') "
    read -r w c < <(one $which 2)
    wall[$which]+="$w " cpu2[$which]+="$c "
  done
done
files=$(find "$(cat res)" -type f | wc -l)
for which in old new; do
  # shellcheck disable=SC2086
  m1[$which]=$(printf '%s\n' ${cpu1[$which]} | median) m2[$which]=$(printf '%s\n' ${cpu2[$which]} | median) \
    mw[$which]=$(printf '%s\n' ${wall[$which]} | median)
  echo "$which: CPU on one thread ${cpu1[$which]}(median ${m1[$which]} s); on two ${cpu2[$which]}(median ${m2[$which]} s);" \
    "elapsed on two ${wall[$which]}(median ${mw[$which]} s)"
done
echo "targets: $n   files written: $files"
awk -v a="${m1[old]}" -v b="${m1[new]}" -v c="${m2[old]}" -v d="${m2[new]}" -v e="${mw[old]}" -v f="${mw[new]}" \
  'BEGIN {printf "new/old: CPU one thread %.3f, CPU two threads %.3f, two-thread elapsed %.3f\n", b / a, d / c, f / e}'
for list in targets targets90; do
  for which in old new; do
    one $which 2 $list strace -f -c -o sc >/dev/null
    calls=$(awk '$NF == "total" {print $4}' sc)
    placed=$(find "$(cat res)" -type f | wc -l)
    awk -v w=$which -v m="$(wc -l < $list)" -v c="$calls" -v p="$placed" \
      'BEGIN {printf "%s, 1ard against %d: %d system calls, %d files: %.1f a file\n", w, m, c, p, c / p}'
  done
done
