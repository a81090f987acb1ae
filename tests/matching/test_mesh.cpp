// Sphere mesh: counts per order, neighbour and node rings, node triangles
// facing outward, dual-cell areas covering the sphere, mean spacings.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "matching/zam_mesh.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Counts {
  int order, poles, nodes, edges;
};

TEST(Mesh, CountsRingsAndAreasOfEveryOrder) {
  const Counts table[] = {{0, 12, 20, 30},    {-1, 32, 60, 90},   {1, 42, 80, 120},
                          {2, 92, 180, 270},  {3, 162, 320, 480}, {4, 252, 500, 750},
                          {8, 812, 1620, 2430}, {12, 1692, 3380, 5070}};
  for (const Counts& c : table) {
    SCOPED_TRACE(c.order);
    zam_open_mesh(c.order, 0.0, 1.0);
    ASSERT_EQ(zam_mesh_order(), c.order);
    ASSERT_EQ(zam_npoles(), c.poles);
    ASSERT_EQ(zam_nnodes(), c.nodes);
    ASSERT_EQ(zam_nedges(), c.edges);
    double area = 0.0, node_area = 0.0;
    for (int i = 0; i < zam_npoles(); ++i) {
      int nb[6], nodes[6];
      const int n = zam_pole_poles(i, nb);
      ASSERT_EQ(n, i < 12 ? 5 : 6) << "pole " << i;
      zam_pole_nodes(i, nodes);
      std::set<int> distinct;
      for (int k = 0; k < n; ++k) {
        ASSERT_GE(nodes[k], 0);
        distinct.insert(nodes[k]);
        int a, b, cc;
        zam_node_poles(nodes[k], &a, &b, &cc);
        ASSERT_TRUE(a == i || b == i || cc == i);
      }
      ASSERT_EQ(static_cast<int>(distinct.size()), n);
      if (n == 5) {
        ASSERT_EQ(nodes[5], -1);
      }
      // Ring runs counter-clockwise seen from outside.
      const Point3D p = zam_pole(i), q0 = zam_node(nodes[0]), q1 = zam_node(nodes[1]);
      ASSERT_GT(dot_product(cross_product(v_sub(q0, p), v_sub(q1, p)), p), 0.0);
      area += zam_pole_area(i);
      ASSERT_NEAR(mag_vector(p), 1.0, 1e-12);
    }
    for (int i = 0; i < zam_nnodes(); ++i) {
      int a, b, cc, nn[3];
      zam_node_poles(i, &a, &b, &cc);
      const Point3D pa = zam_pole(a), pb = zam_pole(b), pc = zam_pole(cc);
      ASSERT_GT(dot_product(cross_product(v_sub(pb, pa), v_sub(pc, pa)), pa), 0.0);
      ASSERT_EQ(zam_node_nodes(i, nn), 3);
      node_area += zam_node_area(i);
    }
    // The planar cells tile an inscribed polyhedron: just under 4 pi, and
    // closer as the mesh refines.
    EXPECT_LT(area, 4.0 * kPi);
    EXPECT_LT(node_area, 4.0 * kPi);
    if (c.order >= 8) {
      EXPECT_GT(node_area, 0.995 * 4.0 * kPi);
    }
    int a, b;
    for (int e = 0; e < zam_nedges(); ++e) {
      zam_edge_nodes(e, &a, &b);
      ASSERT_TRUE(a >= 0 && b >= 0 && a != b);
      zam_edge_poles(e, &a, &b);
      ASSERT_LT(a, b);
    }
  }
}

TEST(Mesh, SpacingRadiusRotationAndReopen) {
  zam_open_mesh(0, 0.0, 1.0);
  double pa, na;
  zam_mesh_angles(&pa, &na);
  EXPECT_NEAR(pa, std::atan(2.0), 1e-12);
  EXPECT_EQ(zam_nfaces(-1), 12);
  EXPECT_EQ(zam_nfaces(3), 162);

  // Order 3 of edge 1: the poles that split an icosahedron edge lie one
  // apart (pole 12 is the first on the edge from pole 0 to pole 1).
  zam_open_mesh(3, 1.0, 0.0);
  EXPECT_NEAR(d_ptpt(zam_pole(0), zam_pole(12)), 1.0, 1e-12);
  EXPECT_NEAR(d_ptpt(zam_pole(12), zam_pole(13)), 1.0, 1e-12);
  zam_set_radius(2.0);
  EXPECT_NEAR(mag_vector(zam_node(7)), 2.0, 1e-12);

  zam_set_rotation(0.0, kPi, 0.0);  // pole 0 (north) goes south
  zam_open_mesh(3, 0.0, 5.0);       // same order: nothing changes
  EXPECT_NEAR(zam_pole(0).z, -2.0, 1e-12);
  zam_clear_rotation();
  EXPECT_NEAR(zam_pole(0).z, 2.0, 1e-12);
  zam_close_mesh();
  EXPECT_EQ(zam_mesh_order(), -9);
  EXPECT_EQ(zam_npoles(), 0);
}

}  // namespace

namespace {

// The pole nearest a direction by looking at every pole.
int brute_nearest(Point3D u) {
  int best = 0;
  for (int i = 1; i < zam_npoles(); ++i)
    if (dot_product(zam_pole(i), u) > dot_product(zam_pole(best), u)) best = i;
  return best;
}

// Directions spread over the sphere, poles and seams included.
std::vector<std::pair<double, double>> directions() {
  std::vector<std::pair<double, double>> d{{0.0, 0.0}, {kPi, 0.0}, {0.5 * kPi, 0.0}, {atan(2.0), 0.0}};
  for (int i = 0; i < 997; ++i) d.emplace_back(std::acos(1.0 - 2.0 * (i + 0.5) / 997), 2.399963229728653 * i);
  return d;
}

}  // namespace

TEST(Mesh, NearestPoleWithAndWithoutGrid) {
  for (int order : {0, -1, 1, 3, 12}) {
    SCOPED_TRACE(order);
    zam_close_mesh();
    zam_open_mesh(order, 0.0, 1.0);
    EXPECT_EQ(zam_ncells(), 0);
    EXPECT_EQ(zam_grid_cell(1.0, 1.0), -1);
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) zam_enable_grid();
      int misses = 0;
      for (auto [theta, phi] : directions()) {
        const Point3D u = pt_pp(pp_make(1.0, theta, phi));
        const int got = zam_nearest_pole(theta, phi), want = brute_nearest(u);
        // Near-ties within the climb's tolerance may pick either pole.
        if (dot_product(zam_pole(got), u) < dot_product(zam_pole(want), u) - 1e-5) ++misses;
      }
      EXPECT_EQ(misses, 0) << (pass ? "grid" : "climb");
    }
    // Every pole lies in a cell whose region holds its direction.
    for (int i = 0; i < zam_npoles(); ++i) {
      const PolarPoint p = pp_pt(zam_pole(i));
      double t0, t1, p0, p1;
      zam_grid_region(zam_grid_cell(p.theta, p.phi), &t0, &t1, &p0, &p1);
      ASSERT_TRUE(p.theta >= t0 - 1e-12 && p.theta <= t1 + 1e-12) << i;
      ASSERT_TRUE(p.phi >= p0 - 1e-12 && p.phi <= p1 + 1e-12) << i;
    }
  }
}

TEST(Mesh, GridBandsCapsAndCells) {
  zam_close_mesh();
  zam_open_mesh(12, 0.0, 1.0);
  zam_enable_grid();
  const int n = zam_npoles(), bands = zam_nbands();
  // Caps of one pole's area (4 pi / n), mirrored bands, about a cell a pole.
  EXPECT_NEAR(zam_grid_theta(0), std::acos(1.0 - 2.0 / n), 1e-12);
  EXPECT_EQ(bands, 2 * 21);
  EXPECT_DOUBLE_EQ(zam_grid_theta(bands / 2 - 1), 0.5 * kPi);
  EXPECT_DOUBLE_EQ(zam_grid_theta(bands - 1), kPi);
  EXPECT_EQ(zam_grid_theta(bands), 0.0);
  for (int b = 0; b < bands - 1; ++b) {
    ASSERT_LT(zam_grid_theta(b), zam_grid_theta(b + 1));
    ASSERT_NEAR(zam_grid_theta(b) + zam_grid_theta(bands - 2 - b), kPi, 1e-12);
  }
  EXPECT_NEAR(std::sin(zam_grid_theta(1)), 0.1, 1e-12);  // the one band spaced in sin(theta)
  EXPECT_GT(zam_ncells(), n);
  EXPECT_LT(zam_ncells(), n + bands);
  EXPECT_EQ(zam_grid_cell(0.0, 3.0), 0);
  EXPECT_EQ(zam_grid_cell(kPi, 1.0), zam_ncells() - 1);
  // phi = 0 and a full turn stay in the band's first cell.
  const int first = zam_grid_cell(1.0, 0.0);
  EXPECT_EQ(zam_grid_cell(1.0, 2.0 * kPi), first);
  EXPECT_EQ(zam_grid_cell(1.0, 1e-9), first);
  double t0, t1, p0, p1;
  zam_grid_region(first, &t0, &t1, &p0, &p1);
  EXPECT_EQ(p0, 0.0);
  EXPECT_LT(t0, 1.0);
  EXPECT_GE(t1, 1.0);
  zam_grid_region(0, &t0, &t1, &p0, &p1);
  EXPECT_EQ(t0, 0.0);
  EXPECT_DOUBLE_EQ(p1, 2.0 * kPi);
  // Reopening drops the grid.
  zam_open_mesh(3, 0.0, 1.0);
  EXPECT_EQ(zam_ncells(), 0);
  EXPECT_EQ(zam_nbands(), 0);
}

TEST(Mesh, PoleRingsCoverTheSphereOnce) {
  zam_open_mesh(3, 0.0, 1.0);
  for (int start : {0, 57}) {
    zam_pole_ring_start(start);
    std::set<int> seen{start};
    std::vector<int> lengths;
    for (;;) {
      int len = 0;
      const int* ring = zam_pole_ring_next(&len);
      if (len == 0) break;
      lengths.push_back(len);
      for (int k = 0; k < len; ++k) ASSERT_TRUE(seen.insert(ring[k]).second) << ring[k];
    }
    zam_pole_ring_end();
    EXPECT_EQ(static_cast<int>(seen.size()), 162);
    EXPECT_EQ(lengths[0], start < 12 ? 5 : 6);  // the neighbours first
    if (start == 0) {
      EXPECT_EQ(lengths[1], 10);
    }
  }
}
