#include "driver/trel_search.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_prescore.h"
#include "driver/trel_filter.h"
#include "driver/trel_hit_files.h"
#include "driver/trel_hit_record.h"
#include "driver/trel_multi.h"
#include "driver/trel_options.h"
#include "driver/trel_rank.h"
#include "driver/trel_refine.h"
#include "driver/trel_search_query.h"
#include "driver/trel_spf.h"
#include "driver/trel_tables.h"
#include "driver/zam_roc.h"
#include "matching/zam_dock_spec.h"
#include "output/trel_print.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_cath.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace trel_query {

// Seconds since start, never below 1e-8 so that rates stay finite.
double elapsed(double start) { return std::max(zam_get_time() - start, 1e-8); }

// J-score of a raw trace score, in single precision as the ranking sees it.
float jscoreOf(float k, int lq, int lt) {
  const float norm = std::sqrt((float)lq * (float)lt);
  return norm > 0.0f ? std::min(1.0f, k / norm) : 0.0f;
}

int traceSerial(const _trel_thing* query, _trel_thing** targets, int nt, const TraceScores& s,
                _trel_align_buf** bufs, const std::function<void(int t, int lt)>& each) {
  const int lq = trel_thingResidues(query);
  int count = 0;
  for (int t = 0; t < nt; t++) {
    const _trel_thing* target = targets[t];
    if (!trel_thingTraced(target)) continue;
    const int lt = trel_thingResidues(target);
    trel_scoreTraceOne(lq, lt, query->trace.seg, target->trace.seg, &s.wscore[t], &s.kscore[t], &s.ntrace[t],
                       bufs[0]);
    count++;
    s.jscore[t] = jscoreOf(s.kscore[t], lq, lt);
    if (each) each(t, lt);
  }
  return count;
}

int traceThreaded(const _trel_thing* query, _trel_thing** targets, int nt, const TraceScores& s,
                  _trel_align_buf** bufs, int threads) {
  const int lq = trel_thingResidues(query);
  std::vector<int> lengths(nt, 0);
  std::vector<const _trel_seg*> traces(nt, nullptr);
  int count = 0;
  for (int t = 0; t < nt; t++) {
    if (!trel_thingTraced(targets[t])) continue;
    lengths[t] = trel_thingResidues(targets[t]);
    traces[t] = targets[t]->trace.seg;
    count++;
  }
  trel_scoreTraceThread(threads, lq, query->trace.seg, nt, lengths.data(), traces.data(), s.wscore, s.kscore,
                        s.ntrace, bufs);
  for (int t = 0; t < nt; t++) s.jscore[t] = jscoreOf(s.kscore[t], lq, lengths[t]);
  return count;
}

void reportTraced(int count, int nt, bool threaded, double start) {
  const double s = elapsed(start);
  if (threaded)
    zam_msg("Done %d alignments for %d targets in %.4f seconds (%.0f/s).\n", count, nt, s, count / s);
  else
    zam_msg("Done %d alignments in %.4f seconds (%.0f/s).\n", count, s, count / s);
}

// Copies the final alignment's scores of target t into the arrays.
void copyScores(int t, const _trel_align* al, const _trel_thing* target, Arrays& a) {
  a.gscore[t] = al->gscore;
  a.mscore[t] = al->mscore;
  a.tscore[t] = al->tscore;
  a.rmsd_matched[t] = al->rmsd_matched;
  a.rmsd[t] = al->rmsd_aligned;
  a.naligned[t] = al->naligned;
  a.nmatched[t] = al->nmatched;
  a.nident[t] = al->nidentity;
  a.nsegs[t] = al->nsegments;
  a.ncolumns[t] = al->ncolumns;
  a.tlength[t] = trel_thingResidues(target);
  // Nothing aligned means no identity to speak of, not 0/0.
  a.pident[t] = al->naligned > 0 ? (float)al->nidentity * 100.0f / (float)al->naligned : 0.0f;
}

void lowerCounts(Counts& c, int count) {
  c.ntop = std::min(c.ntop, count);
  c.nshow = std::min(c.nshow, count);
  c.nrefine = std::min(c.nrefine, count);
}

void rankTraced(Arrays& a, int nt, const _trel_options* o, int count, Counts& c) {
  const float* key = o->do_sort == 0 ? a.kscore.data() : o->do_sort == 4 ? a.wscore.data() : a.jscore.data();
  zam_sortf(key, nt, a.order.data());
  lowerCounts(c, count);
}

void keepAlign(int t, _trel_align* al, const _trel_thing* target, const _pdb_image* qimage, Arrays& a,
               const _trel_options* o) {
  a.aligns[t] = al;
  if (!al) return;
  a.transforms[t] = al->tf;
  copyScores(t, al, target, a);
  if (zam_debug > 0) {
    zam_msg("Gaussian fit: %s -> L = %d, N = %d, M = %.4f, RMSD = %.4f\n", target->name, al->naligned,
            al->nmatched, al->mscore, al->rmsd_matched);
    trel_printAlign(al, qimage, target->image, o->n_columns);
  }
}

}  // namespace trel_query

using namespace trel_query;

namespace {

Counts setupCounts(const _trel_options* o, int nt) {
  Counts c;
  c.ntop = std::clamp(o->n_top, 1, nt);
  c.nshow = std::clamp(o->n_show, 1, nt);
  c.ntop = std::max(c.ntop, c.nshow);
  if (o->filter_method > 0 && o->refine_method > 0) {
    if (o->refine_method == 2)
      c.nrefine = std::clamp(o->refine_number, 1, nt);
    else if (o->refine_method == 1)
      c.nrefine = std::clamp((int)(nt * o->refine_fraction + 0.5f), 1, nt);
    else
      c.nrefine = 0;
    if (zam_debug > 0)
      zam_msg("Performing tandem search: filter %d and refine %d targets.\n", nt, c.nrefine);
  } else if (o->filter_method == kTraceFilter) {
    c.nrefine = c.ntop;
    if (zam_debug > 0) zam_msg("Performing Trel search on %d targets.\n", nt);
  } else if (o->filter_method >= 1 && o->filter_method <= 5) {
    c.nrefine = c.ntop;
    if (zam_debug > 0) zam_msg("Performing canonical search on %d targets.\n", nt);
  } else {
    c.nrefine = nt;
    if (zam_debug > 0) zam_msg("Performing rotational search on %d targets.\n", nt);
  }
  c.nrefine = std::max(c.nrefine, c.ntop);
  c.nshow = std::min(c.nshow, c.ntop);
  c.nroc = (o->do_write && o->write_roc && o->n_roc >= 1) ? o->n_roc : 0;
  c.threads = o->use_threads ? zam_thread_cpus() : 1;
  return c;
}

// Trace pass in the calling thread with bufs[0], which also gives the
// per-target statistics and the pre-score maps. Returns the targets scored.
int tracePassSerial(const _trel_thing* query, _trel_thing** targets, int nt, Arrays& a,
                    _trel_align_buf** bufs, const _trel_options* o, const char* folder) {
  const double start = zam_get_time();
  const int lq = trel_thingResidues(query);
  double sum_mean = 0.0, sum_sd2 = 0.0;
  const int count = traceSerial(query, targets, nt, a.traceScores(), bufs, [&](int t, int lt) {
    trel_statsAlignTrace(lq, lt, bufs[0], &a.trace_mean[t], &a.trace_sd[t]);
    if (o->do_write && o->write_map)
      trel_writeMap(folder, query, targets[t], bufs[0]->kplane, a.trace_mean[t], a.trace_sd[t]);
    if (o->do_stats) {
      if (zam_debug > 0) zam_msg("Mean score = %9.6f, SD = %9.6f\n", a.trace_mean[t], a.trace_sd[t]);
      sum_mean += a.trace_mean[t];
      sum_sd2 += (double)a.trace_sd[t] * a.trace_sd[t];
    }
  });
  if (o->do_stats) {
    double mean = sum_mean, sd = sum_sd2;
    if (count > 1) {
      mean = sum_mean / count;
      sd = std::sqrt(sum_sd2 / count);
    }
    zam_msg("Overall mean score = %9.6f, SD = %9.6f\n", mean, sd);
  }
  if (o->do_write) reportTraced(count, nt, false, start);
  return count;
}

// Trace pass on the worker threads of the pre-scorer. Returns the targets
// that have a trace.
int tracePassThreaded(const _trel_thing* query, _trel_thing** targets, int nt, Arrays& a,
                      _trel_align_buf** bufs, const _trel_options* o, int threads) {
  const double start = zam_get_time();
  const int count = traceThreaded(query, targets, nt, a.traceScores(), bufs, threads);
  if (o->do_write) reportTraced(count, nt, true, start);
  return count;
}

void tracePass(const _trel_thing* query, _trel_thing** targets, int nt, Arrays& a,
               _trel_align_buf** bufs, const _trel_options* o, const char* folder, Counts& c) {
  if (zam_debug > 0) zam_msg("Starting Trel scoring pass for %d targets...\n", nt);
  int count = 0;
  if (!query->trace.seg) {
    // A broken query admitted by -broken has no trace: nothing is scored.
    count = 0;
  } else if (!o->use_threads || o->do_stats || o->write_map) {
    count = tracePassSerial(query, targets, nt, a, bufs, o, folder);
  } else {
    count = tracePassThreaded(query, targets, nt, a, bufs, o, c.threads);
  }
  rankTraced(a, nt, o, count, c);
}

// SPF superposition of the ranked targets, one after another (each match
// runs the search's own threads): the rotational match of the query's
// potential class, the alignment from its best clusters and, with fitting
// or superposition on, the usual alignment from there. A target whose match
// found nothing gets no alignment.
void spfSuperpose(_trel_thing* query, _pdb_image* qimage, int n, _trel_thing** ranked, _trel_align** results,
                  _trel_align_buf** bufs, const _trel_options* o) {
  const _docking_spec* spec = o->docking_spec;
  if (zam_debug > 0 && spec) {
    if (spec->scan_order > 0)
      zam_msg("Starting SPF superpositions with N=%d+%d.\n", spec->scan_order, spec->order);
    else
      zam_msg("Starting SPF superpositions with N=%d.\n", spec->order);
  }
  const int pot_class = query->tag ? query->tag->pot_class : 0;
  for (int r = 0; r < n; r++) {
    _trel_thing* target = ranked[r];
    zam_msg("Superposing %s + %s (%d/%d)\n", query->name, target->name, r + 1, n);
    _docking docking{};
    _trel_align* al = nullptr;
    if (trel_matchThing(query, target, pot_class, o->docking_spec, o->s_max, &docking)) {
      _pdb_peptide* qpep = zam_makePdbPep(qimage);
      al = trel_alignMatch(query, qimage, qpep, target, pot_class, o, &docking, bufs);
      if (al && (o->do_fit || o->do_super)) {
        const Matrix3D from = al->tf;
        trel_freeAlign(al);
        al = trel_alignFitOne(query, qimage, qpep, target, &from, bufs[0], o);
      }
      zam_freePdbPep(qpep);
    }
    zam_free_solutions(&docking);
    results[r] = al;
  }
}

// Superposes and aligns the targets at ranks 0..nrefine-1: on worker threads
// after the trace pass, by SPF matches after any other pre-scoring.
void superpose(_trel_thing* query, _trel_thing** targets, Arrays& a, _trel_align_buf** bufs,
               const _trel_options* o, const Counts& c) {
  _pdb_image* qimage = trel_imageThing(query);
  if (!qimage || !query->trace.seg) return;
  if (zam_debug > 0 && o->filter_method == kTraceFilter) zam_msg("Starting Trel superpositions...\n");
  const double start = zam_get_time();
  const int n = c.nrefine;
  std::vector<_trel_thing*> ranked(n);
  std::vector<Matrix3D> starts(n);
  std::vector<_trel_align*> results(n, nullptr);
  for (int r = 0; r < n; r++) {
    const int t = a.atRank(r);
    ranked[r] = targets[t];
    starts[r] = a.transforms[t];
    // The flexible extension moves target images in place. An image that
    // can be read again exactly is loaded by the worker that aligns it and
    // freed once the query is done; the coordinates of any other are kept
    // here and put back then.
    if (!trel_thingTraced(targets[t]) || trel_thingImageReloads(targets[t])) continue;
    _pdb_image* image = trel_imageThing(targets[t]);
    if (image && image->natoms > 0) {
      a.saved[t].resize(image->natoms);
      save_image_atoms(image, a.saved[t].data());
    }
  }
  if (o->filter_method == kTraceFilter) {
    _pdb_peptide* qpep = zam_makePdbPep(qimage);
    trel_alignFitTargets(query, qimage, qpep, c.threads, n, ranked.data(), starts.data(),
                         results.data(), bufs, o);
    zam_freePdbPep(qpep);
    if (o->do_write) {
      const double s = elapsed(start);
      zam_msg("Done %d superpositions in %.4f seconds (%.0f/s).\n", n, s, n / s);
    }
  } else {
    spfSuperpose(query, qimage, n, ranked.data(), results.data(), bufs, o);
    if (o->do_write) {
      const double s = elapsed(start);
      zam_msg("Done rotational search in %.2f seconds (%.2f minutes).\n", s, s / 60.0);
    }
  }
  for (int r = 0; r < n; r++) {
    const int t = a.atRank(r);
    keepAlign(t, results[r], targets[t], qimage, a, o);
  }
}

// Frees the query's alignments and the target images that the store reads
// again exactly on demand (from the source file, imported as before, or from
// the cache or database files); any other image is put back as it was
// before the query.
void releaseQuery(_trel_thing** targets, int nt, Arrays& a) {
  for (int t = 0; t < nt; t++) {
    trel_freeAlign(a.aligns[t]);
    a.aligns[t] = nullptr;
    _pdb_image* image = targets[t] ? targets[t]->image : nullptr;
    if (image && !a.saved[t].empty() && (int)a.saved[t].size() == image->natoms)
      restore_image_atoms(image, a.saved[t].data());
    else if (image)
      trel_releaseThingImage(targets[t]);
    std::vector<Point3D>().swap(a.saved[t]);
  }
}

}  // namespace

namespace trel_query {

// Makes query q's results folder into folder. When it cannot be made, a
// comparison of every structure with every other goes on with the other
// queries (the failure is counted, the caller ends the run with it); a
// search stops.
bool openQuery(SearchRun& run, int q, char* folder) {
  const _trel_options* o = run.options;
  if (trel_result_dir(o->res_folder ? o->res_folder : "./", run.queries[q]->name, o->use_subdirs,
                      o->do_write, folder))
    return true;
  if (!run.rows) std::exit(1);
  run.rows->failed++;
  return false;
}

void showProgress(const SearchRun& run, int done) {
  if (run.rows && run.rows->progress) zam_update_gui(ZAM_UPDATE_COUNT, run.rows->progress, done, run.nq);
}

Matrix3D queryFrame(const _trel_thing* query, const _trel_options* o) {
  return (o->use_canonical == 0 && (o->do_fit || o->do_super) && query->tag) ? query->tag->frame
                                                                            : tf_identity();
}

// Query q once its targets are scored and its top targets superposed: the
// ranking, the hits, the result row, the ROC curve, the result files and
// the release of the query's alignments and images.
void finishQuery(SearchRun& run, int q, Arrays& a, const Counts& c, const char* folder,
                 const Matrix3D& qframe, double query_start) {
  _trel_thing* query = run.queries[q];
  _trel_thing** targets = run.targets;
  const int nt = run.nt, nq = run.nq;
  const _trel_options* o = run.options;
  for (int t = 0; t < nt; t++) {
    if (!a.aligns[t]) continue;
    a.aligns[t]->kscore = a.kscore[t];
    a.aligns[t]->jscore = a.jscore[t];
  }

  _trel_scores s = a.view();
  trel_rankTargets(o->do_sort, c.nrefine, nt, &s, a.order.data());
  int skip = 0;
  const int nshown = trel_selectHits(o, query, targets, nt, c.ntop, c.nshow, a.order.data(), &s,
                                     run.bufs[0], &skip);
  if (run.rows && run.rows->take) {
    const _trel_query_scores row{q, nt, c.ntop, skip, a.order.data(), &s};
    run.rows->take(run.rows->data, &row);
  }
  double mean = 0.0, sd = 0.0;
  trel_setupZscore(nt, a.jscore.data(), &mean, &sd);

  const int npos = trel_setupROC(query, targets, nt, a.order.data(), a.tpcode.data());
  _zam_roc* roc = zam_makeROC(nt, a.tpcode.data());
  run.auc[q] = zam_aucROC(roc);
  if (roc->npos == 0) {
    // Nothing to find: the AUC is 0 rather than a guess, and the user is told why.
    run.nnopos++;
    char code[TREL_CATH_NAME_SIZE];
    zam_wrn("No target is in the family [%s] of query %s: its ROC AUC is 0.\n",
            trel_cathName(trel_thingCode(query), code), query->name);
  }
  if (c.nroc > 0) {
    zam_sampleROC(roc, c.nroc, run.roc_x.data(), run.roc_y.data(), run.roc_area.data());
    trel_addROC(c.nroc, 1.0f / nq, run.auc[q], &run.sum_auc, run.roc_x.data(), run.roc_y.data(),
                run.roc_area.data(), run.sum_x.data(), run.sum_y.data(), run.sum_area.data());
    trel_writeROC(folder, query->name, run.suffix.c_str(), nt, npos, c.nroc, run.auc[q],
                  run.roc_x.data(), run.roc_y.data(), run.roc_area.data());
  }
  zam_freeROC(roc);

  _trel_written written;
  const QueryOut out{query, targets, nt, a, o, c, folder, run.suffix.c_str(), qframe, &written};
  if (o->do_write) {
    // The files of the hits an earlier run of the query showed and this one
    // does not would otherwise stay beside the new table: the earlier run's
    // record names them.
    // Each file is named in the record before it is written, so that a
    // stop before the renew leaves none the next run does not know.
    _trel_hit_pass pass;
    trel_beginHitFiles(&pass, folder, query, out.suffix);
    written.data = &pass;
    written.opening = [](void* data, const std::string& path, const std::string& hit) {
      trel_aheadHitFile(static_cast<_trel_hit_pass*>(data), path, hit);
    };
    const int failed = trel_failedFiles();
    writeResults(out, mean, sd, nshown, npos, run.auc[q]);
    std::set<std::string> shown;
    for (int t = 0; t < nt; t++)
      if (a.selected[t] && targets[t] && targets[t]->name) shown.insert(targets[t]->name);
    trel_renewHitRecord(&pass, folder, query, out.suffix, written, shown, trel_failedFiles() == failed);
  } else {
    printKeys(out);
  }

  releaseQuery(targets, nt, a);
  if (o->do_write && o->write_time) trel_writeTime(folder, query, zam_get_time() - query_start);
  if (o->do_multi) {
    // The query and its shown hits, best first, as one multiple alignment.
    std::vector<_trel_thing*> hits;
    for (int r = 0; r < nt; r++)
      if (a.selected[a.atRank(r)]) hits.push_back(targets[a.atRank(r)]);
    trel_doMulti(&query, 1, hits.data(), (int)hits.size(), run.extra, run.nextra, run.bufs,
                 run.options);
  }
  showProgress(run, q + 1);
}

}  // namespace trel_query

namespace {

// ---- The queries of a search ------------------------------------------------

// One query after the other, each spread over the worker threads by stage.
void searchByQuery(SearchRun& run, Counts& c) {
  const _trel_options* o = run.options;
  Arrays a(run.nt);
  for (int q = 0; q < run.nq; q++) {
    _trel_thing* query = run.queries[q];
    const double query_start = zam_get_time();
    char folder[TREL_PATH_MAX + 1];
    if (!openQuery(run, q, folder)) {
      showProgress(run, q + 1);
      continue;
    }
    const Matrix3D qframe = queryFrame(query, run.options);
    a.clear();
    // A descriptor filter lowers the counts to the targets it scored for this
    // query alone, so that none it could not score is superposed or shown.
    Counts qc = c;
    if (o->filter_method == kTraceFilter) {
      tracePass(query, run.targets, run.nt, a, run.bufs, o, folder, c);
      qc = c;
    } else if (o->filter_method == 0) {
      qc = c;  // every target goes to the rotational search in input order
    } else {
      lowerCounts(qc, trel_filterPass(query, run.targets, run.nt, o, a.jscore.data(), a.wscore.data(),
                                      a.kscore.data(), a.transforms.data(), a.order.data()));
    }
    if (qc.nrefine >= 1) superpose(query, run.targets, a, run.bufs, o, qc);
    finishQuery(run, q, a, qc, folder, qframe, query_start);
  }
}

}  // namespace

int trel_searchFilterUsable(const _trel_options* o) {
  if (o->filter_method >= 0 && o->filter_method <= kTraceFilter) return 1;
  zam_err("Filter method %d does not exist. Use -q0 .. -q6.\n", o->filter_method);
  return 0;
}

void trel_doSearch(_trel_thing** queries, int nq, _trel_thing** targets, int nt,
                   _trel_thing** extra, int nextra, _trel_align_buf** bufs,
                   _trel_options* options, _trel_search_rows* rows) {
  const _trel_options* o = options;
  if (!trel_searchFilterUsable(o)) std::exit(1);
  if (nq < 1 || nt < 1) return;
  const double run_start = zam_get_time();
  Counts c = setupCounts(o, nt);
  SearchRun run;
  run.queries = queries;
  run.nq = nq;
  run.targets = targets;
  run.nt = nt;
  run.extra = extra;
  run.nextra = nextra;
  run.bufs = bufs;
  run.options = options;
  run.rows = rows;
  run.suffix = (o->do_flex > 0 && o->flex_suffix > 0) ? "_flex" : "";
  run.auc.assign(nq, 0.0f);
  const int m = std::max(c.nroc, 2);
  for (auto* v : {&run.roc_x, &run.roc_y, &run.roc_area, &run.sum_x, &run.sum_y, &run.sum_area})
    v->assign(m, 0.0f);
  showProgress(run, 0);

  if (overlapped(o, c, rows))
    searchOverlapped(run, c);
  else
    searchByQuery(run, c);

  if (c.nroc > 0) {
    const char* res = o->res_folder ? o->res_folder : "./";
    trel_writeROC(res, "aggregate", run.suffix.c_str(), nt, nq, c.nroc, run.sum_auc, run.sum_x.data(),
                  run.sum_y.data(), run.sum_area.data(), run.nnopos);
    trel_writeAUC(res, "aggregate", run.suffix.c_str(), nq, queries, run.auc.data(), run.nnopos);
  }
  if (o->do_write) {
    const double s = zam_get_time() - run_start;
    zam_msg("Done %d queries in %.2f seconds (%.2f minutes).\n", nq, s, s / 60.0);
  }
}
