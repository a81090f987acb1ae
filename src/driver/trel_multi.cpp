#include "driver/trel_multi.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "driver/trel_options.h"
#include "driver/trel_refine.h"
#include "msa/trel_msa.h"
#include "output/trel_print.h"
#include "output/trel_profile_rainbow.h"
#include "output/trel_write_align.h"
#include "output/trel_write_model.h"
#include "output/trel_write_pdb.h"
#include "output/trel_write_profile.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_export.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Multiple alignments refused in this run (main thread only).
int refused_runs = 0;

// Atom coordinates of every image of a set, in list order.
using Snapshot = std::vector<std::vector<Point3D>>;

Snapshot snapshot(_trel_thing* const* things, int n) {
  Snapshot s((size_t)n);
  for (int k = 0; k < n; k++) {
    const _pdb_image* image = things[k]->image;
    if (!image || image->natoms < 1) continue;
    s[(size_t)k].resize((size_t)image->natoms);
    save_image_atoms(image, s[(size_t)k].data());
  }
  return s;
}

void restore(_trel_thing* const* things, int n, const Snapshot& s) {
  for (int k = 0; k < n; k++) {
    _pdb_image* image = things[k]->image;
    if (image && (size_t)image->natoms == s[(size_t)k].size() && !s[(size_t)k].empty())
      restore_image_atoms(image, s[(size_t)k].data());
  }
}

// One pivot trial: the members in profile row order with their pairwise
// alignments (the pivot as query), the profile built from them and the keys
// that compare trials.
struct Trial {
  int pivot = -1;
  std::vector<_trel_thing*> members;
  std::vector<_trel_align*> aligns;
  _trel_profile* profile = nullptr;
  int m10 = 0;    // M-score x 10000, truncated
  int core = 0;
  double p = 0;   // (core + 1)^(1/4) x m10

  void release() {
    trel_freeProfile(profile);
    profile = nullptr;
    for (_trel_align* a : aligns) trel_freeAlign(a);
    aligns.clear();
    members.clear();
  }
};

// Whether candidate c replaces the best trial b under the pivot rule.
bool better(int rule, const Trial& c, const Trial& b) {
  switch (rule) {
    case 0: return c.p > b.p || (c.p == b.p && c.core > b.core);
    case 1: return c.core > b.core || (c.core == b.core && c.m10 > b.m10);
    case 2: return (c.m10 > b.m10 && c.core >= 1) || (c.m10 == b.m10 && c.core > b.core);
    case 3: return c.m10 > b.m10 || (c.m10 == b.m10 && c.core > b.core);
    default: return false;
  }
}

// Superposes and aligns every other structure on things[p], moves each into
// the pivot's frame and builds the profile. False when no profile could be
// built (reported where it failed); the trial then holds nothing.
bool runTrial(_trel_thing** things, int n, int p, int threads, int nseqs, _trel_align_buf** bufs,
              const _trel_options* o, Trial& trial) {
  _trel_thing* pivot = things[p];
  _pdb_image* qimage = trel_imageThing(pivot);
  if (!qimage) return false;
  std::vector<_trel_thing*> others;
  for (int k = 0; k < n; k++)
    if (k != p) others.push_back(things[k]);
  const int m = (int)others.size();
  std::vector<Matrix3D> starts((size_t)m, tf_identity());
  std::vector<_trel_align*> aligns((size_t)m, nullptr);
  _pdb_peptide* qpep = zam_makePdbPep(qimage);
  trel_alignFitTargets(pivot, qimage, qpep, threads, m, others.data(), starts.data(), aligns.data(), bufs, o);
  zam_freePdbPep(qpep);

  // Members by decreasing pairwise M-score, read from the end of an
  // ascending sort; a member the engine could not align is left out.
  std::vector<int> usable;
  for (int k = 0; k < m; k++) {
    if (aligns[(size_t)k]) {
      usable.push_back(k);
    } else {
      zam_wrn("Could not align %s onto pivot %s: it is left out of this trial.\n", others[(size_t)k]->name,
              pivot->name);
    }
  }
  std::vector<float> keys;
  for (const int k : usable) keys.push_back(aligns[(size_t)k]->mscore);
  std::vector<int> order(usable.size());
  for (size_t k = 0; k < order.size(); k++) order[k] = (int)k;
  if (!order.empty()) zam_sortf(keys.data(), (int)order.size(), order.data());
  trial = Trial();
  trial.pivot = p;
  for (size_t k = order.size(); k-- > 0;) {
    const int i = usable[(size_t)order[k]];
    _trel_align* a = aligns[(size_t)i];
    zam_movePdb(others[(size_t)i]->image, a->tf);
    a->tf = tf_identity();
    trial.members.push_back(others[(size_t)i]);
    trial.aligns.push_back(a);
  }
  trial.profile = trial.members.empty()
                      ? nullptr
                      : trel_buildProfile(pivot->name, pivot, trial.members.data(), (int)trial.members.size(),
                                          trial.aligns.data(), nseqs, o);
  if (!trial.profile) {
    trial.release();
    return false;
  }
  trial.m10 = (int)(trial.profile->m_score * 10000.0f);
  trial.core = trial.profile->n_core;
  trial.p = std::pow((double)trial.core + 1.0, 0.25) * trial.m10;
  return true;
}

void logTrial(const Trial& t, const char* verdict) {
  zam_msg("MSA pivot %s : M=%.4f, C=%d (%s)\n", t.profile->names[0], t.m10 / 10000.0, t.core, verdict);
}

// Mean over pairs of structures of their CA RMSD over the columns of the
// working table where every structure has a residue; *columns receives
// their count. Rows built from a sequence do not count.
double coreRmsd(const _trel_profile* p, int* columns) {
  std::vector<int> rows;
  for (int r = 0; r < p->n_used; r++)
    if (p->things[r] && p->things[r]->image && !p->things[r]->image->fake && p->points[r]) rows.push_back(r);
  std::vector<int> full;
  for (int c = 0; c < p->n_cols; c++) {
    const int* col = p->table + (size_t)c * p->n_used;
    if (std::all_of(rows.begin(), rows.end(), [&](int r) { return col[r] >= 0; })) full.push_back(c);
  }
  *columns = (int)full.size();
  if (full.empty() || rows.size() < 2) return 0.0;
  double sum = 0.0;
  int pairs = 0;
  for (size_t a = 0; a < rows.size(); a++)
    for (size_t b = a + 1; b < rows.size(); b++) {
      double d2 = 0.0;
      for (const int c : full) {
        const int* col = p->table + (size_t)c * p->n_used;
        const Point3D x = p->points[rows[a]][col[rows[a]]], y = p->points[rows[b]][col[rows[b]]];
        d2 += (x.x - y.x) * (x.x - y.x) + (x.y - y.y) * (x.y - y.y) + (x.z - y.z) * (x.z - y.z);
      }
      sum += std::sqrt(d2 / (double)full.size());
      pairs++;
    }
  return sum / pairs;
}

// The anchor files of the kept trial: each member read again and superposed
// on the pivot over its anchor pairs, its pairwise files, then the PDB files
// of pivot and members and their rainbow files, all under "_anchor". No
// "_query" file of the pivot is written here: the pairwise files name the
// pivot's PDB file of the profile, which holds it in the same frame.
void writeAnchors(Trial& best, const char* folder, Matrix3D frame, const char* multi, const char* flex,
                  const _trel_options* o) {
  _trel_thing* pivot = best.profile->things[0];
  _pdb_image* qimage = trel_imageThing(pivot);
  if (!qimage) return;
  const int m = (int)best.members.size();
  for (int k = 0; k < m; k++) {
    _trel_thing* member = best.members[(size_t)k];
    _pdb_image* image = trel_imageThingAlign(member, best.aligns[(size_t)k], nullptr);
    if (!image) continue;
    _trel_pair_names names = trel_hitPairNames(pivot->name, member->name, "_anchor");
    names.query_out = qimage->fake ? "" : trel_memberPdbName(best.profile, 0, flex);
    trel_writeAlignNamed(best.aligns[(size_t)k], qimage, image, names, folder, frame, o);
    if (o->write_krmsd) trel_writeKrmsdNamed(best.aligns[(size_t)k], qimage, image, names, folder);
  }
  // Written in row order: the ranking is read from its end.
  std::vector<Matrix3D> transforms((size_t)m, tf_identity());
  std::vector<int> order((size_t)m), selected((size_t)m, 1);
  for (int k = 0; k < m; k++) order[(size_t)k] = m - 1 - k;
  trel_writeTargetPDBs(pivot, m, best.members.data(), best.aligns.data(), transforms.data(), order.data(),
                       selected.data(), "_anchor", folder, frame, o);
  if (o->write_rainbow && (o->write_zam || o->write_vmd))
    trel_writeProfileRainbow(best.profile, 1, frame, multi, "_anchor", folder, o);
}

// The modelling folder of every sequence row: a results sub-folder named
// after the sequence.
void writeModels(const _trel_profile* profile, _trel_thing** seqs, int nseqs, const _trel_options* o) {
  zam_msg("\n");
  for (int k = 0; k < nseqs; k++) {
    if (!seqs[k]) continue;
    char folder[TREL_PATH_MAX + 1];
    if (trel_result_dir(o->res_folder ? o->res_folder : "./", seqs[k]->name, 1, 1, folder))
      trel_writeModelProfile(seqs[k], profile, folder, o->n_modeller, o);
  }
}

void writeResults(Trial& best, const char* multi, const char* flex, _trel_thing** seqs, int nseqs,
                  const _trel_options* o) {
  _trel_profile* profile = best.profile;
  char folder[TREL_PATH_MAX + 1];
  if (!trel_result_dir(o->res_folder ? o->res_folder : "./", profile->name, o->do_write, o->use_subdirs, folder)) {
    zam_wrn("No results folder for the multiple alignment %s: its files are not written.\n", profile->name);
    return;
  }
  zam_msg("Writing MSA results with pivot = %s to FOLDER = %s\n", profile->names[0], folder);
  const _trel_thing* pivot = profile->things[0];
  const Matrix3D frame = pivot->tag ? pivot->tag->frame : tf_identity();
  trel_writeProfile(profile, 1, frame, multi, flex, folder, o);
  if (o->do_model && o->write_modeller && nseqs > 0) writeModels(profile, seqs, nseqs, o);
  if (o->write_pdb && o->write_rainbow && (o->write_zam || o->write_vmd))
    trel_writeProfileRainbow(profile, 1, frame, multi, flex, folder, o);
  if (o->write_anchor) writeAnchors(best, folder, frame, multi, flex, o);
}

}  // namespace

int trel_doMultiOne(_trel_thing** things, int n, _trel_thing** seqs, int nseqs, _trel_align_buf** bufs,
                    _trel_options* options) {
  const _trel_options* o = options;
  const double start = zam_get_time();
  const int threads = o->use_threads ? zam_thread_cpus() : 1;
  const char* flex = o->do_flex > 0 && o->flex_suffix > 0 ? "_flex" : "";
  const char* multi = o->do_multi > 0 && o->multi_suffix > 0 ? "_multi" : "";

  // Every trial starts from the coordinates the structures were loaded with;
  // the kept trial's superposition is saved and put back at the end.
  const Snapshot loaded = snapshot(things, n);
  Snapshot kept;
  Trial best;
  const int trials = o->with_pivot > 0 ? n : 1;
  for (int p = 0; p < trials; p++) {
    if (p > 0) restore(things, n, loaded);
    Trial candidate;
    if (!runTrial(things, n, p, threads, nseqs, bufs, o, candidate)) continue;
    if (!best.profile || better(o->pivot_rule, candidate, best)) {
      logTrial(candidate, "keeping");
      if (zam_debug > 0) trel_printProfile(candidate.profile, 1, o);
      best.release();
      best = candidate;
      kept = snapshot(things, n);
    } else {
      logTrial(candidate, "discarding");
      candidate.release();
    }
  }
  if (!best.profile) {
    zam_err("No multiple alignment could be built around any pivot.\n");
    return 0;
  }
  restore(things, n, kept);

  _trel_profile* profile = best.profile;
  if (o->job_name && o->job_name[0]) {
    kfree(profile->name);
    profile->name = kdupS(o->job_name);
  }
  if (o->refine_msa && n > 2) {
    zam_msg("\nTrying to refine the MSA using consensus coordinates...\n");
    trel_refineProfileCons(profile, o);
  }
  if (nseqs > 0) trel_addProfile(profile, seqs, nseqs, o);
  if (o->do_write) writeResults(best, multi, flex, seqs, nseqs, o);

  const double seconds = std::max(zam_get_time() - start, 1e-8);
  if (o->with_pivot < 1)
    zam_msg("Done single pivot MSA for %d targets in %.4f seconds.\n", n, seconds);
  else
    zam_msg("Done multi pivot MSA for %d targets in %.4f seconds.\n", n, seconds);
  int full = 0;
  const double rmsd = coreRmsd(profile, &full);
  zam_msg("Best MSA has %d columns aligned in every structure, mean pairwise CA RMSD over them = %.3f\n", full,
          rmsd);
  zam_msg("Best MSA has pivot = %s, M=%.4f, C=%d, P=%.4f\n\n", profile->names[0], profile->m_score,
          profile->n_core, trel_profilePscore(profile->m_score, profile->n_core));
  trel_printProfile(profile, 1, o);
  best.release();
  return 1;
}

int trel_doMulti(_trel_thing** queries, int nq, _trel_thing** targets, int nt, _trel_thing** seqs, int nseqs,
                 _trel_align_buf** bufs, _trel_options* options) {
  std::vector<_trel_thing*> list;
  for (int k = 0; k < nq + nt; k++) {
    _trel_thing* t = k < nq ? queries[k] : targets[k - nq];
    if (!trel_thingTraced(t)) continue;
    if (!trel_imageThing(t)) continue;  // the reader said why
    list.push_back(t);
  }
  // Loaded images are let go of afterwards as the search does: freed when
  // they can be read again exactly, else put back where they were.
  const Snapshot before = snapshot(list.data(), (int)list.size());
  int ok = 0;
  if (list.size() < 2) {
    zam_err("A multiple alignment needs at least two structures with backbone traces, but %d %s given.\n",
            (int)list.size(), list.size() == 1 ? "was" : "were");
    refused_runs++;
  } else {
    ok = trel_doMultiOne(list.data(), (int)list.size(), seqs, nseqs, bufs, options);
    if (!ok) refused_runs++;
  }
  restore(list.data(), (int)list.size(), before);
  for (_trel_thing* t : list) trel_releaseThingImage(t);
  return ok;
}

int trel_multiRefused() { return refused_runs; }
