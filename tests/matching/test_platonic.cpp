// Point sets and rotation samples: set sizes and duals, the step-to-count
// choice at known steps and at a tie, and the samples carrying point 0 north.
#include <gtest/gtest.h>

#include <cmath>

#include "matching/zam_mesh.h"
#include "matching/zam_platonic.h"
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

}  // namespace
