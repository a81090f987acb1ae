// Re-scoring of docking solutions by bump counts.
#include "docking/zam_refine.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "docking/zam_molecule.h"
#include "docking/zam_atom_cells.h"
#include "docking/zam_mol.h"
#include "runtime/zam_log.h"

namespace {

constexpr double kBump = 3.0;  // heavy atoms closer than this clash

// Heavy docking atoms of a model in its origin frame.
std::vector<Point3D> heavyAtoms(_molecule* mol, int model) {
  std::vector<Point3D> out;
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  for (int i = first; i <= last && first >= 0; i++) {
    const char alt = mol_atom_altatm(i);
    if ((alt != ' ' && alt != 'A') || mol_is_h(i) || !(mol_atom_radius(i) > 0.0f)) continue;
    out.push_back(mol_atom_pt(i));
  }
  mol_transform(before);
  return out;
}

}  // namespace

void zam_refine(_molecule* receptor, _molecule* ligand, int receptor_model, int ligand_model, int mode, int n,
                _solution* sols, double, double) {
  if (mode != 1) {
    zam_wrn("Refinement mode %d is not available.\n", mode);
    return;
  }
  if (!receptor || !ligand || !receptor->loaded || !ligand->loaded || !sols) return;
  // Receptor atoms in cells of the bump distance.
  const std::vector<Point3D> rec = heavyAtoms(receptor, receptor_model);
  _zam_atom_cells cells{kBump, {}};
  for (size_t i = 0; i < rec.size(); i++) cells.add(static_cast<int>(i), rec[i]);
  const std::vector<Point3D> lig = heavyAtoms(ligand, ligand_model);
  for (int s = 0; s < n; s++) {
    const Matrix3D pose = zam_solution_tf(&sols[s]);
    int bumps = 0;
    for (const Point3D& p : lig) {
      const Point3D q = pt_tfpt(pose, p);
      cells.near(q, [&](int i) { bumps += d2_ptpt(q, rec[static_cast<size_t>(i)]) < kBump * kBump; });
    }
    sols[s].bumps = static_cast<int16_t>(std::min(bumps, 32767));
  }
}
