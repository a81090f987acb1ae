// Point sets and rotation samples: set sizes and duals, the step-to-count
// choice at known steps and at a tie, and the samples carrying point 0 north.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "matching/zam_mesh.h"
#include "matching/zam_platonic.h"
#include "common/log_capture.h"
#include "geometry/zam_geom.h"
#include "matching/zam_distance_code.h"
#include "runtime/zam_vm.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Platonic, SetsDualsAndResolution) {
  setup_platonic();
  EXPECT_EQ(zam_mesh_order(), 12);
  EXPECT_EQ(platonic_dual(162), 320);
  EXPECT_EQ(platonic_dual(3380), 1692);
  EXPECT_EQ(platonic_dual(6), 8);
  EXPECT_EQ(platonic_dual(7), 0);
  EXPECT_EQ(platonic_poles(60), 32);
  EXPECT_EQ(platonic_nodes(42), 80);
  EXPECT_EQ(platonic_nodes(6), 8);
  EXPECT_EQ(platonic_angle(8), 0.0f);
  EXPECT_EQ(platonic_angle(99), 0.0f);
  EXPECT_NEAR(platonic_angle(12), std::atan(2.0), 1e-6);
  // Every pole set's cells nearly cover the sphere.
  double area = 0.0;
  for (int i = 0; i < 812; ++i) area += platonic_areas(812)[i];
  EXPECT_NEAR(area, 4.0 * kPi, 0.02 * 4.0 * kPi);

  EXPECT_EQ(platonic_resolution(20.0 * kPi / 180.0), 162);
  EXPECT_EQ(platonic_resolution(10.0 * kPi / 180.0), 492);
  EXPECT_EQ(platonic_resolution(7.5 * kPi / 180.0), 812);
  EXPECT_EQ(platonic_resolution(10.0), 12);
  EXPECT_EQ(platonic_resolution(0.0), 1692);
  const double a = platonic_angle(1212), b = platonic_angle(1002);
  EXPECT_EQ(platonic_resolution(0.5 * (a + b)), 1212);
}

TEST(Platonic, SamplesCarryPointZeroNorth) {
  Euler* e = nullptr;
  EXPECT_EQ(platonic_samples(0, &e), 1);
  EXPECT_EQ(e[0].alpha + e[0].beta + e[0].gamma, 0.0);
  zam_vm_free(e);
  ASSERT_EQ(platonic_samples(162, &e), 482);
  EXPECT_EQ(e[0].alpha, 0.0);
  EXPECT_NEAR(e[0].beta, 0.0, 1e-6);
  // Spacing and spread survive the rotation: the first 162 betas cover 0..pi.
  double max_beta = 0.0;
  for (int i = 0; i < 482; ++i) {
    EXPECT_EQ(e[i].alpha, 0.0);
    EXPECT_GE(e[i].beta, 0.0);
    EXPECT_LE(e[i].beta, kPi);
    if (i < 162) max_beta = std::fmax(max_beta, e[i].beta);
  }
  EXPECT_NEAR(max_beta, kPi, 1e-5);  // the pole opposite point 0
  zam_vm_free(e);
}

TEST(Platonic, BoxSamplesRebuildTheirGridPoints) {
  int centre = -1, *codes = nullptr;
  Euler *first = nullptr, *second = nullptr;
  const int n = box_samples(2.0, 2.0, 0.5, &centre, &first, &codes, &second);
  ASSERT_EQ(n, 27);
  std::vector<int> seen(27, 0);
  for (int p = 0; p < n; ++p) {
    if (p > 0) {
      ASSERT_LE(codes[p - 1], codes[p]);
    }
    // first . Z(-r) . second (second acting first) is the grid translation.
    const double r = zam_r12_did(codes[p]);
    const Matrix3D t = tf_tftf(tf_tftf(tf_euler(second[p]), tf_v(v_make(0.0, 0.0, -r))), tf_euler(first[p]));
    const Point3D v = v_tf(t);
    const double i = std::round(v.x / 2.0), j = std::round(v.y / 2.0), k = std::round((v.z - 0.5) / 2.0);
    EXPECT_NEAR(v.x, 2.0 * i, 0.05) << p;
    EXPECT_NEAR(v.y, 2.0 * j, 0.05) << p;
    EXPECT_NEAR(v.z, 2.0 * k + 0.5, 0.05) << p;
    ++seen[static_cast<int>((k + 1) * 9 + (j + 1) * 3 + (i + 1))];
    const Point3D x = v_tfv(t, v_make(0.3, -0.7, 0.2));  // no turn left over
    EXPECT_NEAR(d_ptpt(x, v_make(0.3, -0.7, 0.2)), 0.0, 1e-9) << p;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 27);
  // The centre sits 0.5 up: the nearest point, first after ordering.
  EXPECT_EQ(centre, 0);
  EXPECT_EQ(codes[0], zam_did_r12(0.5));
  zam_vm_free(first);
  zam_vm_free(second);
  zam_vm_free(codes);

  // The count known beforehand: 31^3 fits a pose code's receptor index, a
  // box one step wider (33^3) does not.
  EXPECT_EQ(box_sample_count(2.0, 2.0), 27);
  EXPECT_EQ(box_sample_count(30.0, 1.0), 29791);
  EXPECT_EQ(box_sample_count(32.0, 1.0), 35937);

  // A box below the step (or no step) keeps the centre alone, at distance 0.
  for (double step : {3.0, 0.0, -1.0}) {
    ASSERT_EQ(box_samples(2.0, step, 0.04, &centre, &first, &codes, &second), 1);
    EXPECT_EQ(centre, 0);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(second[0].alpha + second[0].beta + second[0].gamma, 0.0);
    zam_vm_free(first);
    zam_vm_free(second);
    zam_vm_free(codes);
  }
}

TEST(Platonic, PolarSamples) {
  Euler* rot = nullptr;
  int* codes = nullptr;
  ASSERT_EQ(polar_samples(1.0, 1.0, 2.0, &rot, &codes), 27);
  // The centre first (distance 2.0), then the six face neighbours at 3.0.
  EXPECT_EQ(codes[0], zam_did_r12(2.0));
  for (int p = 1; p < 7; ++p) EXPECT_EQ(codes[p], zam_did_r12(3.0));
  EXPECT_EQ(codes[26], zam_did_r12(2.0 + std::sqrt(3.0)));
  for (int p = 0; p < 27; ++p) {
    EXPECT_EQ(rot[p].alpha, 0.0);
    EXPECT_GE(rot[p].beta, 0.0);
    EXPECT_LE(rot[p].beta, kPi);
  }
  // The point straight up, (0, 0, 1): theta 0 gives beta pi.
  int up = 0;
  for (int p = 1; p < 7; ++p) up += std::fabs(rot[p].beta - kPi) < 1e-12;
  EXPECT_EQ(up, 1);
  zam_vm_free(rot);
  zam_vm_free(codes);
}

TEST(Platonic, FurtherPointQueries) {
  setup_platonic();
  float* v = nullptr;
  // The icosahedron's point 0 is the north pole already; the octahedron's
  // is point 2, which changes places; the tetrahedron has none.
  ASSERT_EQ(guess_vertices(12, &v), 12);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[2], platonic_vertices(12)[2]);
  zam_vm_free(v);
  ASSERT_EQ(guess_vertices(6, &v), 6);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[1], 0.0f);
  EXPECT_EQ(v[4], platonic_vertices(6)[0]);
  zam_vm_free(v);
  ASSERT_EQ(guess_vertices(4, &v), 5);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[2], platonic_vertices(4)[0]);
  zam_vm_free(v);

  Point3D* p = nullptr;
  const float spacing = platonic_angle(162);
  ASSERT_EQ(near_north_points(162, &p, 4.0f), 162);
  EXPECT_NEAR(p[0].z, 1.0, 1e-6);
  zam_vm_free(p);
  EXPECT_EQ(near_north_points(162, &p, 0.5f * spacing), 1);
  zam_vm_free(p);
  EXPECT_EQ(near_north_points(162, &p, 1.3f * spacing), 6);  // an icosahedron pole: five neighbours
  zam_vm_free(p);

  float* u = unit_sphere_points(42);
  for (int i = 0; i < 42; ++i)
    EXPECT_NEAR(u[3 * i] * u[3 * i] + u[3 * i + 1] * u[3 * i + 1] + u[3 * i + 2] * u[3 * i + 2], 1.0, 1e-6);
  zam_vm_free(u);

  double* d = unit_cube_poles(2.0);
  EXPECT_DOUBLE_EQ(d[0], 1.0);  // the north pole meets the top face
  for (int i = 0; i < zam_npoles(); ++i) {
    ASSERT_GE(d[i], 1.0 - 1e-12);
    ASSERT_LE(d[i], std::sqrt(3.0) + 1e-12);
  }
  zam_vm_free(d);

  testutil::Capture said;
  platonic_print_check();
  EXPECT_TRUE(said.has("Tetrahedron face 3 = 1,3,2: "));
  EXPECT_TRUE(said.has("cube face 11 = 5,7,6: "));
  EXPECT_EQ(std::count(said.text.begin(), said.text.end(), '\n'), 4 + 8 + 12);

  EXPECT_EQ(platonic_set_radius(2.0), 1.0);
  EXPECT_EQ(platonic_set_radius(2.0), 2.0);
  EXPECT_EQ(platonic_set_radius(1.0), 2.0);
}

}  // namespace
