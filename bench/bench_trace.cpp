// Trace building throughput: every shared structure is read once, centred as
// a search centres it, then traced again and again with the slot statistics
// on, as the search's target loader builds its traces. Reports targets and
// residues traced per second on one thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "align/trel_trace.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

void quiet(const char*) {}

// The images of the shared structures, kept for the whole run.
struct Images {
  std::vector<_pdb_image*> images;
  double residues = 0;  // per pass over all images

  Images() {
    zam_logger_fn old = zam_logger_callback(quiet);
    for (const std::string& f : testutil::shared_structure_files(false)) {
      _pdb_image* image = zam_readPdb(f.c_str(), nullptr);
      if (!image) continue;
      if (image->nres < 1) {
        zam_freePdb(image);
        continue;
      }
      zam_importPdb(image, 0);
      images.push_back(image);
      residues += image->nres;
    }
    zam_logger_callback(old);
  }
  ~Images() {
    for (_pdb_image* image : images) zam_freePdb(image);
  }
};

Images& images() {
  static Images s;
  return s;
}

void BM_trace_build(benchmark::State& state) {
  Images& s = images();
  if (s.images.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  const int stats = static_cast<int>(state.range(0));
  _trel_trace* trace = trel_makeTrace();
  for (auto _ : state) {
    for (_pdb_image* image : s.images) {
      trel_loadTrace(image, Point3D{0, 0, 0}, stats, 0, trace);
      benchmark::DoNotOptimize(trace->seg);
    }
  }
  trel_freeTrace(trace);
  state.counters["stats"] = stats;
  state.counters["targets_per_s"] = benchmark::Counter(
      static_cast<double>(s.images.size()) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["time_per_target"] = benchmark::Counter(
      static_cast<double>(s.images.size()) * state.iterations(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["residues_per_s"] =
      benchmark::Counter(s.residues * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_trace_build)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
