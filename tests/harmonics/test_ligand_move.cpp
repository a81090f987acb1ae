// Rigid moves of coefficient vectors: the identity and a zero pose copy, a
// pose and its inverse give the vector back, the pose move agrees with the
// move by the pose's transform, and a moved expansion takes at T x the value
// the original took at x.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "common/test_util.h"
#include "geometry/zam_geom.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_ligand_move.h"
#include "harmonics/zam_tm.h"

namespace {

constexpr int kN = 12;
const int kGto[2] = {1, 1};

// Keeps the translation matrices off the user's disk: series only.
struct NoCache {
  NoCache() { zam_cache_mode(0); }
};

// A lumpy function: Gaussians of the lowest GTO at three points off the
// origin, each made by a translation along z and a rotation of the Gaussian
// at the origin (distances on the translation grid).
std::vector<double> lumps() {
  const int K = anlm_size(kN);
  std::vector<double> sum(K, 0.0), one(K, 0.0), moved(K);
  one[0] = 1.0;
  const struct {
    double r;
    Euler e;
  } at[] = {{1.0, {0.3, 1.1, 0.0}}, {1.5, {2.0, 2.2, 0.0}}, {0.5, {-1.0, 0.4, 0.0}}};
  for (const auto& p : at) {
    const Matrix3D T = tf_tftf(tf_v(v_make(0.0, 0.0, p.r)), tf_euler(p.e));
    EXPECT_EQ(zam_ligand_transform_anlm(kN, 1, kGto, T, one.data(), moved.data()), 1);
    for (int i = 0; i < K; ++i) sum[i] += (i % 3 + 1) * moved[i];
  }
  return sum;
}

double value(const std::vector<double>& a, Point3D x) {
  const PolarPoint p = pp_pt(x);
  return anlm_value_h(kN, a.data(), p.r, p.theta, p.phi);
}

// The pose transform of a solution: lig, then +r12 along z, then rec^-1.
Matrix3D pose(double r12, Euler rec, Euler lig) {
  return tf_tftf(tf_tftf(tf_euler(lig), tf_v(v_make(0.0, 0.0, r12))), tf_transpose(tf_euler(rec)));
}

TEST(LigandMove, IdentityAndZeroPoseCopy) {
  NoCache off;
  const std::vector<double> a = lumps();
  std::vector<double> b(2 * a.size()), in(2 * a.size());
  for (size_t i = 0; i < a.size(); ++i) in[i] = a[i], in[a.size() + i] = -2.0 * a[i];
  const Euler zero{0.0, 0.0, 0.0};
  ASSERT_EQ(zam_ligand_move_anlm(kN, 2, kGto, 0.0, zero, zero, in.data(), b.data()), 1);
  EXPECT_EQ(b, in);
  ASSERT_EQ(zam_ligand_transform_anlm(kN, 2, kGto, tf_identity(), in.data(), b.data()), 1);
  EXPECT_EQ(b, in);
  // A turn that is undone within the pose: lig and rec the same, no shift.
  const Euler e{0.7, 1.2, -0.4};
  ASSERT_EQ(zam_ligand_move_anlm(kN, 2, kGto, 0.0, e, e, in.data(), b.data()), 1);
  for (size_t i = 0; i < b.size(); ++i) ASSERT_NEAR(b[i], in[i], 1e-12) << i;
}

TEST(LigandMove, PoseAgreesWithItsTransformAndUndoes) {
  NoCache off;
  const std::vector<double> a = lumps();
  const size_t K = a.size();
  const Euler rec{0.4, 2.0, 1.3}, lig{-2.5, 0.8, 0.6};
  const double r12 = 2.4;
  std::vector<double> by_pose(K), by_transform(K), back(K);
  ASSERT_EQ(zam_ligand_move_anlm(kN, 1, kGto, r12, rec, lig, a.data(), by_pose.data()), 1);
  ASSERT_EQ(zam_ligand_transform_anlm(kN, 1, kGto, pose(r12, rec, lig), a.data(), by_transform.data()), 1);
  for (size_t i = 0; i < K; ++i) ASSERT_NEAR(by_pose[i], by_transform[i], 1e-10) << i;
  // The inverse move restores the lower orders, where the cut basis is exact.
  ASSERT_EQ(zam_ligand_transform_anlm(kN, 1, kGto, tf_inverse(pose(r12, rec, lig)), by_pose.data(), back.data()),
            1);
  double worst = 0.0;
  for (int i = 0; i < anlm_size(4); ++i) worst = std::fmax(worst, std::fabs(back[i] - a[i]));
  EXPECT_LT(worst, 1e-8);
  // in and out may be one array.
  std::vector<double> same = a;
  ASSERT_EQ(zam_ligand_move_anlm(kN, 1, kGto, r12, rec, lig, same.data(), same.data()), 1);
  EXPECT_EQ(same, by_pose);
}

TEST(LigandMove, MovedFunctionTakesItsValuesAlong) {
  NoCache off;
  const std::vector<double> a = lumps();
  const Euler rec{1.0, 0.5, -0.3}, lig{0.2, 2.6, 1.9};
  const double r12 = 1.5;
  const Matrix3D T = pose(r12, rec, lig);
  std::vector<double> b(a.size()), swapped(a.size());
  ASSERT_EQ(zam_ligand_move_anlm(kN, 1, kGto, r12, rec, lig, a.data(), b.data()), 1);
  // The rotations the other way round: a different pose, which must show.
  ASSERT_EQ(zam_ligand_move_anlm(kN, 1, kGto, r12, lig, rec, a.data(), swapped.data()), 1);
  double worst = 0.0, apart = 0.0;
  for (Point3D x : {v_make(0, 0, 0), v_make(0.5, 0.2, 0.9), v_make(-1.0, 0.3, 0.1), v_make(0.2, -0.8, -0.6),
                    v_make(1.2, 1.1, 0.0), v_make(-0.4, -0.2, 1.4)}) {
    const double want = value(a, x), got = value(b, pt_tfpt(T, x));
    worst = std::fmax(worst, std::fabs(got - want));
    apart = std::fmax(apart, std::fabs(value(swapped, pt_tfpt(T, x)) - want));
  }
  EXPECT_LT(worst, 1e-6);
  EXPECT_GT(apart, 1e-3);
}

}  // namespace
