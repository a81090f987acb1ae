// Descriptor filters against trace pre-scoring: targets per second of each
// filter pass (-q1 .. -q5) and of the trace pass of the default search, for
// one query (the zinc finger 1ard) against the zinc fingers, cytochromes c
// and TNF-receptor domains of the shared structures repeated to 10,000
// targets, on one thread and on all cores. The shape vectors are of order
// 15, the tool's default, sampled from C-alpha atoms (a filter's cost
// depends on the order alone, not on how the vector was made); filter 5
// searches the default separations (-6 to 6 in steps of 0.8: 15 of them).
#include <benchmark/benchmark.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_prescore.h"
#include "align/trel_trace.h"
#include "common/sampled_shape.h"
#include "common/test_util.h"
#include "driver/trel_filter.h"
#include "driver/trel_options.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_skin.h"
#include "matching/zam_dock_spec.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kTargets = 10000;
constexpr int kOrder = 15;

void quiet(const char*) {}

std::vector<double> sample(const std::vector<Point3D>& atoms) { return testutil::sampled_shape(atoms, kOrder, 0); }

// The trace of a structure file and, in atoms, its C-alpha atoms about their centroid.
std::vector<_trel_seg> trace_of(const std::string& file, std::vector<Point3D>& atoms) {
  std::vector<_trel_seg> out;
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  if (!image) return out;
  Point3D c{0, 0, 0};
  atoms.clear();
  for (int i = 0; i < image->natoms; i++)
    if (image->atoms[i].is_ca) {
      atoms.push_back(Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
      c = Point3D{c.x + atoms.back().x, c.y + atoms.back().y, c.z + atoms.back().z};
    }
  for (Point3D& p : atoms)
    p = Point3D{p.x - c.x / atoms.size(), p.y - c.y / atoms.size(), p.z - c.z / atoms.size()};
  _trel_trace* trace = trel_makeTrace();
  trel_loadTrace(image, Point3D{0, 0, 0}, 0, 0, trace);
  if (trace->n > 0 && trace->seg) out.assign(trace->seg, trace->seg + trace->n);
  trel_freeTrace(trace);
  zam_freePdb(image);
  return out;
}

struct Structure {
  std::vector<double> tau;
  std::vector<_trel_seg> trace;
};

// The distinct structures, the 10,000 targets over them (objects borrowing
// their vectors), and the trace pass's lists.
struct Search {
  std::vector<Structure> distinct;
  Structure query;
  _trel_thing* qthing = nullptr;
  std::vector<_trel_thing*> things;
  std::vector<int> lens;
  std::vector<const _trel_seg*> segs;
  _docking_spec spec{};
  int cpus = 1;
  _trel_align_buf** bufs = nullptr;

  static _trel_thing* thing(const Structure& s) {
    _trel_thing* t = trel_createThing("target", "./");
    t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
    t->tag->valid = 1;
    t->tag->order = kOrder;
    t->tag->pot_class = 1;
    t->tag->pot_flags[1] = 1;
    t->tag->n_residues = (int)s.trace.size();
    t->tau[1] = const_cast<double*>(s.tau.data());  // borrowed: cleared before closing
    return t;
  }

  Search() {
    // Flush-to-zero and denormals-are-zero, as trel's main sets them: moved
    // vectors carry tiny values that would otherwise run at a fraction of
    // the speed. Worker threads inherit the mode.
    _mm_setcsr(_mm_getcsr() | 0x8040);
    cpus = std::max(zam_cpus_online(), 1);
    zam_thread_setup(0);  // the sampling integrates inline
    trel_setAlignWindow(3);
    zam_logger_fn old = zam_logger_callback(quiet);
    const std::string root = std::string(TREL_SHARED_DATA) + "/pdb/";
    std::vector<std::string> files;
    for (const char* f : {"1ard", "1bboN", "1paa", "1sp1", "1sp2", "1zaa1", "1zaa2", "1zaa3", "1zfd", "1znf", "1znm",
                          "2drp1", "2drp2", "3znf", "5znf"})
      files.push_back(root + "mustang-testdata/" + f + ".pdb");
    for (const char* f : {"d1cih__", "d1crj__", "d1csu__", "d1csx__", "d1kyow_", "d1lfma_", "d1m60a_", "d1u74d_",
                          "d1yeb__", "d2pcbb_"})
      files.push_back(root + "theseus-examples/cytochromes/" + f + ".pdb.gz");
    for (const char* tnf : {"1D4V2", "1D4V3", "1EXT1", "1EXT2", "1EXT3", "1EXT4", "1JMA1", "1JMA2", "1OQE1",
                            "1XU12", "1XU21", "2HEY1", "2HEY2", "2HEY4", "2RPJ1", "3ALQ1", "3ALQ2", "3ALQ3",
                            "3ALQ4", "3IJ21", "3IJ22", "3IJ23", "3IJ24"})
      files.push_back(root + "t-coffee-examples/" + tnf + ".pdb.gz");
    for (const std::string& f : files) {
      Structure s;
      std::vector<Point3D> atoms;
      s.trace = trace_of(f, atoms);
      if (s.trace.empty() || atoms.empty()) continue;
      s.tau = sample(atoms);
      distinct.push_back(std::move(s));
    }
    query = distinct.empty() ? Structure{} : distinct[0];  // 1ard
    zam_logger_callback(old);
    zam_thread_setup(cpus);
    if (distinct.empty() || query.trace.empty()) return;
    qthing = thing(query);
    int mmax = 0;
    for (int k = 0; k < kTargets; k++) {
      const Structure& s = distinct[k % distinct.size()];
      things.push_back(thing(s));
      lens.push_back((int)s.trace.size());
      segs.push_back(s.trace.data());
      mmax = std::max(mmax, (int)s.trace.size());
    }
    bufs = trel_allocAlignBuf(cpus, (int)query.trace.size(), mmax);
    spec.order = kOrder;
    spec.r12_range = 6.0;  // the tool's separations: -6 to 6 in steps of 0.8
    spec.r12_step = 0.8;
  }
  ~Search() {
    for (_trel_thing* t : things) {
      t->tau[1] = nullptr;
      trel_closeThing(nullptr, t);
    }
    if (qthing) {
      qthing->tau[1] = nullptr;
      trel_closeThing(nullptr, qthing);
    }
    trel_freeAlignBuf(cpus, bufs);
  }
};

Search& search() {
  static Search s;
  return s;
}

int threadsOf(const benchmark::State& state, const Search& s) {
  return state.range(1) > 0 ? (int)state.range(1) : s.cpus;
}

void BM_filter(benchmark::State& state) {
  Search& s = search();
  if (s.things.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  const int threads = threadsOf(state, s);
  _trel_options o;
  o.docking_spec = &s.spec;
  o.filter_method = (int)state.range(0);
  o.do_write = 0;
  o.use_threads = threads > 1;
  zam_thread_setup(threads);
  std::vector<float> j(kTargets), w(kTargets), k(kTargets);
  std::vector<Matrix3D> tf(kTargets);
  std::vector<int> order(kTargets);
  for (auto _ : state) {
    for (int t = 0; t < kTargets; t++) order[t] = t;
    const int n = trel_filterPass(s.qthing, s.things.data(), kTargets, &o, j.data(), w.data(), k.data(), tf.data(),
                                  order.data());
    if (n != kTargets) state.SkipWithError("targets left unscored");
    benchmark::DoNotOptimize(j.data());
  }
  zam_thread_setup(s.cpus);
  state.counters["threads"] = threads;
  state.counters["targets_per_s"] = benchmark::Counter((double)kTargets * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_trace(benchmark::State& state) {
  Search& s = search();
  if (s.things.empty()) {
    state.SkipWithError("no shared structures");
    return;
  }
  const int threads = threadsOf(state, s);
  std::vector<float> norm(kTargets), raw(kTargets);
  std::vector<int> aligned(kTargets);
  for (auto _ : state) {
    trel_scoreTraceThread(threads, (int)s.query.trace.size(), s.query.trace.data(), kTargets, s.lens.data(),
                          s.segs.data(), norm.data(), raw.data(), aligned.data(), s.bufs);
    benchmark::DoNotOptimize(raw.data());
  }
  state.counters["threads"] = threads;
  state.counters["targets_per_s"] = benchmark::Counter((double)kTargets * state.iterations(), benchmark::Counter::kIsRate);
}

// Argument pairs: (filter method, threads); threads 0 means every core.
BENCHMARK(BM_filter)
    ->ArgsProduct({{1, 2, 3, 4, 5}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_trace)->Args({6, 1})->Args({6, 0})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
