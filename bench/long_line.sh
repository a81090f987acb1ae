#!/usr/bin/env bash
# What a target with one very long line costs beside one of ordinary lines:
# LINE_MB megabytes (default 100) of one line without a line end, or of
# 80-column REMARK lines, followed by the lines of 1ard, each given as the
# target of `trel 1ard.pdb TARGET` without the cache and with an empty cache
# (-cache, cold: the target is read and checksummed once): elapsed seconds,
# CPU seconds and peak resident memory (/usr/bin/time) of each, the median
# of LINE_REPEAT runs (default 3). Both targets read as 1ard: the long line
# is read as its first 256 bytes, with one warning.
#
# Usage: bench/long_line.sh [release build folder]   (default build-bench)
# The targets and caches go under $TMPDIR (default /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
mb=${LINE_MB:-100}
repeat=${LINE_REPEAT:-3}
. "$here/bench/bench_lib.sh"
release_bench_start long_line "${1:-}"

bytes=$((mb * 1000000))
{ head -c "$bytes" /dev/zero | tr '\0' 'x'; echo; cat "$query"; } >"$work/one_line.pdb"
{ awk -v n=$((bytes / 81)) 'BEGIN { l = sprintf("REMARK 999 %069d", 0); for (i = 0; i < n; i++) print l }'; cat "$query"; } >"$work/lines.pdb"
echo "Targets of $mb MB before the lines of 1ard: one line, or 80-column lines; query 1ard; -nowrite."

printf '%-10s %-9s %10s %8s %10s\n' target cache elapsed_s cpu_s peak_MB
for target in one_line lines; do
  for kind in none cold; do
    rows=()
    for ((k = 0; k < repeat; k++)); do
      cache=$work/cache_${target}_$k
      case $kind in
        none) rows+=("$(timed_trel -- -nowrite "$query" "$work/$target.pdb")") ;;
        cold) mkdir -p "$cache" && rows+=("$(timed_trel "TREL_CACHE=$cache" -- -nowrite -cache "$query" "$work/$target.pdb")") ;;
      esac
      rm -rf "$cache"
    done
    printf '%-10s %-9s %s\n' "$target" "$kind" "$(median_row "${rows[@]}")"
  done
done
