// Pairwise structural alignment with superposition (default search settings).
// Without TREL_PAIR_LIST it times the alignment of two lactate dehydrogenase
// chains. With TREL_PAIR_LIST=<file of PDB paths, one a line> the fixture
// aligns every pair of the list once, in one process on one thread, and
// prints one line per pair:
//   PAIR <name1> <name2> <len1> <len2> <T-score> <RMSD> <aligned> <seconds>
// the T-score being normalised by the shorter chain (bench/peer_tmalign.sh).
// With TREL_PAIR_HASH set as well it prints, after each PAIR line,
//   HASH <name1> <name2> <hex>
// a hash of every bit of the alignment (header, columns, fragments), so that
// two builds can be shown to align alike to the bit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"
#include "common/align_defaults.h"
#include "common/chains.h"

namespace {

using testutil::Chain;

// Default search alignment: anchor rule 0, one seed, 4 cycles, no flexible
// extension, tidying on, range 12, contact 7, match 3.4.
_trel_align* align_pair(const Chain& q, const Chain& t, _trel_align_buf* buf) {
  return trel_makeAlignFit(q.n, t.n, 0, 0, 1, 4, 0, 1, 1, q.trace->seg,
                           t.trace->seg, q.pep, t.image, tf_identity(), tf_identity(), 12.0f,
                           7.0f, 3.4f, buf);
}

// FNV-1a over bytes.
uint64_t hashBytes(uint64_t h, const void* p, size_t len) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t k = 0; k < len; k++) h = (h ^ b[k]) * 1099511628211ull;
  return h;
}

// Hash of the whole alignment; the array pointers are left out of the header.
uint64_t hashAlign(const _trel_align* a) {
  _trel_align head = *a;
  head.columns = nullptr;
  head.frags = nullptr;
  uint64_t h = hashBytes(1469598103934665603ull, &head, sizeof head);
  if (a->columns && a->ncolumns > 0)
    h = hashBytes(h, a->columns, (size_t)a->ncolumns * sizeof(_trel_a_column));
  if (a->frags && a->nfrags >= 0)
    h = hashBytes(h, a->frags, (size_t)(a->nfrags + 1) * sizeof(_trel_a_frag));
  return h;
}

void BM_PairList(benchmark::State& state) {
  const char* list = std::getenv("TREL_PAIR_LIST");
  const bool hash = std::getenv("TREL_PAIR_HASH") != nullptr;
  std::vector<std::string> paths;
  if (list) {
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) paths.push_back(line);
  } else {
    paths = {std::string(TREL_SHARED_DATA) + "/pdb/theseus-examples/ldh/1a5z_A.pdb.gz",
             std::string(TREL_SHARED_DATA) + "/pdb/theseus-examples/ldh/1ez4_A.pdb.gz"};
  }
  testutil::default_align_settings();
  std::vector<std::unique_ptr<Chain>> chains;
  std::vector<std::string> names;
  int longest = 0;
  for (const std::string& p : paths) {
    auto c = std::make_unique<Chain>(zam_readPdb(p.c_str(), nullptr));
    if (!c->image) {
      state.SkipWithError(("cannot read " + p).c_str());
      return;
    }
    longest = std::max(longest, c->n);
    names.push_back(c->image->name ? c->image->name : p);
    chains.push_back(std::move(c));
  }
  _trel_align_buf** bufs = trel_allocAlignBuf(1, longest, longest);
  bool printed = false;
  for (auto _ : state) {
    for (size_t i = 0; i < chains.size(); i++)
      for (size_t j = i + 1; j < chains.size(); j++) {
        const auto t0 = std::chrono::steady_clock::now();
        _trel_align* a = align_pair(*chains[i], *chains[j], bufs[0]);
        const double sec =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (list && !printed && a)
          std::printf("PAIR %s %s %d %d %.4f %.3f %d %.6f\n", names[i].c_str(),
                      names[j].c_str(), chains[i]->n, chains[j]->n,
                      a->tscore, a->rmsd_aligned, a->naligned, sec);
        if (list && !printed && a && hash)
          std::printf("HASH %s %s %016llx\n", names[i].c_str(), names[j].c_str(),
                      (unsigned long long)hashAlign(a));
        benchmark::DoNotOptimize(a);
        trel_freeAlign(a);
      }
    printed = true;
    std::fflush(stdout);
  }
  const int64_t pairs = (int64_t)chains.size() * ((int64_t)chains.size() - 1) / 2;
  state.SetItemsProcessed(state.iterations() * pairs);
  trel_freeAlignBuf(1, bufs);
}
BENCHMARK(BM_PairList)->Unit(benchmark::kMillisecond);

}  // namespace
