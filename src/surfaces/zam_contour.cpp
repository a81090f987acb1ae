// Marching tetrahedra.
#include "surfaces/zam_contour.h"

#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "docking/zam_molecule.h"

namespace {

// The six tetrahedra of a cube about its diagonal from corner 0 to corner 7
// (corner bits: 1 along x, 2 along y, 4 along z): one path along the axes
// in each order.
constexpr int kTets[6][4] = {{0, 1, 3, 7}, {0, 1, 5, 7}, {0, 2, 3, 7}, {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 6, 7}};

struct Builder {
  const float* grid;
  int nx, ny;
  double h;
  Point3D origin;
  double level;
  std::unordered_map<uint64_t, int> on_edge;  // node pair -> vertex
  std::vector<Point3D> vertices;
  std::vector<int> triangles;

  Point3D node(int64_t q) const {
    const int64_t i = q % nx, j = (q / nx) % ny, k = q / (static_cast<int64_t>(nx) * ny);
    return Point3D{origin.x + i * h, origin.y + j * h, origin.z + k * h};
  }

  // The vertex where the level crosses the edge of nodes a and b, made once
  // from the lower-numbered node so both sides of the edge agree on it.
  int vertex(int64_t a, int64_t b) {
    if (a > b) std::swap(a, b);
    const uint64_t key = static_cast<uint64_t>(a) << 32 | static_cast<uint64_t>(b);
    auto it = on_edge.find(key);
    if (it != on_edge.end()) return it->second;
    const double va = grid[a], vb = grid[b];
    const double t = (level - va) / (vb - va);
    const Point3D pa = node(a), pb = node(b);
    vertices.push_back(pt_ptv(pa, v_lambdav(t, v_sub(pb, pa))));
    const int id = static_cast<int>(vertices.size()) - 1;
    on_edge.emplace(key, id);
    return id;
  }

  // One triangle, turned so that its normal points along outward.
  void triangle(int a, int b, int c, Point3D outward) {
    const Point3D n = cross_product(v_sub(vertices[static_cast<size_t>(b)], vertices[static_cast<size_t>(a)]),
                                    v_sub(vertices[static_cast<size_t>(c)], vertices[static_cast<size_t>(a)]));
    if (dot_product(n, outward) < 0.0) std::swap(b, c);
    triangles.insert(triangles.end(), {a, b, c});
  }

  void tetrahedron(const int64_t q[4]) {
    int in[4], out[4], ni = 0, no = 0;
    for (int v = 0; v < 4; v++) {
      if (grid[q[v]] > level)
        in[ni++] = v;
      else
        out[no++] = v;
    }
    if (ni == 0 || ni == 4) return;
    Point3D ci = pt_zero(), co = pt_zero();
    for (int v = 0; v < ni; v++) ci = v_add(ci, node(q[in[v]]));
    for (int v = 0; v < no; v++) co = v_add(co, node(q[out[v]]));
    const Point3D outward = v_sub(v_lambdav(1.0 / no, co), v_lambdav(1.0 / ni, ci));
    if (ni == 1 || ni == 3) {
      const int lone = ni == 1 ? in[0] : out[0];
      const int* others = ni == 1 ? out : in;
      triangle(vertex(q[lone], q[others[0]]), vertex(q[lone], q[others[1]]), vertex(q[lone], q[others[2]]), outward);
      return;
    }
    // Two inside, two outside: a quadrilateral in cyclic order.
    const int e0 = vertex(q[in[0]], q[out[0]]), e1 = vertex(q[in[0]], q[out[1]]);
    const int e2 = vertex(q[in[1]], q[out[1]]), e3 = vertex(q[in[1]], q[out[0]]);
    triangle(e0, e1, e2, outward);
    triangle(e0, e2, e3, outward);
  }
};

}  // namespace

int zam_contour_grid(const float* grid, int nx, int ny, int nz, double h, Point3D origin, double level,
                     _mesh_surface* out) {
  Builder b{grid, nx, ny, h, origin, level, {}, {}, {}};
  const int64_t sx = 1, sy = nx, sz = static_cast<int64_t>(nx) * ny;
  const int64_t corner[8] = {0, sx, sy, sx + sy, sz, sx + sz, sy + sz, sx + sy + sz};
  for (int k = 0; k + 1 < nz; k++)
    for (int j = 0; j + 1 < ny; j++)
      for (int i = 0; i + 1 < nx; i++) {
        const int64_t base = i + sy * j + sz * k;
        for (const auto& t : kTets) {
          const int64_t q[4] = {base + corner[t[0]], base + corner[t[1]], base + corner[t[2]], base + corner[t[3]]};
          b.tetrahedron(q);
        }
      }
  const int nt = static_cast<int>(b.triangles.size() / 3);
  zam_mesh_surface_alloc(out, static_cast<int>(b.vertices.size()), nt);
  double r2 = 0.0;
  for (size_t v = 0; v < b.vertices.size(); v++) {
    out->vertices[v] = b.vertices[v];
    r2 = std::max(r2, square_vector(b.vertices[v]));
  }
  for (size_t e = 0; e < b.triangles.size(); e++) out->triangles[e] = b.triangles[e];
  for (int t = 0; t < nt; t++) out->flags[t] = 1;
  out->radius = std::sqrt(r2);
  return nt;
}
