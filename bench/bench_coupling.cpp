// Clebsch-Gordan coefficients in every number type: coefficients per second
// for all triples of one j1 (every j2, j3 and m3; m3 = 0 rows by the ladder
// over (m1, m2), the other rows by the ladders over m3), at j1 = 10, 20, 30.
// Methods: 0 long double, 1 long double with square roots, 2 GMP floats
// (256 bits), 3 GMP floats with square roots, 4 GMP integers with
// long-double norms, 5 exact (GMP integers and rationals), 6 64-bit integers
// (triples whose values pass 64 bits are refused and not counted), 7 the
// Racah formula in GMP floats. Then the comparison drivers at J = 30 and the
// standard self-test: of the lines they print through the message layer
// (ten million each, one per coefficient and row) their summaries go to
// standard output, and the largest error and norm errors of each run to its
// counters. The drivers take minutes; --benchmark_filter=Type runs the rates
// alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/zam_log.h"
#include "specfun/zam_yib.h"
#include "specfun/zam_yib_check.h"

namespace {

const char* const kMethods[] = {"long double", "long double + sqrt", "MPF",   "MPF + sqrt",
                                "MPZ",         "MPZ + MPQ (exact)",  "64-bit", "Racah (MPF)"};

// Every triple of j1 = j by the method; returns the coefficients made.
int64_t one_shell(_yib_work* w, int j, int method) {
  int64_t made = 0, at = yib_j1j2j3_dim(j - 1, 0);
  for (int j2 = 0; j2 <= j; j2++)
    for (int j3 = j - j2; j3 <= j + j2; j3++, at++) {
      int lo = 0, hi = 0;
      yib_work_ranges(w, j, j2, j3, 10000, &lo, &hi);
      const int64_t n = yib_work_triple(w, method, 0, j, j2, j3, at, lo, hi);
      if (n > 0) made += n;
    }
  return made;
}

void BM_CouplingType(benchmark::State& state) {
  const int j = static_cast<int>(state.range(0)), method = static_cast<int>(state.range(1));
  _yib_work w;
  yib_work_init(&w, j, 0);
  one_shell(&w, j, method);  // the seed tables are made at first need
  double made = 0;
  for (auto _ : state) made += static_cast<double>(one_shell(&w, j, method));
  state.counters["coefficients"] = benchmark::Counter(made, benchmark::Counter::kIsRate);
  state.SetLabel(kMethods[method]);
  yib_work_free(&w);
}
BENCHMARK(BM_CouplingType)
    ->ArgsProduct({{10, 20, 30}, {0, 1, 2, 3, 4, 5, 6, 7}})
    ->ArgNames({"j", "method"})
    ->Unit(benchmark::kMillisecond);

// The drivers' summaries, kept and shown.
std::string summary;
void keep_summary(const char* t) {
  if (strncmp(t, "C[", 2) && strncmp(t, "C2[", 3) && !strstr(t, " NORM = ")) {
    summary += t;
    fputs(t, stdout);
  }
}

double after(const char* line, const char* key) {
  const char* l = strstr(summary.c_str(), line);
  const char* k = l ? strstr(l, key) : nullptr;
  return k ? std::strtod(k + strlen(key), nullptr) : -1;
}

void summarised(benchmark::State& state, void (*run)(int), int arg) {
  const zam_logger_fn old = zam_logger_callback(keep_summary);
  for (auto _ : state) {
    summary.clear();
    run(arg);
  }
  zam_logger_callback(old);
  state.counters["largest_rel"] = after("Largest diff at", "REL = ");
  state.counters["norm_err"] = after("Largest norm error:", "] = ");
  state.counters["ref_norm_err"] = after("Largest REF norm error:", "] = ");
}

// yib_m1m2m3(30, 10000, 0, method): triples with j1 = 21..30, all m3.
void BM_ComparisonDriver(benchmark::State& state) {
  summarised(state, [](int method) { yib_m1m2m3(30, 10000, 0, method); }, static_cast<int>(state.range(0)));
  state.SetLabel(kMethods[state.range(0)]);
}
BENCHMARK(BM_ComparisonDriver)->DenseRange(0, 6)->ArgName("method")->Iterations(1)->Unit(benchmark::kSecond);

// cg_test_all: the Racah method at a 128-bit default precision against the
// exact reference, as yib_m1m2m3(30, 10000, 0, 7).
void BM_SelfTest(benchmark::State& state) {
  summarised(state, [](int) { cg_test_all(); }, 0);
}
BENCHMARK(BM_SelfTest)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
