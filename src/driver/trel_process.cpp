#include "driver/trel_process.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "align/trel_align.h"
#include "driver/trel_model.h"
#include "driver/trel_matrix.h"
#include "driver/trel_multi.h"
#include "driver/trel_options.h"
#include "matching/zam_dock_spec.h"
#include "driver/trel_search.h"
#include "output/trel_print.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"
#include "store/trel_cache.h"
#include "store/trel_database.h"
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
  // Descriptors are sampled on the docking grid: its cell size and its
  // distance limit as the largest half-width.
  if (o->docking_spec) {
    s.grid_spacing = o->docking_spec->grid_spacing;
    s.grid_extent = o->docking_spec->potential_cutoff;
  }
  return s;
}

// What the database reads of the run settings.
_trel_db_opts databaseOptions(const _trel_options* o) {
  _trel_db_opts d;
  d.thing = storeOptions(o);
  d.i_max = o->i_max;
  d.use_binary = o->use_binary;
  d.do_stats = o->do_stats;
  d.export_mode = o->export_mode;
  return d;
}

[[noreturn]] void stop() { std::exit(1); }

// An object that could not be opened at all (its file unreadable, no
// residues, refused: reported when it was opened), which -broken cannot help.
bool unopened(const _trel_thing* t) { return !t->valid || !t->tag || t->tag->valid != 1; }

// A broken structure: one not opened, or residues that mostly lack their
// backbone (fewer than two of N, CA, C, O per residue, as in CA-only files).
// The trace builder would stand ideal residues in for the missing atoms, so
// such a structure is only aligned when the user asks for it.
bool broken(const _trel_thing* t) {
  if (unopened(t)) return true;
  return (int64_t)t->tag->n_backbone < 2 * (int64_t)t->tag->n_residues;
}

void closeAll(std::vector<_trel_thing*>& things) {
  for (_trel_thing*& t : things) {
    trel_closeThing(nullptr, t);
    t = nullptr;
  }
}

// Closes one of `parts` consecutive parts of a list of objects.
void closePart(int part, int parts, void* arg) {
  std::vector<_trel_thing*>& things = *static_cast<std::vector<_trel_thing*>*>(arg);
  const size_t n = things.size();
  const size_t first = n * static_cast<size_t>(part) / static_cast<size_t>(parts);
  const size_t end = n * static_cast<size_t>(part + 1) / static_cast<size_t>(parts);
  for (size_t i = first; i < end; i++) {
    trel_closeThing(nullptr, things[i]);
    things[i] = nullptr;
  }
}

// Closes the targets, on several threads (unless the run is serial) when
// there are many and none has files still to write: their records, names,
// tags and traces come from the allocator's pool (see the open), whose frees
// take no lock, so that the objects are let go of side by side. Objects with
// files to write are closed in list order, so that their messages keep
// their place.
void closeTargets(std::vector<_trel_thing*>& things) {
  constexpr size_t kPerPart = 512;
  const bool dirty = std::any_of(things.begin(), things.end(),
                                 [](const _trel_thing* t) { return t && t->dirty; });
  const size_t most = dirty ? 0 : things.size() / kPerPart;
  const int parts = static_cast<int>(std::min<size_t>(static_cast<size_t>(zam_thread_bulk()), most));
  if (parts < 2) {
    closeAll(things);
    return;
  }
  zam_thread_run(parts, closePart, &things);
}

// What the steps of one run share: the call's inputs, the store's view of
// the settings, and the objects made from them with the names they were
// asked by. Queries first (a -member query last), then the targets: the
// target files, then the selected database members.
struct Run {
  const char* usr_folder;
  char** queries;
  int nq;
  char** targets;
  int nt;
  const char* member;  // a database member as a further query, or null
  const char* templ;
  _trel_db* db;
  const char* select;
  char** only;
  int nonly;
  _trel_options* options;
  _trel_input_ids ids;
  _trel_thing_opts store;
  _trel_db_opts dbopts;
  // In the model mode a sequence that cannot be used is reported and left
  // out: the other sequences still get their templates, and the run ends
  // with status 1 afterwards.
  bool model;
  int failed_queries = 0;  // model mode: sequences without a template
  int nq_all = 0, nt_all = 0;
  std::vector<_trel_thing*> qlist{}, tlist{};

  // The name query q was asked by.
  const char* queryName(int q) const { return q < nq ? queries[q] : member; }
};

// Opens the queries, then the -member query from the database.
void openQueries(Run& r) {
  const int qpots[TREL_POT_CLASSES] = {-1, 0, 0, 0, 0};
  r.nq_all = r.nq + (r.member ? 1 : 0);
  r.qlist.assign(std::max(r.nq_all, 1), nullptr);
  _trel_thing_opts qstore = r.store;
  qstore.identities = r.ids.queries;
  if (r.nq > 0 && !trel_openThings(r.nq, r.qlist.data(), qpots, 1, INT_MAX, r.options->with_qseq, r.queries,
                                   r.usr_folder, 1, r.options->use_cache, &qstore) &&
      !r.model)
    stop();
  if (r.member && !trel_memberDatabase(r.db, r.member, &r.qlist[r.nq], qpots, 1, INT_MAX, &r.dbopts)) {
    closeAll(r.qlist);
    stop();
  }
}

// Stops the run at a query that could not be opened, or a broken one
// without -broken (the model mode skips both).
void checkQueries(Run& r) {
  for (int q = 0; q < r.nq_all; q++) {
    const _trel_thing* t = r.qlist[q];
    const char* name = r.queryName(q);
    if (r.model && broken(t)) {
      zam_err("Failed to open query: %s\n", name);
      continue;  // counted by the model mode, which skips it
    }
    if (unopened(t)) {
      zam_err("Failed to open query: %s\n", name);
      stop();
    }
    if (broken(t)) {
      if (!r.options->use_broken) {
        zam_err("Failed to load broken PDB query (perhaps CA-only): %s\n", name);
        zam_msg("(use -broken to load broken PDB files)\n");
        stop();
      }
      zam_wrn("Broken query PDB structure (perhaps CA-only): %s\n", name);
      // Even with -broken there must be residues to search with.
      if (!t->tag || t->tag->n_residues < 1) {
        zam_err("No residues to search with in query: %s\n", name);
        closeAll(r.qlist);
        stop();
      }
    }
  }
}

// The target mask: targets load the descriptor classes of every query (all
// classes for the modes that compare every structure with every other).
void targetMask(const Run& r, int tpots[TREL_POT_CLASSES]) {
  std::fill(tpots, tpots + TREL_POT_CLASSES, 0);
  for (int q = 0; q < r.nq_all; q++) {
    const int c = r.qlist[q]->tag ? r.qlist[q]->tag->pot_class : 0;
    if (c >= 0 && c < TREL_POT_CLASSES) tpots[c] = 1;
  }
  if (r.options->do_all || r.options->do_multi) std::fill(tpots, tpots + TREL_POT_CLASSES, 1);
}

// The shortest and longest query (1 and at least 1 without queries).
void queryLengths(const Run& r, int* qmin, int* qmax) {
  *qmin = INT_MAX;
  *qmax = 1;
  for (int q = 0; q < r.nq_all; q++) {
    const int n = trel_thingResidues(r.qlist[q]);
    *qmin = std::min(*qmin, n);
    *qmax = std::max(*qmax, n);
  }
  if (r.nq_all < 1) *qmin = 1;
}

// The length window lo..hi of the targets: the size filter of a database
// search, else every length.
void lengthWindow(const Run& r, int qmin, int qmax, int* lo, int* hi) {
  const _trel_options* o = r.options;
  *lo = 1;
  *hi = INT_MAX;
  const float f = o->align_filter;
  if (!o->do_all && !o->do_multi && o->use_db && f > 0.0f) {
    *hi = (int)(qmax / f);
    *lo = std::max((int)(qmin * f), 1);
    if (*hi < *lo) {
      *hi = INT_MAX;
    } else if (*hi < 20) {
      zam_wrn("The query has less than 20 residues. Setting -filter=0 to disable size filter.\n");
      *hi = INT_MAX;
    }
  }
}

// Opens the target files, then the selected database members, which borrow
// their tags and trace records from the database's mapped blocks and load
// their images only when a search superposes them.
void openTargets(Run& r, const int tpots[TREL_POT_CLASSES], int lo, int hi) {
  const int room = r.nt + (r.db ? r.db->n_members : 0);
  r.tlist.assign(std::max(room, 1), nullptr);
  // Targets are opened on the worker threads, and each keeps only its tag
  // and trace: its image is read again when a search superposes it.
  _trel_thing_opts tstore = r.store;
  tstore.threads = r.options->use_threads ? zam_thread_cpus() : 1;
  tstore.lean = 1;
  // Their trace records live until the end of the run and are let go of
  // together: they come from the allocator's pool (see the end).
  zam_vm_pooling(tstore.threads > 1 ? 1 : 2);
  // A target made from another file than a query of its name is named apart
  // from it, so that its result files and rows are its own.
  tstore.identities = r.ids.targets;
  tstore.other_paths = r.queries;
  tstore.others = r.qlist.data();
  tstore.n_others = r.nq;
  const int opened = r.nt > 0 ? trel_openThings(r.nt, r.tlist.data(), tpots, lo, hi, r.options->with_tseq,
                                                r.targets, r.usr_folder, 1, r.options->use_cache, &tstore)
                              : 1;
  zam_vm_pooling(0);
  if (!opened) {
    closeAll(r.qlist);
    stop();
  }
  r.nt_all = r.nt;
  if (r.db) {
    const int count = trel_loadDatabase(r.db, r.tlist.data() + r.nt, tpots, r.select, r.only, r.nonly, lo, hi,
                                        &r.dbopts);
    if (count < 0) {
      closeAll(r.qlist);
      closeAll(r.tlist);
      stop();
    }
    r.nt_all += count;
  }
}

// Stops the run at a target file that could not be opened, or a broken
// target without -broken; returns the length of the longest target that
// may be aligned (at least 1).
int checkTargets(const Run& r) {
  int tmax = 1;
  for (int t = 0; t < r.nt_all; t++) {
    const _trel_thing* th = r.tlist[t];
    const char* tname = t < r.nt ? r.targets[t] : th->name;
    if (t < r.nt && unopened(th)) {
      zam_err("Failed to open target: %s\n", tname);
      stop();
    }
    if (broken(th)) {
      if (!r.options->use_broken) {
        zam_err("Failed to load broken PDB target: %s\n", tname);
        zam_msg("(use -broken to load broken PDB files)\n");
        stop();
      }
      zam_wrn("Broken target PDB structure (perhaps CA-only): %s\n", tname);
      // A broken target is still aligned, so it sizes the buffers too.
      if (th->tag && (t < r.nt || th->trace.seg)) tmax = std::max(tmax, th->tag->n_residues);
      continue;
    }
    // A member outside the length window has no trace and is never aligned:
    // it does not size the alignment buffers.
    if (t >= r.nt && !th->trace.seg) continue;
    tmax = std::max(tmax, th->tag->n_residues);
  }
  return tmax;
}

// Cache files are written now, while every image still holds the
// coordinates it was read with: the flexible alignment moves target images.
// Database members are never dirty: they have no cache files.
void writeCaches(const Run& r) {
  if (!r.options->use_cache) return;
  for (int q = 0; q < r.nq_all; q++) trel_writeThingCache(r.qlist[q]);
  for (int t = 0; t < r.nt_all; t++) trel_writeThingCache(r.tlist[t]);
}

// Hands the objects to the mode: all against all, model, multiple (without
// a database; with one the search runs it on each query's hits), a ligand
// search of the first target, or the search. Returns 0 when the mode failed.
int dispatch(Run& r, _trel_align_buf** bufs) {
  _trel_options* o = r.options;
  _trel_thing** qlist = r.qlist.data();
  _trel_thing** tlist = r.tlist.data();
  if (o->do_all) return trel_doMatrix(qlist, r.nq_all, tlist, r.nt_all, bufs, o);
  if (r.model) {
    r.failed_queries += trel_doModel(qlist, r.nq_all, tlist, r.nt_all, r.templ, bufs, o);
  } else if (o->do_multi && !r.db) {
    trel_doMulti(qlist, r.nq_all, tlist, r.nt_all, nullptr, 0, bufs, o);
  } else if (o->do_ligand && r.nq_all == 1 && r.nt_all >= 2) {
    trel_doSearch(qlist, r.nq_all, tlist, 1, nullptr, 0, bufs, o, nullptr);
  } else {
    o->do_ligand = 0;
    trel_doSearch(qlist, r.nq_all, tlist, r.nt_all, nullptr, 0, bufs, o, nullptr);
  }
  return 1;
}

// Closes every object and frees the buffers, then stops the run with status
// 1 when the mode failed or anything of it went wrong: a target that could
// not be read again, a result file not written, a sequence without a
// template, a refused multiple alignment.
void finish(Run& r, int threads, _trel_align_buf** bufs, int mode_ok) {
  // A target whose structure could not be read again for its superposition
  // has pre-scores only: the tables are written, but the run has failed.
  int unreadable = 0;
  for (int t = 0; t < r.nt_all; t++)
    if (r.tlist[t] && !r.tlist[t]->valid) unreadable++;

  // Closing writes the cache files that are due; without a cache the
  // objects are released all the same, so that nothing outlives the mode.
  // Members go back to the database's array (their records stay), and the
  // database itself is closed by the driver after this mode.
  closeAll(r.qlist);
  closeTargets(r.tlist);
  trel_freeAlignBuf(threads, bufs);
  // The targets' trace records go back to the system on several threads;
  // left to the process's exit, one thread would give back every page.
  zam_vm_release_pools();
  if (unreadable > 0)
    zam_err("%d target structure%s could not be read for superposition: %s only pre-scores.\n",
            unreadable, unreadable == 1 ? "" : "s", unreadable == 1 ? "its row has" : "their rows have");
  const int failed = trel_failedFiles();
  if (failed > 0)
    zam_err("%d result file%s could not be written (named in the warnings above).\n", failed,
            failed == 1 ? "" : "s");
  if (!mode_ok || unreadable > 0 || failed > 0 || r.failed_queries > 0 || trel_multiRefused() > 0)
    stop();
}

}  // namespace

void trel_process(const char* sys_folder, const char* name, const char* usr_folder,
                  char** queries, int nq, char** targets, int nt, const char* member,
                  const char* templ, _trel_db* db, const char* select, char** only, int nonly,
                  _trel_options* options, const _trel_input_ids& ids) {
  (void)sys_folder;
  (void)name;
  const double start = zam_get_time();
  const bool with_member = member && member[0];
  if (with_member && !db) {
    zam_err("No database given for the query member %s.\n", member);
    stop();
  }
  // A filter method the search cannot run stops the run before any
  // structure is opened; the descriptor filters have their objects (and
  // their cache files) made first.
  const bool descriptors = options->filter_method >= 1 && options->filter_method <= 5;
  if (!descriptors && !trel_searchFilterUsable(options)) stop();

  Run r{usr_folder, queries, nq, targets, nt, with_member ? member : nullptr, templ, db, select, only, nonly,
        options, ids, storeOptions(options), databaseOptions(options), options->do_model != 0};
  openQueries(r);
  checkQueries(r);
  int tpots[TREL_POT_CLASSES];
  targetMask(r, tpots);
  int qmin, qmax;
  queryLengths(r, &qmin, &qmax);
  int lo, hi;
  lengthWindow(r, qmin, qmax, &lo, &hi);
  openTargets(r, tpots, lo, hi);
  int tmax = checkTargets(r);
  writeCaches(r);
  if (zam_debug > 0)
    zam_msg("Prepared %d queries and %d targets in %.2f seconds.\n", r.nq_all, r.nt_all, zam_get_time() - start);
  if (descriptors && !trel_searchFilterUsable(options)) {
    closeAll(r.qlist);
    closeAll(r.tlist);
    stop();
  }

  // Any structure of a multiple alignment may be its pivot: the buffers take
  // the longest structure on both sides.
  // The model mode also aligns targets with each other (identity filter,
  // a template as the query of its multiple alignment), and any structure
  // of an all-against-all run may be the query.
  if (options->do_multi || r.model || options->do_all) qmax = tmax = std::max(qmax, tmax);
  const int threads = options->use_threads ? zam_thread_cpus() : 1;
  // Every alignment of the search puts a query on the rows and a target on
  // the columns, so the planes are qmax x tmax: a square of the longer side
  // would cost gigabytes per thread for one long target against a domain.
  _trel_align_buf** bufs = trel_allocAlignBuf(threads, qmax, tmax);
  const int mode_ok = dispatch(r, bufs);
  finish(r, threads, bufs, mode_ok);
}
