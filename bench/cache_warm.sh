#!/usr/bin/env bash
# What a search served from a warm object cache reads and costs, next to the
# same search from the PDB files, in one run: one query (default ubiquitin)
# against N targets (default 10,000: the shared PDB structures repeated under
# distinct names through symbolic links) on one thread (TREL_CPUS=1), with
# -nowrite. For each kind of run: the CPU seconds (user + system) and the
# bytes the process read (rchar of /proc/PID/io, taken when it has exited),
# per target; for the warm cache also the mean size of the tag and trace
# files of a target, which is what it should read, against the sources'
# mean size, which it should not.
#
# Usage: bench/cache_warm.sh [release build folder]   (default build-bench)
# A missing folder is configured with -DCMAKE_BUILD_TYPE=Release and trel is
# built in it. CACHE_N sets the number of targets, CACHE_QUERY the query file,
# CACHE_REPEAT the runs of each kind (default 5): the two kinds take turns,
# every run is listed, and the median of each kind is shown (a machine's load
# moves both alike), with the median of the warm / files ratios of the turns.
# TARGETS=folder gives the targets as a folder rather than a list file.
# Targets and cache go under $TMPDIR (default /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
case "$build" in /*) ;; *) build=$here/$build ;; esac
data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
n=${CACHE_N:-10000}
repeat=${CACHE_REPEAT:-5}
query=${CACHE_QUERY:-$data/freesasa/1ubq.pdb}

. "$here/bench/bench_lib.sh"
release_trel "$build"

work=$(mktemp -d "${TMPDIR:-/tmp}/trel_cache_warm_XXXXXX")
trap 'rm -rf "$work"' EXIT

# The structures: every plain PDB file of the shared data that trel reads as
# a full backbone, in path order.
pool=()
while IFS= read -r f; do
  if (cd "$work" && "$trel" -nowrite "$query" "$f" >/dev/null 2>&1); then pool+=("$f"); fi
done < <(find "$data" -name '*.pdb' -size -2000k | sort)
[ ${#pool[@]} -ge 2 ] || { echo "Too few usable structures in $data" >&2; exit 1; }
# The targets are given as a list file, or with TARGETS=folder as their
# folder, whose files are first looked through for ATOM records: from a
# warm cache only those whose tags do not record them as they stand.
mkdir -p "$work/targets" "$work/cache"
for ((i = 0; i < n; i++)); do
  ln -s "${pool[i % ${#pool[@]}]}" "$(printf '%s/targets/t%06d.pdb' "$work" "$i")"
done
targets=$work/targets
[ "${TARGETS:-list}" = folder ] || { ls -d "$work"/targets/*.pdb >"$work/targets.txt"; targets=$work/targets.txt; }
sources=$(for ((i = 0; i < n; i++)); do stat -L -c %s "${pool[i % ${#pool[@]}]}"; done | awk '{s += $1} END {print s}')

# Runs trel with the given environment and arguments in a fresh folder;
# prints "cpu_seconds bytes_read" of the process.
measure() {  # "ENV=.. ENV=..", trel arguments...
  local envs=$1 out
  shift
  out=$(mktemp -d "$work/run_XXXXXX")
  (cd "$out" && env TREL_CPUS=1 TREL_RESULTS="$out/results" $envs python3 -c '
import os, subprocess, sys
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)  # exited, not yet reaped: its counts stand
io = dict(line.split(": ") for line in open("/proc/%d/io" % p.pid).read().split("\n") if line)
_, status, use = os.wait4(p.pid, 0)
if status != 0: sys.exit("trel failed")
print(use.ru_utime + use.ru_stime, io["rchar"])
' "$trel" -nowrite "$@")
  rm -rf "$out"
}

echo "Query $(basename "$query"); $n targets over ${#pool[@]} distinct structures; one thread, -nowrite."
measure "TREL_CACHE=$work/cache" -cache "-target=$targets" "$query" >/dev/null  # fills the cache
cache_bytes=$(find "$work/cache" -name 't*.trq' -o -name 't*.trc' | xargs stat -c %s | awk '{s += $1} END {print s}')

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

files_cpu=() cache_cpu=() files_bytes=() cache_bytes_read=() turns=()
printf '%-5s %10s %10s %8s\n' turn files_cpu cache_cpu ratio
for ((k = 0; k < repeat; k++)); do
  read -r fc fb < <(measure "" "-target=$targets" "$query")
  read -r cc cb < <(measure "TREL_CACHE=$work/cache" -cache "-target=$targets" "$query")
  files_cpu+=("$fc") cache_cpu+=("$cc") files_bytes+=("$fb") cache_bytes_read+=("$cb")
  turns+=("$(awk -v a="$cc" -v b="$fc" 'BEGIN {print a / b}')")
  printf '%-5d %10.3f %10.3f %8.3f\n' $((k + 1)) "$fc" "$cc" "${turns[k]}"
done

printf '\n%-12s %12s %12s\n' kind median_cpu_s kB/target
for kind in files cache; do
  if [ "$kind" = files ]; then c=$(median "${files_cpu[@]}") b=$(median "${files_bytes[@]}"); else
    c=$(median "${cache_cpu[@]}") b=$(median "${cache_bytes_read[@]}"); fi
  printf '%-12s %12.2f %12.1f\n' "$kind" "$c" "$(awk -v b="$b" -v n="$n" 'BEGIN {print b / n / 1000}')"
done
printf 'Sources: %.1f kB a target; tag and trace files: %.1f kB a target.\n' \
  "$(awk -v b="$sources" -v n="$n" 'BEGIN {print b / n / 1000}')" \
  "$(awk -v b="$cache_bytes" -v n="$n" 'BEGIN {print b / n / 1000}')"
printf 'Warm cache CPU / files CPU: %.2f as medians, %.2f as the median of the turns (at most 0.50 wanted).\n' \
  "$(awk -v a="$(median "${cache_cpu[@]}")" -v b="$(median "${files_cpu[@]}")" 'BEGIN {print a / b}')" \
  "$(median "${turns[@]}")"
