#include "matching/trel_matcher.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "matching/zam_ligand_move.h"
#include "matching/zam_matcher.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "store/trel_pot.h"

namespace {

constexpr double kDeg = 180.0 / 3.14159265358979323846;

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

}  // namespace

void trel_matcher(const char* query_name, const char* target_name, double* query_tau, double* query_sig,
                  double* target_tau, double* target_sig, int pot_class, int n_show, _docking_spec* spec,
                  _docking* d) {
  _molecule A, B;
  _molecule_model a, b;
  make_molecule(&A, &a, query_name, "A", query_tau, query_sig);
  make_molecule(&B, &b, target_name, "B", target_tau, target_sig);
  zam_logger_fn kept = nullptr;
  const bool quiet = zam_debug <= 1;
  if (quiet) kept = zam_logger_callback(suppress_stdout_cb);
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
  if (quiet) zam_logger_callback(kept);
  zam_vm_free(A.name);
  zam_vm_free(B.name);
}

Matrix3D trel_pdbMatrix(const _solution* s) {
  const Matrix3D lig = tf_euler(s->ligand_rotation);
  const Matrix3D shift = tf_v(v_make(0.0, 0.0, s->r12));
  return tf_tftf(tf_tftf(lig, shift), tf_transpose(tf_euler(s->receptor_rotation)));
}

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

void suppress_stdout_cb(const char* text) { (void)text; }
