// Quaternions and axis-angle rotations: conversions in both directions,
// Hamilton products and rotation distances.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geometry/zam_quat.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void expect_pt(Point3D a, Point3D b, double tol = 1e-12) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

void expect_tf(const Matrix3D& a, const Matrix3D& b, double tol = 1e-10) {
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

Quaternion random_unit_q(std::mt19937& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  Quaternion q{g(rng), g(rng), g(rng), g(rng)};
  const double n = std::sqrt(dot_qq(q, q));
  return Quaternion{q.w / n, q.x / n, q.y / n, q.z / n};
}

Point3D random_axis(std::mt19937& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  return v_unit(Point3D{g(rng), g(rng), g(rng)});
}

}  // namespace

TEST(Quaternion, HamiltonProducts) {
  const Quaternion i{0, 1, 0, 0}, j{0, 0, 1, 0}, k{0, 0, 0, 1};
  const Quaternion ij = q_qq(i, j);
  EXPECT_EQ(ij.w, 0.0);
  EXPECT_EQ(ij.z, 1.0);
  const Quaternion ji = q_q2(j, i);
  EXPECT_EQ(ji.z, -1.0);
  const Quaternion ijk = q_q3(i, j, k);  // i j k = -1
  EXPECT_EQ(ijk.w, -1.0);
  const Quaternion iiii = q_q4(i, i, i, i);
  EXPECT_EQ(iiii.w, 1.0);
  const Quaternion c = q_inv(Quaternion{1, 2, 3, 4});
  EXPECT_EQ(c.x, -2.0);
  EXPECT_EQ(c.w, 1.0);
  EXPECT_DOUBLE_EQ(d2_qq(Quaternion{1, 0, 0, 0}, Quaternion{0, 1, 1, 1}), 4.0);
  EXPECT_DOUBLE_EQ(d_qq(Quaternion{1, 0, 0, 0}, Quaternion{0, 1, 1, 1}), 2.0);
  const Quaternion m = q_make(0.5, Point3D{1, 2, 3});
  EXPECT_EQ(m.w, 0.5);
  EXPECT_EQ(m.z, 3.0);
}

TEST(Quaternion, MatrixAxisAndPointAgree) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> ang(0.01, 2 * kPi - 0.01);
  for (int n = 0; n < 200; ++n) {
    const AxisAngle aa{ang(rng), random_axis(rng)};
    const Quaternion q = q_axis(aa);
    expect_tf(tf_q(q), tf_axis(aa));
    expect_tf(tf_axis_trig(aa), tf_axis(aa));
    expect_tf(tf_rotv(v_scale(aa.axis, 3.7), aa.angle), tf_axis(aa));
    expect_tf(tf_q_axis(q), tf_axis(aa), 1e-8);
    const Point3D p{1.5, -2, 0.25};
    expect_pt(pt_qpt(q, p), pt_tfpt(tf_q(q), p));
    // Angles above pi come back as they were.
    const AxisAngle back = axis_q(q);
    EXPECT_NEAR(back.angle, aa.angle, 1e-8);
    expect_pt(back.axis, aa.axis, 1e-8);
  }
  // Hand case: a quarter turn about z takes x to y.
  expect_pt(pt_qpt(q_axis(AxisAngle{kPi / 2, Point3D{0, 0, 1}}), Point3D{1, 0, 0}),
            Point3D{0, 1, 0});
}

TEST(Quaternion, MatrixRoundTripsOverRandomRotations) {
  std::mt19937 rng(2);
  for (int n = 0; n < 500; ++n) {
    const Quaternion q = random_unit_q(rng);
    const Matrix3D t = tf_q(q);
    EXPECT_NEAR(det_tf(t), 1.0, 1e-12);
    // Back to a quaternion: the same one or its negative.
    const Quaternion r = q_tf(t);
    EXPECT_NEAR(std::fabs(dot_qq(q, r)), 1.0, 1e-8);
    expect_tf(tf_q(r), t, 1e-8);
    const Euler e = euler_tf(t);
    EXPECT_NEAR(std::fabs(dot_qq(q_euler(e), q)), 1.0, 1e-6);
  }
}

TEST(AxisAngle, SpecialMatrices) {
  AxisAngle a = axis_tf(tf_identity());
  EXPECT_EQ(a.angle, 0.0);
  expect_pt(a.axis, Point3D{0, 0, 1}, 0);
  a = axis_tf(tf_rotx(kPi));
  EXPECT_NEAR(a.angle, kPi, 1e-12);
  expect_pt(a.axis, Point3D{1, 0, 0});
  for (double t : {0.3, 1.5, 3.0}) {
    a = axis_tf(tf_rotz(t));
    EXPECT_NEAR(a.angle, t, 1e-9);
    expect_pt(a.axis, Point3D{0, 0, 1}, 1e-9);
  }
  for (double t : {3.5, 5.0, 6.0}) {
    a = axis_tf(tf_rotz(t));
    EXPECT_NEAR(a.angle, 2 * kPi - t, 1e-9);
    expect_pt(a.axis, Point3D{0, 0, -1}, 1e-9);
  }
  // Half turns about axes with a zero x component keep their relative signs.
  for (Point3D u : {Point3D{0, 1, -1}, Point3D{0, -1, 2}, Point3D{1, 0, -1}}) {
    const Point3D w = v_unit(u);
    const Matrix3D h = tf_axis(AxisAngle{kPi, w});
    a = axis_tf(h);
    EXPECT_NEAR(a.angle, kPi, 1e-9);
    EXPECT_NEAR(std::fabs(dot_product(a.axis, w)), 1.0, 1e-9);
    expect_tf(tf_axis(a), h, 1e-9);
  }
  // A quaternion with w = -1 is a full turn: zero vector part, zero axis.
  a = axis_q(Quaternion{-1, 0, 0, 0});
  EXPECT_NEAR(a.angle, 2 * kPi, 1e-12);
  expect_pt(a.axis, v_zero(), 0);
  a = axis_q(Quaternion{1, 0, 0, 0});
  EXPECT_EQ(a.angle, 0.0);
  expect_pt(a.axis, Point3D{0, 0, 1}, 0);
  // A zero axis for tf_rotv gives the identity rather than NaN.
  expect_tf(tf_rotv(v_zero(), 1.0), tf_identity(), 0);
}

TEST(RotationDistance, QuaternionMeasures) {
  std::mt19937 rng(4);
  for (int n = 0; n < 100; ++n) {
    const Quaternion q = random_unit_q(rng);
    const Quaternion neg{-q.w, -q.x, -q.y, -q.z};
    EXPECT_NEAR(ge_qq(q, neg), 0.0, 1e-7);
    EXPECT_FALSE(std::isnan(gf_qq(q, q)));
    EXPECT_NEAR(gf_qq(q, q), 0.0, 1e-7);
    EXPECT_NEAR(a_qq(q, q), 0.0, 1e-7);
    EXPECT_NEAR(gd_qq(q, q), 0.0, 1e-7);
  }
  // Rotations a quarter and a half turn about z differ by a quarter turn.
  const Quaternion a = q_axis(AxisAngle{kPi / 2, Point3D{0, 0, 1}});
  const Quaternion b = q_axis(AxisAngle{kPi, Point3D{0, 0, 1}});
  EXPECT_NEAR(ge_qq(a, b), kPi / 2, 1e-12);
  EXPECT_NEAR(gf_qq(b, a), kPi / 2, 1e-12);
  EXPECT_NEAR(gd_qq(a, b), kPi / 2, 1e-12);
}

TEST(RotationDistance, Transforms) {
  const Matrix3D a = tf_tftf(tf_rotx(0.4), tf_v(Point3D{1, 2, 3}));
  const Matrix3D b = tf_tftf(tf_rotx(0.4), tf_v(Point3D{-5, 0, 9}));
  EXPECT_EQ(gd_tftf(a, b), 0.0);
  EXPECT_NEAR(gd_tftf(tf_rotz(0.2), tf_rotz(1.1)), 0.9, 1e-12);
  EXPECT_NEAR(gd_tftf(tf_rotz(0.0), tf_roty(kPi)), 3.1415926535897927, 1e-15);
  std::mt19937 rng(8);
  for (int n = 0; n < 100; ++n) {
    const Matrix3D r1 = tf_q(random_unit_q(rng)), r2 = tf_q(random_unit_q(rng));
    EXPECT_NEAR(gd_tftf(r1, r2), axis_tf(tf_tftf(tf_transpose(r1), r2)).angle, 1e-7);
  }
}
