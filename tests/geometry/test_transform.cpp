// Points, vectors and rigid transforms: hand-computed maps, composition
// order, inversion, Euler round trips, polar points and printing.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <memory>
#include <string>

#include "common/log_capture.h"
#include "geometry/zam_transform.h"
#include "runtime/zam_log.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTol = 1e-12;

void expect_pt(Point3D a, Point3D b, double tol = kTol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

void expect_tf(const Matrix3D& a, const Matrix3D& b, double tol = 1e-10) {
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

// A random rigid transform from a random unit quaternion and translation.
Matrix3D random_rigid(std::mt19937& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  double w = g(rng), x = g(rng), y = g(rng), z = g(rng);
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  w /= n, x /= n, y /= n, z /= n;
  return Matrix3D{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y), 10 * g(rng),
                   2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x), 10 * g(rng),
                   2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y), 10 * g(rng)}};
}

std::string& captured = testutil::Messages::said();  // log_capture.h

}  // namespace

TEST(Vectors, ArithmeticAndConversions) {
  const Point3D a{1, 2, 3}, b{4, -5, 6};
  expect_pt(v_ptpt(a, b), Point3D{3, -7, 3});
  expect_pt(pt_midpt(a, b), Point3D{2.5, -1.5, 4.5});
  expect_pt(cross_product(Point3D{1, 0, 0}, Point3D{0, 1, 0}), Point3D{0, 0, 1});
  EXPECT_DOUBLE_EQ(det_vvv(Point3D{1, 0, 0}, Point3D{0, 1, 0}, Point3D{0, 0, 2}), 2.0);
  EXPECT_DOUBLE_EQ(dot_product(a, b), 12.0);
  EXPECT_DOUBLE_EQ(component_vv(a, Point3D{0, 0, 2}), 3.0);
  EXPECT_DOUBLE_EQ(component_vv(a, v_zero()), 0.0);
  EXPECT_DOUBLE_EQ(d_ptpt(Point3D{0, 0, 0}, Point3D{3, 4, 0}), 5.0);
  EXPECT_DOUBLE_EQ(d2_ptpt(Point3D{0, 0, 0}, Point3D{3, 4, 0}), 25.0);
  expect_pt(v_magv(Point3D{0, 3, 4}, 10), Point3D{0, 6, 8});
  expect_pt(v_lambdav(2, a), v_scale(a, 2));
  expect_pt(v_neg(a), op_vector(a));
  // The point and vector readings of one value are plain copies.
  expect_pt(pt_v(v_ptpt(a, b)), v_sub(b, a), 0);
  expect_pt(pt_ptv(a, v_pt(b)), Point3D{5, -3, 9}, 0);
  const double d[3] = {1.5, -2.5, 3.5};
  expect_pt(pt_doubles(d), Point3D{1.5, -2.5, 3.5});
  float f[3];
  floatv_pt(f, Point3D{0.1, 0.2, 0.3});
  EXPECT_FLOAT_EQ(f[1], 0.2f);
  expect_pt(pt_floatv(f), pt_ptf(ptf_pt(Point3D{0.1, 0.2, 0.3})), 0);
  EXPECT_NEAR(deg2rad(180.0), kPi, 1e-15);
  EXPECT_NEAR(rad2deg(kPi / 2), 90.0, 1e-12);
}

TEST(Vectors, DegenerateInputGivesNeutralValues) {
  expect_pt(v_unit(v_zero()), v_zero(), 0);
  EXPECT_EQ(a_vv(v_zero(), Point3D{1, 0, 0}), 0.0);
  // Parallel vectors whose cosine rounds past 1 must not give NaN.
  const Point3D p{0.1, 0.7, 0.3};
  for (double s : {1.0, 3.0, 1e-3, 7.77}) {
    const double a = a_vv(p, v_scale(p, s));
    EXPECT_FALSE(std::isnan(a));
    EXPECT_NEAR(a, 0.0, 1e-7);
    EXPECT_NEAR(a_vv(p, v_scale(p, -s)), kPi, 1e-7);
  }
  EXPECT_NEAR(a_vv(Point3D{1, 0, 0}, Point3D{1, 1, 0}), kPi / 4, 1e-15);
  expect_pt(pt_average(0, nullptr), pt_zero(), 0);
  expect_pt(pt_stddev(0, nullptr, Point3D{1, 1, 1}), pt_zero(), 0);
  EXPECT_EQ(stddev_pts(0, nullptr, Point3D{1, 1, 1}), 0.0);
}

TEST(Vectors, CentroidAndSpread) {
  const Point3D pts[4] = {{1, 0, 0}, {-1, 0, 0}, {0, 2, 0}, {0, -2, 4}};
  expect_pt(pt_average(4, pts), Point3D{0, 0, 1});
  // Squared distances from (0,0,1): 2, 2, 5, 13 -> mean 5.5.
  EXPECT_NEAR(stddev_pts(4, pts, Point3D{0, 0, 1}), std::sqrt(5.5), kTol);
  expect_pt(pt_stddev(4, pts, Point3D{0, 0, 1}),
            Point3D{std::sqrt(0.5), std::sqrt(2.0), std::sqrt(3.0)});
}

TEST(Polar, KnownPoints) {
  auto check = [](Point3D p, double r, double theta, double phi) {
    const PolarPoint pp = pp_pt(p);
    EXPECT_NEAR(pp.r, r, kTol);
    EXPECT_NEAR(pp.theta, theta, kTol);
    EXPECT_NEAR(pp.phi, phi, kTol);
  };
  check(Point3D{0, 0, 0}, 0, 0, 0);
  check(Point3D{0, 0, -1}, 1, kPi, 0);
  check(Point3D{-1, 0, 0}, 1, kPi / 2, kPi);
  check(Point3D{0, -1, 0}, 1, kPi / 2, 3 * kPi / 2);
  check(Point3D{0, 0, 2}, 2, 0, 0);
  check(Point3D{1, 1, 0}, std::sqrt(2.0), kPi / 2, kPi / 4);
  // Azimuth stays below a full turn for a vanishing negative y.
  EXPECT_LT(pp_pt(Point3D{1, -1e-300, 0}).phi, 2 * kPi);
  // Round trip through Cartesian coordinates.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-5, 5);
  for (int i = 0; i < 200; ++i) {
    const Point3D p{u(rng), u(rng), u(rng)};
    const PolarPoint pp = pp_pt(p);
    EXPECT_GE(pp.phi, 0.0);
    EXPECT_LT(pp.phi, 2 * kPi);
    expect_pt(pt_pp(pp), p, 1e-9);
  }
  EXPECT_NEAR(d_pp_pp(pp_make(1, 0, 0), pp_make(1, kPi, 0)), 2.0, kTol);
}

TEST(Transforms, ElementaryRotationsByHand) {
  expect_pt(pt_tfpt(tf_rotz(kPi / 2), Point3D{1, 0, 0}), Point3D{0, 1, 0});
  expect_pt(pt_tfpt(tf_rotx(kPi / 2), Point3D{0, 1, 0}), Point3D{0, 0, 1});
  expect_pt(pt_tfpt(tf_roty(kPi / 2), Point3D{0, 0, 1}), Point3D{1, 0, 0});
  expect_pt(pt_tfpt(tf_v(Point3D{1, 2, 3}), Point3D{1, 1, 1}), Point3D{2, 3, 4});
  expect_pt(pt_tfpt(tf_diagonal(1, 2, 3), Point3D{1, 1, 1}), Point3D{1, 2, 3});
  expect_pt(pt_tfpt(tf_scale(2), Point3D{1, -1, 3}), Point3D{2, -2, 6});
  // v_tfv ignores the translation.
  Matrix3D t = tf_rotz(kPi / 2);
  t.m[3] = 5;
  expect_pt(v_tfv(t, Point3D{1, 0, 0}), Point3D{0, 1, 0});
  expect_pt(v_tf(t), Point3D{5, 0, 0});
  EXPECT_NEAR(det_tf(tf_rotx(0.3)), 1.0, kTol);
  EXPECT_NEAR(det_tf(tf_diagonal(1, 2, 3)), 6.0, kTol);
  EXPECT_NEAR(trace_tf(tf_rotz(kPi / 3)), 2.0, kTol);
}

TEST(Transforms, EulerMatrixMatchesElementaryProduct) {
  const Euler e{0.3, 1.1, -2.0};
  // Rz(alpha) Ry(beta) Rz(gamma): gamma acts first.
  expect_tf(tf_euler(e), tf3(tf_rotz(e.gamma), tf_roty(e.beta), tf_rotz(e.alpha)), 1e-14);
}

TEST(Transforms, CompositionAppliesFirstArgumentFirst) {
  const double a = 0.7;
  const Point3D v{1, -2, 3}, p{0.5, 1.5, -2.5};
  // Rotate, then translate.
  expect_pt(pt_tfpt(tf_tftf(tf_rotx(a), tf_v(v)), p), v_add(pt_tfpt(tf_rotx(a), p), v));
  // Translate, then rotate.
  expect_pt(pt_tfpt(tf_tftf(tf_v(v), tf_rotx(a)), p), pt_tfpt(tf_rotx(a), v_add(p, v)));
  // Hand case: x-axis turned a quarter about z gives y, then a quarter about x gives z.
  expect_pt(pt_tfpt(tf_tftf(tf_rotz(kPi / 2), tf_rotx(kPi / 2)), Point3D{1, 0, 0}),
            Point3D{0, 0, 1});
  expect_tf(tf2(tf_rotx(a), tf_v(v)), tf_tftf(tf_rotx(a), tf_v(v)), 0);
  // tf3..tf8 fold from the left.
  const Matrix3D t[8] = {tf_rotx(0.1), tf_v(v), tf_roty(0.2), tf_rotz(0.3),
                         tf_v(p),      tf_rotx(-0.4), tf_roty(0.5), tf_v(Point3D{1, 1, 1})};
  Matrix3D acc = t[0];
  Point3D q = p;
  for (int i = 0; i < 8; ++i) q = pt_tfpt(t[i], q);
  for (int i = 1; i < 8; ++i) acc = tf_tftf(acc, t[i]);
  expect_pt(pt_tfpt(acc, p), q);
  expect_tf(tf8(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]), acc);
  expect_tf(tf4(t[0], t[1], t[2], t[3]), tf_tftf(tf3(t[0], t[1], t[2]), t[3]));
  expect_tf(tf5(t[0], t[1], t[2], t[3], t[4]), tf_tftf(tf4(t[0], t[1], t[2], t[3]), t[4]));
}

TEST(Transforms, InverseOfRigidAndNonRigid) {
  std::mt19937 rng(11);
  for (int i = 0; i < 50; ++i) {
    const Matrix3D t = random_rigid(rng);
    expect_tf(tf_tftf(t, tf_inverse(t)), tf_identity());
    expect_tf(tf_tftf(tf_inverse(t), t), tf_identity());
    EXPECT_NEAR(det_tf(t), 1.0, 1e-12);
  }
  // Hand case: rotate a quarter about z, then shift by (1, 0, 0).
  const Matrix3D t = tf_tftf(tf_rotz(kPi / 2), tf_v(Point3D{1, 0, 0}));
  expect_pt(pt_tfpt(tf_inverse(t), Point3D{1, 1, 0}), Point3D{1, 0, 0});
  // Only the transpose is taken, so a scaled matrix is not inverted.
  const Matrix3D s = tf_tftf(tf_scale(2), tf_v(Point3D{1, 2, 3}));
  const Matrix3D st = tf_tftf(s, tf_inverse(s));
  EXPECT_NEAR(st.m[0], 4.0, kTol);
  expect_tf(tf_transpose(tf_rotx(0.4)), tf_rotx(-0.4), 1e-15);
}

TEST(Transforms, SplittersRecompose) {
  std::mt19937 rng(5);
  const Matrix3D T = random_rigid(rng);
  Point3D t, u;
  Matrix3D R, R2;
  tr_tf(&t, &R, T);
  expect_tf(tf_tftf(R, tf_v(t)), T);
  EXPECT_EQ(R.m[3], 0.0);
  rt_tf(&R2, &u, T);
  expect_tf(tf_tftf(tf_v(u), R2), T);
  expect_tf(tf_rtf(T), R);
}

TEST(Transforms, MatrixArrayRoundTrips) {
  const double m9[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Matrix3D t = tf_mat33(m9);
  EXPECT_EQ(t.m[1], 4.0);  // column-major: R[0][1] = m[3]
  EXPECT_EQ(t.m[4], 2.0);
  double back[9];
  mat33_tf(back, t);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(back[i], m9[i]);
  double m16[16];
  for (int i = 0; i < 16; ++i) m16[i] = i + 1;
  const Matrix3D t4 = tf_mat44(m16);
  EXPECT_EQ(t4.m[3], 13.0);
  EXPECT_EQ(t4.m[7], 14.0);
  EXPECT_EQ(t4.m[11], 15.0);
  double out[16];
  mat44_tf(out, t4);
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[4 * j + i], m16[4 * j + i]);
  EXPECT_EQ(out[3], 0.0);
  EXPECT_EQ(out[7], 0.0);
  EXPECT_EQ(out[11], 0.0);
  EXPECT_EQ(out[15], 1.0);
  expect_tf(tf_copy(t4), t4, 0);
}

TEST(Euler, SpecialRotations) {
  auto check = [](Euler e, double a, double b, double g, double tol = 1e-9) {
    EXPECT_NEAR(e.alpha, a, tol);
    EXPECT_NEAR(e.beta, b, tol);
    EXPECT_NEAR(e.gamma, g, tol);
  };
  check(euler_tf(tf_identity()), 0, 0, 0);
  for (double a : {0.1, 1.0, 2.5, 3.5, 5.0, 6.2}) check(euler_tf(tf_rotz(a)), a, 0, 0);
  check(euler_tf(tf_rotz(5e-7)), 0, 0, 0);
  check(euler_tf(tf_rotz(2 * kPi - 5e-7)), 0, 0, 0);
  check(euler_tf(tf_rotz(kPi)), kPi, 0, 0);
  // Within the tolerance bands the nearest degenerate form comes back: close
  // to the rotation, not exact.
  for (const Matrix3D& t : {tf_rotz(kPi - 5e-4), tf_roty(1e-3), tf_roty(kPi - 1e-3)}) {
    const Matrix3D back = tf_euler(euler_tf(t));
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(back.m[i], t.m[i], 2e-3);
  }
  check(euler_tf(tf_roty(kPi)), 0, kPi, 0);
  check(euler_tf(tf_rotx(kPi)), -kPi, kPi, 0);
}

TEST(Euler, HalfTurnsKeepTheirRotation) {
  // Axis with negative z: negative beta, same rotation back.
  const Point3D u = v_unit(Point3D{0.8, 0.1, -0.6});
  const Matrix3D h = Matrix3D{{2 * u.x * u.x - 1, 2 * u.x * u.y, 2 * u.x * u.z, 0,
                               2 * u.x * u.y, 2 * u.y * u.y - 1, 2 * u.y * u.z, 0,
                               2 * u.x * u.z, 2 * u.y * u.z, 2 * u.z * u.z - 1, 0}};
  const Euler e = euler_tf(h);
  EXPECT_LT(e.beta, 0.0);
  expect_tf(tf_euler(e), h, 1e-9);
  // Axes with a zero x component, where the first row carries no sign.
  for (Point3D a : {Point3D{0, 1, -1}, Point3D{0, 1, 1}, Point3D{0, -2, 1}, Point3D{0, 0.3, -1}}) {
    const Point3D w = v_unit(a);
    const Matrix3D r = Matrix3D{{2 * w.x * w.x - 1, 2 * w.x * w.y, 2 * w.x * w.z, 0,
                                 2 * w.x * w.y, 2 * w.y * w.y - 1, 2 * w.y * w.z, 0,
                                 2 * w.x * w.z, 2 * w.y * w.z, 2 * w.z * w.z - 1, 0}};
    expect_tf(tf_euler(euler_tf(r)), r, 1e-9);
  }
}

TEST(Euler, RoundTripsOverRandomRotations) {
  std::mt19937 rng(3);
  // Outside the tolerance bands (trace near -1, |R[2][2]| near 1) the round
  // trip is exact to rounding.
  auto in_band = [](const Matrix3D& t) {
    return std::fabs(trace_tf(t) + 1.0) < 1e-5 || std::fabs(t.m[10]) >= 0.99999;
  };
  for (int i = 0; i < 500; ++i) {
    const Matrix3D t = tf_rtf(random_rigid(rng));
    if (in_band(t)) continue;
    const Euler e = euler_tf(t);
    expect_tf(tf_euler(e), t, 1e-9);
    EXPECT_GE(e.alpha, 0.0);
    EXPECT_LT(e.alpha, 2 * kPi);
    EXPECT_GT(e.beta, 0.0);
    EXPECT_LT(e.beta, kPi);
  }
  std::uniform_real_distribution<double> ang(0.01, 2 * kPi - 0.01), bet(0.01, kPi - 0.01);
  for (int i = 0; i < 500; ++i) {
    const Euler e{ang(rng), bet(rng), ang(rng)};
    if (in_band(tf_euler(e))) continue;
    const Euler f = euler_tf(tf_euler(e));
    EXPECT_NEAR(f.alpha, e.alpha, 1e-8);
    EXPECT_NEAR(f.beta, e.beta, 1e-8);
    EXPECT_NEAR(f.gamma, e.gamma, 1e-8);
  }
}

TEST(Euler, AngleWrapping) {
  EXPECT_EQ(euler_beta(1.0), 1.0);
  EXPECT_EQ(euler_beta(-kPi), -kPi);
  EXPECT_NEAR(euler_beta(1.5 * kPi), -0.5 * kPi, kTol);
  EXPECT_NEAR(euler_beta(2.5 * kPi), 0.5 * kPi, kTol);
  EXPECT_NEAR(euler_beta(-1.5 * kPi), 0.5 * kPi, kTol);
  EXPECT_NEAR(euler_beta(-2.5 * kPi), -0.5 * kPi, kTol);
  EXPECT_EQ(euler_beta(2 * kPi - 1e-7), 0.0);
  EXPECT_EQ(euler_beta(-(2 * kPi - 1e-7)), 0.0);
}

TEST(Printing, TitleIsDataAndFourthRowEnds) {
  auto heard = std::make_unique<testutil::Messages>();
  print_tf("100% sure %s\n", tf_v(Point3D{1, 2, 3}));
  print_transformation(tf_identity());
  heard.reset();
  const std::string expect1 =
      "100% sure %s\n"
      " 1.000000 0.000000 0.000000 1.000000\n"
      " 0.000000 1.000000 0.000000 2.000000\n"
      " 0.000000 0.000000 1.000000 3.000000\n"
      " 0.000000 0.000000 0.000000 1.000000\n\n";
  ASSERT_GE(captured.size(), expect1.size());
  EXPECT_EQ(captured.substr(0, expect1.size()), expect1);
  const std::string rest = captured.substr(expect1.size());
  EXPECT_EQ(rest.rfind("Matrix3D matrix is :\n", 0), 0u);
  EXPECT_EQ(rest.substr(rest.size() - 38), " 0.000000 0.000000 0.000000 1.000000\n\n");
}
