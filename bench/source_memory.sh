#!/usr/bin/env bash
# What reading one large source costs: a multi-model PDB file of about
# SOURCE_MB megabytes (default 300; the models of an NMR entry of the shared
# data repeated) searched against ubiquitin without the cache, with an empty
# cache (-cache, cold: the source is read and checksummed once), with that
# cache warm, and built into a database (-build): elapsed seconds, CPU
# seconds and peak resident memory (/usr/bin/time) of each, the median of
# SOURCE_REPEAT runs (default 3). SOURCE_GZ=1 gives the source gzipped.
# Only the first model is parsed; every byte is read once for the checksum.
#
# Usage: bench/source_memory.sh [release build folder]   (default build-bench)
# The source, caches and databases go under $TMPDIR (default /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
mb=${SOURCE_MB:-300}
repeat=${SOURCE_REPEAT:-3}
query=$data/freesasa/1ubq.pdb
entry=$data/theseus-examples/2sdf.pdb.gz

[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
. "$here/bench/bench_lib.sh"
release_trel "$build"

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_source_memory_XXXXXX")
trap 'rm -rf "$work"' EXIT

# The entry's models, numbered on, until the file holds mb megabytes.
source=$work/multi.pdb
zcat "$entry" | python3 -c '
import sys
lines = sys.stdin.read().split("\n")
first = next(i for i, l in enumerate(lines) if l.startswith("MODEL"))
models, cur = [], None
for l in lines[first:]:
    if l.startswith("MODEL"): cur = []
    elif l.startswith("ENDMDL"): models.append("\n".join(cur)); cur = None
    elif cur is not None: cur.append(l)
out = sys.stdout
out.write("\n".join(lines[:first]) + "\n")
size, k, want = 0, 0, int(sys.argv[1]) * 1000000
while size < want:
    block = "MODEL     %4d\n%s\nENDMDL\n" % (k % 9999 + 1, models[k % len(models)])
    out.write(block); size += len(block); k += 1
out.write("END\n")
' "$mb" >"$source"
if [ "${SOURCE_GZ:-0}" = 1 ]; then gzip -1 "$source"; source=$source.gz; fi
echo "Source $(basename "$source"): $(stat -c %s "$source") bytes; ubiquitin query; -nowrite."

printf '%-12s %10s %8s %10s\n' kind elapsed_s cpu_s peak_MB
for kind in uncached cold warm build; do
  rows=()
  for ((k = 0; k < repeat; k++)); do
    cache=$work/cache_$k db=$work/db_$k
    mkdir -p "$cache" "$db"
    case $kind in
      uncached) rows+=("$(timed_trel -- -nowrite "$source" "$query")") ;;
      cold | warm) rows+=("$(timed_trel "TREL_CACHE=$cache" -- -nowrite -cache "$source" "$query")") ;;
      build) rows+=("$(timed_trel "TREL_DATABASE=$db" -- -build=big "$source")") ;;
    esac
  done
  printf '%-12s %s\n' "$kind" "$(median_row "${rows[@]}")"
done
