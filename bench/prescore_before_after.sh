#!/usr/bin/env bash
# Trace pre-scoring on one thread, an older build beside this one: the two
# bench_prescore programs take turns (before, after, before, after...) on the
# same pinned core, ROUNDS times each. Every run prints its cells per CPU
# second (what the kernel does while it runs), cells per wall second, CPU
# seconds of the process and the load average after it (other work on the
# machine takes its share of the core and the caches).
#
# Usage: bench/prescore_before_after.sh BEFORE_BENCH_PRESCORE [AFTER_BENCH_PRESCORE]
#   (after default build-bench/bench/bench_prescore). PRESCORE_CPU (default 3)
#   is the core, PRESCORE_ROUNDS (default 3) the turns, PRESCORE_FILTER (default
#   BM_prescore/1/ : the 10,000-target search; BM_prescore_pair is the kernel
#   alone on one pair) the benchmark.
set -euo pipefail
before=${1:?usage: $0 BEFORE_BENCH_PRESCORE [AFTER_BENCH_PRESCORE]}
after=${2:-build-bench/bench/bench_prescore}
cpu=${PRESCORE_CPU:-3}
rounds=${PRESCORE_ROUNDS:-3}
filter=${PRESCORE_FILTER:-BM_prescore/1/}
for r in $(seq "$rounds"); do
  for side in before after; do
    exe=$before
    [ "$side" = after ] && exe=$after
    out=$( { /usr/bin/time -f 'cpu_s=%U+%S' taskset -c "$cpu" "$exe" --benchmark_filter="$filter" ; } 2>&1)
    cells=$(grep -o 'cells_per_cpu_s=[0-9.]*[kMG]*' <<<"$out" | head -1 || true)
    wall=$(grep -o 'cells_per_s_per_thread=[0-9.]*[kMG]*' <<<"$out" | head -1 || true)
    cpus=$(grep -o 'cpu_s=[0-9.+]*' <<<"$out" | tail -1 || true)
    printf '%-6s round %d  %s  %s  process %s  load %s\n' "$side" "$r" "$cells" "${wall:-}" "$cpus" \
      "$(cut -d' ' -f1-3 /proc/loadavg)"
  done
done
