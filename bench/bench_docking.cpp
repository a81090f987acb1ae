// Docking by shape (zam_docker) of chain F of the insulin dimer 6ins onto
// chain E: the chain turned and moved away by a fixed transform, order 16,
// 15 degree rotation steps, 10 degree twists, separations of 0 to 30
// angstroms in steps of 1, 50 solutions kept; on one thread and on every
// core. The coefficient set-up runs before the timing. Counters: threads,
// the RMS deviation (C-alpha atoms) of the best-ranked pose from the native
// place. BM_Redock: the same with ten random transforms (set-up included),
// counting how many best-ranked poses lie within 5 angstroms.
// Run: build/bench/bench_docking
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "common/docking_pair.h"
#include "common/log_capture.h"
#include "docking/zam_docker.h"
#include "harmonics/zam_cache.h"
#include "matching/sampled_shape.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "surfaces/zam_dock_coeffs.h"

namespace {

const std::string kInsulin = std::string(TREL_SHARED_DATA) + "/pdb/king-probe/6ins.pdb1.gz";

_docking_spec spec() {
  _docking_spec s = testutil::shapeDocking(16, 15.0, 10.0);
  s.r12_range = 60.0;
  s.r12_offset = 0.0;
  return s;
}

// Docks F moved by M onto E; the RMS deviation of the best-ranked pose.
double dock(const testutil::TempDir& dir, const Matrix3D& M, benchmark::State* timed) {
  testutil::Chain R(dir, kInsulin, 'E', 0, tf_identity()), L(dir, kInsulin, 'F', 1, M),
      native(dir, kInsulin, 'F', 2, tf_identity());
  _docking_spec s = spec();
  _docking d{};
  testutil::Capture quiet;
  zam_coeffs(&s, &R.mol, &L.mol);
  if (timed) timed->ResumeTiming();
  zam_docker(&s, &d, &R.mol, &L.mol);
  if (timed) timed->PauseTiming();
  const double rms = d.n_kept > 0 ? testutil::poseRms(d.solutions[0], R, L, native.ca()) : -1.0;
  zam_free_solutions(&d);
  return rms;
}

void BM_Dock(benchmark::State& state) {
  static testutil::CacheInTemp cache;
  testutil::TempDir dir;
  const int threads = state.range(0) > 0 ? static_cast<int>(state.range(0)) : zam_cpus_usable();
  zam_thread_setup(threads);
  const Matrix3D M = tf_tftf(tf_euler(e_make(2.1, 1.2, -0.7)), tf_v(v_make(14.0, -30.0, 8.0)));
  dock(dir, M, nullptr);  // translation matrices into the cache
  double rms = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    rms = dock(dir, M, &state);
    state.ResumeTiming();
  }
  state.counters["threads"] = threads;
  state.counters["rms"] = rms;
}
BENCHMARK(BM_Dock)->Arg(1)->Arg(0)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_Redock(benchmark::State& state) {
  static testutil::CacheInTemp cache;
  testutil::TempDir dir;
  zam_thread_setup(zam_cpus_usable());
  for (auto _ : state) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int good = 0;
    for (int run = 0; run < 10; run++) {
      const Matrix3D M = tf_tftf(tf_euler(e_make(M_PI * u(rng), std::acos(u(rng)), M_PI * u(rng))),
                                 tf_v(v_make(30 * u(rng), 30 * u(rng), 30 * u(rng))));
      good += dock(dir, M, nullptr) < 5.0;
    }
    state.counters["within_5A"] = good;
  }
}
BENCHMARK(BM_Redock)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
