#!/bin/sh
# One SPF match per layout of the six-dimensional search at the tool's
# settings (bench_sixd's BM_SixdLayout), each case in a process of its own so
# that the allocator's peak (peak_MB) and the process's peak resident memory
# (rss_MB) are that case's; prints the machine load first.
# Run from the build folder: ../bench/sixd_layouts.sh [bench/bench_sixd]
#   SIXD_MODES (default "3 1 4 5 6 7") picks the layouts (fft_mode) and
#   SIXD_CORES (default "1 all") the cores: k runs on cores 0..k-1 with k
#   threads, all on every core, e.g. SIXD_MODES=6 SIXD_CORES="1 6".
bench=${1:-bench/bench_sixd}
modes=${SIXD_MODES:-3 1 4 5 6 7}
cores=${SIXD_CORES:-1 all}
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for mode in $modes; do
  for k in $cores; do
    if [ "$k" = all ]; then
      "$bench" --benchmark_filter="BM_SixdLayout/$mode/0/" 2>/dev/null | grep BM_SixdLayout
    else
      taskset -c 0-$((k - 1)) "$bench" --benchmark_filter="BM_SixdLayout/$mode/0/" 2>/dev/null | grep BM_SixdLayout
    fi
  done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
