// The knowledge-based pair potential and its grids.
#include "docking/zam_tolva.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_kb_grid.h"
#include "runtime/kids.h"

namespace {

constexpr double kOverlap = 3.0, kContact = 6.0;

struct ClassAtom {
  Point3D p;
  int cls;
};

// Heavy atoms of a model in its origin frame with their classes.
std::vector<ClassAtom> classAtoms(_molecule* mol, int model) {
  std::vector<ClassAtom> out;
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  for (int i = first; i <= last && first >= 0; i++) {
    const char alt = mol_atom_altatm(i);
    if ((alt != ' ' && alt != 'A') || mol_is_h(i)) continue;
    out.push_back({mol_atom_pt(i), mol_is_polar(i) ? 1 : 0});
  }
  mol_transform(before);
  return out;
}

// An odd grid of nodes h apart centred on the origin, reaching reach.
_kb_grid* makeGrid(int blocks, double h, double reach) {
  auto* g = static_cast<_kb_grid*>(kget1B_0(sizeof(_kb_grid)));
  const int half = static_cast<int>(std::ceil(reach / h));
  g->blocks = blocks;
  g->nx = g->ny = g->nz = 2 * half + 1;
  g->h = h;
  g->origin = Point3D{-half * h, -half * h, -half * h};
  g->values = kget1F_0(static_cast<int64_t>(blocks) * g->nx * g->ny * g->nz);
  return g;
}

double reachOf(const std::vector<ClassAtom>& atoms) {
  double r = 0.0;
  for (const ClassAtom& a : atoms) r = std::max(r, mag_vector(a.p));
  return r;
}

bool usable(const _molecule* mol, int model) {
  return mol && mol->loaded && model >= 0 && model <= mol->n_models;
}

// A model's classed atoms and a new zeroed grid of blocks reaching margin
// past the farthest of them: n nodes a side, `nodes` in a block. The grid
// is null (nothing made) for no blocks or a model that cannot be used.
struct ModelGrid {
  std::vector<ClassAtom> atoms;
  _kb_grid* grid = nullptr;
  int n = 0;
  size_t nodes = 0;
};
ModelGrid openGrid(_molecule* mol, int model, int blocks, double h, double margin) {
  ModelGrid m;
  if (blocks < 1 || !usable(mol, model)) return m;
  m.atoms = classAtoms(mol, model);
  m.grid = makeGrid(blocks, h, reachOf(m.atoms) + margin);
  m.n = m.grid->nx;
  m.nodes = static_cast<size_t>(m.n) * m.n * m.n;
  return m;
}

// The model's knowledge-based array, new and zeroed, of blocks vectors.
void giveArray(_molecule* mol, int model, int N, int blocks) {
  _molecule_model& e = mol->models[model];
  kfree(e.kb);
  e.kb = kget1D_0(static_cast<int64_t>(blocks) * anlm_size(N));
  e.kb_blocks = blocks;
  e.kb_order = N;
}

// The knowledge-based set of one model: its grid sampled (the receptor's
// potential or the ligand's density) and expanded block by block into a new
// knowledge-based array.
void modelSet(_molecule* mol, int model, int N, int channels, double s1, bool potential) {
  const int blocks = channels - 1;
  if (blocks < 1 || !usable(mol, model)) return;
  const double h = s1 > 0.0 ? s1 : 1.0;
  _kb_grid* g = potential ? zam_kb_potential_grid(mol, model, blocks, h) : zam_kb_density_grid(mol, model, blocks, h);
  giveArray(mol, model, N, blocks);
  const size_t nodes = static_cast<size_t>(g->nx) * g->ny * g->nz;
  for (int t = 0; t < blocks; t++)
    zam_grid_kb_integrate(mol->models[model].kb + static_cast<size_t>(t) * anlm_size(N), N, g->nx, g->ny, g->nz, g->h,
                          g->origin, g->values + t * nodes, false);
  zam_kb_grid_free(g);
}

}  // namespace

double zam_kb_pair(int cr, int cl, double d) {
  if (cr < 0 || cr > 1 || cl < 0 || cl > 1) return 0.0;
  if (d < kOverlap) return 1.0;
  if (d >= kContact) return 0.0;
  return cr == cl ? (cr == 0 ? -1.0 : -0.5) : -0.25;
}

_kb_grid* zam_kb_potential_grid(_molecule* receptor, int model, int blocks, double h) {
  const auto [atoms, g, n, nodes] = openGrid(receptor, model, blocks, h, kContact);
  if (!g) return nullptr;
  for (const ClassAtom& a : atoms) {
    // Nodes within the contact distance of the atom.
    int lo[3], hi[3];
    const double c[3] = {a.p.x, a.p.y, a.p.z}, o[3] = {g->origin.x, g->origin.y, g->origin.z};
    for (int e = 0; e < 3; e++) {
      lo[e] = std::max(0, static_cast<int>(std::ceil((c[e] - kContact - o[e]) / h)));
      hi[e] = std::min(n - 1, static_cast<int>(std::floor((c[e] + kContact - o[e]) / h)));
    }
    for (int k = lo[2]; k <= hi[2]; k++)
      for (int j = lo[1]; j <= hi[1]; j++)
        for (int i = lo[0]; i <= hi[0]; i++) {
          const double d = d_ptpt(a.p, Point3D{o[0] + i * h, o[1] + j * h, o[2] + k * h});
          const size_t q = i + n * (j + static_cast<size_t>(n) * k);
          for (int t = 0; t < blocks; t++) g->values[t * nodes + q] += static_cast<float>(zam_kb_pair(a.cls, t, d));
        }
  }
  return g;
}

_kb_grid* zam_kb_density_grid(_molecule* ligand, int model, int blocks, double h) {
  const auto [atoms, g, n, nodes] = openGrid(ligand, model, blocks, h, h);
  if (!g) return nullptr;
  const double unit = 1.0 / (h * h * h);
  for (const ClassAtom& a : atoms) {
    if (a.cls >= blocks) continue;
    const double f[3] = {(a.p.x - g->origin.x) / h, (a.p.y - g->origin.y) / h, (a.p.z - g->origin.z) / h};
    int b[3];
    double w[3];
    for (int e = 0; e < 3; e++) {
      b[e] = std::clamp(static_cast<int>(std::floor(f[e])), 0, n - 2);
      w[e] = f[e] - b[e];
    }
    for (int c = 0; c < 8; c++) {
      const int di = c & 1, dj = c >> 1 & 1, dk = c >> 2 & 1;
      const double wt = (di ? w[0] : 1 - w[0]) * (dj ? w[1] : 1 - w[1]) * (dk ? w[2] : 1 - w[2]);
      const size_t q = (b[0] + di) + n * ((b[1] + dj) + static_cast<size_t>(n) * (b[2] + dk));
      g->values[a.cls * nodes + q] += static_cast<float>(wt * unit);
    }
  }
  return g;
}

void zam_kb_grid_free(_kb_grid* g) {
  if (!g) return;
  kfree(g->values);
  kfree(g);
}

void zam_kb_potential(_molecule* receptor, _molecule*, int model, int, int, int, int N, int channels, double,
                      double, double s1, double, _mesh_surface*, bool) {
  modelSet(receptor, model, N, channels, s1, true);
}

void zam_kb_density(_molecule* ligand, int model, int, int, int N, int channels, double, double, double s1, double,
                    _mesh_surface*, bool) {
  modelSet(ligand, model, N, channels, s1, false);
}
