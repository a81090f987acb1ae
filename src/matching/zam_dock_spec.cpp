#include "matching/zam_dock_spec.h"

#include <cmath>

#include "matching/zam_matcher.h"
#include "matching/zam_platonic.h"
#include "runtime/kids.h"

namespace {

// Shared by both presets: the fields whose values the matching preset takes
// from the docking defaults unchanged.
void setWeights(_docking_spec* s) {
  s->ligand_weight_p = 0.0;
  s->ligand_weight_q = 12.0;
  s->grid_weight = 0.6;
  s->receptor_shape_weight = 700.0;
  s->skin_weight = 0.0;
  s->elec_weight = 1.0;
  s->piper_weight = 5.0;
}

// Shared by the tool's start-up values and the matching preset: the coarser
// search (fewer solutions and samples, lower band limits, a short r12 range).
void setSearchSampling(_docking_spec* s) {
  s->max_solutions = 1000;
  s->problem_type = 1;
  s->scan_order = 0;
  s->order = 10;
  s->fft_mode = 3;
  s->gpu_devices = 0;
  s->refine_mode = 0;
  s->r12_substeps = 0;
  s->receptor_samples = 162;
  s->ligand_samples = 492;
  s->twist_samples = 64;
  s->receptor_bandlimit = 12;
  s->ligand_bandlimit = 18;
  s->twist_bandlimit = 32;
  s->receptor_step = 20.0;
  s->ligand_step = 10.0;
  s->twist_step = 5.6;
  s->r12_step = 0.8;
  s->r12_offset = 0.0;
  s->r12_range = 6.0;
  s->grid_spacing = 0.6;
  s->receptor_range = M_PI;
  s->ligand_range = M_PI;
  s->twist_range = 2.0 * M_PI;
}

}  // namespace

void zam_setDockSpec(_docking_spec* s) {
  if (!s) return;
  s->max_solutions = 2000;
  s->problem_type = 2;
  s->score_type = 0;
  s->scan_order = 18;
  s->order = 25;
  s->fft_mode = 3;
  s->gpu_devices = 0;
  s->refine_mode = 0;
  s->receptor_samples = 812;
  s->ligand_samples = 812;
  s->twist_samples = 64;
  s->receptor_bandlimit = 24;
  s->ligand_bandlimit = 24;
  s->twist_bandlimit = 32;
  s->r12_substeps = 0;
  s->symmetry = 0;
  s->symmetry_min = 2;
  s->symmetry_max = 2;
  s->omega_range = M_PI;
  s->sym_local = 1;
  s->sym_LtoW = 1.0;
  s->score_scale = 1.0;
  s->score_threshold = 0.0;
  s->receptor_step = 7.5;
  s->ligand_step = 7.5;
  s->twist_step = 5.5;
  s->r12_step = 0.8;
  s->r12_offset = 0.0;
  s->r12_range = 60.0;
  s->grid_spacing = 0.6;
  s->potential_scale = 0.8;
  s->potential_cutoff = 60.0;
  s->receptor_range = M_PI;
  s->ligand_range = M_PI;
  s->twist_range = 2.0 * M_PI;
  s->box_mode = 0;
  s->box_size = 10.0;
  setWeights(s);
}

void setup_zam_options(_docking_spec* s) {
  if (!s) return;
  zam_setDockSpec(s);
  setSearchSampling(s);
  s->potential_cutoff = 40.0;
}

void zam_setMatchSpec(_docking_spec* s) {
  if (!s) return;
  setSearchSampling(s);
  s->score_type = 0;
  s->symmetry = 0;
  s->symmetry_min = 0;
  s->symmetry_max = 0;
  s->omega_range = 0.0;
  s->sym_local = 1;
  s->sym_LtoW = 1.0;
  s->score_scale = 1.0;
  s->potential_cutoff = 60.0;
  s->box_mode = 1;
  s->box_size = 6.0;
  setWeights(s);
}

double zam_dock_score_scale(const _docking_spec* s) {
  if (!s || s->score_scale == 0.0) return 1.0;
  return s->score_scale;
}

void zam_alloc_solutions(_docking* d, int n) {
  if (!d) return;
  zam_free_solutions(d);
  if (n < 0) n = 0;
  d->solutions = static_cast<_solution*>(kget1B_0(static_cast<int64_t>(n) * sizeof(_solution)));
  d->order = kget1I_0(n);
  d->cluster = kget1I_0(n);
  d->index = kget1I_0(n);
  for (int i = 0; i < n; ++i) {
    _solution& s = d->solutions[i];
    s.receptor_model = 1;
    s.ligand_model = 1;
    s.bumps = -1;
    d->order[i] = i;
    d->cluster[i] = i;
    d->index[i] = i;
  }
  d->n_solutions = n;
  d->n_kept = 0;
  d->n_clusters = 0;
}

void zam_free_solutions(_docking* d) {
  if (!d) return;
  if (d->solutions) {
    for (int i = 0; i < d->n_solutions; ++i) {
      zam_delete_rotamers(&d->solutions[i].receptor_rotamers);
      zam_delete_rotamers(&d->solutions[i].ligand_rotamers);
    }
  }
  kfree(d->index);
  d->index = nullptr;
  kfree(d->cluster);
  d->cluster = nullptr;
  kfree(d->solutions);
  d->solutions = nullptr;
  kfree(d->order);
  d->order = nullptr;
  d->n_solutions = 0;
  d->n_kept = 0;
  d->n_clusters = 0;
}

int zam_fft_bandlimit(double step) {
  if (!(step > 0.0)) return 1;
  // The tolerance keeps whole ratios (7.5 degrees: 24) from rounding down.
  const double b = M_PI / step + 1e-9;
  if (b >= 4096.0) return 4096;
  return b < 1.0 ? 1 : static_cast<int>(b);
}

void zam_dock_derive_samples(_docking_spec* s) {
  if (!s) return;
  const double rad = M_PI / 180.0;
  s->receptor_bandlimit = zam_fft_bandlimit(s->receptor_step * rad);
  s->ligand_bandlimit = zam_fft_bandlimit(s->ligand_step * rad);
  s->twist_bandlimit = zam_fft_bandlimit(s->twist_step * rad);
  s->receptor_samples = platonic_resolution(s->receptor_step * rad);
  s->ligand_samples = platonic_resolution(s->ligand_step * rad);
  s->twist_samples = 2 * s->twist_bandlimit;
}

Matrix3D zam_solution_tf(const _solution* s) {
  const Matrix3D lig = tf_euler(s->ligand_rotation);
  const Matrix3D shift = tf_v(v_make(0.0, 0.0, s->r12));
  return tf_tftf(tf_tftf(lig, shift), tf_transpose(tf_euler(s->receptor_rotation)));
}
