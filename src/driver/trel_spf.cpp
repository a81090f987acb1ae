#include "driver/trel_spf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "driver/trel_options.h"
#include "driver/trel_refine.h"
#include "geometry/zam_qcp.h"
#include "harmonics/zam_ligand_move.h"
#include "matching/zam_matcher.h"
#include "output/trel_print.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "store/trel_cache.h"
#include "store/trel_pot.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr double kDeg = 180.0 / 3.14159265358979323846;
constexpr int kClusterWindow = 200;

// A molecule of one model (index 0, the molecule itself) over the caller's arrays.
void make_molecule(_molecule* m, _molecule_model* model, const char* name, const char* label, double* tau,
                   double* sig) {
  *m = _molecule{};
  *model = _molecule_model{};
  m->loaded = 1;
  m->model_kind = 0;
  m->name = zam_vm_strdup(name ? name : "");
  m->models = model;
  model->id = 1;
  std::snprintf(model->label, sizeof model->label, "%s", label);
  model->shape = tau;
  model->skin = sig;
}

// The class's arrays of an object, read from their files when not held.
bool classArrays(_trel_thing* t, int pot_class, int order) {
  if (!t->tau[pot_class]) trel_readThingTau(t, pot_class, order);
  if (!t->sig[pot_class]) trel_readThingSig(t, pot_class, order);
  return t->tau[pot_class] && t->sig[pot_class];
}

}  // namespace

void trel_matcher(const char* query_name, const char* target_name, double* query_tau, double* query_sig,
                  double* target_tau, double* target_sig, int pot_class, int n_show, _docking_spec* spec,
                  _docking* d) {
  _molecule A, B;
  _molecule_model a, b;
  make_molecule(&A, &a, query_name, "A", query_tau, query_sig);
  make_molecule(&B, &b, target_name, "B", target_tau, target_sig);
  // The search's steps and its table go to the log alone; its warnings and
  // errors, on whichever of its threads, are shown too.
  const bool quiet = zam_debug <= 1;
  if (quiet) zam_logger_quiet(1);
  zam_matcher(spec, d, &A, &B);

  const double scale = trel_potScale(pot_class);
  for (int i = 0; i < d->n_kept; i++) {
    _solution& s = d->solutions[i];
    s.Etotal = s.Etotal / -1000.0f;
    s.Eshape = s.Eshape / -1000.0f;
    s.r12 = (float)(s.r12 / scale);
  }
  zam_msg("Scores for fixed query = %s + moving target = %s\n\n", A.name, B.name);
  zam_msg(" Soln  Score    Target Euler Rotation  PDB Translation  PDB (SPF) Shift\n");
  zam_msg("-----  ------   ---------------------  ---------------  ---------------\n");
  for (int i = 0; i < std::min(n_show, d->n_kept); i++) {
    const _solution& s = d->solutions[i];
    Point3D t;
    Matrix3D r;
    tr_tf(&t, &r, trel_pdbMatrix(&s));
    const Euler e = euler_tf(r);
    zam_msg("%5d %7.4f   %6.1f %6.1f %6.1f   %5.1f %5.1f %5.1f  %5.1f (%.1f)\n", i + 1, s.Etotal, e.alpha * kDeg,
            e.beta * kDeg, e.gamma * kDeg, t.x, t.y, t.z, s.r12, s.r12 * scale);
  }
  zam_msg("----------------------------------------------------------------------\n");
  if (quiet) zam_logger_quiet(0);
  zam_vm_free(A.name);
  zam_vm_free(B.name);
}

Matrix3D trel_pdbMatrix(const _solution* s) { return zam_solution_tf(s); }

Matrix3D trel_spfMatrix(int pot_class, Matrix3D T) {
  const double s = trel_potScale(pot_class);
  T.m[3] *= s;
  T.m[7] *= s;
  T.m[11] *= s;
  return T;
}

int trel_move_anlm(int pot_class, const _solution* s, int N, const double* in, double* out) {
  (void)pot_class;
  const int kind = 1;
  return zam_ligand_move_anlm(N, 1, &kind, s->r12, s->receptor_rotation, s->ligand_rotation, in, out);
}

int trel_matchThing(_trel_thing* query, _trel_thing* target, int pot_class, _docking_spec* spec, int n_show,
                    _docking* docking) {
  if (pot_class < 0 || pot_class >= TREL_POT_CLASSES || !spec) {
    zam_free_solutions(docking);
    return 0;
  }
  const int order = query->tag && query->tag->order > 0 ? query->tag->order : spec->order;
  for (_trel_thing* t : {query, target}) {
    if (classArrays(t, pot_class, order)) continue;
    zam_wrn("No SPF coefficients of class %d for %s: it cannot be superposed by SPF.\n", pot_class, t->name);
    zam_free_solutions(docking);
    return 0;
  }
  trel_matcher(query->name, target->name, query->tau[pot_class], query->sig[pot_class], target->tau[pot_class],
               target->sig[pot_class], pot_class, n_show, spec, docking);
  return 1;
}

void trel_clusterThing(_trel_thing* target, int flag, _docking* docking, float threshold) {
  (void)flag;
  const int n = docking->n_kept;
  if (n <= 1) return;
  const double t0 = zam_get_time();
  _pdb_image* image = trel_imageThing(target);
  Point3D* ca = image ? zam_ptsPdb(image, 2) : nullptr;
  // Residues without a C-alpha atom give no point: only the points there are count.
  const int m = ca ? std::min<int64_t>(image->nres, zam_vm_get_size(ca) / (int64_t)sizeof(Point3D)) : 0;
  if (m < 4) {
    zam_wrn("Target %s has less than 4 CA atoms. Cannot cluster solutions.\n", target->name);
    kfree(ca);
    return;
  }
  std::vector<Point3D> moved((size_t)n * m);
  for (int i = 0; i < n; i++) {
    const Matrix3D M = trel_pdbMatrix(&docking->solutions[i]);
    for (int k = 0; k < m; k++) moved[(size_t)i * m + k] = pt_tfpt(M, ca[k]);
  }
  int* cluster = docking->cluster;
  std::fill(cluster, cluster + n, -1);
  int k = 0;
  for (int i = 0; i < n; i++) {
    if (cluster[i] >= 0) continue;
    cluster[i] = k;
    docking->index[k] = i;
    for (int j = i + 1; j < std::min(i + kClusterWindow, n); j++)
      if (cluster[j] < 0 && rms_pts(m, &moved[(size_t)i * m], &moved[(size_t)j * m]) < threshold) cluster[j] = k;
    k++;
  }
  docking->n_clusters = k;
  if (zam_debug > 0)
    zam_log("Clustering found %d clusters from %d docking solutions in %.2lf seconds.\n", k, n, zam_get_time() - t0);
  kfree(ca);
}

_trel_align* trel_alignMatch(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep, _trel_thing* target,
                             int pot_class, const _trel_options* options, _docking* docking,
                             _trel_align_buf** buffers) {
  trel_clusterThing(target, pot_class, docking, options->ca_contact);
  if (!docking || docking->n_kept < 1) return nullptr;
  if (!query || !qimage) return nullptr;
  _pdb_image* timage = usable_target_image(target);
  if (!timage) return nullptr;
  const int Lq = qimage->nres, Lt = timage->nres;
  if (!query->trace.seg || query->trace.n < Lq || target->trace.n < Lt) return nullptr;
  // The leaders of the clusters in cluster order (every solution when they
  // were not clustered), each with its 1-based cluster number.
  std::vector<int> leaders, numbers;
  if (docking->n_kept > 1 && docking->n_clusters > 0) {
    for (int k = 0; k < docking->n_clusters; k++) {
      leaders.push_back(docking->index[k]);
      numbers.push_back(k + 1);
    }
  } else {
    leaders.push_back(0);
    numbers.push_back(1);
  }
  const int n = std::min((int)leaders.size(), std::max(options->s_top, 1));
  const Matrix3D frame = query->tag ? query->tag->frame : tf_identity();
  // The flexible extension moves the image: every start begins from the
  // coordinates the image had.
  std::vector<Point3D> atoms(timage->natoms);
  save_image_atoms(timage, atoms.data());
  auto alignFrom = [&](int k) {
    restore_image_atoms(timage, atoms.data());
    const Matrix3D M = trel_pdbMatrix(&docking->solutions[leaders[k]]);
    return trel_makeAlignFit(Lq, Lt, options->anchor_rule, 0, -1, options->fit_cycles, options->do_flex,
                             options->do_tight, options->do_tidy, query->trace.seg, target->trace.seg, qpep, timage,
                             M, frame, options->ca_range, options->ca_contact, options->ca_match, buffers[0]);
  };
  _trel_align* best = nullptr;
  int at = -1;
  float best_g = -1.0f;
  for (int k = 0; k < n; k++) {
    _trel_align* al = alignFrom(k);
    if (al && al->gscore > best_g) {
      trel_freeAlign(best);
      best = al;
      best_g = al->gscore;
      at = k;
    } else {
      trel_freeAlign(al);
    }
  }
  if (best && at != n - 1) {
    // Leave the image as the best alignment made it.
    trel_freeAlign(best);
    best = alignFrom(at);
  }
  if (!best) restore_image_atoms(timage, atoms.data());
  if (best && zam_debug == 1) {
    zam_msg("Best G-score is at cluster %d\n", at + 1);
    zam_msg("Cluster %d(%d)+fit, L = %d, M = %.4f, RMSD = %.4f\n", at + 1, numbers[at], best->naligned, best->mscore,
            best->rmsd_matched);
    trel_printAlign(best, qimage, timage, options->n_columns);
  }
  return best;
}
