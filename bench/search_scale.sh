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
# the best wall time, its CPU seconds (user + system) and the load average
# after it, and the largest peak memory are shown. SCALE_KINDS picks the kinds
# of run (default "files cache db"). SCALE_PEER names a second release build
# folder (the code before a change): every search then runs with both in
# turn, the peer first, and the peer's rows follow, marked "@peer"; each
# build fills and reads an object cache of its own.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
sizes=${SCALE_SIZES:-"1000 10000"}
extra=${SCALE_ARGS:-}
repeat=${SCALE_REPEAT:-3}
kinds=${SCALE_KINDS:-"files cache db"}
peer=${SCALE_PEER:-}
case "$peer" in /*|"") ;; *) peer=$here/$peer ;; esac
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
peer_trel=""
if [ -n "$peer" ]; then
  peer_trel=$peer/src/driver/trel
  [ -x "$peer_trel" ] || { echo "No trel in the peer build $peer" >&2; exit 1; }
fi

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

# One run of trel in a fresh folder; prints "seconds peak_kB cpu_seconds load".
run_once() {  # trel binary, cpus, "ENV=.. ENV=..", trel arguments...
  local bin=$1 cpus=$2 envs=$3 out t0 t1
  shift 3
  # A fresh folder per run, all removed at the end: files deleted just
  # before a run slow down the creation of new ones in some file systems.
  out=$(mktemp -d "$work/run_XXXXXX")
  t0=$(date +%s.%N)
  (cd "$out" && env TREL_CPUS="$cpus" TREL_RESULTS="$out/results" $envs /usr/bin/time -v \
    -o "$out/time.txt" "$bin" "$@" >"$out/log.txt" 2>&1) || { tail -20 "$out/log.txt" >&2; exit 1; }
  t1=$(date +%s.%N)
  awk -F': ' -v w="$(calc "$t1 - $t0")" -v load="$(cut -d' ' -f1 /proc/loadavg)" '
    /User time/ {u = $2} /System time/ {s = $2} /Maximum resident set size/ {p = $2}
    END {print w, p, u + s, load}' "$out/time.txt"
}

# The search repeated: prints the best wall time with its CPU seconds and
# load, and the largest peak memory ("seconds peak_kB cpu_seconds load"),
# for this build and then, with a peer, for the peer (the two taken in turn,
# the peer first). "%b" in the settings stands for the build that runs,
# "self" or "peer": each build keeps its own object cache (a cache of the
# other build's files would be made again at every run).
timed() {  # cpus, "ENV=.. ENV=..", trel arguments...
  local cpus=$1 envs=$2 k b
  shift 2
  local bins=("$trel") tags=(self)
  [ -n "$peer_trel" ] && bins=("$peer_trel" "$trel") tags=(peer self)
  local -a best=() peak=() cpu=() load=()
  for ((k = 0; k < repeat; k++)); do
    for b in "${!bins[@]}"; do
      read -r w p c l < <(run_once "${bins[b]}" "$cpus" "${envs//%b/${tags[b]}}" "$@")
      if [ -z "${best[b]:-}" ] || awk -v a="$w" -v b="${best[b]}" 'BEGIN {exit !(a < b)}'; then
        best[b]=$w cpu[b]=$c load[b]=$l
      fi
      [ "$p" -gt "${peak[b]:-0}" ] && peak[b]=$p
    done
  done
  for b in $( [ ${#bins[@]} -eq 2 ] && echo 1 0 || echo 0); do
    echo "${best[b]} ${peak[b]} ${cpu[b]} ${load[b]}"
  done
}

# TM-align on the first $sample targets of the pool cycle, one process each.
tm_start=$(date +%s.%N)
for ((i = 0; i < sample; i++)); do
  TMalign "$query" "${pool[i % ${#pool[@]}]}" >/dev/null 2>&1 || true
done
tm_end=$(date +%s.%N)
tm_pair=$(calc "($tm_end - $tm_start) / $sample")
printf 'TM-align: %d pairs, %.4f s per pair\n\n' "$sample" "$tm_pair"

row() {  # kind, N, threads, wall, peak_kB, cpu_s, load, TM-align seconds for N, 1-thread wall
  printf '%-10s %7d %6d %8.3f %7.2f %6.2f %8.1f %10.1f %9.1f %9.1fx %8s\n' "$1" "$2" "$3" "$4" "$6" "$7" \
    "$(calc "$5 / 1024")" "$(calc "$4 * 1000000 / $2")" "$8" "$(calc "$8 / $4")" \
    "$( [ "$3" = 1 ] && echo 1.00 || printf '%.2f' "$(calc "$9 / $4")")"
}

# One kind of search on one and on all cores, with a row for each (and for
# the peer's runs with a peer).
declare -A one_thread files_peak
measure() {  # kind, N, TM-align seconds for N, "ENV=.. ENV=..", trel arguments...
  local kind=$1 n=$2 tm=$3 envs=$4 cpus name w p c l
  shift 4
  for cpus in 1 "$cores"; do
    name=$kind
    while read -r w p c l; do
      [ "$cpus" = 1 ] && one_thread[$name]=$w
      [ "$cpus" = 1 ] && [ "$name" = files ] && files_peak[$n]=$p
      row "$name" "$n" "$cpus" "$w" "$p" "$c" "$l" "$tm" "${one_thread[$name]}"
      name=$kind@peer
    done < <(timed "$cpus" "$envs" "$@")
  done
}

# Three kinds of run per size: PDB files read and built ("files"), the same
# objects read from their cache files ("cache", after one run that fills the
# cache), and the same structures as members of a structure database ("db").
printf '%-10s %7s %6s %8s %7s %6s %8s %10s %9s %10s %8s\n' kind N threads wall_s cpu_s load \
  peak_MB us/target TMalign_s speedup scaling
for n in $sizes; do
  folder=$work/targets_$n
  make_targets "$n" "$folder"
  tm_n=$(calc "$tm_pair * $n")
  for kind in $kinds; do
    case $kind in
      files)
        measure files "$n" "$tm_n" "" $extra "-target=$folder" "$query"
        ;;
      cache)
        # One cache folder per build, each filled by one run of its build.
        cache=$work/cache_$n
        mkdir -p "$cache/self" "$cache/peer"
        repeat=1 timed "$cores" "TREL_CACHE=$cache/%b" -cache "-target=$folder" "$query" >/dev/null
        measure cache "$n" "$tm_n" "TREL_CACHE=$cache/%b" -cache $extra "-target=$folder" "$query"
        ;;
      db)
        db=$work/db_$n
        mkdir -p "$db"
        read -r bw bp bc bl < <(repeat=1 peer_trel='' timed "$cores" "TREL_DATABASE=$db" -build=scale "$folder"/*.pdb)
        printf '%-10s %7d %6d %8.3f %7.2f %6.2f %8.1f %10.1f   (database build)\n' build "$n" "$cores" \
          "$bw" "$bc" "$bl" "$(calc "$bp / 1024")" "$(calc "$bw * 1000000 / $n")"
        measure db "$n" "$tm_n" "TREL_DATABASE=$db" -db=scale $extra "$query"
        ;;
      *) echo "Unknown kind $kind (files, cache, db)" >&2; exit 1 ;;
    esac
  done
done
set -- $sizes
if [ $# -ge 2 ] && [ -n "${files_peak[$1]:-}" ]; then
  a=$1 b=$2
  pa=${files_peak[$a]} pb=${files_peak[$b]}
  printf '\nPeak memory per extra target (1 thread, N=%d..%d): %.2f kB\n' "$a" "$b" \
    "$(calc "($pb - $pa) / ($b - $a)")"
fi
printf 'Targets: speedup >= 50x on one thread; scaling >= %.1f on %d cores.\n' \
  "$(calc "0.7 * $cores")" "$cores"
