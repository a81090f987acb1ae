#!/bin/bash
# Multiple structural alignment: trel -multi next to MUSTANG.
#
# Three sets from the shared data: the 15 zinc fingers of MUSTANG's own test
# data, 20 trypsins and 20 lactate/malate dehydrogenase chains (the first 20
# entries of each folder, one chain per entry, decompressed into a temporary
# folder so that both programs read the same plain files). For each set:
# wall time of trel on one thread (-nothreads, TREL_CPUS=1) and on all cores,
# and of MUSTANG (which has one thread only); the columns where every
# structure has a residue and the mean pairwise CA RMSD over them, both
# measured by tools/msa_compare.py from each program's aligned FASTA rows and
# superposed PDB output; and, for the trypsins and dehydrogenases, the
# sum-of-pairs agreement with the reference alignments beside the files
# (the fraction of reference pairs reproduced, and of the program's pairs
# that the reference holds).
#
# Usage: bench/multi_vs_mustang.sh [build folder]   (default build-bench)
# MULTI_SETS picks sets (default "zinc trypsins ldh").
# The trel binary of the build folder is used; a Release build is made there
# when it is missing. MUSTANG is installed from its Debian package when missing.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-bench}" 2>/dev/null && pwd || echo "${1:-$here/build-bench}")
trel=$build/src/driver/trel
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
helper=$here/tools/msa_compare.py
runs=${MULTI_RUNS:-3}  # trel timings: the best of this many runs
# trel lowers its own priority by 10 (nice); MUSTANG runs at the same
# priority unless MUSTANG_NICE says otherwise (0 on a busy machine, where a
# lowered priority stretches MUSTANG's minutes into hours).
mustang_nice=${MUSTANG_NICE:-10}

if [ ! -x "$trel" ]; then
  echo "Building trel (Release) in $build..." >&2
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target trel >/dev/null
fi
if ! command -v mustang >/dev/null 2>&1; then
  echo "Installing mustang..." >&2
  if [ "$(id -u)" = 0 ]; then apt-get install -y mustang >&2; else sudo apt-get install -y mustang >&2; fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_multi_XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall and CPU (user + system) seconds of a command, its output to a file.
timed() {
  local out=$1; shift
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" >"$out" 2>&1; } 2>&1 ) || { echo "failed: $*" >&2; tail -5 "$out" >&2; return 1; }
  echo "$t" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}
# The run with the least wall time of "wall cpu" lines.
best() { printf '%s\n' "$@" | sort -g | head -1; }

# set name, then source files: written to $work/<name>/in as plain <base>.pdb.
prepare() {
  local name=$1; shift
  mkdir -p "$work/$name/in"
  for src in "$@"; do
    local b; b=$(basename "$src"); b=${b%.gz}; b=${b%.pdb}
    case $src in *.gz) zcat "$src" ;; *) cat "$src" ;; esac >"$work/$name/in/$b.pdb"
  done
}

# The first chain file of each of the first 20 entries of a folder.
first20() {
  ls "$1"/*.pdb.gz | awk -F/ '{ f = $NF; e = substr(f, 1, 4); if (!(e in seen)) { seen[e] = 1; print } }' | head -20
}

mapfile -t zinc < <(ls "$data"/mustang-testdata/*.pdb)
mapfile -t tryps < <(first20 "$data/theseus-examples/trypsins")
mapfile -t ldh < <(first20 "$data/theseus-examples/ldh")
prepare zinc "${zinc[@]}"
prepare trypsins "${tryps[@]}"
prepare ldh "${ldh[@]}"

printf '%-9s %3s | %-15s %-15s %-15s %11s | %9s %9s | %9s %9s | %13s %13s\n' set n "trel-1t wall/cpu" \
  "trel-all" "mustang" "speedup w/c" "trel-col" "must-col" "trel-rmsd" "must-rmsd" "trel-SP/prec" "must-SP/prec"
summary=""
for set in ${MULTI_SETS:-zinc trypsins ldh}; do
  dir=$work/$set
  files=("$dir"/in/*.pdb)
  n=${#files[@]}
  one=(); all=()
  for ((k = 0; k < runs; k++)); do
    rm -rf "$dir/t1" "$dir/ta"; mkdir -p "$dir/t1" "$dir/ta"
    one+=("$(cd "$dir/t1" && timed out.txt env TREL_CPUS=1 TREL_RESULTS=res "$trel" -multi -nothreads -job="$set" "${files[@]}")")
    all+=("$(cd "$dir/ta" && timed out.txt env TREL_RESULTS=res "$trel" -multi -job="$set" "${files[@]}")")
  done
  read -r t1 c1 < <(best "${one[@]}")
  read -r ta ca < <(best "${all[@]}")
  mkdir -p "$dir/mu"
  read -r tm cm < <(cd "$dir/mu" && timed out.txt nice -n "$mustang_nice" mustang -i "${files[@]}" -o "$set" -F fasta -s ON -r OFF)

  res=$dir/ta/res/$set
  mapfile -t rows < <(grep '^>' "$res/${set}_multi.fasta" | cut -c2- | awk '{ print $1 }')
  members=(); for r in "${rows[@]}"; do members+=("$res/$r.pdb"); done
  read -r tcols trmsd < <(python3 "$helper" core "$res/${set}_multi.fasta" "${members[@]}")
  read -r mcols mrmsd < <(python3 "$helper" core "$dir/mu/$set.afasta" "$dir/mu/$set.pdb")
  tsp="-"; msp="-"
  ref=""
  [ "$set" = trypsins ] && ref=$data/theseus-examples/trypsins/tryps.a2m.gz
  [ "$set" = ldh ] && ref=$data/theseus-examples/ldh/ldh.a2m.gz
  if [ -n "$ref" ]; then
    tsp=$(python3 "$helper" sp "$res/${set}_multi.fasta" "$ref" | awk '{ printf "%.3f/%.3f", $1, $2 }')
    msp=$(python3 "$helper" sp "$dir/mu/$set.afasta" "$ref" | awk '{ printf "%.3f/%.3f", $1, $2 }')
  fi
  speed=$(echo "$tm / $t1" | bc -l)
  speed_cpu=$(echo "$cm / $c1" | bc -l)
  printf '%-9s %3d | %6.2f/%6.2fs %6.2f/%6.2fs %6.2f/%6.2fs %5.1f/%5.1fx | %9d %9d | %9.3f %9.3f | %13s %13s\n' "$set" "$n" \
    "$t1" "$c1" "$ta" "$ca" "$tm" "$cm" "$speed" "$speed_cpu" "$tcols" "$mcols" "$trmsd" "$mrmsd" "$tsp" "$msp"
  ok_speed=$(echo "$speed >= 5" | bc -l)
  ok_cols=$([ "$tcols" -ge "$mcols" ] && echo 1 || echo 0)
  ok_rmsd=$(echo "$trmsd <= $mrmsd + 0.2" | bc -l)
  verdict="met"
  [ "$ok_speed$ok_cols$ok_rmsd" = 111 ] || verdict="NOT met (speed ${ok_speed}, columns ${ok_cols}, rmsd ${ok_rmsd})"
  summary+="$set: target (>= 5x faster wall time on one thread, >= columns, rmsd <= +0.2 A) $verdict"$'\n'
done
echo
echo "Times: wall/CPU seconds, trel the best of $runs runs at nice 10, MUSTANG one run at nice $mustang_nice (it has one thread only)."
echo "Columns: where every structure has a residue; RMSD: mean pairwise CA RMSD over them, as superposed."
echo "SP: fraction of the reference's residue pairs reproduced / fraction of the program's pairs in the reference."
printf '%s' "$summary"
