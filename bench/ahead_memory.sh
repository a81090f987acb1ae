#!/usr/bin/env bash
# The cost of reading a query's record of hit files (.kwritten) that holds
# MB megabytes (default 140) of lines naming files ahead (as runs stopped
# before they renewed it leave them; many runs, each naming every file
# that stands): a run of 1ard against 1sp1, 5znf and 1znf over its earlier
# results with those lines appended, beside the same run without them.
# Prints each one's peak resident memory, CPU seconds and elapsed seconds
# (/usr/bin/time), and what became of the lines. The peak must stay under
# 100 MB.
# Usage: bench/ahead_memory.sh [TREL] [MB]   (defaults: build/src/driver/trel, 140)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mb=${2:-140}
. "$root/bench/bench_lib.sh"
given_bench_start ahead_memory "${1:-}"
[ -x /usr/bin/time ] || { echo "ahead_memory: /usr/bin/time is needed" >&2; exit 1; }
cp "$zinc"/1ard.pdb "$zinc"/1sp1.pdb "$zinc"/5znf.pdb "$zinc"/1znf.pdb "$work"/
cd "$work"
export TREL_RESULTS=trel_results
args="1ard.pdb 1sp1.pdb 5znf.pdb 1znf.pdb"

# One run of 1ard; prints "peak_MB cpu_s elapsed_s exit".
timed() {
  local status
  # shellcheck disable=SC2086
  /usr/bin/time -f '%M %U %S %e' -o time "$trel" $args >out 2>&1 && status=0 || status=$?
  awk -v s="$status" '{printf "%.1f %.2f %.2f %s\n", $1 / 1024, $2 + $3, $4, s}' time
}

for lines in no yes; do
  rm -rf trel_results
  # shellcheck disable=SC2086
  "$trel" $args >/dev/null 2>&1
  record=trel_results/1ard/1ard.kwritten
  if [ $lines = yes ]; then
    # Lines "+<crc> <run> <name>/<hit>" of runs 1.1, 1.2, ... each naming
    # every hit file standing, until the record holds MB megabytes more.
    (cd trel_results/1ard && ls | grep '^[0-9a-z]*_1ard' | sed 's/^\(\([0-9a-z]*\)_1ard.*\)$/\1 \2/') |
      python3 -c '
import sys, zlib
files = [l.split() for l in sys.stdin]
want, out, run = int(sys.argv[1]) * 1000000, sys.stdout, 0
while want > 0:
    run += 1
    for name, hit in files:
        body = "1.%d %s/%s" % (run, name, hit)
        line = "+%08x %s\n" % (zlib.crc32(body.encode()), body)
        out.write(line)
        want -= len(line)' "$mb" >>"$record"
  fi
  size=$(stat -c %s "$record")
  read -r peak cpu wall status < <(timed)
  echo "record of $((size / 1000000)) MB ($lines lines ahead): exit $status, peak $peak MB, CPU $cpu s, elapsed $wall s;" \
    "record after: $(($(stat -c %s "$record") / 1000)) kB, files in 1ard/ $(ls trel_results/1ard | wc -l)"
done
