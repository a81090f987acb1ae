// Least-squares fits of the models of a molecule onto its first.
#include "docking/zam_native.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "geometry/zam_qcp.h"
#include "runtime/zam_log.h"

namespace {

using AtomKey = std::tuple<std::string, std::string, std::string>;  // chain, residue label, atom name

// The atoms of a model by chain, residue label and atom name, positions
// about the model's centre (stored coordinates).
std::map<AtomKey, Point3D> atomsOf(const _molecule* m, int model) {
  std::map<AtomKey, Point3D> out;
  int first, last;
  zam_model_atoms(m, model, &first, &last);
  const Point3D centre = m->models[model].centre;
  for (int c = 1;; c++) {
    char chain[4];
    int residues = 0;
    mol_chain(c, chain, &residues, nullptr, nullptr);
    if (residues <= 0) break;
    for (int r = 1; r <= residues; r++) {
      char name[8], label[8] = "";
      int rf, rl;
      mol_resnum_info(c, r, name, label, &rf, &rl);
      if (rf < first || rl > last) continue;
      for (int i = rf; i <= rl; i++) {
        const char alt = mol_atom_altatm(i);
        if (alt != ' ' && alt != 'A') continue;
        out.emplace(AtomKey{chain, label, mol_atom_name(i)}, v_sub(mol_atom_basept(nullptr, i), centre));
      }
    }
  }
  return out;
}

}  // namespace

void zam_native_postdock(_molecule* m) {
  if (!m || !m->loaded || m->n_models < 2) return;
  mol_select(m->slot);
  const std::map<AtomKey, Point3D> reference = atomsOf(m, 1);
  m->models[1].place[1] = tf_identity();
  for (int model = 2; model <= m->n_models; model++) {
    std::vector<Point3D> moving, fixed;
    for (const auto& [key, p] : atomsOf(m, model)) {
      auto it = reference.find(key);
      if (it == reference.end()) continue;
      moving.push_back(p);
      fixed.push_back(it->second);
    }
    const int n = static_cast<int>(moving.size());
    const Matrix3D fit = tf_fitQCP(n, moving.data(), fixed.data());
    m->models[model].place[1] = fit;
    zam_msg("Model %d fitted onto model 1: RMSD %.3f over %d atoms.\n", m->models[model].id,
            rms_tf_pts(n, moving.data(), fixed.data(), fit), n);
  }
}
