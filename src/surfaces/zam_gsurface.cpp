// Gaussian density surfaces.
#include "surfaces/zam_gsurface.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "docking/zam_docking_atoms.h"
#include "docking/zam_molecule.h"
#include "surfaces/zam_contour.h"

namespace {

constexpr double kDecay = 2.0;   // k of exp(-k (r^2/R^2 - 1))
constexpr double kReach = 2.5;   // densities are cut at this many radii (below 3e-5)
constexpr double kLevel = 1.0;

}  // namespace

double zam_gaussian_threshold() { return kLevel; }

void zam_sample_8cell(int count, const Point3D* positions, const float* radii, double h, int nx, int ny, int nz,
                      Point3D origin, float* grid) {
  for (int a = 0; a < count; a++) {
    const double R = radii[a];
    if (!(R > 0.0)) continue;
    const Point3D p = positions[a];
    const double reach = kReach * R, inv = 1.0 / (R * R);
    // Nodes within reach along each axis, clipped to the grid.
    auto range = [&](double c, double o, int n, int* lo, int* hi) {
      *lo = std::max(0, static_cast<int>(std::ceil((c - reach - o) / h)));
      *hi = std::min(n - 1, static_cast<int>(std::floor((c + reach - o) / h)));
    };
    int i0, i1, j0, j1, k0, k1;
    range(p.x, origin.x, nx, &i0, &i1);
    range(p.y, origin.y, ny, &j0, &j1);
    range(p.z, origin.z, nz, &k0, &k1);
    for (int k = k0; k <= k1; k++) {
      const double dz = origin.z + k * h - p.z;
      for (int j = j0; j <= j1; j++) {
        const double dy = origin.y + j * h - p.y;
        const double dyz = dy * dy + dz * dz;
        if (dyz > reach * reach) continue;
        float* row = grid + (static_cast<size_t>(k) * ny + j) * nx;
        for (int i = i0; i <= i1; i++) {
          const double dx = origin.x + i * h - p.x;
          const double r2 = dx * dx + dyz;
          if (r2 <= reach * reach) row[i] += static_cast<float>(std::exp(-kDecay * (r2 * inv - 1.0)));
        }
      }
    }
  }
}

void zam_gaussian_surface(_molecule* mol, int model, int, int, double apolar, double polar, double s1, double,
                          _mesh_surface* surface) {
  _docking_atoms* atoms = zam_docking_atoms_get(mol, model, apolar, polar);
  const double h = s1 > 0.0 ? s1 : 0.6;
  if (atoms->count < 1) {
    zam_mesh_surface_alloc(surface, 0, 0);
    zam_docking_atoms_free(atoms);
    return;
  }
  // A box holding every density above the level with two empty layers of
  // nodes around it, so that the contour is closed.
  Point3D lo = atoms->positions[0], hi = lo;
  double grown = 0.0;
  for (int a = 0; a < atoms->count; a++) {
    const Point3D p = atoms->positions[a];
    lo = Point3D{std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = Point3D{std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    grown = std::max(grown, static_cast<double>(atoms->expanded[a]));
  }
  const double pad = kReach * grown + 2.0 * h;
  const Point3D origin{lo.x - pad, lo.y - pad, lo.z - pad};
  auto nodes = [&](double a, double b) { return static_cast<int>(std::ceil((b - a + 2.0 * pad) / h)) + 1; };
  const int nx = nodes(lo.x, hi.x), ny = nodes(lo.y, hi.y), nz = nodes(lo.z, hi.z);
  std::vector<float> grid(static_cast<size_t>(nx) * ny * nz, 0.0f);
  zam_sample_8cell(atoms->count, atoms->positions, atoms->expanded, h, nx, ny, nz, origin, grid.data());
  zam_contour_grid(grid.data(), nx, ny, nz, h, origin, kLevel, surface);
  zam_docking_atoms_free(atoms);
}
