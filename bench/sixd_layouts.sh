#!/bin/sh
# One SPF match per layout of the six-dimensional search at the tool's
# settings (bench_sixd's BM_SixdLayout), each case in a process of its own so
# that the allocator's peak is that case's; prints the machine load first.
# Run from the build folder: ../bench/sixd_layouts.sh [bench/bench_sixd]
bench=${1:-bench/bench_sixd}
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for mode in 3 1 4 5 6 7; do
  for threads in 1 0; do
    "$bench" --benchmark_filter="BM_SixdLayout/$mode/$threads/" 2>/dev/null | grep BM_SixdLayout
  done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
