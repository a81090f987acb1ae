#include "driver/trel_search_query.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "align/trel_prescore.h"
#include "driver/trel_options.h"
#include "driver/trel_refine.h"
#include "driver/trel_search.h"
#include "output/trel_print.h"
#include "runtime/zam_log.h"
#include "runtime/zam_pipeline.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

using trel_query::Arrays;
using trel_query::Counts;

// Cells of the alignment planes a worker keeps between jobs (about 13 MB of
// the planes a superposition fills). A job on a larger pair gives the rest
// back when it ends, and counts against the budget of such jobs running at
// once (the cells of the largest pair): a thread that met a long chain does
// not hold its memory for the rest of the run, and the long chain's pairs
// are not all aligned at the same time.
constexpr int64_t kKeptCells = int64_t{1} << 19;

// Cells of the planes of an n x m residue alignment.
int64_t cellsOf(int n, int m) { return (int64_t)(n + 2) * (m + 2); }

// One open query of searchOverlapped. The calling thread writes it when it
// opens and closes the query; the jobs of its two stages write only their
// own entries (their targets' scores, their rank's result, image and held
// messages), the middle step the rest, each before the next stage starts.
struct OpenQuery {
  explicit OpenQuery(int nt) : a(nt) {}
  Arrays a;
  Counts c;
  bool usable = false;  // its results folder was made
  char folder[TREL_PATH_MAX + 1] = {};
  Matrix3D qframe = tf_identity();
  double start = 0.0;        // when it was opened
  double align_start = 0.0;  // when its superpositions began
  _pdb_image* qimage = nullptr;  // the query's own image, read by the jobs
  _pdb_peptide* qpep = nullptr;
  _zam_log_held before;            // messages of the open and middle steps
  std::vector<int> ranks;          // second-stage job k superposes the target at rank ranks[k]
  std::vector<_trel_align*> aligns;     // by rank
  std::vector<_pdb_image*> images;      // by rank: the target image a job read, kept for the writers
  std::vector<char> unreadable;         // by rank: the target's structure could not be read
  std::vector<_zam_log_held> held;      // by rank: the job's messages
};

}  // namespace

namespace trel_query {

// Whether searchOverlapped may run this search: one whose caller lets its
// queries overlap (the comparison of every structure with every other), by
// trace scores on worker threads, whose
// superpositions only read the target images (rigid) and which writes no
// per-target maps or statistics.
bool overlapped(const _trel_options* o, const Counts& c, const _trel_search_rows* rows) {
  return rows && rows->overlap && c.threads >= 2 && o->filter_method == kTraceFilter && o->do_flex == 0 &&
         !o->do_multi && !o->do_stats && !o->write_map;
}

// The queries of an all-against-all run, several at a time: every target's
// trace score and every superposition of the top targets are jobs that any
// worker takes, the oldest query's first, so that no worker waits for the
// slowest pair of a query (the long chains) before it starts on the next.
// Query images and the target images of the superpositions are each job's
// own reads, never the objects' shared ones, which the calling thread alone
// loads and releases as it closes the queries in order, exactly as a serial
// run does. The results are the same, bit for bit.
void searchOverlapped(SearchRun& run, const Counts& base) {
  const _trel_options* o = run.options;
  const int nt = run.nt, threads = base.threads;
  const int window = 2 * threads;
  const int block = std::clamp(nt / (2 * threads), 1, 16);  // targets per trace job
  // The writers and the debug listing read the superposed targets' images
  // from the objects: the images the jobs read are handed over to them.
  const bool keep_images = o->do_write || zam_debug > 0;
  std::vector<std::unique_ptr<OpenQuery>> open(window);
  for (auto& x : open) x = std::make_unique<OpenQuery>(nt);
  auto at = [&](int q) -> OpenQuery& { return *open[q % window]; };
  int longest_q = 0, longest_t = 0;
  for (int q = 0; q < run.nq; q++) longest_q = std::max(longest_q, trel_thingResidues(run.queries[q]));
  for (int t = 0; t < nt; t++) longest_t = std::max(longest_t, trel_thingResidues(run.targets[t]));

  _zam_pipeline p;
  p.nq = run.nq;
  p.window = window;
  p.open = [&](int q) {
    OpenQuery& x = at(q);
    _trel_thing* query = run.queries[q];
    _zam_log_held* before = zam_log_hold(&x.before);
    x.start = zam_get_time();
    x.usable = openQuery(run, q, x.folder);
    if (x.usable) {
      x.qframe = queryFrame(query, o);
      x.a.clear();
      if (zam_debug > 0) zam_msg("Starting Trel scoring pass for %d targets...\n", nt);
      // The object's image may be released by an earlier query's close
      // while this one's jobs still read it: they read a copy.
      x.qimage = query->image ? zam_copyPdb(query->image) : trel_loadThingImage(query);
    }
    zam_log_hold(before);
    return x.usable ? (nt + block - 1) / block : 0;
  };
  p.first = [&](int q, int k, int slot) {
    OpenQuery& x = at(q);
    const _trel_thing* query = run.queries[q];
    const int lq = trel_thingResidues(query);
    int64_t cells = 0;
    for (int t = k * block; t < std::min(nt, (k + 1) * block); t++) {
      const _trel_thing* target = run.targets[t];
      if (!trel_thingTraced(target)) continue;
      trel_scoreTraceOne(lq, trel_thingResidues(target), query->trace.seg, target->trace.seg, &x.a.wscore[t],
                         &x.a.kscore[t], &x.a.ntrace[t], run.bufs[slot]);
      cells = std::max(cells, cellsOf(lq, trel_thingResidues(target)));
    }
    if (cells > kKeptCells) trel_trimAlignBuf(run.bufs[slot], kKeptCells);
  };
  p.middle = [&](int q) {
    OpenQuery& x = at(q);
    if (!x.usable) return 0;
    _trel_thing* query = run.queries[q];
    Arrays& a = x.a;
    _zam_log_held* before = zam_log_hold(&x.before);
    const int lq = trel_thingResidues(query);
    int count = 0;
    for (int t = 0; t < nt; t++) {
      const bool traced = trel_thingTraced(run.targets[t]);
      count += traced;
      a.jscore[t] = jscoreOf(a.kscore[t], lq, traced ? trel_thingResidues(run.targets[t]) : 0);
    }
    if (o->do_write) reportTraced(count, nt, true, x.start);
    x.c = base;
    rankTraced(a, nt, o, count, x.c);
    x.ranks.clear();
    if (x.c.nrefine >= 1 && x.qimage && query->trace.seg) {
      if (zam_debug > 0) zam_msg("Starting Trel superpositions...\n");
      const int n = x.c.nrefine;
      x.qpep = zam_makePdbPep(x.qimage);
      x.aligns.assign(n, nullptr);
      x.images.assign(n, nullptr);
      x.unreadable.assign(n, 0);
      x.held.clear();  // replayed at the slot's last close
      x.held.resize(n);
      // Longest targets first (among equal lengths the better ranked), so
      // that the last jobs taken are short ones.
      x.ranks.resize(n);
      std::iota(x.ranks.begin(), x.ranks.end(), 0);
      std::stable_sort(x.ranks.begin(), x.ranks.end(), [&](int r1, int r2) {
        return trel_thingResidues(run.targets[a.atRank(r1)]) > trel_thingResidues(run.targets[a.atRank(r2)]);
      });
      x.align_start = zam_get_time();
    }
    zam_log_hold(before);
    return (int)x.ranks.size();
  };
  p.second = [&](int q, int k, int slot) {
    OpenQuery& x = at(q);
    const int r = x.ranks[k];
    const int t = x.a.atRank(r);
    _trel_thing* target = run.targets[t];
    if (!trel_thingTraced(target)) return;
    _zam_log_held* before = zam_log_hold(&x.held[r]);
    // An image that cannot be read again stays with its object for the
    // whole run, and rigid superpositions only read it.
    _pdb_image* shared = trel_thingImageReloads(target) ? nullptr : target->image;
    _pdb_image* own = shared ? nullptr : trel_loadThingImage(target);
    if (shared || own)
      x.aligns[r] = trel_alignFitImage(run.queries[q], x.qimage, x.qpep, target, shared ? shared : own,
                                       &x.a.transforms[t], run.bufs[slot], o);
    else
      x.unreadable[r] = 1;
    if (keep_images)
      x.images[r] = own;
    else
      zam_freePdb(own);
    if (cellsOf(trel_thingResidues(run.queries[q]), trel_thingResidues(target)) > kKeptCells)
      trel_trimAlignBuf(run.bufs[slot], kKeptCells);
    zam_log_hold(before);
  };
  p.weight = [&](int q, int k) -> int64_t {
    const int64_t cells = cellsOf(trel_thingResidues(run.queries[q]),
                                  trel_thingResidues(run.targets[at(q).a.atRank(at(q).ranks[k])]));
    return cells > kKeptCells ? cells : 0;
  };
  p.budget = cellsOf(longest_q, longest_t);
  p.close = [&](int q) {
    OpenQuery& x = at(q);
    _trel_thing* query = run.queries[q];
    Arrays& a = x.a;
    zam_log_replay(&x.before);
    if (!x.usable) {
      showProgress(run, q + 1);
      return;
    }
    const int n = (int)x.ranks.size();
    for (_zam_log_held& h : x.held) zam_log_replay(&h);
    if (n > 0 && o->do_write) {
      const double s = elapsed(x.align_start);
      zam_msg("Done %d superpositions in %.4f seconds (%.0f/s).\n", n, s, n / s);
    }
    if (n > 0 && !query->image) {
      // As after a serial query's superpositions: the query's image is loaded.
      query->image = x.qimage;
      x.qimage = nullptr;
    }
    for (int r = 0; r < n; r++) {
      const int t = a.atRank(r);
      _trel_thing* target = run.targets[t];
      if (x.unreadable[r]) target->valid = 0;  // gone or damaged since it was opened
      if (x.images[r] && !target->image)
        target->image = x.images[r];
      else
        zam_freePdb(x.images[r]);
      keepAlign(t, x.aligns[r], target, query->image, a, o);
    }
    zam_freePdb(x.qimage);
    x.qimage = nullptr;
    zam_freePdbPep(x.qpep);
    x.qpep = nullptr;
    x.ranks.clear();
    x.held.clear();
    finishQuery(run, q, a, x.c, x.folder, x.qframe, x.start);
  };
  zam_run_pipeline(p, threads);
}

}  // namespace trel_query
