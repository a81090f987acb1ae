// Sphere mesh: counts per order, neighbour and node rings, node triangles
// facing outward, dual-cell areas covering the sphere, mean spacings.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

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
