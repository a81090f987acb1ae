#include "matching/zam_dock_spec.h"

#include <cmath>

#include "matching/zam_matcher.h"
#include "matching/zam_platonic.h"
#include "runtime/kids.h"

namespace {

// The sampling of a preset's search: solutions kept, problem type, orders,
// rotation samples and band limits, angular steps and the distance range.
struct Sampling {
  int max_solutions, problem_type, scan_order, order;
  int receptor_samples, ligand_samples, twist_samples;
  int receptor_bandlimit, ligand_bandlimit, twist_bandlimit;
  double receptor_step, ligand_step, twist_step, r12_range;
};

// The docking defaults, and the coarser search of the tool's start-up values
// and of the matching preset (fewer solutions and samples, lower band
// limits, a short distance range).
constexpr Sampling kDockSampling{2000, 2, 18, 25, 812, 812, 64, 24, 24, 32, 7.5, 7.5, 5.5, 60.0};
constexpr Sampling kSearchSampling{1000, 1, 0, 10, 162, 492, 64, 12, 18, 32, 20.0, 10.0, 5.6, 6.0};

// Sets the fields of a preset: v's sampling, and those every preset shares
// (the 3-D layout on the CPU without refinement or distance sub-steps,
// steps of 0.8 from the start on a grid of 0.6, whole ranges, and the
// weights of the score terms).
void setPreset(_docking_spec* s, const Sampling& v) {
  s->max_solutions = v.max_solutions;
  s->problem_type = v.problem_type;
  s->scan_order = v.scan_order;
  s->order = v.order;
  s->receptor_samples = v.receptor_samples;
  s->ligand_samples = v.ligand_samples;
  s->twist_samples = v.twist_samples;
  s->receptor_bandlimit = v.receptor_bandlimit;
  s->ligand_bandlimit = v.ligand_bandlimit;
  s->twist_bandlimit = v.twist_bandlimit;
  s->receptor_step = v.receptor_step;
  s->ligand_step = v.ligand_step;
  s->twist_step = v.twist_step;
  s->r12_range = v.r12_range;
  s->fft_mode = 3;
  s->gpu_devices = 0;
  s->refine_mode = 0;
  s->r12_substeps = 0;
  s->r12_step = 0.8;
  s->r12_offset = 0.0;
  s->grid_spacing = 0.6;
  s->receptor_range = M_PI;
  s->ligand_range = M_PI;
  s->twist_range = 2.0 * M_PI;
  s->ligand_weight_p = 0.0;
  s->ligand_weight_q = 12.0;
  s->grid_weight = 0.6;
  s->receptor_shape_weight = 700.0;
  s->skin_weight = 0.0;
  s->elec_weight = 1.0;
  s->piper_weight = 5.0;
}

// Sets the symmetry and score fields of both presets: no symmetry search
// (cyclic orders min..max, fourth angles over omega_range), scores unscaled,
// the potential cut off at 60.
void setSymmetryAndScores(_docking_spec* s, int symmetry_min, int symmetry_max, double omega_range) {
  s->score_type = 0;
  s->symmetry = 0;
  s->symmetry_min = symmetry_min;
  s->symmetry_max = symmetry_max;
  s->omega_range = omega_range;
  s->sym_local = 1;
  s->sym_LtoW = 1.0;
  s->score_scale = 1.0;
  s->potential_cutoff = 60.0;
}

}  // namespace

void zam_setDockSpec(_docking_spec* s) {
  if (!s) return;
  setPreset(s, kDockSampling);
  setSymmetryAndScores(s, 2, 2, M_PI);
  s->score_threshold = 0.0;
  s->potential_scale = 0.8;
  s->box_mode = 0;
  s->box_size = 10.0;
}

void setup_zam_options(_docking_spec* s) {
  if (!s) return;
  zam_setDockSpec(s);
  setPreset(s, kSearchSampling);
  s->potential_cutoff = 40.0;
}

void zam_setMatchSpec(_docking_spec* s) {
  if (!s) return;
  setPreset(s, kSearchSampling);
  setSymmetryAndScores(s, 0, 0, 0.0);
  s->box_mode = 1;
  s->box_size = 6.0;
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
