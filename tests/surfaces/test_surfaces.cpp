// Surfaces of a real protein: the Gaussian contour mesh is closed and turned
// outward, and the skin sampling puts the exterior in a thin shell inside
// it and the interior where the atoms are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "docking/zam_docking_atoms.h"
#include "docking/zam_molecule.h"
#include "structure/zam_pdb.h"
#include "surfaces/zam_contour.h"
#include "surfaces/zam_gsurface.h"
#include "surfaces/zam_skin_calc.h"

namespace {

struct Ubiquitin {
  _pdb_image* image;
  _molecule mol;
  Ubiquitin() {
    image = zam_readPdb((std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1ubq.pdb").c_str(), nullptr);
    zam_load_pdb_molecule(&mol, 0, image, "1ubq");
  }
  ~Ubiquitin() {
    zam_free_molecule(&mol);
    zam_freePdb(image);
  }
};

// Every directed edge once and its reverse once: closed and consistently turned.
void expectClosed(const _mesh_surface& s) {
  std::map<std::pair<int, int>, int> directed;
  for (int t = 0; t < s.n_triangles; t++)
    for (int e = 0; e < 3; e++) directed[{s.triangles[3 * t + e], s.triangles[3 * t + (e + 1) % 3]}]++;
  int bad = 0;
  for (const auto& [edge, count] : directed) {
    auto back = directed.find({edge.second, edge.first});
    bad += count != 1 || back == directed.end() || back->second != 1;
  }
  EXPECT_EQ(bad, 0);
}

// Distance from p to the triangle abc: to its plane when the foot falls
// inside, else to the nearest of its edges.
double toSegment(Point3D p, Point3D a, Point3D b) {
  const Point3D ab = v_sub(b, a);
  const double L = square_vector(ab);
  const double t = L > 0.0 ? std::clamp(dot_product(v_sub(p, a), ab) / L, 0.0, 1.0) : 0.0;
  return d_ptpt(p, pt_ptv(a, v_lambdav(t, ab)));
}
double toTriangle(Point3D p, Point3D a, Point3D b, Point3D c) {
  const Point3D n = cross_product(v_sub(b, a), v_sub(c, a));
  const double n2 = square_vector(n);
  if (n2 > 0.0) {
    const Point3D foot = v_sub(p, v_lambdav(dot_product(v_sub(p, a), n) / n2, n));
    const double u = dot_product(cross_product(v_sub(b, a), v_sub(foot, a)), n),
                 v = dot_product(cross_product(v_sub(c, b), v_sub(foot, b)), n),
                 w = dot_product(cross_product(v_sub(a, c), v_sub(foot, c)), n);
    if (u >= 0 && v >= 0 && w >= 0) return d_ptpt(p, foot);
  }
  return std::min({toSegment(p, a, b), toSegment(p, b, c), toSegment(p, c, a)});
}

// Signed volume by the divergence theorem: positive when the triangles face outward.
double enclosed(const _mesh_surface& s) {
  double v = 0.0;
  for (int t = 0; t < s.n_triangles; t++) {
    const Point3D a = s.vertices[s.triangles[3 * t]], b = s.vertices[s.triangles[3 * t + 1]],
                  c = s.vertices[s.triangles[3 * t + 2]];
    v += dot_product(a, cross_product(b, c)) / 6.0;
  }
  return v;
}

TEST(Surfaces, ContourOfOneSphereIsClosedAndSized) {
  // One atom of radius 3 at the origin: the level-1 contour is its sphere.
  const int n = 31;
  const double h = 0.4;
  const Point3D origin{-6.0, -6.0, -6.0}, centre{0.0, 0.0, 0.0};
  const float radius = 3.0f;
  std::vector<float> grid(n * n * n, 0.0f);
  zam_sample_8cell(1, &centre, &radius, h, n, n, n, origin, grid.data());
  _mesh_surface s{};
  ASSERT_GT(zam_contour_grid(grid.data(), n, n, n, h, origin, zam_gaussian_threshold(), &s), 100);
  expectClosed(s);
  for (int v = 0; v < s.n_vertices; v++) EXPECT_NEAR(mag_vector(s.vertices[v]), 3.0, 0.07);
  EXPECT_NEAR(enclosed(s), 4.0 / 3.0 * M_PI * 27.0, 0.03 * 4.0 / 3.0 * M_PI * 27.0);
  EXPECT_NEAR(s.radius, 3.0, 0.07);
  zam_mesh_surface_free(&s);
}

TEST(Surfaces, ProteinSurfaceAndSkin) {
  Ubiquitin u;
  ASSERT_EQ(u.mol.loaded, 1);
  zam_gaussian_surface(&u.mol, 0, 0, 0, 1.5, 1.4, 0.6, 0.0, &u.mol.surface);
  const _mesh_surface& s = u.mol.surface;
  ASSERT_GT(s.n_triangles, 1000);
  expectClosed(s);
  EXPECT_GT(enclosed(s), 0.0);
  double r2 = 0.0;
  for (int v = 0; v < s.n_vertices; v++) r2 = std::max(r2, square_vector(s.vertices[v]));
  EXPECT_GT(s.radius, 10.0);
  EXPECT_DOUBLE_EQ(s.radius, std::sqrt(r2));

  // A grid about the model that holds the whole surface.
  const double h = 0.6;
  const int n = static_cast<int>(2.0 * s.radius / h) + 3;
  const Point3D origin{-n * h / 2, -n * h / 2, -n * h / 2};
  std::vector<unsigned char> grid(static_cast<size_t>(n) * n * n, 0);
  testutil::Capture said;
  zam_skin_calc(&u.mol, 0, 10, n, h, origin, 1.5, 1.4, 1, 2, grid.data());
  EXPECT_TRUE(said.has("Sampling surface and interior volumes for molecule 1ubq.")) << said.text;

  // The exterior lies inside the surface, within the shell the samples
  // reach (0.7 + 0.7 angstroms deep, plus a cell's half diagonal), judged by
  // the distance to the nearest vertex and the Gaussian density at the
  // cell centre.
  _docking_atoms* atoms = zam_docking_atoms_get(&u.mol, 0, 1.5, 1.4);
  const Point3D centres{origin.x + h / 2, origin.y + h / 2, origin.z + h / 2};
  std::vector<float> density(grid.size(), 0.0f);
  zam_sample_8cell(atoms->count, atoms->positions, atoms->expanded, h, n, n, n, centres, density.data());
  std::map<std::tuple<int, int, int>, std::vector<int>> near;  // triangles by 2-angstrom box of their first vertex
  auto box = [](Point3D p) {
    return std::make_tuple(int(std::floor(p.x / 2)), int(std::floor(p.y / 2)), int(std::floor(p.z / 2)));
  };
  double longest = 0.0;  // the longest triangle edge
  for (int t = 0; t < s.n_triangles; t++) {
    near[box(s.vertices[s.triangles[3 * t]])].push_back(t);
    for (int e = 0; e < 3; e++)
      longest = std::max(longest, d_ptpt(s.vertices[s.triangles[3 * t + e]], s.vertices[s.triangles[3 * t + (e + 1) % 3]]));
  }
  const double half_diagonal = h * std::sqrt(3.0) / 2;
  int exterior = 0, outside = 0, far = 0, interior = 0;
  for (int k = 0; k < n; k++)
    for (int j = 0; j < n; j++)
      for (int i = 0; i < n; i++) {
        const size_t c = i + n * (j + static_cast<size_t>(n) * k);
        interior += (grid[c] & 2) != 0;
        if (!(grid[c] & 1)) continue;
        exterior++;
        const Point3D p{centres.x + i * h, centres.y + j * h, centres.z + k * h};
        double best = 1e9;
        const auto [bx, by, bz] = box(p);
        for (int dx = -1; dx <= 1; dx++)
          for (int dy = -1; dy <= 1; dy++)
            for (int dz = -1; dz <= 1; dz++) {
              auto it = near.find({bx + dx, by + dy, bz + dz});
              if (it == near.end()) continue;
              for (int t : it->second) {
                const Point3D a = s.vertices[s.triangles[3 * t]];
                if (d_ptpt(p, a) - longest >= best) continue;  // no point of the triangle is nearer
                best = std::min(best, toTriangle(p, a, s.vertices[s.triangles[3 * t + 1]], s.vertices[s.triangles[3 * t + 2]]));
              }
            }
        far += best > 1.4 + half_diagonal;
        outside += density[c] <= zam_gaussian_threshold() && best > half_diagonal;
      }
  EXPECT_GT(exterior, 1000);
  EXPECT_EQ(far, 0);
  EXPECT_EQ(outside, 0);

  // The interior: the atoms' volume, within 20 per cent.
  double atom_volume = 0.0;
  for (int a = 0; a < atoms->count; a++) atom_volume += 4.0 / 3.0 * M_PI * std::pow(atoms->radii[a], 3);
  // The interior covers the atoms' union and reaches at most a cell's half
  // diagonal beyond it (its cells hold lattice points of the balls); the
  // union, measured on a 0.25 angstrom lattice, is 59 per cent of the
  // summed atom volumes here, the interior 79 per cent.
  auto unionVolume = [&](double grow) {
    const double g = 0.25;
    const int m = static_cast<int>(2.0 * s.radius / g) + 2;
    std::vector<unsigned char> in(static_cast<size_t>(m) * m * m, 0);
    const double o = -m * g / 2 + g / 2;
    for (int a = 0; a < atoms->count; a++) {
      const double r = atoms->radii[a] + grow;
      const Point3D x = atoms->positions[a];
      for (int k = std::max(0, int((x.z - r - o) / g)); k < m && o + k * g <= x.z + r; k++)
        for (int j = std::max(0, int((x.y - r - o) / g)); j < m && o + j * g <= x.y + r; j++)
          for (int i = std::max(0, int((x.x - r - o) / g)); i < m && o + i * g <= x.x + r; i++)
            if (d2_ptpt(x, Point3D{o + i * g, o + j * g, o + k * g}) < r * r) in[i + m * (j + size_t(m) * k)] = 1;
    }
    long inside = 0;
    for (unsigned char c : in) inside += c;
    return inside * g * g * g;
  };
  const double volume = interior * h * h * h;
  EXPECT_GT(volume, unionVolume(0.0));
  EXPECT_LT(volume, unionVolume(half_diagonal));
  EXPECT_NEAR(volume, atom_volume, 0.25 * atom_volume);
  zam_docking_atoms_free(atoms);
}

// One atom just below the grid's lower x edge: its interior is exactly the
// cells that hold a point of the 0.2 angstrom lattice within its whole
// radius; points below the grid mark nothing (no cell -1 turned into 0).
TEST(Surfaces, InteriorCellsOfOneAtom) {
  testutil::TempDir dir;
  const std::string path = dir.file("one.pdb");
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("ATOM      1  CA  ALA A   1      10.000  20.000  30.000  1.00  0.00           C\n", f);
    std::fclose(f);
  }
  _pdb_image* image = zam_readPdb(path.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 0, image, "one"), 1);
  const int n = 12;
  const double h = 0.5, r = 1.70;
  const Point3D origin{0.1, -3.0, -3.0};  // the atom, at the model origin, lies 0.1 below x = origin.x
  std::vector<unsigned char> grid(n * n * n, 0), expect(n * n * n, 0);
  testutil::Capture quiet;
  zam_skin_calc(&mol, 0, 1, n, h, origin, 1.5, 1.4, 0, 2, grid.data());
  const int K = 9;  // ceil(1.7 / 0.2)
  for (int c = -K; c <= K; c++)
    for (int b = -K; b <= K; b++)
      for (int a = -K; a <= K; a++) {
        const Point3D d{0.2 * a, 0.2 * b, 0.2 * c};
        if (square_vector(d) >= r * r) continue;
        const int i = int(std::floor((d.x - origin.x) / h)), j = int(std::floor((d.y - origin.y) / h)),
                  k = int(std::floor((d.z - origin.z) / h));
        if (i >= 0 && j >= 0 && k >= 0 && i < n && j < n && k < n) expect[i + n * (j + n * k)] = 2;
      }
  EXPECT_EQ(grid, expect);
  int marked = 0, first_layer = 0;
  for (int c = 0; c < n * n * n; c++) {
    marked += grid[c] != 0;
    first_layer += grid[c] && c % n == 0;
  }
  EXPECT_GT(marked, 40);
  EXPECT_GT(first_layer, 0);
  // Reaching the whole radius: cells 1.5 angstroms out along y are marked.
  EXPECT_EQ(grid[0 + n * (int(std::floor((1.5 + 3.0) / h)) + n * 6)], 2);
  zam_free_molecule(&mol);
  zam_freePdb(image);
}

}  // namespace
