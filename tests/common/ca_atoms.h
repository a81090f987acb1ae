// The C-alpha atoms of a PDB file, moved so that their centroid is at the
// origin: a small real point set for the shape-descriptor tests and benches.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "geometry/zam_transform.h"

namespace testutil {

inline std::vector<Point3D> centred_ca_atoms(const std::string& path) {
  std::ifstream in(path);
  std::vector<Point3D> p;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ATOM", 0) == 0 && line.size() > 54 && line.substr(12, 4) == " CA ")
      p.push_back(Point3D{std::stod(line.substr(30, 8)), std::stod(line.substr(38, 8)), std::stod(line.substr(46, 8))});
  Point3D c{0, 0, 0};
  for (const Point3D& q : p) c = Point3D{c.x + q.x, c.y + q.y, c.z + q.z};
  const double s = p.empty() ? 0.0 : 1.0 / p.size();
  for (Point3D& q : p) q = Point3D{q.x - c.x * s, q.y - c.y * s, q.z - c.z * s};
  return p;
}

}  // namespace testutil
