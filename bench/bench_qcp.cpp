// Superposition speed: QCP fits of 100-point sets against the eigenvector
// fit on the same sets.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "geometry/zam_qcp.h"

namespace {

struct Sets {
  std::vector<std::vector<Point3D>> a, b;
  Sets(int count, int n) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(-20, 20);
    std::normal_distribution<double> noise(0, 0.5);
    for (int k = 0; k < count; k++) {
      std::vector<Point3D> p(n), q(n);
      const Matrix3D T = tf_tftf(tf_rotx(u(rng)), tf_tftf(tf_rotz(u(rng)), tf_v(Point3D{u(rng), u(rng), u(rng)})));
      for (int i = 0; i < n; i++) {
        p[i] = Point3D{u(rng), u(rng), u(rng)};
        const Point3D m = pt_tfpt(T, p[i]);
        q[i] = Point3D{m.x + noise(rng), m.y + noise(rng), m.z + noise(rng)};
      }
      a.push_back(p);
      b.push_back(q);
    }
  }
};

const Sets& sets() {
  static const Sets s(256, 100);
  return s;
}

void BM_FitQCP100(benchmark::State& state) {
  const Sets& s = sets();
  size_t k = 0;
  for (auto _ : state) {
    const size_t i = k++ % s.a.size();
    benchmark::DoNotOptimize(tf_fitQCP(100, s.a[i].data(), s.b[i].data()));
  }
  state.counters["fits/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_FitEigen100(benchmark::State& state) {
  const Sets& s = sets();
  size_t k = 0;
  for (auto _ : state) {
    const size_t i = k++ % s.a.size();
    benchmark::DoNotOptimize(tf_fitPts(100, s.a[i].data(), s.b[i].data()));
  }
  state.counters["fits/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_FitQCP100);
BENCHMARK(BM_FitEigen100);
