// Coefficient set-up of a docking pair.
#include "surfaces/zam_dock_coeffs.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "docking/zam_coeff_sets.h"
#include "docking/zam_dars.h"
#include "docking/zam_model_coeffs.h"
#include "docking/zam_molecule.h"
#include "docking/zam_tolva.h"
#include "harmonics/zam_anlm.h"
#include "matching/zam_matcher.h"
#include "runtime/kids.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_log.h"
#include "surfaces/zam_gsurface.h"
#include "surfaces/zam_skin_calc.h"

namespace {

constexpr int kDarsComponents = 6;
constexpr int kProbeBlocks = 3;  // the grid pair's blocks: one per GRID probe code

// What the score type asks for.
struct Needs {
  int K;  // DARS components: 6 with DARS, else 0
  bool dars, skins, electro, grid, kb;
  explicit Needs(int t)
      : K(t == 2 || t == 3 ? kDarsComponents : 0),
        dars(t == 2 || t == 3),
        skins(t != 7),
        electro(t == 1 || t == 3),
        grid(t == 5 || t == 6),
        kb(t == 7 || t == 8) {}
};

struct Setup {
  const _docking_spec* spec;
  Needs needs;
  int N;
  double h, Rc, margin;
  _molecule* receptor;
  _molecule* ligand;
};

bool loaded(const _molecule* m) { return m && m->loaded; }

// A model lacks its skins (or, with DARS, its DARS blocks: grid energies
// and probe densities of another set or order are not reused).
bool lacksSkins(const Setup& s, _molecule* mol, int model) {
  const _molecule_model* e = zam_model_entry(mol, model);
  return e && (!e->skin || (s.needs.dars && !zam_pe_holds(e, s.N, s.needs.K)));
}

void warnProbes(const _molecule* m, const char* who) {
  if (!m) return;
  if (m->apolar_probe < 1.0 || m->apolar_probe > 1.75)
    zam_wrn("The %s apolar probe radius (%.2f) is outside the recommended range for docking.\n", who, m->apolar_probe);
  if (m->polar_probe < 1.0 || m->polar_probe > 1.5)
    zam_wrn("The %s polar probe radius (%.2f) is outside the recommended range for docking.\n", who, m->polar_probe);
}

void setOrders(_molecule* m, int N) {
  if (!m) return;
  if (N > m->gto_order[0] || N > m->gto_order[1]) {
    delete_molecule_gto(m, -1);
    m->gto_order[0] = m->gto_order[1] = N;
  }
  if (N > m->eto_order) {
    delete_molecule_eto(m, -1);
    m->eto_order = N;
  }
}

double surfaceRadius(_molecule* m, int model) {
  zam_gaussian_surface(m, model, 0, 0, m->apolar_probe, m->polar_probe, m->surface_param[0], m->surface_param[1],
                       &m->surface);
  return m->surface.radius;
}

// One sampling grid with its DARS value grids; none (ok false, after a
// message) when it would have more cells than an int counts.
struct Grid {
  int n = 0;
  Point3D origin{0, 0, 0};
  bool ok = false;
  std::vector<unsigned char> cells;
  std::vector<double> psi[2];
  Grid(const Setup& s, double R, bool padded) {
    zam_dock_grid(R, s.margin, s.h, padded, &n, &origin);
    const int c = zam_grid_points("zam_coeffs", "cells", n, n, n);
    if (c < 0) return;
    ok = true;
    cells.assign(static_cast<size_t>(c), 0);
    if (s.needs.dars)
      for (auto& p : psi) p.assign(static_cast<size_t>(c) * kDarsComponents, 0.0);
  }
  double* values(int side) { return psi[side].empty() ? nullptr : psi[side].data(); }
};

// Samples model `model` of mol (side 0 the receptor, 1 the ligand) into g.
void sampleModel(const Setup& s, Grid& g, _molecule* mol, int model, int side) {
  const int N = s.N, K = s.needs.K;
  zam_skin_alloc(mol, model, N);
  zam_skin_calc(mol, model, N, g.n, s.h, g.origin, mol->apolar_probe, mol->polar_probe, side ? 4 : 1, side ? 8 : 2,
                g.cells.data());
  if (s.needs.dars) {
    zam_pe_alloc(mol, model, N, K);
    zam_dars_psi(mol, model, K, N, g.n, s.h, g.origin, side ? 32 : 16, g.cells.data(), g.values(side));
    zam_dars_del(mol, model, K, N);
  }
}

// False (after the integration's message) when it refuses the grid.
bool integrate(const Setup& s, Grid& g, _molecule* receptor, int rm, _molecule* ligand, int lm) {
  return zam_model_integrate(receptor, rm, ligand, lm, s.N, s.needs.K, g.n, s.h, g.origin, g.cells.data(),
                             g.values(0), g.values(1)) == 1;
}

// One model on its own grid: padded for the ligand and for starting
// orientations, tight otherwise. False when the grid is refused.
bool oneModel(const Setup& s, _molecule* mol, int model, int side, bool padded) {
  const double R = std::min(s.Rc, surfaceRadius(mol, model));
  Grid g(s, R, padded);
  if (!g.ok) return false;
  sampleModel(s, g, mol, model, side);
  if (side == 0) return integrate(s, g, mol, model, nullptr, 0);
  return integrate(s, g, nullptr, 0, mol, model);
}

// False, at the first refused grid, when a model could not be sampled.
bool skinPhase(const Setup& s, int rf, int rl, int lf, int ll) {
  _molecule* R = s.receptor;
  _molecule* L = s.ligand;
  const int N = s.N, K = s.needs.K;
  if (loaded(R) && loaded(L) && R->model_kind == 2 && L->model_kind == 2) {
    for (int m = rf; m <= rl; m++)
      if (lacksSkins(s, R, m) && !oneModel(s, R, m, 0, true)) return false;
    if (lacksSkins(s, L, 1) && !oneModel(s, L, 1, 1, true)) return false;
    for (int m = 2; m <= ll; m++) {
      zam_skin_copy(L, 1, m, N);
      if (s.needs.dars) zam_pe_copy(L, 1, m, N, K);
    }
  } else if (loaded(R) && loaded(L) && rf == rl && lf == ll && (lacksSkins(s, R, rf) || lacksSkins(s, L, lf))) {
    // One shared grid: each molecule marks its own bits about its own origin.
    const double radius = std::max(surfaceRadius(R, rf), surfaceRadius(L, lf));
    Grid g(s, radius, true);
    if (!g.ok) return false;
    sampleModel(s, g, R, rf, 0);
    sampleModel(s, g, L, lf, 1);
    if (!integrate(s, g, R, rf, L, lf)) return false;
  } else {
    if (loaded(R))
      for (int m = rf; m <= rl; m++)
        if (lacksSkins(s, R, m) && !oneModel(s, R, m, 0, false)) return false;
    if (loaded(L))
      for (int m = lf; m <= ll; m++)
        if (lacksSkins(s, L, m) && !oneModel(s, L, m, 1, true)) return false;
  }
  return true;
}

bool lacks(_molecule* mol, int model, double* _molecule_model::*array) {
  const _molecule_model* e = zam_model_entry(mol, model);
  return e && !(e->*array);
}

void electro(const Setup& s, _molecule* mol, int model) {
  zam_es_alloc(mol, model, s.N);
  if (loaded(mol)) zam_es_calc(mol, model, s.N, s.Rc);
}

void electroPhase(const Setup& s, int rf, int rl, int lf, int ll) {
  _molecule* R = s.receptor;
  _molecule* L = s.ligand;
  const auto pot = &_molecule_model::potential;
  if (loaded(R) && loaded(L) && R->model_kind == 2 && L->model_kind == 2) {
    for (int m = rf; m <= rl; m++)
      if (lacks(R, m, pot)) electro(s, R, m);
    if (lacks(L, 1, pot)) {
      electro(s, L, 1);
      for (int m = 2; m <= ll; m++) zam_es_copy(L, 1, m, s.N);
    }
    return;
  }
  for (int m = rf; m <= rl; m++)
    if (lacks(R, m, pot)) electro(s, R, m);
  for (int m = lf; m <= ll; m++)
    if (lacks(L, m, pot)) electro(s, L, m);
}

// A model lacks its GRID blocks (those of the DARS set, or of another order, do not count).
bool lacksGrid(const Setup& s, _molecule* mol, int model) {
  const _molecule_model* e = zam_model_entry(mol, model);
  return e && !zam_pe_holds(e, s.N, kProbeBlocks);
}

void gridSet(const Setup& s, _molecule* mol, int model, _molecule* other) {
  zam_pe_alloc(mol, model, s.N, kProbeBlocks);
  zam_pe_calc3(mol, model, s.N, s.spec->potential_scale, s.Rc);
  zam_gtau_calc3(mol, model, other, s.N);
}

void gridPhase(const Setup& s, int rf, int rl, int lf, int ll) {
  _molecule* R = s.receptor;
  _molecule* L = s.ligand;
  if (loaded(R) && loaded(L) && R->model_kind == 2 && L->model_kind == 2) {
    for (int m = rf; m <= rl; m++)
      if (lacksGrid(s, R, m)) gridSet(s, R, m, L);
    if (lacksGrid(s, L, 1)) gridSet(s, L, 1, R);
    for (int m = 2; m <= ll; m++) zam_pe_copy(L, 1, m, s.N, kProbeBlocks);
    return;
  }
  for (int m = rf; m <= rl; m++)
    if (lacksGrid(s, R, m)) gridSet(s, R, m, L);
  for (int m = lf; m <= ll; m++)
    if (lacksGrid(s, L, m)) gridSet(s, L, m, R);
}

// Each side's models by their own numbers, those without knowledge-based
// arrays of this channel count and order.
void kbPhase(const Setup& s, int rf, int rl, int lf, int ll) {
  _molecule* R = s.receptor;
  _molecule* L = s.ligand;
  if (!loaded(R) || !loaded(L)) return;
  const _docking_spec* sp = s.spec;
  const bool flag = sp->kb_flag != 0;
  auto lacksKb = [&](_molecule* mol, int m) {
    const _molecule_model* e = zam_model_entry(mol, m);
    return e && !zam_kb_holds(e, s.N, sp->kb_channels - 1);
  };
  for (int m = rf; m <= rl; m++)
    if (lacksKb(R, m))
      zam_kb_potential(R, L, m, 0, 0, sp->kb_mode, s.N, sp->kb_channels, R->apolar_probe, R->polar_probe,
                       R->surface_param[0], R->surface_param[1], &R->surface, flag);
  for (int m = lf; m <= ll; m++)
    if (lacksKb(L, m))
      zam_kb_density(L, m, 0, 0, s.N, sp->kb_channels, L->apolar_probe, L->polar_probe, L->surface_param[0],
                     L->surface_param[1], &L->surface, flag);
}

void releaseWork(_molecule* m) {
  if (!m) return;
  kfree(m->surface.work1);
  kfree(m->surface.work2);
  m->surface.work1 = m->surface.work2 = nullptr;
}

}  // namespace

void zam_dock_grid(double R, double margin, double h, bool padded, int* n, Point3D* origin) {
  // Cells across a span; a span past any grid an int counts (or not a
  // number) gives a count that the callers refuse, not an overflow.
  auto across = [h](double span) {
    const double k = span / h;
    return k >= 0.0 && k < 1e6 ? static_cast<int>(k) + 1 : 1000001;
  };
  double o;
  if (padded) {
    const int k = across(2 * (R + margin));
    const int even = k - k % 2;
    *n = even + 2;
    o = -(even + 1) * h / 2;
  } else {
    const int k = across(2 * R);
    *n = k % 2 ? k : k + 1;
    o = -*n * h / 2;
  }
  *origin = Point3D{o, o, o};
}

int zam_coeffs(_docking_spec* spec, _molecule* receptor, _molecule* ligand) {
  const int t = spec->score_type;
  Setup s{spec, Needs(t), spec->order, spec->grid_spacing, spec->potential_cutoff, 0.0, receptor, ligand};
  if (s.needs.kb && spec->kb_channels < 3) {
    zam_err("Knowledge-based docking (score type %d) needs at least three channels from its set-up, not %d.\n", t,
            spec->kb_channels);
    return 0;
  }
  warnProbes(receptor, "receptor");
  warnProbes(ligand, "ligand");
  for (const _molecule* m : {receptor, ligand})
    if (m) s.margin = std::max({s.margin, 2 * m->apolar_probe, 2 * m->polar_probe});
  int rf, rl, lf, ll;
  zam_docking_model_range(receptor, &rf, &rl);
  zam_docking_model_range(ligand, &lf, &ll);
  setOrders(receptor, s.N);
  setOrders(ligand, s.N);
  const bool sampled = !s.needs.skins || skinPhase(s, rf, rl, lf, ll);
  if (sampled) {
    if (s.needs.electro) electroPhase(s, rf, rl, lf, ll);
    if (s.needs.grid) gridPhase(s, rf, rl, lf, ll);
    if (s.needs.kb) kbPhase(s, rf, rl, lf, ll);
  }
  releaseWork(receptor);
  releaseWork(ligand);
  return sampled ? 1 : 0;
}
