// Coefficient sets of docking models.
#include "docking/zam_coeff_sets.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "docking/zam_grid_probes.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "geometry/zam_math.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_basis.h"
#include "harmonics/zam_radial.h"
#include "matching/zam_matcher.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

constexpr double kVoltAngstrom = 14.399765301595345;  // potential of a unit charge at 1 angstrom
constexpr double kMinusFourPi = -12.566370614359172;
constexpr int kProbeBlocks = 3;

// A model's label, copied out of the matcher's one static buffer.
struct Label {
  char text[257];
  Label(const _molecule* mol, int model) { std::snprintf(text, sizeof text, "%s", zam_model_name(mol, model)); }
};

void replace(double*& a, int64_t size) {
  kfree(a);
  a = kget1D_0(size > 0 ? size : 1);
}

void ensure(double*& a, int64_t size) {
  if (!a) a = kget1D_0(size > 0 ? size : 1);
}

// The two arrays of a pair of an entry.
enum Pair { kSkin, kElectro, kGrid };
double*& first(_molecule_model* e, Pair p) { return p == kSkin ? e->skin : p == kElectro ? e->potential : e->energies; }
double*& second(_molecule_model* e, Pair p) { return p == kSkin ? e->shape : p == kElectro ? e->charge : e->densities; }

void allocPair(_molecule* mol, int model, Pair p, int64_t size) {
  _molecule_model* e = zam_model_entry(mol, model);
  if (!e) return;
  replace(first(e, p), size);
  replace(second(e, p), size);
}

void copyPair(_molecule* mol, int from, int to, Pair p, int64_t size, const char* what) {
  _molecule_model* a = zam_model_entry(mol, from);
  _molecule_model* b = zam_model_entry(mol, to);
  if (!a || !b || !first(a, p)) return;
  const Label la(mol, from), lb(mol, to);
  zam_msg("Copying %s coefficients from %s to %s.\n", what, la.text, lb.text);
  if (a == b) return;
  replace(first(b, p), size);
  replace(second(b, p), size);
  for (int64_t k = 0; k < size; k++) {
    first(b, p)[k] = first(a, p)[k];
    second(b, p)[k] = second(a, p) ? second(a, p)[k] : 0.0;
  }
}

// The probe names of a molecule (at most three).
int probeNames(const _molecule* probes, const char* names[kProbeBlocks]) {
  if (!probes || !probes->loaded) return 0;
  mol_select(probes->slot);
  int n = mol_num_probes();
  if (n > kProbeBlocks) n = kProbeBlocks;
  for (int t = 0; t < n; t++) names[t] = mol_probe_name(t + 1);
  return n < 0 ? 0 : n;
}

}  // namespace

int zam_alt_kept(int atom) {
  const char alt = mol_atom_altatm(atom);
  return alt == ' ' || alt == 'A';
}

int zam_model_atom_blocks(_molecule* mol, int model, int N, int blocks, double* out,
                          const std::function<bool(const char* residue, int atom, double* w)>& weigh) {
  const size_t K = static_cast<size_t>(anlm_size(N));
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  _zam_basis b;
  zam_basis_setup(&b, N, ZAM_BASIS_GTO);
  std::vector<double> sums(static_cast<size_t>(blocks) * K, 0.0), w(static_cast<size_t>(blocks));
  int taken = 0;
  zam_for_residue_atoms(first, last, [&](const char* residue, const char*, int atom) {
    std::fill(w.begin(), w.end(), 0.0);
    if (!weigh(residue, atom, w.data())) return;
    taken++;
    const double* v = zam_basis_at(&b, pp_pt(mol_atom_pt(atom)));
    // A zero weight is left out: it would add zeros to sums that are never -0.
    for (int t = 0; t < blocks; t++)
      if (w[t] != 0.0) anlm_add(N, &sums[t * K], v, &sums[t * K], w[t]);
  });
  mol_transform(before);
  zam_basis_normalise(&b, blocks, sums.data(), 1.0);
  anlm_accum_n(N, blocks, sums.data(), out);
  return taken;
}

_molecule_model* zam_model_entry(_molecule* mol, int model) {
  return mol && mol->loaded && mol->models && model >= 0 && model <= mol->n_models ? &mol->models[model] : nullptr;
}

bool zam_pe_holds(const _molecule_model* e, int N, int T) {
  return e && e->energies && e->densities && e->typed_blocks == T && e->typed_order == N;
}

bool zam_kb_holds(const _molecule_model* e, int N, int blocks) {
  return e && e->kb && e->kb_blocks == blocks && e->kb_order == N;
}

void zam_skin_alloc(_molecule* mol, int model, int N) { allocPair(mol, model, kSkin, anlm_size(N)); }
void zam_es_alloc(_molecule* mol, int model, int N) { allocPair(mol, model, kElectro, anlm_size(N)); }
void zam_pe_alloc(_molecule* mol, int model, int N, int T) {
  allocPair(mol, model, kGrid, static_cast<int64_t>(T) * anlm_size(N));
  if (_molecule_model* e = zam_model_entry(mol, model)) {
    e->typed_blocks = T;
    e->typed_order = N;
  }
}

void zam_skin_copy(_molecule* mol, int from, int to, int N) {
  copyPair(mol, from, to, kSkin, anlm_size(N), "skin density");
}
void zam_es_copy(_molecule* mol, int from, int to, int N) {
  copyPair(mol, from, to, kElectro, anlm_size(N), "electrostatic");
}
void zam_pe_copy(_molecule* mol, int from, int to, int N, int T) {
  const _molecule_model* a = zam_model_entry(mol, from);
  _molecule_model* b = zam_model_entry(mol, to);
  if (!zam_pe_holds(a, N, T) || !b) return;
  copyPair(mol, from, to, kGrid, static_cast<int64_t>(T) * anlm_size(N), "potential");
  b->typed_blocks = T;
  b->typed_order = N;
}

void zam_es_calc(_molecule* mol, int model, int N, double R) {
  _molecule_model* e = zam_model_entry(mol, model);
  if (!e || N < 1) return;
  const int K = anlm_size(N);
  ensure(e->potential, K);
  ensure(e->charge, K);
  const Label label(mol, model);
  zam_msg("Calculating electrostatics for molecule %s.\n", label.text);
  double start = zam_get_time();
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  _zam_basis b;
  zam_basis_setup(&b, N, ZAM_BASIS_ETO);
  std::vector<double> density(static_cast<size_t>(K), 0.0);
  int counted = 0;
  for (int i = first; i >= 0 && i <= last; i++) {
    const double q = mol_atom_charge(i);
    if (!zam_alt_kept(i) || q == 0.0 || !mol_atom_access(i)) continue;
    const PolarPoint p = pp_pt(mol_atom_pt(i));
    if (p.r > 2 * R) continue;
    if (p.r < 1.0) {
      zam_msg("Small R=%10.3e for atom %d %s\n", p.r, i, mol_atom_name(i));
      continue;
    }
    counted++;
    zam_basis_add(&b, p, q, density.data());
  }
  mol_transform(before);
  zam_basis_normalise(&b, 1, density.data(), 1.0);
  anlm_accum(N, density.data(), e->charge);
  zam_msg("Charge density for molecule %s to N = %d:  %d atoms done in %.2f seconds.\n", label.text, N, counted,
          zam_get_time() - start);

  // Poisson's equation degree by degree: the radial Laplacian matrix of
  // degree l is the same for every m.
  start = zam_get_time();
  std::vector<double> M, inv, rhs, out;
  for (int l = 0; l < N; l++) {
    const int s = N - l;
    M.assign(static_cast<size_t>(s * s), 0.0);
    inv.assign(static_cast<size_t>(s * s), 0.0);
    rhs.assign(static_cast<size_t>(s), 0.0);
    out.assign(static_cast<size_t>(s), 0.0);
    for (int j = 0; j < s; j++)
      for (int i = 0; i < s; i++) M[static_cast<size_t>(j * s + i)] = tnjl(l + 1 + i, l + 1 + j, l);
    mat_inverse(s, M.data(), inv.data());
    for (int m = -l; m <= l; m++) {
      for (int i = 0; i < s; i++) rhs[static_cast<size_t>(i)] = kMinusFourPi * e->charge[anlm_index(l + 1 + i, l, m)];
      mat_x_col(s, inv.data(), rhs.data(), out.data());
      for (int i = 0; i < s; i++) e->potential[anlm_index(l + 1 + i, l, m)] = out[static_cast<size_t>(i)];
    }
  }
  zam_msg("Potential for molecule %s to N = %d done in %.2f seconds.\n", label.text, N, zam_get_time() - start);
  anlm_scale(N, e->potential, e->potential, kVoltAngstrom);
}

void zam_pe_calc3(_molecule* mol, int model, int N, double s, double R) {
  _molecule_model* e = zam_model_entry(mol, model);
  if (!e || N < 1) return;
  const Label label(mol, model);
  if (mol->n_energies <= 0) {
    zam_msg("No grid energies found for molecule %s.\n", label.text);
    return;
  }
  const int K = anlm_size(N);
  if (!zam_pe_holds(e, N, kProbeBlocks)) zam_pe_alloc(mol, model, N, kProbeBlocks);
  zam_msg("Calculating grid energies for molecule %s.\n", label.text);
  const double start = zam_get_time();
  const Matrix3D before = zam_model_frame(mol, model);
  _zam_basis b;
  zam_basis_setup(&b, N, ZAM_BASIS_GTO);
  std::vector<double> sums(static_cast<size_t>(kProbeBlocks) * K, 0.0);
  const double cell = s * s * s;
  int used = 0;
  for (int i = 0; i < mol->n_energies; i++) {
    const int code = mol_energy_code(i);
    const double value = mol_energy_value(i);
    const PolarPoint p = pp_pt(mol_energy_pt(i));
    if (p.r > 2 * R || p.r < 1.0) continue;
    used++;
    if (code >= 0 && code < kProbeBlocks) zam_basis_add(&b, p, value * cell, &sums[static_cast<size_t>(code) * K]);
  }
  mol_transform(before);
  zam_basis_normalise(&b, kProbeBlocks, sums.data(), 1.0);
  anlm_accum_n(N, kProbeBlocks, sums.data(), e->energies);
  zam_msg("Grid energies to N = %d (%d/%d samples) done in %.2f seconds.\n\n", N, used, mol->n_energies,
          zam_get_time() - start);
}

void zam_gtau_calc3(_molecule* mol, int model, _molecule* probes, int N) {
  _molecule_model* e = zam_model_entry(mol, model);
  if (!e || N < 1) return;
  if (!zam_pe_holds(e, N, kProbeBlocks)) zam_pe_alloc(mol, model, N, kProbeBlocks);
  const Label label(mol, model);
  zam_msg("Calculating probe-specific densities for molecule %s.\n", label.text);
  const double start = zam_get_time();
  const char* names[kProbeBlocks] = {"", "", ""};
  const int nprobes = probeNames(probes, names);
  const int counted = zam_model_atom_blocks(mol, model, N, kProbeBlocks, e->densities, [&](const char* residue, int atom,
                                                                                          double* w) {
    bool any = false;
    for (int t = 0; t < kProbeBlocks; t++) {
      const bool hit =
          t < nprobes && zam_grid_data(residue, mol_atom_name(atom), probe_name_to_opposite(names[t])) != 0;
      w[t] = hit ? 1.0 : 0.0;
      any |= hit;
    }
    return any;
  });
  zam_msg("Grid-specific densities to N = %d (%d samples) done in %.2f seconds.\n\n", N, counted,
          zam_get_time() - start);
}

void zam_test_grid_data(_molecule* mol, _molecule* probes) {
  if (!zam_model_entry(mol, 1)) return;
  const char* names[kProbeBlocks] = {"", "", ""};
  const int nprobes = probeNames(probes, names);
  const Matrix3D before = zam_model_frame(mol, 1);
  int first, last;
  zam_model_atoms(mol, 1, &first, &last);
  zam_for_residue_atoms(first, last, [&](const char* residue, const char* number, int atom) {
    for (int t = 0; t < nprobes; t++) {
      const char* opposite = probe_name_to_opposite(names[t]);
      if (zam_grid_data(residue, mol_atom_name(atom), opposite))
        zam_msg("%s %s %s %s (energy probe = %s)\n", number, residue, mol_atom_name(atom), opposite, names[t]);
    }
  });
  mol_transform(before);
}
