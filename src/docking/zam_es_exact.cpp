// Exact electrostatics by direct Coulomb sums.
#include "docking/zam_es_exact.h"

#include <vector>

#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

constexpr double kVolts = 14.399765301595345;    // potential of a unit charge at 1 angstrom
constexpr double kEnergy = 173.66959861085633;  // energy factor of the pair sum

std::vector<float> charges(_molecule* mol, int count) {
  mol_select(mol->slot);
  std::vector<float> q(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) q[static_cast<size_t>(i)] = mol_atom_charge(i);
  return q;
}

}  // namespace

int zam_get_mol_pts(_molecule* mol, Point3D** points) {
  mol_select(mol->slot);
  int k = 0;
  mol_structure(nullptr, nullptr, &k, nullptr);
  const Matrix3D before = mol_get_transform();
  mol_transform(tf_tftf(before, zam_model_to_origin(mol, 0)));
  *points = static_cast<Point3D*>(kget1B_0(static_cast<int64_t>(sizeof(Point3D)) * (k > 0 ? k : 1)));
  for (int i = 0; i < k; i++) (*points)[i] = mol_atom_pt(i);
  mol_transform(before);
  return k;
}

void zam_es_exact_potential(_molecule* mol) {
  const double t0 = zam_get_time();
  Point3D* pts = nullptr;
  const int k = zam_get_mol_pts(mol, &pts);
  const std::vector<float> q = charges(mol, k);
  zam_msg("Exact potentials along +z axis (Volts, Kr=1)...\n\n");
  for (int i = 0; i <= 80; i++) {
    const double z = 0.5 * i;
    const Point3D p = pt_pp(PolarPoint{z, 0.0, 0.0});
    double v = 0.0;
    for (int a = 0; a < k; a++) v += q[static_cast<size_t>(a)] / d_ptpt(p, pts[a]);
    zam_msg("%6.2f, %.4f.\n", z, kVolts * v);
  }
  kfree(pts);
  zam_msg("Calculated exact potentials over %d atoms in %.2f s.\n", k, zam_get_time() - t0);
}

void zam_es_exact_energy(_molecule* first, _molecule* second, double separation) {
  Point3D *p1 = nullptr, *p2 = nullptr;
  const int k1 = zam_get_mol_pts(first, &p1), k2 = zam_get_mol_pts(second, &p2);
  const std::vector<float> q1 = charges(first, k1), q2 = charges(second, k2);
  for (int a = -180; a < 180; a++) {
    const Matrix3D M = tf_tftf(tf_euler(e_make(deg2rad(a), 0.0, 0.0)), tf_v(v_make(0.0, 0.0, separation)));
    double e = 0.0;
    for (int i = 0; i < k1; i++) {
      if (q1[static_cast<size_t>(i)] == 0.0f) continue;
      const Point3D p = pt_tfpt(M, p1[i]);
      for (int j = 0; j < k2; j++) {
        if (q2[static_cast<size_t>(j)] == 0.0f) continue;
        const double d = d_ptpt(p, p2[j]);
        if (d >= 3.0 && d <= 40.0)
          e += static_cast<double>(q1[static_cast<size_t>(i)]) * q2[static_cast<size_t>(j)] / d;
      }
    }
    zam_msg("%d  %.2f\n", a, kEnergy * e);
  }
  kfree(p1);
  kfree(p2);
}
