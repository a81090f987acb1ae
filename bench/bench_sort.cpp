// Permutation sort of 10^6 random floats: the radix sort against
// std::stable_sort of an index array by the same keys.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "runtime/zam_sort.h"

namespace {

std::vector<float> random_floats(int n) {
  std::mt19937 gen(1971);
  std::uniform_real_distribution<float> uni(-1000.0f, 1000.0f);
  std::vector<float> v(static_cast<size_t>(n));
  for (float& x : v) x = uni(gen);
  return v;
}

void BM_zam_sortf(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> keys = random_floats(n);
  std::vector<int> perm(static_cast<size_t>(n));
  for (auto _ : state) {
    zam_sortf(keys.data(), n, perm.data());
    benchmark::DoNotOptimize(perm.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_std_stable_sort(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> keys = random_floats(n);
  std::vector<int> perm(static_cast<size_t>(n));
  for (auto _ : state) {
    std::iota(perm.begin(), perm.end(), 0);
    std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) { return keys[a] < keys[b]; });
    benchmark::DoNotOptimize(perm.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_zam_sortf)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_stable_sort)->Arg(1000000)->Unit(benchmark::kMillisecond);
