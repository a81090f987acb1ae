#include "driver/trel_model.h"

#include <algorithm>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_pair.h"
#include "driver/trel_options.h"
#include "driver/trel_search.h"
#include "driver/trel_search_query.h"
#include "output/trel_pair_names.h"
#include "output/trel_write_align.h"
#include "output/trel_write_model.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_cath.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

float percent(int part, int whole) { return whole > 0 ? 100.0f * (float)part / (float)whole : 0.0f; }

// The per-target results of one scan.
struct Scan {
  explicit Scan(int nt)
      : kscore(nt, 0.0f), wscore(nt, 0.0f), jscore(nt, 0.0f), ntrace(nt, 0), nmatched(nt, 0), nident(nt, 0),
        tlength(nt, 0), ncolumns(nt, 0), selected(nt, 0), kept(nt, 0), order(nt), aligns(nt, nullptr) {
    for (int t = 0; t < nt; t++) order[(size_t)t] = t;
  }
  ~Scan() {
    for (_trel_align* a : aligns) trel_freeAlign(a);
  }
  std::vector<float> kscore, wscore, jscore;
  std::vector<int> ntrace, nmatched, nident, tlength, ncolumns, selected, kept, order;
  std::vector<_trel_align*> aligns;
  int atRank(int r) const { return order[order.size() - 1 - (size_t)r]; }
};

// Pre-scores every target by the search's trace pass; returns the number
// scored.
int prescore(_trel_thing* query, _trel_thing** targets, int nt, Scan& s, _trel_align_buf** bufs,
             const _trel_options* o) {
  const double start = zam_get_time();
  const trel_query::TraceScores out{s.wscore.data(), s.kscore.data(), s.ntrace.data(), s.jscore.data()};
  const bool serial = !o->use_threads || o->do_stats || o->write_map;
  const int count = serial ? trel_query::traceSerial(query, targets, nt, out, bufs)
                           : trel_query::traceThreaded(query, targets, nt, out, bufs, zam_thread_cpus());
  if (o->do_write) trel_query::reportTraced(count, nt, !serial, start);
  return count;
}

// The identity filter over the top nre ranks: the best is kept, each next
// one unless it is at least nr_percent identical to a kept one.
void identityFilter(_trel_thing** targets, int nre, Scan& s, _trel_align_buf* buf, float nr_percent) {
  zam_msg("\nApplying sequence identity filter to top %d target sequences...\n", nre);
  std::vector<int> kept;
  for (int r = 0; r < nre; r++) {
    const int t = s.atRank(r);
    bool keep = true;
    for (auto k = kept.rbegin(); keep && k != kept.rend(); ++k) {
      _trel_thing* a = targets[t];
      _trel_thing* b = targets[*k];
      if (!trel_thingTraced(a) || !trel_thingTraced(b)) continue;
      _trel_align* al = trel_makeAlignNoFit(trel_thingResidues(a), trel_thingResidues(b), a->trace.seg, b->trace.seg, buf);
      if (al && percent(al->nidentity, al->nmatched) >= nr_percent) keep = false;
      trel_freeAlign(al);
    }
    if (keep) kept.push_back(t);
  }
  for (const int t : kept) s.kept[(size_t)t] = 1;
  zam_msg("Found %d distinct sequences at %.2f percent identity level.\n", (int)kept.size(), nr_percent);
}

void printTable(const _trel_thing* query, _trel_thing** targets, int nt, const Scan& s, int nlisted) {
  const std::string rule72(72, '='), rule73(73, '=');
  zam_msg("\n");
  zam_msg("%s\n", rule72.c_str());
  zam_msg("Top %d sequence matches for %s (length %d)\n", nlisted, query->name, trel_thingResidues(query));
  zam_msg("%s\n", rule73.c_str());
  zam_msg(" Rank  K-Score  J-Score   M/*   N/$   I/@   I/P   Len  Match [Family]\n");
  zam_msg("=====  =======  =======   ===   ===   ===   ===   ===  ==================\n");
  double sum_k = 0, sum_j = 0, sum_p = 0;
  long sum_m = 0, sum_n = 0, sum_i = 0, sum_l = 0;
  for (int r = 0; r < nt; r++) {
    const int t = s.atRank(r);
    if (!s.selected[(size_t)t]) continue;
    const float pid = percent(s.nident[(size_t)t], s.nmatched[(size_t)t]);
    char code[TREL_CATH_NAME_SIZE];
    trel_cathName(trel_thingCode(targets[t]), code);
    zam_msg("%5d %8.2f %7.4f %6d%6d%6d%6.1f%6d  %s[%s]\n", r + 1, s.kscore[(size_t)t], s.jscore[(size_t)t],
            s.nmatched[(size_t)t], s.ntrace[(size_t)t], s.nident[(size_t)t], pid, s.tlength[(size_t)t],
            targets[t]->name, code);
    sum_k += s.kscore[(size_t)t];
    sum_j += s.jscore[(size_t)t];
    sum_p += pid;
    sum_m += s.nmatched[(size_t)t];
    sum_n += s.ntrace[(size_t)t];
    sum_i += s.nident[(size_t)t];
    sum_l += s.tlength[(size_t)t];
  }
  const int n = std::max(nlisted, 1);
  zam_msg("%s\n", rule72.c_str());
  zam_msg(" Mean %8.2f %7.4f %6d%6d%6d%6.1f%6d\n", sum_k / n, sum_j / n, (int)(sum_m / n), (int)(sum_n / n),
          (int)(sum_i / n), sum_p / n, (int)(sum_l / n));
  zam_msg("%s\n", rule72.c_str());
  zam_msg("\n");
}

// The best template's alignment files, without PDB, ".trw", ".krmsd" and
// ProFit files: nothing is superposed, so they name no superposed PDB file
// (the query is a sequence; the template's own PDB file is in its modelling
// folder).
void writeBest(_trel_thing* query, _trel_thing* best, _trel_align* align, const char* folder,
               const _trel_options* o) {
  _pdb_image* qimage = trel_imageThing(query);
  _pdb_image* timage = trel_imageThing(best);
  if (!qimage || !timage) return;
  _trel_options quiet = *o;
  quiet.write_pdb = quiet.write_trw = quiet.write_krmsd = quiet.write_profit = 0;
  const char* flex = o->do_flex > 0 && o->flex_suffix > 0 ? "_flex" : "";
  _trel_pair_names names = trel_pairNames(qimage->name, timage->name, "_query", flex);
  names.query_out = names.target_out = names.query_mask_out = names.target_mask_out = "";
  trel_writeAlignNamed(align, qimage, timage, names, folder, tf_identity(), &quiet);
}

}  // namespace

int trel_doScan(_trel_thing* query, _trel_thing** targets, int nt, _trel_align_buf** bufs,
                _trel_options* options) {
  const _trel_options* o = options;
  const double start = zam_get_time();
  if (!query || nt < 1) {
    zam_err("No target structures to scan for a template.\n");
    return -1;
  }
  int ntop = std::clamp(o->n_top, 1, nt);
  const int nshow = std::clamp(o->n_show, 1, nt);
  ntop = std::max(ntop, nshow);
  if (zam_debug > 0) zam_msg("Starting Trel scoring...\n");

  Scan s(nt);
  const int count = query->trace.seg ? prescore(query, targets, nt, s, bufs, o) : 0;
  if (count < 1) {
    zam_err("No target structure could be scored against sequence %s: no template, no files written.\n",
            query->name);
    return -1;
  }
  zam_sortf(s.jscore.data(), nt, s.order.data());

  const int nre = std::min(ntop, count), nlist = std::min(nshow, count);
  const double realign = zam_get_time();
  for (int r = 0; r < nre; r++) {
    const int t = s.atRank(r);
    _trel_thing* target = targets[t];
    s.tlength[(size_t)t] = trel_thingResidues(target);
    if (!trel_thingTraced(target)) continue;
    _trel_align* al = trel_makeAlignNoFit(trel_thingResidues(query), trel_thingResidues(target), query->trace.seg,
                                          target->trace.seg, bufs[0]);
    s.aligns[(size_t)t] = al;
    if (!al) continue;
    s.nmatched[(size_t)t] = al->nmatched;
    s.nident[(size_t)t] = al->nidentity;
    s.ncolumns[(size_t)t] = al->ncolumns;
  }
  zam_msg("Re-scored top %d alignments in %.4f seconds (%.0f/s).\n", nre, trel_query::elapsed(realign),
          nre / trel_query::elapsed(realign));

  if (o->nr_percent > 0.0f && o->nr_percent < 100.0f)
    identityFilter(targets, nre, s, bufs[0], o->nr_percent);
  else
    std::fill(s.kept.begin(), s.kept.end(), 1);
  // The first nlist kept targets are listed; one without a realignment (no
  // trace) has nothing to list.
  int listed = 0;
  for (int r = 0; r < nt; r++) {
    const int t = s.atRank(r);
    const bool take = listed < nlist && s.kept[(size_t)t] && s.aligns[(size_t)t];
    s.selected[(size_t)t] = take ? 1 : 0;
    if (take) listed++;
  }

  // The query's folder is made only now that there is something to write.
  char folder[TREL_PATH_MAX + 1];
  if (!trel_result_dir(o->res_folder ? o->res_folder : "./", query->name, o->do_write, o->use_subdirs, folder))
    return -1;
  const int best = s.atRank(0);
  if (!s.aligns[(size_t)best]) {
    zam_err("The best template %s for sequence %s could not be aligned: no files written.\n", targets[best]->name,
            query->name);
    return -1;
  }
  if (o->do_write) writeBest(query, targets[best], s.aligns[(size_t)best], folder, o);
  printTable(query, targets, nt, s, listed);

  if (o->do_write && o->do_model && o->write_modeller) {
    _pdb_image* qimage = trel_imageThing(query);
    for (int r = 0; qimage && r < nt; r++) {
      const int t = s.atRank(r);
      if (!s.selected[(size_t)t]) continue;
      _trel_thing* target = targets[t];
      if (!trel_imageThing(target)) continue;  // the store said why
      const std::string sub = zam_fileName({qimage->name ? qimage->name : query->name,
                                            target->image->name ? target->image->name : target->name},
                                           "");
      char model_folder[TREL_PATH_MAX + 1];
      if (trel_result_dir(o->res_folder ? o->res_folder : "./", sub.c_str(), 1, 1, model_folder))
        trel_writeModelAlign(query, target, s.aligns[(size_t)t], model_folder, o->n_modeller, o);
      trel_releaseThingImage(target);
    }
  }
  trel_releaseThingImage(targets[best]);
  if (o->do_write) {
    const double seconds = zam_get_time() - start;
    zam_msg("Done sequence scan in %.2f seconds (%.2f minutes).\n", seconds, seconds / 60.0);
  }
  return best;
}

int trel_doModel(_trel_thing** queries, int nq, _trel_thing** targets, int nt, const char* template_name,
                 _trel_align_buf** bufs, _trel_options* options) {
  int failed = 0;
  const _trel_kweights saved = trel_getKWeights();
  for (int q = 0; q < nq; q++) {
    _trel_thing* query = queries[q];
    if (!query || !query->valid || !trel_thingTraced(query)) {
      failed++;  // reported where it was opened
      continue;
    }
    if (!options->do_multi || nt < 2) {
      trel_setKWeights(kTrelBlosumOnly);
      if (trel_doScan(query, targets, nt, bufs, options) < 0) failed++;
      trel_setKWeights(saved);
      continue;
    }
    int idx = -1;
    if (!template_name) {
      const int model = options->do_model;
      options->do_model = 0;  // the scan only chooses the seed
      trel_setKWeights(kTrelBlosumOnly);
      idx = trel_doScan(query, targets, nt, bufs, options);
      trel_setKWeights(saved);
      options->do_model = model;
      if (idx < 0) {
        zam_err("Sequence scan found NO template structure!\n");
        failed++;
        continue;
      }
    } else {
      idx = trel_lookupThing(template_name, targets, nt);
      if (idx < 0) {
        zam_err("Given template structure (%s) NOT FOUND!\n", template_name);
        failed++;
        continue;
      }
      zam_msg("Using given TEMPLATE structure: %s\n", targets[idx]->name);
    }
    zam_msg("Making a multiple structure alignment with seed TEMPLATE %s ...\n", targets[idx]->name);
    std::vector<_trel_thing*> others;
    for (int t = 0; t < nt; t++)
      if (t != idx) others.push_back(targets[t]);
    trel_doSearch(&targets[idx], 1, others.data(), (int)others.size(), &query, 1, bufs, options, nullptr);
  }
  return failed;
}

int trel_processModel(const char* folder, const char* pdb_file, int mode) {
  _pdb_image* image = zam_readPdb(pdb_file, nullptr);  // reports a file it cannot read
  if (!image) {
    zam_err("No theoretical models: cannot read PDB file %s\n", pdb_file);
    return 0;
  }
  const int residues = image->nres;
  const int written = trel_makeTraceModel(folder, image, mode, -1);
  zam_freePdb(image);
  if (residues < 1) {
    zam_err("No residues in PDB file %s: no theoretical models written.\n", pdb_file);
    return 0;
  }
  if (written < residues) {
    zam_err("%d of %d theoretical model files could not be written.\n", residues - written, residues);
    return 0;
  }
  return 1;
}
