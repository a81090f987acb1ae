#!/usr/bin/env bash
# All-against-all comparison (-all) of the first N (default 500) shared
# structures that trel reads, on one thread (TREL_CPUS=1) and on all cores:
# wall time, pairs per second (N x N ordered pairs, each structure with
# itself included) and peak resident memory (/usr/bin/time -v). Then
# TM-align, one process per pair, on a random sample of 50 of the same pairs,
# extrapolated to the N x N pairs. Then the clustering alone at n = 500,
# 2,000 and 5,000 (bench_cluster, synthetic distances): time and peak memory.
#
# Usage: bench/all_vs_all.sh [release build folder]   (default build-bench)
# A missing trel or bench_cluster is built there in Release. Installs the
# Debian packages time and tm-align when missing. ALL_N changes N; ALL_ARGS
# adds options to both runs (default -nowrite: the per-query tables and
# alignment files are left out, the matrix, cluster, difference, centre and
# neighbour files are written all the same). Work files go under $TMPDIR.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
n=${ALL_N:-500}
extra=${ALL_ARGS:--nowrite}
sample=50
cores=$(nproc)

. "$here/bench/bench_lib.sh"
[ -x /usr/bin/time ] || need /usr/bin/time time
need TMalign tm-align

if [ ! -x "$build/src/driver/trel" ] || [ ! -x "$build/bench/bench_cluster" ]; then
  echo "Building trel and bench_cluster (Release) in $build..." >&2
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREL_BENCH=ON >/dev/null
  cmake --build "$build" -j "$cores" --target trel bench_cluster >/dev/null
fi
trel=$build/src/driver/trel

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_all_XXXXXX")
trap 'rm -rf "$work"' EXIT

# The first N structure files (path order) that trel reads as full
# backbones, linked as s0001.pdb ... so that every name is distinct.
mkdir -p "$work/set"
probe=$data/freesasa/1ubq.pdb
files=()
while IFS= read -r f; do
  [ ${#files[@]} -ge "$n" ] && break
  if (cd "$work" && "$trel" -nowrite "$probe" "$f" >/dev/null 2>&1); then
    files+=("$f")
    ext=pdb
    case "$f" in *.gz) ext=pdb.gz ;; esac
    ln -s "$f" "$(printf '%s/set/s%04d.%s' "$work" ${#files[@]} "$ext")"
  fi
done < <(find "$data" \( -name '*.pdb' -o -name '*.pdb.gz' \) -size -2000k | sort)
n=${#files[@]}
pairs=$((n * n))
echo "$n structures ($pairs ordered pairs), $cores cores, load average $(cut -d' ' -f1-3 /proc/loadavg)."

# One -all run; prints "seconds peak_MB".
timed() {  # cpus
  local out=$work/run_$1
  mkdir -p "$out"
  (cd "$out" && env TREL_CPUS="$1" TREL_RESULTS="$out/results" /usr/bin/time -v \
    "$trel" -all $extra -target="$work/set" >"$out/log.txt" 2>"$out/time.txt") ||
    { echo "trel -all failed (see $out/log.txt)" >&2; tail -5 "$out/log.txt" >&2; exit 1; }
  local s p
  s=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); v = 0; for (i = 1; i <= n; i++) v = v * 60 + t[i]; print v}' "$out/time.txt")
  p=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$out/time.txt")
  echo "$s $(calc "$p / 1024")"
}

printf '%-22s %10s %14s %12s\n' "trel -all" "seconds" "pairs/second" "peak MB"
read -r s1 m1 < <(timed 1)
printf '%-22s %10.2f %14.0f %12.0f\n' "1 thread" "$s1" "$(calc "$pairs / $s1")" "$m1"
read -r sn mn < <(timed "$cores")
printf '%-22s %10.2f %14.0f %12.0f\n' "$cores threads" "$sn" "$(calc "$pairs / $sn")" "$mn"
groups=$(awk '/^#Ngroups:/ {print $2}' "$work/run_$cores/results/trel.kclus")
echo "Clusters at the default threshold: $groups"

# TM-align on 50 random ordered pairs of the same structures (fixed seed);
# it reads plain PDB text only, so a gzipped file is unpacked first (timed).
plain() {  # file, slot
  case "$1" in
    *.gz) gzip -dc "$1" >"$work/tm_$2.pdb" && echo "$work/tm_$2.pdb" ;;
    *) echo "$1" ;;
  esac
}
mapfile -t picks < <(awk -v n="$n" -v k="$sample" 'BEGIN { srand(7); for (i = 0; i < k; i++) print int(rand() * n) " " int(rand() * n) }')
start=$(date +%s.%N)
for p in "${picks[@]}"; do
  read -r a b <<<"$p"
  TMalign "$(plain "${files[a]}" a)" "$(plain "${files[b]}" b)" >/dev/null 2>&1 || true
done
tm=$(calc "$(date +%s.%N) - $start")
printf 'TM-align: %d pairs in %.2f s (%.1f pairs/s); %d pairs would take about %.0f s (%.1f h) on one core.\n' \
  "$sample" "$tm" "$(calc "$sample / $tm")" "$pairs" "$(calc "$tm / $sample * $pairs")" "$(calc "$tm / $sample * $pairs / 3600")"
echo "trel on one thread is about $(calc "int($tm / $sample * $pairs / $s1 + 0.5)") times faster per pair."

# Clustering alone: one size per process for its own peak memory.
printf '\n%-10s %12s %12s %12s\n' "cluster n" "seconds" "peak MB" "work MB"
for size in 500 2000 5000; do
  /usr/bin/time -v "$build/bench/bench_cluster" --benchmark_filter="/$size/" --benchmark_format=csv \
    >"$work/cluster.csv" 2>"$work/cluster_time.txt"
  ms=$(awk -F, '/BM_ClusterPairAverage/ {print $3}' "$work/cluster.csv")
  peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/cluster_time.txt")
  printf '%-10d %12.2f %12.0f %12.0f\n' "$size" "$(calc "$ms / 1000")" "$(calc "$peak / 1024")" \
    "$(calc "(2 * $size - 1) ^ 2 * 8 / 1048576")"
done
