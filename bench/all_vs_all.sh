#!/usr/bin/env bash
# All-against-all comparison (-all) of shared structures on one thread
# (TREL_CPUS=1) and on all cores, against TM-align; then the clustering alone.
#
# The set: the first N (default 500) shared structure files that trel reads.
# A one-thread run over all of them takes hours, so one thread compares a
# subset of S structures (default 80: every N/S-th of the set, so the same
# mix of sizes), and all cores compare the same subset (the speed-up) and
# then the first M of the set (default all N). For every run: wall time,
# pairs per second (S x S or M x M ordered pairs, each structure with itself
# included, as trel compares them), CPU seconds (user + system), peak
# resident memory (/usr/bin/time -v) and the load average before and after
# (other work on the machine slows the all-core runs). The one-thread time
# of the M structures is extrapolated from the subset by the ratio of the
# CPU seconds of the two all-core runs.
# TM-align, one process per pair, runs on a random sample of K (default 300)
# unordered pairs of the N structures, extrapolated to the M(M-1)/2 pairs
# (each compared once; trel's run gives both directions).
# Then the clustering alone at n = 500, 2,000 and 5,000 (bench_cluster,
# synthetic distances): time and peak memory.
#
# Usage: bench/all_vs_all.sh [release build folder]   (default build-bench)
# A missing trel or bench_cluster is built there in Release. Installs the
# Debian packages time and tm-align when missing. ALL_N, ALL_ONE (S),
# ALL_MANY (M; 0 leaves the big all-core run out), ALL_TM (K; 0 leaves
# TM-align out) and ALL_CLUSTER=0 (no clustering) change the runs; ALL_ARGS
# adds options to every run (default -nowrite: the per-query tables and
# alignment files are left out, the matrix, cluster, difference, centre and
# neighbour files are written all the same). Work files go under $TMPDIR.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
n=${ALL_N:-500}
one=${ALL_ONE:-80}
many=${ALL_MANY:-$n}
sample=${ALL_TM:-300}
extra=${ALL_ARGS:--nowrite}
cores=$(nproc)

. "$here/bench/bench_lib.sh"
[ -x /usr/bin/time ] || need /usr/bin/time time
[ "$sample" -gt 0 ] && need TMalign tm-align

if [ ! -x "$build/src/driver/trel" ] || [ ! -x "$build/bench/bench_cluster" ]; then
  echo "Building trel and bench_cluster (Release) in $build..." >&2
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTREL_BENCH=ON >/dev/null
  cmake --build "$build" -j "$cores" --target trel bench_cluster >/dev/null
fi
trel=$build/src/driver/trel

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_all_XXXXXX")
trap 'rm -rf "$work"' EXIT

# The first N structure files (path order) that trel reads as full backbones.
probe=$data/freesasa/1ubq.pdb
files=()
while IFS= read -r f; do
  [ ${#files[@]} -ge "$n" ] && break
  (cd "$work" && "$trel" -nowrite "$probe" "$f" >/dev/null 2>&1) && files+=("$f")
done < <(find "$data" \( -name '*.pdb' -o -name '*.pdb.gz' \) -size -2000k | sort)
n=${#files[@]}
[ "$one" -gt "$n" ] && one=$n
[ "$many" -gt "$n" ] && many=$n
# One thread over the whole set: nothing to extrapolate.
[ "$one" -eq "$n" ] && [ "$many" -eq "$n" ] && many=0

# A folder of links s0001.pdb ... (every name distinct) to the given indices.
makeSet() {  # folder, indices...
  local dir=$work/$1 k=0 f ext
  shift
  mkdir -p "$dir"
  for i in "$@"; do
    k=$((k + 1))
    f=${files[i]}
    ext=pdb
    case "$f" in *.gz) ext=pdb.gz ;; esac
    ln -s "$f" "$(printf '%s/s%04d.%s' "$dir" "$k" "$ext")"
  done
}
sub=()
for ((k = 0; k < one; k++)); do sub+=($((k * n / one))); done
makeSet subset "${sub[@]}"
makeSet first $(seq 0 $((many - 1)))

# One -all run; prints "seconds cpu_seconds peak_MB".
timed() {  # name, cpus, set folder
  local out=$work/run_$1
  mkdir -p "$out"
  (cd "$out" && env TREL_CPUS="$2" TREL_RESULTS="$out/results" /usr/bin/time -v \
    "$trel" -all $extra -target="$work/$3" >"$out/log.txt" 2>"$out/time.txt") ||
    { echo "trel -all failed (see $out/log.txt)" >&2; tail -5 "$out/log.txt" >&2; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); v = 0; for (i = 1; i <= n; i++) v = v * 60 + t[i]; s = v}
              /User time/ {c += $2} /System time/ {c += $2}
              /Maximum resident set size/ {m = $2 / 1024}
              END {printf "%.2f %.1f %.0f\n", s, c, m}' "$out/time.txt"
}
load() { cut -d' ' -f1-3 /proc/loadavg; }
row() {  # label, structures, seconds, cpu, peak, load before
  printf '%-24s %6d %10.2f %13.1f %12.2f %9.0f  %s -> %s\n' "$1" "$2" "$3" "$(calc "$2 * $2 / $3")" "$4" "$5" "$6" "$(load)"
}

if [ "$one" -lt "$n" ]; then
  echo "$n structures, $cores cores. Subset: $one structures (every $(calc "$n / $one") of the set)."
else
  echo "$n structures, $cores cores; one thread compares them all."
fi
printf '%-24s %6s %10s %13s %12s %9s  %s\n' "trel -all" "n" "seconds" "pairs/second" "CPU seconds" "peak MB" "load average before -> after"
l=$(load); read -r s1 c1 m1 < <(timed one 1 subset); row "1 thread" "$one" "$s1" "$c1" "$m1" "$l"
l=$(load); read -r sa ca ma < <(timed sub_all "$cores" subset); row "$cores threads" "$one" "$sa" "$ca" "$ma" "$l"
echo "Speed-up: $(calc "int($s1 / $sa * 100 + 0.5) / 100") with $cores threads; memory per added thread about $(calc "int(($ma - $m1) / ($cores - 1) + 0.5)") MB."
if [ "$many" -gt 0 ]; then
  l=$(load); read -r sm cm mm < <(timed many "$cores" first); row "$cores threads" "$many" "$sm" "$cm" "$mm" "$l"
  groups=$(awk '/^#Ngroups:/ {print $2}' "$work/run_many/results/trel.kclus")
  echo "Clusters at the default threshold: $groups"
  t1=$(calc "$s1 * $cm / $ca")
  printf 'One thread on the %d structures: about %.0f s (%.1f h; %.1f pairs/s), from the subset by CPU seconds.\n' \
    "$many" "$t1" "$(calc "$t1 / 3600")" "$(calc "$many * $many / $t1")"
fi

# TM-align on random unordered pairs of the set (fixed seed); it reads plain
# PDB text only, so a gzipped file is unpacked first (timed).
if [ "$sample" -gt 0 ]; then
  plain() {  # file, slot
    case "$1" in
      *.gz) gzip -dc "$1" >"$work/tm_$2.pdb" && echo "$work/tm_$2.pdb" ;;
      *) echo "$1" ;;
    esac
  }
  mapfile -t picks < <(awk -v n="$n" -v k="$sample" 'BEGIN { srand(7); while (c < k) { a = int(rand() * n); b = int(rand() * n); if (a != b) { print a " " b; c++ } } }')
  l=$(load)
  start=$(date +%s.%N)
  for p in "${picks[@]}"; do
    read -r a b <<<"$p"
    TMalign "$(plain "${files[a]}" a)" "$(plain "${files[b]}" b)" >/dev/null 2>&1 || true
  done
  tm=$(calc "$(date +%s.%N) - $start")
  m=$many
  [ "$m" -gt 0 ] || m=$one
  half=$((m * (m - 1) / 2))
  printf 'TM-align: %d pairs in %.2f s (%.1f pairs/s, load %s -> %s); the %d pairs of %d structures would take about %.0f s (%.1f h) on one core.\n' \
    "$sample" "$tm" "$(calc "$sample / $tm")" "$l" "$(load)" "$half" "$m" "$(calc "$tm / $sample * $half")" "$(calc "$tm / $sample * $half / 3600")"
fi

# Clustering alone: one size per process for its own peak memory.
if [ "${ALL_CLUSTER:-1}" != 0 ]; then
  printf '\n%-10s %12s %12s %12s\n' "cluster n" "seconds" "peak MB" "work MB"
  for size in 500 2000 5000; do
    /usr/bin/time -v "$build/bench/bench_cluster" --benchmark_filter="/$size/" --benchmark_format=csv \
      >"$work/cluster.csv" 2>"$work/cluster_time.txt"
    ms=$(awk -F, '/BM_ClusterPairAverage/ {print $3}' "$work/cluster.csv")
    peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/cluster_time.txt")
    printf '%-10d %12.2f %12.0f %12.0f\n' "$size" "$(calc "$ms / 1000")" "$(calc "$peak / 1024")" \
      "$(calc "(2 * $size - 1) ^ 2 * 8 / 1048576")"
  done
fi
