// Exact coupling tables and distance series tables for the translation
// orders the search uses (10, 16, 25): the time to build them and the memory
// they hold (counters: bytes of the GMP values and their limbs). Spherical
// Bessel functions and the Jacobi radial functions at the sizes of the
// quadrature translation method.
#include <benchmark/benchmark.h>

#include <gmp.h>

#include <cstdint>
#include <vector>

#include "common/coupling_ladders.h"
#include "specfun/zam_jab.h"
#include "specfun/zam_jlr.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr double kLimb = sizeof(mp_limb_t);

double bytes_of(mpz_t* a, int64_t n) {
  double b = 0;
  for (int64_t i = 0; i < n; i++) b += sizeof(mpz_t) + a[i]->_mp_alloc * kLimb;
  return b;
}

double bytes_of(mpq_t* a, int64_t n) {
  double b = 0;
  for (int64_t i = 0; i < n; i++)
    b += sizeof(mpq_t) + (mpq_numref(a[i])->_mp_alloc + mpq_denref(a[i])->_mp_alloc) * kLimb;
  return b;
}

double bytes_of(mpf_t* a, int64_t n) {
  double b = 0;
  for (int64_t i = 0; i < n; i++) b += sizeof(mpf_t) + (a[i]->_mp_prec + 1) * kLimb;
  return b;
}

// Coupling coefficients to degree N-1 as the translation code makes them:
// the G0 and C02 seeds with the parity flag, every m3 = 0 ladder, and the
// coefficients of each ladder point as 256-bit floats.
void BM_CouplingTables(benchmark::State& state) {
  const int L = static_cast<int>(state.range(0)) - 1;
  mp_setup();
  double held = 0, points = 0;
  for (auto _ : state) {
    testutil::CouplingTables t(L, 1);
    const int64_t n = yib_m3_count(L, 0, 1);
    mpf_t* out = yib_mpf_get(n);
    int64_t at = 0;
    points = static_cast<double>(t.walk([&](int, int, int, _m12ranges r) {
      for (int m2 = r.m2_first; m2 <= r.m2_last; m2++)
        yib_result_mpf(t.Z[L + m2], t.Q[L + m2], t.tz[0], t.tq[0], out[at++]);
    }));
    held = bytes_of(t.G0, t.dim) + bytes_of(t.C02, t.dim) + bytes_of(out, n);
    benchmark::DoNotOptimize(out);
    yib_mpf_free(out, n);
  }
  state.counters["coefficients"] = points;
  state.counters["bytes_held"] = held;
}
BENCHMARK(BM_CouplingTables)->Arg(10)->Arg(16)->Arg(25)->Unit(benchmark::kMillisecond);

// The GTO (B) and ETO (Dn) distance series tables of order N at one distance.
void BM_SeriesTables(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  mp_setup();
  double held = 0;
  for (auto _ : state) {
    int cols = 0, nb = 0, s1 = 0, s2 = 0, nd = 0;
    mpf_t* B = mp_bkj(N, 1.3, &cols, &nb);
    mpf_t* Dn = mp_dkjn(N, 1.3, &s1, &s2, &nd);
    held = bytes_of(B, nb) + bytes_of(Dn, nd);
    benchmark::DoNotOptimize(B);
    benchmark::DoNotOptimize(Dn);
    yib_mpf_free(B, nb);
    yib_mpf_free(Dn, nd);
  }
  state.counters["bytes_held"] = held;
}
BENCHMARK(BM_SeriesTables)->Arg(10)->Arg(16)->Arg(25)->Unit(benchmark::kMillisecond);

// j_0..j_L at one argument: the series alone at x <= 5, the two top series
// and the downward recurrence above.
void BM_BesselAll(benchmark::State& state) {
  const int L = static_cast<int>(state.range(0));
  const double x = static_cast<double>(state.range(1));
  std::vector<double> out(L + 1);
  for (auto _ : state) {
    jlr_all(L, out.data(), x);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_BesselAll)->Args({40, 3})->Args({40, 30})->Args({70, 100})->Unit(benchmark::kMicrosecond);

// Every unnormalised p_nl to order N at one radius, and every potential
// factor (two Gauss-Legendre rules of N+24 radii each).
void BM_RadialJacobi(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  std::vector<double> out(N * (N + 1) / 2);
  for (auto _ : state) {
    pnl_all_bar(N, out.data(), 0.8);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_RadialJacobi)->Arg(16)->Arg(36)->Unit(benchmark::kMicrosecond);

void BM_PotentialFactors(benchmark::State& state) {
  const int N = static_cast<int>(state.range(0));
  std::vector<double> out(N * (N + 1) / 2);
  for (auto _ : state) {
    dnl_all_bar(N, 0.8, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_PotentialFactors)->Arg(16)->Arg(36)->Unit(benchmark::kMicrosecond);

}  // namespace
