#!/usr/bin/env bash
# Descriptor objects (BM_DescriptorObject of bench_descriptors: PDB read,
# sampling, skin integration, canonical frame and trace of the own class at
# order 15) on one thread, an older build beside this one: the two programs
# take turns (before, after, before, after...) on one pinned core. Each turn
# prints, per structure, the wall and CPU milliseconds per object, then the
# CPU seconds of the whole process and the load average after it.
#
# Usage: bench/descriptors_before_after.sh BEFORE_BENCH_DESCRIPTORS [AFTER_BENCH_DESCRIPTORS]
#   (after default build-bench/bench/bench_descriptors). DESC_CPU (default 3)
#   is the core, DESC_ROUNDS (default 3) the turns, DESC_FILTER (default
#   'BM_DescriptorObject/./0': the four structures on one thread) the benchmarks.
set -euo pipefail
before=${1:?usage: $0 BEFORE_BENCH_DESCRIPTORS [AFTER_BENCH_DESCRIPTORS]}
after=${2:-build-bench/bench/bench_descriptors}
cpu=${DESC_CPU:-3}
rounds=${DESC_ROUNDS:-3}
filter=${DESC_FILTER:-BM_DescriptorObject/./0}
for r in $(seq "$rounds"); do
  for side in before after; do
    exe=$before
    [ "$side" = after ] && exe=$after
    out=$( { /usr/bin/time -f 'process_cpu_s=%U+%S' taskset -c "$cpu" "$exe" --benchmark_filter="$filter"; } 2>&1)
    grep '^BM_' <<<"$out" | awk -v s="$side" -v r="$r" '{ printf "%-6s round %d  %-40s wall %8s ms  cpu %8s ms  %s\n", s, r, $1, $2, $4, $7 }'
    printf '%-6s round %d  %s  load %s\n' "$side" "$r" "$(grep -o 'process_cpu_s=[0-9.+]*' <<<"$out" | tail -1)" \
      "$(cut -d' ' -f1-3 /proc/loadavg)"
  done
done
