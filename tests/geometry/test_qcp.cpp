// Least-squares superposition: recovery of random rigid motions by both
// methods, weighted fits, mirror images, degenerate sets and the RMS helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "geometry/zam_qcp.h"
#include "geometry/zam_transform.h"

namespace {

// A uniformly random rotation from a random unit quaternion.
Matrix3D random_motion(std::mt19937_64& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  std::uniform_real_distribution<double> t(-50.0, 50.0);
  double q[4], s = 0;
  for (double& v : q) {
    v = g(rng);
    s += v * v;
  }
  s = std::sqrt(s);
  for (double& v : q) v /= s;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  Matrix3D T{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y), t(rng),
              2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x), t(rng),
              2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y), t(rng)}};
  return T;
}

std::vector<Point3D> random_points(std::mt19937_64& rng, int n) {
  std::uniform_real_distribution<double> u(-20.0, 20.0);
  std::vector<Point3D> p(n);
  for (auto& v : p) v = Point3D{u(rng) + 30.0, u(rng) - 10.0, u(rng)};
  return p;
}

std::vector<Point3D> moved(const std::vector<Point3D>& p, const Matrix3D& T) {
  std::vector<Point3D> out(p.size());
  tf_pts(static_cast<int>(p.size()), out.data(), p.data(), T);
  return out;
}

double max_diff(const Matrix3D& a, const Matrix3D& b, bool rotation_only) {
  double d = 0;
  for (int k = 0; k < 12; k++)
    if (!rotation_only || k % 4 != 3) d = std::fmax(d, std::fabs(a.m[k] - b.m[k]));
  return d;
}

double det_rot(const Matrix3D& T) {
  const double* m = T.m;
  return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
         m[2] * (m[4] * m[9] - m[5] * m[8]);
}

bool is_identity_rotation(const Matrix3D& T, double tol) {
  const Matrix3D I = tf_identity();
  return max_diff(T, I, true) < tol;
}

}  // namespace

TEST(Superposition, RandomRigidMotionsAreRecoveredByBothMethods) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> count(3, 1000);
  double worst_q = 0, worst_e = 0, worst_rq = 0, worst_re = 0;
  for (int trial = 0; trial < 10000; trial++) {
    const int n = trial < 200 ? 3 + trial % 5 : count(rng);
    const auto a = random_points(rng, n);
    const Matrix3D T = random_motion(rng);
    const auto b = moved(a, T);
    const Matrix3D Q = tf_fitQCP(n, a.data(), b.data());
    const Matrix3D E = tf_fitPts(n, a.data(), b.data());
    worst_q = std::fmax(worst_q, rms_tf_pts(n, a.data(), b.data(), Q));
    worst_e = std::fmax(worst_e, rms_tf_pts(n, a.data(), b.data(), E));
    worst_rq = std::fmax(worst_rq, max_diff(Q, T, true));
    worst_re = std::fmax(worst_re, max_diff(E, T, true));
  }
  EXPECT_LT(worst_q, 1e-9);
  EXPECT_LT(worst_e, 1e-9);
  EXPECT_LT(worst_rq, 1e-9);
  EXPECT_LT(worst_re, 1e-9);
}

TEST(Superposition, NoisyFitsAgreeAndAreProper) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 0.8);
  for (int trial = 0; trial < 500; trial++) {
    const int n = 4 + trial;
    const auto a = random_points(rng, n);
    auto b = moved(a, random_motion(rng));
    for (auto& p : b) p = Point3D{p.x + noise(rng), p.y + noise(rng), p.z + noise(rng)};
    const Matrix3D Q = tf_fitQCP(n, a.data(), b.data());
    const Matrix3D E = tf_fitPts(n, a.data(), b.data());
    EXPECT_LT(max_diff(Q, E, false), 1e-7) << n;
    EXPECT_NEAR(det_rot(Q), 1.0, 1e-12);
    // Least squares: a small turn of the fit never lowers the RMSD.
    const double r = rms_tf_pts(n, a.data(), b.data(), Q);
    const Matrix3D turned = tf_tftf(Q, tf_rotz(1e-3));
    EXPECT_LE(r, rms_tf_pts(n, a.data(), b.data(), turned) + 1e-12);
  }
}

TEST(Superposition, WeightedFitsMatchHandDerivedAnswers) {
  // Three pairs fit by a quarter turn about z and a shift; the fourth pair is
  // an outlier. With weight 0 on the outlier both weighted fits must return
  // exactly the motion of the other three.
  const Matrix3D T = tf_tftf(tf_rotz(M_PI / 2), tf_v(Point3D{1, 2, 3}));
  std::vector<Point3D> a = {{0, 0, 0}, {2, 0, 0}, {0, 3, 0}, {1, 1, 5}};
  auto b = moved(a, T);
  b[3] = Point3D{40, -7, 2};
  const double w[4] = {1, 1, 1, 0};
  EXPECT_LT(max_diff(tf_fitQCPwts(4, a.data(), b.data(), w), T, false), 1e-12);
  EXPECT_LT(max_diff(tf_fitPtsWts(4, a.data(), b.data(), w), T, false), 1e-12);

  // Two pairs of a line segment, weighted 3:1, where the second list is
  // shifted by (0, 1, 0) at one end and (0, -1, 0) at the other: the
  // weighted centres give the translation (0, 0.5, 0) and the pull of the
  // heavier pair decides nothing about rotation (both ends pulled sideways
  // symmetrically about the weighted centre gives a turn by atan).
  // Hand-derived: a = (+-1, 0, 0) with weights 3 and 1, b = (1, 1, 0) and
  // (-1, -1, 0): c1 = (0.5, 0, 0), c2 = (0.5, 0.5, 0); centred a: (0.5, 0, 0)
  // and (-1.5, 0, 0), centred b: (0.5, 0.5, 0) and (-1.5, -1.5, 0); the best
  // turn maps the x axis onto (1, 1, 0) / sqrt 2: 45 degrees about z.
  std::vector<Point3D> la = {{1, 0, 0}, {-1, 0, 0}}, lb = {{1, 1, 0}, {-1, -1, 0}};
  const double lw[2] = {3, 1};
  for (const Matrix3D& F : {tf_fitQCPwts(2, la.data(), lb.data(), lw),
                            tf_fitPtsWts(2, la.data(), lb.data(), lw)}) {
    const Point3D p = pt_tfpt(F, Point3D{0.5, 0, 0});
    EXPECT_NEAR(p.x, 0.5, 1e-12);
    EXPECT_NEAR(p.y, 0.5, 1e-12);
    const Point3D dir = v_tfv(F, Point3D{1, 0, 0});
    EXPECT_NEAR(dir.x, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(dir.y, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(det_rot(F), 1.0, 1e-12);
  }
}

TEST(Superposition, UniformWeightsEqualUnweightedFits) {
  std::mt19937_64 rng(11);
  const int n = 57;
  const auto a = random_points(rng, n);
  auto b = moved(a, random_motion(rng));
  std::normal_distribution<double> noise(0.0, 1.0);
  for (auto& p : b) p.x += noise(rng);
  std::vector<double> ones(n, 1.0), twos(n, 2.0);
  const Matrix3D Q = tf_fitQCP(n, a.data(), b.data());
  const Matrix3D E = tf_fitPts(n, a.data(), b.data());
  EXPECT_LT(max_diff(tf_fitQCPwts(n, a.data(), b.data(), ones.data()), Q, false), 1e-12);
  EXPECT_LT(max_diff(tf_fitPtsWts(n, a.data(), b.data(), ones.data()), E, false), 1e-12);
  EXPECT_LT(max_diff(tf_fitPtsWts(n, a.data(), b.data(), twos.data()),
                     tf_fitPtsWts(n, a.data(), b.data(), ones.data()), false), 1e-12);
  EXPECT_LT(max_diff(tf_fitQCPwts(n, a.data(), b.data(), twos.data()), Q, false), 1e-10);
}

TEST(Superposition, AllZeroWeightsGiveIdentityRotation) {
  std::vector<Point3D> a = {{0, 0, 0}, {1, 0, 0}, {0, 2, 1}}, b = {{5, 0, 0}, {5, 1, 0}, {3, 0, 1}};
  const double w[3] = {0, 0, 0};
  for (const Matrix3D& F : {tf_fitQCPwts(3, a.data(), b.data(), w),
                            tf_fitPtsWts(3, a.data(), b.data(), w)}) {
    EXPECT_TRUE(is_identity_rotation(F, 1e-300));
    EXPECT_NEAR(F.m[3], 13.0 / 3 - 1.0 / 3, 1e-12);  // plain means
    EXPECT_NEAR(F.m[7], 1.0 / 3 - 2.0 / 3, 1e-12);
  }
}

TEST(Superposition, MirrorImagesGiveProperRotations) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 200; trial++) {
    const int n = 5 + trial % 50;
    const auto a = random_points(rng, n);
    auto b = moved(a, random_motion(rng));
    for (auto& p : b) p.x = -p.x;
    const Matrix3D Q = tf_fitQCP(n, a.data(), b.data());
    const Matrix3D E = tf_fitPts(n, a.data(), b.data());
    EXPECT_NEAR(det_rot(Q), 1.0, 1e-9);
    EXPECT_NEAR(det_rot(E), 1.0, 1e-9);
    // Both give the least-squares proper rotation.
    EXPECT_NEAR(rms_tf_pts(n, a.data(), b.data(), Q), rms_tf_pts(n, a.data(), b.data(), E), 1e-8);
    EXPECT_LT(max_diff(Q, E, false), 1e-6);
  }
}

TEST(Superposition, CollinearSetsAreFitExactly) {
  std::vector<Point3D> a;
  for (int i = 0; i < 6; i++) a.push_back(Point3D{1.0 + i, 2.0 + 2 * i, -1.0 + 0.5 * i});
  const Matrix3D T = tf_tftf(tf_rotx(0.7), tf_tftf(tf_roty(-1.1), tf_v(Point3D{4, -3, 9})));
  const auto b = moved(a, T);
  for (const Matrix3D& F : {tf_fitQCP(6, a.data(), b.data()), tf_fitPts(6, a.data(), b.data())}) {
    EXPECT_LT(rms_tf_pts(6, a.data(), b.data(), F), 1e-9);
    EXPECT_NEAR(det_rot(F), 1.0, 1e-12);
  }
  // The same line fit onto itself reversed: still exact and proper.
  std::vector<Point3D> r(a.rbegin(), a.rend());
  const Matrix3D F = tf_fitQCP(6, a.data(), r.data());
  EXPECT_LT(rms_tf_pts(6, a.data(), r.data(), F), 1e-9);
}

TEST(Superposition, CoincidentAndSinglePointsGivePureTranslations) {
  std::vector<Point3D> a(4, Point3D{1, 2, 3}), b(4, Point3D{-2, 5, 7});
  for (const Matrix3D& F : {tf_fitQCP(4, a.data(), b.data()), tf_fitPts(4, a.data(), b.data()),
                            tf_fitQCP(1, a.data(), b.data()), tf_fitPts(1, a.data(), b.data())}) {
    EXPECT_TRUE(is_identity_rotation(F, 1e-15));
    EXPECT_DOUBLE_EQ(F.m[3], -3);
    EXPECT_DOUBLE_EQ(F.m[7], 3);
    EXPECT_DOUBLE_EQ(F.m[11], 4);
  }
}

TEST(Superposition, EmptyInputGivesIdentity) {
  const Matrix3D I = tf_identity();
  const double w[1] = {1};
  EXPECT_EQ(max_diff(tf_fitQCP(0, nullptr, nullptr), I, false), 0);
  EXPECT_EQ(max_diff(tf_fitQCPwts(0, nullptr, nullptr, w), I, false), 0);
  EXPECT_EQ(max_diff(tf_fitPts(0, nullptr, nullptr), I, false), 0);
  EXPECT_EQ(max_diff(tf_fitPtsWts(0, nullptr, nullptr, w), I, false), 0);
  EXPECT_EQ(max_diff(tf_fitRot(0, nullptr, nullptr), I, false), 0);
  EXPECT_EQ(rms_pts(0, nullptr, nullptr), 0.0);
  EXPECT_EQ(rms_d2pts(0, nullptr), 0.0);
  EXPECT_EQ(rms_tf_pts(0, nullptr, nullptr, I), 0.0);
}

TEST(Superposition, FlatSetsUseTheCrossProduct) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-10, 10);
  std::vector<Point3D> a(30);
  for (auto& p : a) p = Point3D{u(rng), u(rng), 2.0};
  const Matrix3D T = random_motion(rng);
  const auto b = moved(a, T);
  EXPECT_LT(max_diff(tf_fitPts(30, a.data(), b.data()), T, false), 1e-9);
  EXPECT_LT(max_diff(tf_fitQCP(30, a.data(), b.data()), T, false), 1e-9);
}

TEST(Superposition, RotationAboutTheOrigin) {
  std::mt19937_64 rng(9);
  const auto a = random_points(rng, 20);
  Matrix3D R = random_motion(rng);
  R.m[3] = R.m[7] = R.m[11] = 0;
  const auto b = moved(a, R);
  EXPECT_LT(max_diff(tf_fitRot(20, a.data(), b.data()), R, false), 1e-9);
}

TEST(Rms, KnownValues) {
  std::vector<Point3D> a = {{0, 0, 0}, {1, 1, 1}}, b = {{3, 4, 0}, {1, 1, 1}};
  EXPECT_DOUBLE_EQ(rms_pts(2, a.data(), b.data()), std::sqrt(12.5));
  const double d2[3] = {1, 4, 7};
  EXPECT_DOUBLE_EQ(rms_d2pts(3, d2), 2.0);
  const Matrix3D T = tf_v(Point3D{3, 4, 0});
  EXPECT_DOUBLE_EQ(rms_tf_pts(2, a.data(), b.data(), T), std::sqrt(12.5));
  tf_pts(2, a.data(), a.data(), T);  // in place
  EXPECT_DOUBLE_EQ(a[0].x, 3);
  EXPECT_DOUBLE_EQ(a[1].y, 5);
}

TEST(LeastSquaresPlane, NormalPointsAwayFromReference) {
  std::vector<Point3D> p = {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}, {2, 3, 1}};
  Plane below = pl_pts_pt(5, p.data(), Point3D{0, 0, -4});
  EXPECT_NEAR(below.c, 1.0, 1e-12);
  EXPECT_NEAR(below.d, -1.0, 1e-12);
  Plane above = pl_pts_pt(5, p.data(), Point3D{0, 0, 9});
  EXPECT_NEAR(above.c, -1.0, 1e-12);
  EXPECT_NEAR(above.d, 1.0, 1e-12);
}
