// A structure's shape for the descriptor tests and benchmarks: the cells of a
// cubic grid of 1 angstrom, centred on the origin, that lie within 4 angstroms
// of an atom, integrated into one coefficient vector of the given order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "geometry/zam_transform.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_skin.h"

namespace testutil {

// grid cells per side; 0 takes a grid wide enough for every atom and its reach.
inline std::vector<double> sampled_shape(const std::vector<Point3D>& atoms, int order, int grid = 52) {
  constexpr double kCell = 1.0;
  if (grid <= 0) {
    double reach = 0.0;
    for (const Point3D& a : atoms) reach = std::max(reach, std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z));
    grid = 2 * (int)std::ceil(reach + 5.0);
  }
  const double half = 0.5 * grid * kCell;
  std::vector<unsigned char> skin((size_t)grid * grid * grid, 0);
  auto cell_of = [&](double x) { return static_cast<int>(std::floor((x + half) / kCell)); };
  for (const Point3D& a : atoms)
    for (int k = std::max(0, cell_of(a.z - 4.0)); k <= std::min(grid - 1, cell_of(a.z + 4.0)); k++)
      for (int j = std::max(0, cell_of(a.y - 4.0)); j <= std::min(grid - 1, cell_of(a.y + 4.0)); j++)
        for (int i = std::max(0, cell_of(a.x - 4.0)); i <= std::min(grid - 1, cell_of(a.x + 4.0)); i++) {
          const double dx = a.x - ((i + 0.5) * kCell - half), dy = a.y - ((j + 0.5) * kCell - half),
                       dz = a.z - ((k + 0.5) * kCell - half);
          if (dx * dx + dy * dy + dz * dz < 16.0) skin[i + grid * (j + (size_t)grid * k)] = 1;
        }
  const int K = anlm_size(order);
  std::vector<double> a(K), b(K), c(K), d(K);
  zam_skin_integrate(order, grid, kCell, Point3D{-half, -half, -half}, skin.data(), a.data(), b.data(), c.data(),
                     d.data());
  return a;
}

}  // namespace testutil
