// Points binned in cubic cells of one edge, for the pair searches of the
// docking code: every point within one edge of a place lies in the place's
// cell or one of the 26 around it.
#pragma once

#include <cmath>
#include <unordered_map>
#include <vector>

#include "geometry/zam_transform.h"

struct _zam_atom_cells {
  double edge;
  std::unordered_map<long, std::vector<int>> cells;  // numbers of the points in each cell

  // Cell indices packed into one key, 21 bits each.
  static long key(long x, long y, long z) {
    constexpr long kBias = 1L << 20, kMask = (1L << 21) - 1;
    return ((x + kBias) & kMask) << 42 | ((y + kBias) & kMask) << 21 | ((z + kBias) & kMask);
  }
  long at(double v) const { return std::lround(std::floor(v / edge)); }
  void add(int id, Point3D p) { cells[key(at(p.x), at(p.y), at(p.z))].push_back(id); }
  // f(id) for every point of the 27 cells about p.
  template <class F>
  void near(Point3D p, F f) const {
    const long x = at(p.x), y = at(p.y), z = at(p.z);
    for (long dx = -1; dx <= 1; dx++)
      for (long dy = -1; dy <= 1; dy++)
        for (long dz = -1; dz <= 1; dz++) {
          auto it = cells.find(key(x + dx, y + dy, z + dz));
          if (it == cells.end()) continue;
          for (int id : it->second) f(id);
        }
  }
};
