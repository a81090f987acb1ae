// Coefficient sampling of structure objects.
#include "store/trel_coeff.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_skin.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_pot.h"

namespace {

// Marks the cells of one atom set.
void mark_atoms(int side, double h, Point3D origin, int bit, int n, const Point3D* xyz, const float* radii,
                unsigned char* grid) {
  const double half = 0.5 * h, R = side * h / 2.0, R2 = R * R;
  for (int a = 0; a < n; a++) {
    const Point3D p = xyz[a];
    const double r = radii[a];
    if (r <= 0.0) continue;
    if (p.x * p.x + p.y * p.y + p.z * p.z > R2) continue;
    const int k = static_cast<int>((r + 2.0 * h) / half) / 2;
    for (int dz = -k; dz <= k; dz++)
      for (int dy = -k; dy <= k; dy++)
        for (int dx = -k; dx <= k; dx++) {
          if ((dx * dx + dy * dy + dz * dz) * half * half >= r * r) continue;
          const double sx = p.x + dx * half - origin.x, sy = p.y + dy * half - origin.y,
                       sz = p.z + dz * half - origin.z;
          // Truncation toward zero: a point just below the corner lands in
          // cell 0 along that axis, as the grid's rule says.
          const long i = static_cast<long>(sx / h), j = static_cast<long>(sy / h), q = static_cast<long>(sz / h);
          if (i < 0 || j < 0 || q < 0 || i >= side || j >= side || q >= side) continue;
          grid[i + side * (j + static_cast<long>(side) * q)] |= static_cast<unsigned char>(bit);
        }
  }
}

}  // namespace

void trel_sample_structure(int side, double h, Point3D origin, double, int bit_a, int bit_b, int n_a,
                           const Point3D* xyz_a, const float* radii_a, int n_b, const Point3D* xyz_b,
                           const float* radii_b, unsigned char* grid) {
  const double t0 = zam_get_time();
  mark_atoms(side, h, origin, bit_a, n_a, xyz_a, radii_a, grid);
  mark_atoms(side, h, origin, bit_b, n_b, xyz_b, radii_b, grid);
  const long cells = static_cast<long>(side) * side * side;
  int na = 0, nb = 0;
  for (long c = 0; c < cells; c++) {
    na += (grid[c] & bit_a) != 0;
    nb += (grid[c] & bit_b) != 0;
  }
  zam_msg("Generated %d sidechain and %d backbone grid cells.\n", na, nb);
  zam_msg("Sidechain volume = %.2lf; Backbone volume = %.2lf.\n", na * h * h * h, nb * h * h * h);
  zam_msg("Volume sampling done in %.2lf seconds.\n", zam_get_time() - t0);
}

int trel_coeff_calculate(int N, int pot_class, double h, double max_extent, int n_side, const Point3D* side_xyz,
                          const float* side_radii, int n_back, const Point3D* back_xyz, const float* back_radii,
                          double* sig, double* tau) {
  const double s = trel_potScale(pot_class);
  double r_max = 1.4 * s, q_max = 1.4 * s;
  std::vector<Point3D> xyz[2];
  std::vector<float> rad[2];
  const int counts[2] = {n_side, n_back};
  const Point3D* in_xyz[2] = {side_xyz, back_xyz};
  const float* in_rad[2] = {side_radii, back_radii};
  for (int set = 0; set < 2; set++)
    for (int a = 0; a < counts[set]; a++) {
      if (in_rad[set][a] <= 0.0f) continue;
      const Point3D p{in_xyz[set][a].x * s, in_xyz[set][a].y * s, in_xyz[set][a].z * s};
      const float r = static_cast<float>(in_rad[set][a] * s);
      xyz[set].push_back(p);
      rad[set].push_back(r);
      r_max = std::max(r_max, static_cast<double>(r));
      q_max = std::max(q_max, p.x * p.x + p.y * p.y + p.z * p.z);
    }
  const double E = std::min(std::sqrt(q_max) + 2.0 * r_max, max_extent);
  // A span of a million cells or more (or not a number) counts as a million,
  // a grid refused below, not an overflow.
  const double span = 2.0 * E / h;
  const int n = span >= 0.0 && span < 1e6 ? static_cast<int>(span) : 1000000;
  const int m = (n + 1) | 1, side = m + 1;
  const int cells = zam_grid_points("trel_coeff_calculate", "cells", side, side, side);
  if (cells < 0) return 0;
  const Point3D origin{-0.5 * h * m, -0.5 * h * m, -0.5 * h * m};
  std::vector<unsigned char> grid(static_cast<size_t>(cells), 0);
  trel_sample_structure(side, h, origin, 1.4 * s, 1, 2, static_cast<int>(xyz[0].size()), xyz[0].data(),
                        rad[0].data(), static_cast<int>(xyz[1].size()), xyz[1].data(), rad[1].data(), grid.data());
  std::vector<double> s1(anlm_size(N), 0.0), s2(anlm_size(N), 0.0);
  return zam_skin_integrate(N, side, h, origin, grid.data(), sig, tau, s1.data(), s2.data());
}
