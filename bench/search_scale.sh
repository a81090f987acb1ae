#!/usr/bin/env bash
# Scaling of one search: one query against N = 1,000 and 10,000 targets (the
# shared PDB structures repeated under distinct names through symlinks),
# on one thread (TREL_CPUS=1) and on all cores: wall time, peak resident
# memory and time per target; for targets read from PDB files, from their
# cache files (-cache) and as members of a structure database (-db). Then TM-align, one process per pair, on 50 of
# the same pairs, extrapolated to N, for the speed ratio on one thread.
#
# Usage: bench/search_scale.sh [release build folder]   (default build-bench)
# A missing folder is configured with -DCMAKE_BUILD_TYPE=Release and trel is
# built in it. Installs the Debian packages time and tm-align when missing.
# Sizes can be changed with SCALE_SIZES="1000 10000"; SCALE_QUERY names another
# query file (default ubiquitin, 76 residues; TM-align's time per pair grows
# with the query's length, trel's reading of the targets does not); SCALE_ARGS adds options
# to every search (SCALE_ARGS=-nowrite times the search without its ~730
# result files per query). Target links, caches, databases and result folders
# go under $TMPDIR (default /tmp): TMPDIR=/dev/shm times the searches without
# the disk's file creation. Each search runs SCALE_REPEAT times (default 3):
# the best wall time and the largest peak memory are shown.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
sizes=${SCALE_SIZES:-"1000 10000"}
extra=${SCALE_ARGS:-}
repeat=${SCALE_REPEAT:-3}
sample=50
cores=$(nproc)

. "$here/bench/bench_lib.sh"
[ -x /usr/bin/time ] || need /usr/bin/time time
need TMalign tm-align

if [ ! -x "$build/src/driver/trel" ]; then
  echo "Building trel (Release) in $build..." >&2
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$cores" --target trel >/dev/null
fi
trel=$build/src/driver/trel

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_scale_XXXXXX")
trap 'rm -rf "$work"' EXIT

# The structures: every plain PDB file of the shared data that trel reads as
# a full backbone (CA-only and broken files are left out), in path order.
query=${SCALE_QUERY:-$data/freesasa/1ubq.pdb}
pool=()
while IFS= read -r f; do
  if (cd "$work" && "$trel" -nowrite "$query" "$f" >/dev/null 2>&1); then pool+=("$f"); fi
done < <(find "$data" -name '*.pdb' -size -2000k | sort)
[ ${#pool[@]} -ge 2 ] || { echo "Too few usable structures in $data" >&2; exit 1; }
echo "Query $(basename "$query") ($(awk '/^ENDMDL/ {exit} /^ATOM  ...... CA / {n++} END {print n + 0}' "$query") residues); ${#pool[@]} distinct target structures, repeated; $cores cores."

# The folder of N targets: t000001.pdb ... as symlinks cycling over the pool.
make_targets() {  # N, folder
  mkdir -p "$2"
  local i
  for ((i = 0; i < $1; i++)); do
    ln -s "${pool[i % ${#pool[@]}]}" "$(printf '%s/t%06d.pdb' "$2" "$i")"
  done
}

# One run of trel in a fresh folder; prints "seconds peak_kB".
timed() {  # cpus, "ENV=.. ENV=..", trel arguments...
  local cpus=$1 envs=$2 out
  shift 2
  local best="" peak=0 k
  for ((k = 0; k < repeat; k++)); do
    # A fresh folder per run, all removed at the end: files deleted just
    # before a run slow down the creation of new ones in some file systems.
    out=$(mktemp -d "$work/run_XXXXXX")
    local t0 t1 p
    t0=$(date +%s.%N)
    (cd "$out" && env TREL_CPUS="$cpus" TREL_RESULTS="$out/results" $envs /usr/bin/time -v \
      -o "$out/time.txt" "$trel" "$@" >"$out/log.txt" 2>&1) || { tail -20 "$out/log.txt" >&2; exit 1; }
    t1=$(date +%s.%N)
    p=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$out/time.txt")
    best=$(awk -v a="$best" -v b="$(calc "$t1 - $t0")" 'BEGIN { print (a == "" || b < a) ? b : a }')
    [ "$p" -gt "$peak" ] && peak=$p
  done
  echo "$best $peak"
}

# One search of the query against a folder of targets.
search() {  # folder, cpus
  timed "$2" "" $extra "-target=$1" "$query"
}

# TM-align on the first $sample targets of the pool cycle, one process each.
tm_start=$(date +%s.%N)
for ((i = 0; i < sample; i++)); do
  TMalign "$query" "${pool[i % ${#pool[@]}]}" >/dev/null 2>&1 || true
done
tm_end=$(date +%s.%N)
tm_pair=$(calc "($tm_end - $tm_start) / $sample")
printf 'TM-align: %d pairs, %.4f s per pair\n\n' "$sample" "$tm_pair"

row() {  # kind, N, threads, wall, peak_kB, TM-align seconds for N, 1-thread wall
  printf '%-7s %7d %6d %10.2f %10.1f %12.1f %10.1f %9.1fx %8s\n' "$1" "$2" "$3" "$4" \
    "$(calc "$5 / 1024")" "$(calc "$4 * 1000000 / $2")" "$6" "$(calc "$6 / $4")" \
    "$( [ "$3" = 1 ] && echo 1.00 || printf '%.2f' "$(calc "$7 / $4")")"
}

# Three kinds of run per size: PDB files read and built ("files"), the same
# objects read from their cache files ("cache", after one run that fills the
# cache), and the same structures as members of a structure database ("db").
printf '%-7s %7s %6s %10s %10s %12s %10s %10s %8s\n' kind N threads wall_s peak_MB us/target \
  TMalign_s speedup scaling
for n in $sizes; do
  folder=$work/targets_$n
  make_targets "$n" "$folder"
  tm_n=$(calc "$tm_pair * $n")

  read -r w1 p1 < <(search "$folder" 1)
  read -r wn pn < <(search "$folder" "$cores")
  row files "$n" 1 "$w1" "$p1" "$tm_n" "$w1"
  row files "$n" "$cores" "$wn" "$pn" "$tm_n" "$w1"
  eval "peak_$n=$p1"

  cache=$work/cache_$n
  mkdir -p "$cache"
  repeat=1 timed "$cores" "TREL_CACHE=$cache" -cache "-target=$folder" "$query" >/dev/null
  read -r c1 q1 < <(timed 1 "TREL_CACHE=$cache" -cache $extra "-target=$folder" "$query")
  read -r cn qn < <(timed "$cores" "TREL_CACHE=$cache" -cache $extra "-target=$folder" "$query")
  row cache "$n" 1 "$c1" "$q1" "$tm_n" "$c1"
  row cache "$n" "$cores" "$cn" "$qn" "$tm_n" "$c1"

  db=$work/db_$n
  mkdir -p "$db"
  read -r bw bp < <(repeat=1 timed "$cores" "TREL_DATABASE=$db" -build=scale "$folder"/*.pdb)
  printf '%-7s %7d %6d %10.2f %10.1f %12.1f   (database build)\n' build "$n" "$cores" "$bw" \
    "$(calc "$bp / 1024")" "$(calc "$bw * 1000000 / $n")"
  read -r d1 e1 < <(timed 1 "TREL_DATABASE=$db" -db=scale $extra "$query")
  read -r dn en < <(timed "$cores" "TREL_DATABASE=$db" -db=scale $extra "$query")
  row db "$n" 1 "$d1" "$e1" "$tm_n" "$d1"
  row db "$n" "$cores" "$dn" "$en" "$tm_n" "$d1"
done
set -- $sizes
if [ $# -ge 2 ]; then
  a=$1 b=$2
  pa=$(eval echo "\$peak_$a") pb=$(eval echo "\$peak_$b")
  printf '\nPeak memory per extra target (1 thread, N=%d..%d): %.2f kB\n' "$a" "$b" \
    "$(calc "($pb - $pa) / ($b - $a)")"
fi
printf 'Targets: speedup >= 50x on one thread; scaling >= %.1f on %d cores.\n' \
  "$(calc "0.7 * $cores")" "$cores"
