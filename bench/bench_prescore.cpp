// Trace pre-scoring throughput: one query (a 225-residue trypsin) against the
// shared structures repeated to 10,000 targets, as a database search runs it.
// Reports dynamic-programming cells (query length x target length, summed)
// per second per thread for 1, 2, 4 and all threads, and the speed-up from
// one thread to all of them. A second query, ubiquitin (76 residues), is
// short enough that pairs with most targets score both the trace and the
// spatial term (BM_prescore_small).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_prescore.h"
#include "align/trel_trace.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kTargets = 10000;

std::vector<_trel_seg> trace_of(const std::string& file) {
  std::vector<_trel_seg> out;
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  if (!image) return out;
  _trel_trace* trace = trel_makeTrace();
  trel_loadTrace(image, Point3D{0, 0, 0}, 0, 0, trace);
  if (trace->n > 0 && trace->seg) out.assign(trace->seg, trace->seg + trace->n);
  trel_freeTrace(trace);
  zam_freePdb(image);
  return out;
}

void quiet(const char*) {}

// CPU seconds of the whole process (all threads) so far.
double process_cpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The query, the distinct target traces and the 10,000-entry target list.
struct Search {
  std::vector<_trel_seg> query;
  std::vector<std::vector<_trel_seg>> distinct;
  std::vector<int> lens;
  std::vector<const _trel_seg*> segs;
  double cells = 0;  // per pass over all targets
  int cpus = 1;
  _trel_align_buf** bufs = nullptr;

  explicit Search(const char* query_file) {
    cpus = std::max(zam_cpus_online(), 1);
    zam_thread_setup(cpus);
    trel_setAlignWindow(3);
    zam_logger_fn old = zam_logger_callback(quiet);
    const std::string root = std::string(TREL_SHARED_DATA) + "/pdb";
    query = trace_of(root + "/" + query_file);
    for (const std::string& f : testutil::shared_structure_files(false)) {
      std::vector<_trel_seg> t = trace_of(f);
      if (!t.empty()) distinct.push_back(std::move(t));
    }
    zam_logger_callback(old);
    if (query.empty() || distinct.empty()) return;
    int mmax = 0;
    for (int k = 0; k < kTargets; k++) {
      const std::vector<_trel_seg>& t = distinct[k % distinct.size()];
      lens.push_back((int)t.size());
      segs.push_back(t.data());
      mmax = std::max(mmax, (int)t.size());
      cells += (double)query.size() * t.size();
    }
    bufs = trel_allocAlignBuf(cpus, (int)query.size(), mmax);
  }
  ~Search() { trel_freeAlignBuf(cpus, bufs); }

  void run(int threads, std::vector<float>& norm, std::vector<float>& raw, std::vector<int>& aligned) {
    trel_scoreTraceThread(threads, (int)query.size(), query.data(), kTargets, lens.data(), segs.data(),
                          norm.data(), raw.data(), aligned.data(), bufs);
  }
};

Search& search() {
  static Search s("t-coffee-examples/1AE5A.pdb.gz");
  return s;
}

Search& small_search() {
  static Search s("freesasa/1ubq.pdb");
  return s;
}

void run_prescore(benchmark::State& state, Search& s) {
  if (s.segs.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  const int threads = state.range(0) > 0 ? (int)state.range(0) : s.cpus;
  std::vector<float> norm(kTargets), raw(kTargets);
  std::vector<int> aligned(kTargets);
  const double cpu0 = process_cpu();
  const auto wall0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    s.run(threads, norm, raw, aligned);
    benchmark::DoNotOptimize(raw.data());
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  state.counters["threads"] = threads;
  // Share of `threads` cores the run actually got: below 1 when other work
  // on the machine took CPU time from the workers.
  const double cpu = process_cpu() - cpu0;
  state.counters["cpu_share"] = cpu / (wall * threads);
  // Cells per CPU second of the workers: what a thread does while it runs,
  // whatever else the machine is doing.
  state.counters["cells_per_cpu_s"] = s.cells * state.iterations() / cpu;
  state.counters["cells_per_s_per_thread"] =
      benchmark::Counter(s.cells * state.iterations() / threads, benchmark::Counter::kIsRate);
  state.counters["targets_per_s"] =
      benchmark::Counter((double)kTargets * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_prescore(benchmark::State& state) { run_prescore(state, search()); }

void BM_prescore_small(benchmark::State& state) { run_prescore(state, small_search()); }

// The kernel alone on one pair, the query against the first shared
// structure of 200 to 260 residues,
// in the calling thread: cells per CPU second with no thread layer, target
// list or cache misses around it.
void BM_prescore_pair(benchmark::State& state) {
  Search& s = search();
  if (s.segs.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  size_t k = 0;
  while (k + 1 < s.distinct.size() && (s.distinct[k].size() < 200 || s.distinct[k].size() > 260)) k++;
  const std::vector<_trel_seg>& t = s.distinct[k];
  const double cells = (double)s.query.size() * t.size();
  float norm = 0, raw = 0;
  int aligned = 0;
  const double cpu0 = process_cpu();
  for (auto _ : state) {
    trel_scoreTraceOne((int)s.query.size(), (int)t.size(), s.query.data(), t.data(), &norm, &raw,
                       &aligned, s.bufs[0]);
    benchmark::DoNotOptimize(raw);
  }
  state.counters["cells_per_cpu_s"] = cells * state.iterations() / (process_cpu() - cpu0);
  state.counters["target_residues"] = (double)t.size();
}

// Wall time of one pass on one thread over that of one pass on all threads,
// each the best of the iterations: other work on the machine only ever slows
// a pass down, so the fastest pass is the closest to the code's own figure.
void BM_prescore_speedup(benchmark::State& state) {
  Search& s = search();
  if (s.segs.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  std::vector<float> norm(kTargets), raw(kTargets);
  std::vector<int> aligned(kTargets);
  auto seconds = [&](int threads) {
    auto t0 = std::chrono::steady_clock::now();
    s.run(threads, norm, raw, aligned);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  double one = 1e30, all = 1e30, cpu_all = 0;
  for (auto _ : state) {
    one = std::min(one, seconds(1));
    const double cpu0 = process_cpu();
    const double t = seconds(s.cpus);
    if (t < all) {
      all = t;
      cpu_all = process_cpu() - cpu0;
    }
  }
  state.counters["cores"] = s.cpus;
  state.counters["cpu_share"] = cpu_all / (all * s.cpus);
  state.counters["speedup"] = one / all;
  state.counters["efficiency"] = one / all / s.cpus;
}

}  // namespace

BENCHMARK(BM_prescore)->Arg(1)->Arg(2)->Arg(4)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_prescore_pair)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_prescore_small)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_prescore_speedup)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
