// Agglomerative clustering (pair average, the all-against-all mode's rule)
// of n = 500, 2,000 and 5,000 items with synthetic distances: points of a
// few tight groups scattered in a unit cube. Counters: the bytes of the work
// matrix ((2n - 1)^2 doubles) and of the input (n^2 doubles), and the groups
// found. bench/all_vs_all.sh runs each size alone under /usr/bin/time -v for
// the peak memory.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "driver/zam_cluster.h"

namespace {

std::vector<double> distances(int n) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> spread(0.0, 0.05);
  const int centres = 20;
  std::vector<double> c(3 * centres), p(3 * (size_t)n);
  for (double& x : c) x = unit(rng);
  for (int i = 0; i < n; i++)
    for (int k = 0; k < 3; k++) p[3 * (size_t)i + k] = c[3 * (i % centres) + k] + spread(rng);
  std::vector<double> d((size_t)n * n);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      double s = 0.0;
      for (int k = 0; k < 3; k++) s += std::pow(p[3 * (size_t)i + k] - p[3 * (size_t)j + k], 2);
      d[(size_t)i * n + j] = std::sqrt(s);
    }
  return d;
}

void BM_ClusterPairAverage(benchmark::State& state) {
  const int n = (int)state.range(0);
  const std::vector<double> d = distances(n);
  std::vector<int> groups(n);
  int count = 0;
  for (auto _ : state) {
    count = zam_clusterAgg(0, n, nullptr, d.data(), groups.data(), 0.3);
    benchmark::DoNotOptimize(groups.data());
  }
  state.counters["groups"] = count;
  state.counters["work_MB"] = zam_clusterBytes(n) / 1048576.0;
  state.counters["input_MB"] = 8.0 * n * n / 1048576.0;
}

BENCHMARK(BM_ClusterPairAverage)->Arg(500)->Arg(2000)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
