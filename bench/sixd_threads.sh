#!/usr/bin/env bash
# Thread scaling of the SPF match, an older build beside this one: one match
# (bench_sixd BM_SixdSearch at order SIXD_ORDER) and one `trel -q0` search of
# 1sp1 against the 15 zinc fingers of the shared structures, on 1, 2, 4 and 8
# threads pinned to cores 0..k-1, the two builds in turns. Every run prints
# its wall time, the CPU seconds of the process and the load average before
# it; the -q0 result files of the two builds are compared (times left out).
#
# Usage: bench/sixd_threads.sh BEFORE_BUILD [AFTER_BUILD]
#   (build folders holding bench/bench_sixd and src/driver/trel; after default
#   build-bench). SIXD_THREADS (default "1 2 4 8"), SIXD_ROUNDS (default 2),
#   SIXD_ORDER (default 10), SIXD_KINDS (default "match q0").
set -euo pipefail
before=$(realpath "${1:?usage: $0 BEFORE_BUILD [AFTER_BUILD]}")
after=$(realpath "${2:-build-bench}")
threads=${SIXD_THREADS:-1 2 4 8}
rounds=${SIXD_ROUNDS:-2}
order=${SIXD_ORDER:-10}
kinds=${SIXD_KINDS:-match q0}
data=$(cd "$(dirname "$0")/.." && pwd)/../shared/data/pdb/mustang-testdata
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZAM_CACHE=$work/zam_cache  # translation matrices made once, shared by both builds
mkdir -p "$ZAM_CACHE"
load() { cut -d' ' -f1-3 /proc/loadavg; }

# One match on k threads: bench_sixd's own case for k, or (older programs)
# its every-core case on the k pinned cores.
match() {
  local exe=$1/bench/bench_sixd k=$2 out
  out=$(taskset -c 0-$((k - 1)) "$exe" --benchmark_filter="BM_SixdSearch/$order/$k/" 2>/dev/null | grep '^BM_' || true)
  [ -n "$out" ] || out=$(taskset -c 0-$((k - 1)) "$exe" --benchmark_filter="BM_SixdSearch/$order/0/" 2>/dev/null | grep '^BM_')
  printf 'wall %s ms  %s  %s' "$(awk '{print $2}' <<<"$out")" "$(grep -o 'cpu_s=[0-9.]*' <<<"$out" || echo 'cpu_s=?')" \
    "$(grep -o 'scan_share=[0-9.]*' <<<"$out")"
}

# One -q0 search on k threads into folder $3.
q0() {
  local k=$2 dir=$3
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && TREL_CPUS=$k TREL_RESULTS=out taskset -c 0-$((k - 1)) /usr/bin/time -f '%e %U %S' -o time.txt \
    "$1/src/driver/trel" -q0 "$data/1sp1.pdb" "$data"/*.pdb >log.txt 2>&1)
  awk '{printf "wall %s s  cpu_s=%.2f", $1, $2 + $3}' "$dir/time.txt"
}

# The result files of two -q0 folders, times and dates left out.
same_results() {
  local f
  for f in $(cd "$1/out" && find . -type f ! -name '*.log' ! -name '*.ktime' | sort); do
    cmp -s <(grep -v 'REMARK  File written by\| seconds' "$1/out/$f") \
      <(grep -v 'REMARK  File written by\| seconds' "$2/out/$f") || { echo "differ: $f"; return 1; }
  done
  echo "same results"
}

for r in $(seq "$rounds"); do
  for k in $threads; do
    for kind in $kinds; do
      for side in before after; do
        build=$before
        [ "$side" = after ] && build=$after
        l=$(load)
        if [ "$kind" = match ]; then
          res=$(match "$build" "$k")
        else
          res=$(q0 "$build" "$k" "$work/$side")
        fi
        printf '%-5s %-6s round %d  threads %d  %s  load %s\n' "$kind" "$side" "$r" "$k" "$res" "$l"
      done
      [ "$kind" = q0 ] && printf 'q0    %s\n' "$(same_results "$work/before" "$work/after" || true)"
    done
  done
done
