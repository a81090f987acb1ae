// Kernels of the twist filters and of the rotational search: the correlation
// series of two coefficient vectors (reduce), its value at the 64 twist steps
// (fs), the pair of them as one twist filter comparison, the local minima of
// a turn, and the single-precision transforms of the correlation layouts.
// items_per_second is comparisons, series or transforms per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "matching/zam_dft.h"
#include "matching/zam_fft.h"
#include "matching/zam_kft.h"

namespace {

std::vector<double> random_values(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> a(n);
  for (double& x : a) x = g(rng);
  return a;
}

// A series of order N at 64 twist steps.
void BM_FourierSeries64(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  const std::vector<double> c = random_values(N, 1), s = random_values(N, 2);
  std::vector<double> out(64);
  _FftPlan* plan = zam_fft_open(64);
  for (auto _ : state) {
    zam_fft_execute_fs(plan, N, c.data(), s.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  zam_fft_close(plan);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FourierSeries64)->Arg(10)->Arg(16);

// The correlation series of two order-N vectors.
void BM_MatcherReduce(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  const std::vector<double> a = random_values(anlm_size(N), 3), b = random_values(anlm_size(N), 4);
  std::vector<double> c(N), s(N);
  for (auto _ : state) {
    zam_matcher_reduce(N, a.data(), b.data(), c.data(), s.data());
    benchmark::DoNotOptimize(c.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MatcherReduce)->Arg(10)->Arg(16);

// One canonical orientation against one target as the twist filters compare
// them: reduce, evaluate at 64 steps, take the best step.
void BM_TwistCompare(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  const std::vector<double> a = random_values(anlm_size(N), 5), b = random_values(anlm_size(N), 6);
  std::vector<double> c(N), s(N), out(64);
  _FftPlan* plan = zam_fft_open(64);
  for (auto _ : state) {
    zam_matcher_reduce(N, a.data(), b.data(), c.data(), s.data());
    zam_fft_execute_fs(plan, N, c.data(), s.data(), out.data());
    int index;
    double value;
    zam_max_scanner(64, 64, out.data(), &index, &value);
    benchmark::DoNotOptimize(value);
  }
  zam_fft_close(plan);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwistCompare)->Arg(10)->Arg(16);

// The refinement pass's step per ligand sample: a docking pair of one term
// reduced, evaluated and its local minima picked.
void BM_DockerTwistMinima(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0)), size = anlm_size(N);
  const std::vector<double> a = random_values(2 * size, 7), b = random_values(2 * size, 8);
  std::vector<double> c(N), s(N), out(64);
  std::vector<unsigned char> mask(64);
  _FftPlan* plan = zam_fft_open(64);
  for (auto _ : state) {
    zam_docker_reduce(N, 1, a.data(), a.data() + size, b.data(), b.data() + size, c.data(), s.data());
    zam_fft_execute_fs(plan, N, c.data(), s.data(), out.data());
    benchmark::DoNotOptimize(zam_min_picker(64, 64, out.data(), mask.data()));
  }
  zam_fft_close(plan);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DockerTwistMinima)->Arg(10)->Arg(16);

// One transform of the given axes (a 1-D twist of 64, and 3-D correlation
// grids of twice the tool's band limits 12, 18 and 32 in pairs).
void BM_Dft(benchmark::State& state, int kind, std::vector<int> dims) {
  _DftPlan* plan = zam_dft_open(kind, ZAM_DFT_BACKWARD, static_cast<int>(dims.size()), dims.data());
  const std::vector<double> v = random_values(2 * plan->size, 9);
  for (long long i = 0; i < 2 * plan->size; ++i) plan->work[i] = static_cast<float>(v[i]);
  for (auto _ : state) {
    zam_dft_execute(plan);
    benchmark::DoNotOptimize(plan->work);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["points"] = static_cast<double>(plan->size);
  zam_dft_close(plan);
}
BENCHMARK_CAPTURE(BM_Dft, c2c_64, ZAM_DFT_C2C, std::vector<int>{64});
BENCHMARK_CAPTURE(BM_Dft, c2r_24x24x36, ZAM_DFT_C2R, std::vector<int>{24, 24, 36});
BENCHMARK_CAPTURE(BM_Dft, c2r_24x36x64, ZAM_DFT_C2R, std::vector<int>{24, 36, 64});
BENCHMARK_CAPTURE(BM_Dft, c2r_36x36x64, ZAM_DFT_C2R, std::vector<int>{36, 36, 64});

}  // namespace
