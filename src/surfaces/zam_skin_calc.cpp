// Skin sampling of a docking model.
#include "surfaces/zam_skin_calc.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "docking/zam_docking_atoms.h"
#include "geometry/zam_geom.h"
#include "matching/zam_matcher.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "surfaces/zam_gsurface.h"

namespace {

constexpr double kStep = 0.2;  // lattice of the sampled points, angstroms

struct Grid {
  int n;
  double h;
  Point3D origin;
  unsigned char* cells;

  // The cell index along one axis of a coordinate, -1 off the grid.
  int cell(double v, double o) const {
    const double f = std::floor((v - o) / h);
    return f < 0.0 || f >= n ? -1 : static_cast<int>(f);
  }

  // Every lattice point within radius of centre marks its cell: the whole
  // ball, ceil(radius / step) steps along each axis. The cell of each step
  // along each axis is found once.
  void ball(Point3D centre, double radius, unsigned char code) {
    const int K = static_cast<int>(std::ceil(radius / kStep));
    const double r2 = radius * radius;
    std::vector<int> ci(2 * K + 1), cj(2 * K + 1), ck(2 * K + 1);
    for (int a = -K; a <= K; a++) {
      ci[a + K] = cell(centre.x + kStep * a, origin.x);
      cj[a + K] = cell(centre.y + kStep * a, origin.y);
      ck[a + K] = cell(centre.z + kStep * a, origin.z);
    }
    for (int c = -K; c <= K; c++) {
      if (ck[c + K] < 0) continue;
      for (int b = -K; b <= K; b++) {
        if (cj[b + K] < 0) continue;
        const size_t row = n * (cj[b + K] + static_cast<size_t>(n) * ck[c + K]);
        for (int a = -K; a <= K; a++) {
          const Point3D d{kStep * a, kStep * b, kStep * c};
          if (ci[a + K] >= 0 && square_vector(d) < r2) cells[row + ci[a + K]] |= code;
        }
      }
    }
  }
};

void report(int n, double h, unsigned char c1, unsigned char c2, const unsigned char* grid, double t0) {
  int ext = 0, in = 0;
  const size_t cells = static_cast<size_t>(n) * n * n;
  for (size_t c = 0; c < cells; c++) {
    ext += (grid[c] & c1) != 0;
    in += (grid[c] & c2) != 0;
  }
  zam_msg("Generated %d exterior and %d interior skin grid cells.\n", ext, in);
  zam_msg("Exterior skin volume = %.2f; interior skin volume = %.2f.\n", ext * h * h * h, in * h * h * h);
  zam_msg("Volume sampling done in %.2f seconds.\n", zam_get_time() - t0);
}

}  // namespace

void zam_skin_calc(_molecule* mol, int model, int, int n, double h, Point3D origin, double apolar, double polar,
                   unsigned char c1, unsigned char c2, unsigned char* grid) {
  if (!mol) return;
  zam_msg("Sampling surface and interior volumes for molecule %s.\n", zam_model_name(mol, model));
  const double t0 = zam_get_time();
  const double Rg = n * h / 2.0, p = std::min(apolar, polar) / 2.0;
  _docking_atoms* atoms = zam_docking_atoms_get(mol, model, apolar, polar);
  Grid g{n, h, origin, grid};
  const _mesh_surface& s = mol->surface;
  for (int t = 0; t < s.n_triangles; t++) {
    if (s.flags[t] != 1) continue;
    const Point3D v1 = s.vertices[s.triangles[3 * t]], v2 = s.vertices[s.triangles[3 * t + 1]],
                  v3 = s.vertices[s.triangles[3 * t + 2]];
    const Point3D q = pt_ptv(pt_midpt(pt_midpt(v1, v2), v3), v_lambdav(-p, n_ptptpt(v1, v2, v3)));
    if (square_vector(q) > Rg * Rg) continue;
    g.ball(q, p, c1);
  }
  for (int a = 0; a < atoms->count; a++) {
    if (square_vector(atoms->positions[a]) > Rg * Rg) continue;
    g.ball(atoms->positions[a], atoms->radii[a], c2);
  }
  zam_docking_atoms_free(atoms);
  report(n, h, c1, c2, grid, t0);
}

void zam_skin_calc_new(_molecule* mol, int model, const _docking_atoms* atoms, int, int n, double h, Point3D origin,
                       unsigned char c1, unsigned char c2, unsigned char* grid) {
  zam_msg("Sampling surface and interior volumes for molecule %s.\n", zam_model_name(mol, model));
  const double t0 = zam_get_time();
  const double level = zam_gaussian_threshold();
  const size_t nodes = static_cast<size_t>(n) * n * n;
  for (int pass = 0; pass < 2; pass++) {
    std::vector<float> A(nodes, 0.0f);
    zam_sample_8cell(atoms->count, atoms->positions, pass == 0 ? atoms->expanded : atoms->radii, h, n, n, n, origin,
                     A.data());
    const unsigned char code = pass == 0 ? c1 : c2;
    for (int k = 0; k + 1 < n; k++)
      for (int j = 0; j + 1 < n; j++)
        for (int i = 0; i + 1 < n; i++) {
          double sum = 0.0;
          for (int c = 0; c < 8; c++)
            sum += A[static_cast<size_t>(i + (c & 1)) + n * (static_cast<size_t>(j + (c >> 1 & 1)) +
                                                             static_cast<size_t>(n) * (k + (c >> 2 & 1)))];
          if (sum / 8.0 > level) grid[i + n * (static_cast<size_t>(j) + static_cast<size_t>(n) * k)] |= code;
        }
  }
  report(n, h, c1, c2, grid, t0);
}
