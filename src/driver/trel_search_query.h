// The pieces of the per-query search that its roads share: queries one
// after the other (trel_search.cpp), the queries of an all-against-all run
// overlapped on worker threads (trel_search_all.cpp) and the template scan
// of model mode (trel_model.cpp), which has the same trace pass. Private to
// the driver.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "driver/trel_rank.h"
#include "geometry/zam_transform.h"
#include "store/trel_thing.h"

struct _trel_thing;
struct _trel_align_buf;
struct _trel_options;
struct _trel_search_rows;
struct _pdb_image;

namespace trel_query {

constexpr int kTraceFilter = 6;

// Counts fixed before the first query; the trace pass may lower ntop, nshow
// and nrefine, and they stay lowered for later queries.
struct Counts {
  int ntop = 1;
  int nshow = 1;
  int nrefine = 0;
  int nroc = 0;
  int threads = 1;
};

// Where a trace pass puts its scores, one entry per target: the normalised
// and raw trace scores, the pairs on the path and the J-score.
struct TraceScores {
  float* wscore;
  float* kscore;
  int* ntrace;
  float* jscore;
};

// The per-target arrays of the run, cleared at the start of every query.
struct Arrays {
  explicit Arrays(int nt)
      : kscore(nt), jscore(nt), wscore(nt), gscore(nt), mscore(nt), tscore(nt), rmsd(nt),
        rmsd_matched(nt), pident(nt), trace_mean(nt), trace_sd(nt), naligned(nt), nmatched(nt),
        nident(nt), nsegs(nt), ncolumns(nt), ntrace(nt), tlength(nt), selected(nt), order(nt),
        tpcode(nt), aligns(nt, nullptr), transforms(nt, tf_identity()), saved(nt) {}

  std::vector<float> kscore, jscore, wscore, gscore, mscore, tscore, rmsd, rmsd_matched, pident;
  std::vector<float> trace_mean, trace_sd;
  std::vector<int> naligned, nmatched, nident, nsegs, ncolumns, ntrace, tlength, selected;
  std::vector<int> order, tpcode;  // order: the ranking, read from its end; tpcode by rank
  std::vector<_trel_align*> aligns;
  std::vector<Matrix3D> transforms;
  // Atom coordinates of the superposed targets' images before this query's
  // alignments moved them (empty for a target not superposed).
  std::vector<std::vector<Point3D>> saved;

  void clear() {
    for (auto* v : {&kscore, &jscore, &wscore, &gscore, &mscore, &tscore, &rmsd, &rmsd_matched,
                    &pident, &trace_mean, &trace_sd})
      std::fill(v->begin(), v->end(), 0.0f);
    for (auto* v : {&naligned, &nmatched, &nident, &nsegs, &ncolumns, &ntrace, &tlength, &selected,
                    &tpcode})
      std::fill(v->begin(), v->end(), 0);
    for (size_t t = 0; t < order.size(); t++) order[t] = int(t);
    std::fill(transforms.begin(), transforms.end(), tf_identity());
  }

  _trel_scores view() {
    return _trel_scores{kscore.data(), jscore.data(),       wscore.data(), gscore.data(),
                        mscore.data(), tscore.data(),       rmsd.data(),   rmsd_matched.data(),
                        pident.data(), naligned.data(),     nmatched.data(), nident.data(),
                        nsegs.data(),  ncolumns.data(),     ntrace.data(), tlength.data(),
                        selected.data()};
  }

  TraceScores traceScores() { return TraceScores{wscore.data(), kscore.data(), ntrace.data(), jscore.data()}; }

  // Target at rank r (0 = best).
  int atRank(int r) const { return order[order.size() - 1 - r]; }
};

// What the queries of one search read and add to; the calling thread of
// trel_doSearch owns it.
struct SearchRun {
  _trel_thing** queries = nullptr;
  int nq = 0;
  _trel_thing** targets = nullptr;
  int nt = 0;
  _trel_thing** extra = nullptr;
  int nextra = 0;
  _trel_align_buf** bufs = nullptr;
  _trel_options* options = nullptr;
  _trel_search_rows* rows = nullptr;  // null: an ordinary search
  std::string suffix;
  std::vector<float> auc, roc_x, roc_y, roc_area, sum_x, sum_y, sum_area;
  float sum_auc = 0.0f;
  int nnopos = 0;  // queries whose family no target shares
};

// Seconds since start, never below 1e-8 so that rates stay finite.
double elapsed(double start);
// J-score of a raw trace score, in single precision as the ranking sees it.
float jscoreOf(float k, int lq, int lt);
// The trace pass in the calling thread with bufs[0]: every traced target
// scored against the query's trace, then each(t, lt) (when given) while
// bufs[0] still holds target t's planes. Targets without a trace keep their
// entries. Returns the targets scored.
int traceSerial(const _trel_thing* query, _trel_thing** targets, int nt, const TraceScores& s,
                _trel_align_buf** bufs, const std::function<void(int t, int lt)>& each = {});
// The same on the pre-scorer's worker threads (bufs[s] for the worker in
// slot s); a target without a trace gets 0 in every entry. The scores are
// those of traceSerial bit for bit.
int traceThreaded(const _trel_thing* query, _trel_thing** targets, int nt, const TraceScores& s,
                  _trel_align_buf** bufs, int threads);
// The line that closes a trace pass started at start: count alignments and
// their rate (and the target count nt after a threaded pass).
void reportTraced(int count, int nt, bool threaded, double start);
// Copies the final alignment's scores of target t into the arrays.
void copyScores(int t, const _trel_align* al, const _trel_thing* target, Arrays& a);
// Lowers ntop, nshow and nrefine to the count of targets that were scored.
void lowerCounts(Counts& c, int count);
// Ranks the targets of a trace pass by the run's sort key into a.order and
// lowers the counts to the count it scored.
void rankTraced(Arrays& a, int nt, const _trel_options* o, int count, Counts& c);
// Keeps target t's final alignment al (null when none) and its scores in the
// arrays; with debugging on, lists the fit and the alignment.
void keepAlign(int t, _trel_align* al, const _trel_thing* target, const _pdb_image* qimage, Arrays& a,
               const _trel_options* o);
// Makes query q's results folder into folder. When it cannot be made, a
// comparison of every structure with every other goes on with the other
// queries (the failure is counted, the caller ends the run with it); a
// search stops.
bool openQuery(SearchRun& run, int q, char* folder);
// Counts done of the run's queries as finished on the update hook, when the
// caller asked for a progress line.
void showProgress(const SearchRun& run, int done);
// The frame the query's result files are written in.
Matrix3D queryFrame(const _trel_thing* query, const _trel_options* o);
// Query q once its targets are scored and its top targets superposed: the
// ranking, the hits, the result row, the ROC curve, the result files and
// the release of the query's alignments and images.
void finishQuery(SearchRun& run, int q, Arrays& a, const Counts& c, const char* folder,
                 const Matrix3D& qframe, double query_start);

// Whether searchOverlapped may run this search.
bool overlapped(const _trel_options* o, const Counts& c, const _trel_search_rows* rows);
// The queries of an all-against-all run, several at a time on the worker
// threads (base.threads of them).
void searchOverlapped(SearchRun& run, const Counts& base);

}  // namespace trel_query
