#include "driver/trel_process.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "align/trel_align.h"
#include "driver/trel_options.h"
#include "driver/trel_search.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"

namespace {

// The store's view of the run settings.
_trel_thing_opts storeOptions(const _trel_options* o) {
  _trel_thing_opts s;
  s.with_spf = o->with_spf;
  s.use_force = o->use_force;
  s.use_random = o->use_random;
  s.with_lookup = o->with_lookup;
  s.do_write = o->do_write;
  s.show_things = o->show_things;
  s.filter_method = o->filter_method;
  s.q_max = o->q_max;
  return s;
}

[[noreturn]] void stop() { std::exit(1); }

[[noreturn]] void unavailable(const char* what) {
  zam_err("The %s mode is not available in this build.\n", what);
  stop();
}

// A broken structure: no usable tag, or residues that mostly lack their
// backbone (fewer than two of N, CA, C, O per residue, as in CA-only files).
// The trace builder would stand ideal residues in for the missing atoms, so
// such a structure is only aligned when the user asks for it.
bool broken(const _trel_thing* t) {
  if (!t->tag || t->tag->valid != 1) return true;
  return (int64_t)t->tag->n_backbone < 2 * (int64_t)t->tag->n_residues;
}

void closeAll(std::vector<_trel_thing*>& things) {
  for (_trel_thing*& t : things) {
    trel_closeThing(nullptr, t);
    t = nullptr;
  }
}

}  // namespace

void trel_process(const char* sys_folder, const char* name, const char* usr_folder,
                  char** queries, int nq, char** targets, int nt, const char* member,
                  const char* templ, _trel_db* db, const char* select, char** only, int nonly,
                  _trel_options* options) {
  (void)sys_folder;
  (void)name;
  (void)templ;
  (void)select;
  (void)only;
  (void)nonly;
  const double start = zam_get_time();
  // Database members (as queries or targets) need the structure database,
  // which is not part of this build.
  if (db) unavailable("database search");
  if (member && member[0]) {
    zam_err("No database given for the query member %s.\n", member);
    stop();
  }
  if (options->do_all) unavailable("all-against-all");
  // Only the trace-scoring road exists: stop before any structure is opened.
  if (!trel_searchFilterUsable(options)) stop();
  if (options->do_model) unavailable("model");
  if (options->do_multi) unavailable("multiple");

  const _trel_thing_opts store = storeOptions(options);
  const int qpots[TREL_POT_CLASSES] = {-1, 0, 0, 0, 0};
  std::vector<_trel_thing*> qlist(std::max(nq, 1), nullptr);
  if (nq > 0 && !trel_openThings(nq, qlist.data(), qpots, 1, INT_MAX, options->with_qseq, queries,
                                 usr_folder, 1, options->use_cache, &store))
    stop();

  for (int q = 0; q < nq; q++) {
    const _trel_thing* t = qlist[q];
    if (!t->valid) {
      zam_err("Failed to open query: %s\n", queries[q]);
      stop();
    }
    if (broken(t)) {
      if (!options->use_broken) {
        zam_err("Failed to load broken PDB query (perhaps CA-only): %s\n", queries[q]);
        zam_msg("(use -broken to load broken PDB files)\n");
        stop();
      }
      zam_wrn("Broken query PDB structure (perhaps CA-only): %s\n", queries[q]);
    }
  }

  // Targets load the descriptor classes of every query (all classes for the
  // modes that compare every structure with every other).
  int tpots[TREL_POT_CLASSES] = {0, 0, 0, 0, 0};
  for (int q = 0; q < nq; q++) {
    const int c = qlist[q]->tag ? qlist[q]->tag->pot_class : 0;
    if (c >= 0 && c < TREL_POT_CLASSES) tpots[c] = 1;
  }
  if (options->do_all || options->do_multi) std::fill(tpots, tpots + TREL_POT_CLASSES, 1);

  int qmin = INT_MAX, qmax = 1;
  for (int q = 0; q < nq; q++) {
    const int n = qlist[q]->tag ? qlist[q]->tag->n_residues : 0;
    qmin = std::min(qmin, n);
    qmax = std::max(qmax, n);
  }
  if (nq < 1) qmin = 1;

  int lo = 1, hi = INT_MAX;
  const float f = options->align_filter;
  if (!options->do_all && !options->do_multi && options->use_db && f > 0.0f) {
    hi = (int)(qmax / f);
    lo = std::max((int)(qmin * f), 1);
    if (hi < lo) {
      hi = INT_MAX;
    } else if (hi < 20) {
      zam_wrn("The query has less than 20 residues. Setting -filter=0 to disable size filter.\n");
      hi = INT_MAX;
    }
  }

  std::vector<_trel_thing*> tlist(std::max(nt, 1), nullptr);
  if (nt > 0 && !trel_openThings(nt, tlist.data(), tpots, lo, hi, options->with_tseq, targets,
                                 usr_folder, 1, options->use_cache, &store)) {
    closeAll(qlist);
    stop();
  }

  int tmax = 1;
  for (int t = 0; t < nt; t++) {
    const _trel_thing* th = tlist[t];
    if (broken(th)) {
      if (!options->use_broken) {
        zam_err("Failed to load broken PDB target: %s\n", targets[t]);
        zam_msg("(use -broken to load broken PDB files)\n");
        stop();
      }
      zam_wrn("Broken target PDB structure (perhaps CA-only): %s\n", targets[t]);
      continue;
    }
    tmax = std::max(tmax, th->tag->n_residues);
  }
  // Cache files are written now, while every image still holds the
  // coordinates it was read with: the flexible alignment moves target images.
  if (options->use_cache) {
    for (int q = 0; q < nq; q++) trel_writeThingCache(qlist[q]);
    for (int t = 0; t < nt; t++) trel_writeThingCache(tlist[t]);
  }
  if (zam_debug > 0)
    zam_msg("Prepared %d queries and %d targets in %.2f seconds.\n", nq, nt, zam_get_time() - start);

  const int threads = options->use_threads ? zam_thread_cpus() : 1;
  const int L = std::max(qmax, tmax);
  _trel_align_buf** bufs = trel_allocAlignBuf(threads, L, L);

  if (options->do_ligand && nq == 1 && nt >= 2) {
    trel_doSearch(qlist.data(), nq, tlist.data(), 1, nullptr, 0, bufs, options, nullptr);
  } else {
    options->do_ligand = 0;
    trel_doSearch(qlist.data(), nq, tlist.data(), nt, nullptr, 0, bufs, options, nullptr);
  }

  // Closing writes the cache files that are due; without a cache the
  // objects are released all the same, so that nothing outlives the mode.
  closeAll(qlist);
  for (int t = 0; t < nt; t++) {
    trel_closeThing(nullptr, tlist[t]);
    tlist[t] = nullptr;
  }
  trel_freeAlignBuf(threads, bufs);
}
