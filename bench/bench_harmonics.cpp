// Rotations of coefficient vectors and rotation-invariant comparisons: the
// kernels of the canonical orientations and of the invariant filters.
// items_per_second is rotations (or comparisons) per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_wigner.h"

namespace {

std::vector<double> random_vector(int N, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> a(anlm_size(N));
  for (double& x : a) x = g(rng);
  return a;
}

// A new rotation every time: the matrices are built and applied.
void BM_RotateNewAngles(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  const std::vector<double> a = random_vector(N, 1);
  std::vector<double> b(a.size());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  double t = 0.0;
  for (auto _ : state) {
    t += 0.001;
    zam_rm3_apply(N, 1, &rec, a.data(), b.data(), Euler{0.3 + t, 1.1 - t, -0.7 + t});
    benchmark::DoNotOptimize(b.data());
  }
  zam_rm3_free(&rec);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RotateNewAngles)->Arg(10)->Arg(16)->Arg(25);

// One rotation applied to vector after vector: the matrices are reused.
void BM_RotateCachedAngles(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  const std::vector<double> a = random_vector(N, 2);
  std::vector<double> b(a.size());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  for (auto _ : state) {
    zam_rm3_apply(N, 1, &rec, a.data(), b.data(), Euler{0.3, 1.1, -0.7});
    benchmark::DoNotOptimize(b.data());
  }
  zam_rm3_free(&rec);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RotateCachedAngles)->Arg(10)->Arg(16)->Arg(25);

// One target against the query as filter 1 (mode 2) and the canonical
// orientations (mode 1) compare them: the target's invariants, then the
// similarity with the query's.
void BM_InvariantCompare(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0)), mode = static_cast<int>(state.range(1));
  const std::vector<double> q = random_vector(N, 3), t = random_vector(N, 4);
  std::vector<double> iq(q.size()), it(t.size());
  anlm_rinv(N, 1, mode, q.data(), iq.data());
  for (auto _ : state) {
    anlm_rinv(N, 1, mode, t.data(), it.data());
    benchmark::DoNotOptimize(anlm_carbo_rinv(N, 1, mode, iq.data(), it.data()));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InvariantCompare)->Args({10, 2})->Args({16, 2})->Args({25, 2})->Args({16, 1});

}  // namespace
