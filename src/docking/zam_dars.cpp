// DARS contact terms of a docking model.
#include "docking/zam_dars.h"

#include <cmath>
#include <vector>

#include "docking/zam_coeff_sets.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_basis.h"
#include "matching/zam_matcher.h"
#include "runtime/kids.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_dars_data.h"

namespace {

constexpr double kReach = 6.0;  // angstroms about an atom that its potential covers

struct Offset {
  int i, j, k;
};

// The lattice steps within the reach, strictly.
std::vector<Offset> offsets(double d) {
  const int h = static_cast<int>((kReach + d) / d) / 2;
  std::vector<Offset> out;
  for (int k = -h; k <= h; k++)
    for (int j = -h; j <= h; j++)
      for (int i = -h; i <= h; i++)
        if ((i * d) * (i * d) + (j * d) * (j * d) + (k * d) * (k * d) < kReach * kReach) out.push_back({i, j, k});
  return out;
}

int cellOf(double x, double o, double d) { return static_cast<int>(std::floor((x - o) / d)); }

}  // namespace

int zam_dars_psi(_molecule* mol, int model, int K, int, int n, double d, Point3D origin, unsigned char flag,
                 unsigned char* flags, double* psi) {
  if (!zam_model_entry(mol, model)) return 0;
  const int cells = zam_grid_points(__func__, "cells", n, n, n);
  if (cells < 0) return 0;
  const double start = zam_get_time();
  const Matrix3D before = zam_model_frame(mol, model);
  zam_msg("Sampling %d DARS potentials for molecule %s.\n", K, zam_model_name(mol, model));
  const std::vector<Offset> steps = offsets(d);
  std::vector<double> w(static_cast<size_t>(K > 0 ? K : 0));
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  for (int a = first; a >= 0 && a <= last; a++) {
    const int type = mol_atom_ace(a);
    if (!zam_alt_kept(a) || !mol_atom_access(a) || type == -1) continue;
    for (int c = 0; c < K; c++) w[static_cast<size_t>(c)] = 0.5 * zam_dars_eigenvalue(c) * zam_dars_component(type, c);
    const Point3D p = mol_atom_pt(a);
    for (const Offset& s : steps) {
      const int i = cellOf(p.x + s.i * d, origin.x, d), j = cellOf(p.y + s.j * d, origin.y, d),
                k = cellOf(p.z + s.k * d, origin.z, d);
      if (i < 0 || j < 0 || k < 0 || i >= n || j >= n || k >= n) continue;
      const int q = idx_ijk(i, j, k, n, n);
      flags[q] |= flag;
      double* v = psi + static_cast<size_t>(q) * K;
      for (int c = 0; c < K; c++) v[c] += w[static_cast<size_t>(c)];
    }
  }
  mol_select(mol->slot);
  mol_transform(before);
  int marked = 0;
  for (int q = 0; q < cells; q++) marked += (flags[q] & flag) != 0;
  zam_msg("DARS potential sampled onto %d non-zero grid cells in %.2f seconds.\n", marked, zam_get_time() - start);
  return 1;
}

void zam_dars_del(_molecule* mol, int model, int K, int N) {
  _molecule_model* e = zam_model_entry(mol, model);
  if (!e || N < 1 || K < 1) return;
  if (!zam_pe_holds(e, N, K)) zam_pe_alloc(mol, model, N, K);
  zam_msg("Calculating DARS delta functions for molecule %s.\n", zam_model_name(mol, model));
  const double start = zam_get_time();
  const int counted = zam_model_atom_blocks(mol, model, N, K, e->densities, [&](const char*, int a, double* w) {
    const int type = mol_atom_ace(a);
    if (type == -1) return false;
    for (int t = 0; t < K; t++) w[t] = zam_dars_component(type, t);
    return true;
  });
  zam_msg("DARS deltas to N = %d for %d samples done in %.2f seconds.\n", N, counted, zam_get_time() - start);
}
