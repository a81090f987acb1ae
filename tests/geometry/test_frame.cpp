// Local frames and docking decompositions: where the frames put their
// points, rotations about bonds, and recomposition of the decompositions.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geometry/zam_frame.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void expect_pt(Point3D a, Point3D b, double tol = 1e-10) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

void expect_tf(const Matrix3D& a, const Matrix3D& b, double tol = 1e-10) {
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

Point3D random_pt(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-10, 10);
  return Point3D{u(rng), u(rng), u(rng)};
}

Matrix3D random_rigid(std::mt19937& rng) {
  std::uniform_real_distribution<double> a(0, 2 * kPi);
  return tf4(tf_rotz(a(rng)), tf_roty(a(rng)), tf_rotz(a(rng)), tf_v(random_pt(rng)));
}

}  // namespace

TEST(Frames, TwoPointFrames) {
  std::mt19937 rng(1);
  for (int n = 0; n < 100; ++n) {
    const Point3D p1 = random_pt(rng), p2 = random_pt(rng);
    const double d = d_ptpt(p1, p2);
    const Matrix3D neg = tf_origin_negz(p1, p2), pos = tf_origin_posz(p1, p2);
    expect_pt(pt_tfpt(neg, p1), pt_zero());
    expect_pt(pt_tfpt(neg, p2), Point3D{0, 0, -d});
    expect_pt(pt_tfpt(pos, p1), pt_zero());
    expect_pt(pt_tfpt(pos, p2), Point3D{0, 0, d});
    const Matrix3D old = tf_origin_negz_old(p1, p2);
    expect_pt(pt_tfpt(old, p1), pt_zero());
    expect_pt(pt_tfpt(old, p2), Point3D{0, 0, -d});
    const Point3D v = random_pt(rng);
    const Matrix3D pv = tf_origin_poszv(p1, v);
    expect_pt(pt_tfpt(pv, p1), pt_zero());
    expect_pt(v_tfv(pv, v), Point3D{0, 0, mag_vector(v)});
  }
  // Coinciding points: the translation, plus a half turn about y for negz.
  const Point3D p{1, 2, 3};
  expect_tf(tf_origin_posz(p, p), tf_origin(p));
  expect_tf(tf_origin_negz(p, p), tf_tftf(tf_origin(p), tf_roty(kPi)));
  expect_pt(pt_tfpt(tf_1_point(p), pt_zero()), p);
  // Axis-aligned cases of the arctangent frame.
  for (Point3D q : {Point3D{0, 0, 1}, Point3D{0, 0, -1}, Point3D{2, 0, 0}, Point3D{-2, 0, 0},
                    Point3D{0, 3, 0}, Point3D{0, -3, 0}, Point3D{1, 0, 1}}) {
    expect_pt(pt_tfpt(tf_origin_negz_old(pt_zero(), q), q), Point3D{0, 0, -mag_vector(q)});
  }
}

TEST(Frames, ResidueFramePlacesCaCAndN) {
  // A backbone-like triple: CA at the origin, C on -z, N in the x-z half
  // plane with positive x.
  const Point3D CA{11.104, 6.134, -6.504}, C{11.639, 6.071, -5.087}, N{11.751, 6.829, -7.592};
  const Matrix3D f = tf_origin_negz_posx(CA, C, N);
  expect_pt(pt_tfpt(f, CA), pt_zero());
  const Point3D c = pt_tfpt(f, C), n = pt_tfpt(f, N);
  EXPECT_NEAR(c.x, 0, 1e-10);
  EXPECT_NEAR(c.y, 0, 1e-10);
  EXPECT_NEAR(c.z, -d_ptpt(CA, C), 1e-10);
  EXPECT_NEAR(n.y, 0, 1e-10);
  EXPECT_GT(n.x, 0);
  // Distances and the N-CA-C angle are kept.
  EXPECT_NEAR(mag_vector(n), d_ptpt(CA, N), 1e-10);
  EXPECT_NEAR(a_vv(n, c), a_vv(v_sub(N, CA), v_sub(C, CA)), 1e-10);
  EXPECT_NEAR(det_tf(f), 1.0, 1e-12);
  // The rows of the rotation are the local axes in global coordinates.
  const Point3D row0{f.m[0], f.m[1], f.m[2]}, row1{f.m[4], f.m[5], f.m[6]},
      row2{f.m[8], f.m[9], f.m[10]};
  expect_pt(row2, v_unit(v_sub(CA, C)));
  const Point3D nca = v_sub(N, CA);
  expect_pt(row0, v_unit(v_sub(nca, v_scale(row2, dot_product(nca, row2)))));
  expect_pt(row1, cross_product(row2, row0));
  // The +z variant: C on +z, N still at y = 0 with x >= 0.
  const Matrix3D g = tf_origin_posz_posx(CA, C, N);
  expect_pt(pt_tfpt(g, C), Point3D{0, 0, d_ptpt(CA, C)});
  EXPECT_NEAR(pt_tfpt(g, N).y, 0, 1e-10);
  EXPECT_GE(pt_tfpt(g, N).x, 0);
}

TEST(Frames, ThirdPointOnTheAxisMakesNoTurn) {
  const Point3D p1{1, 1, 1}, p2{2, 3, 4};
  const Point3D on = v_add(p1, v_scale(v_sub(p2, p1), 2.5));
  expect_tf(tf_origin_negz_posx(p1, p2, on), tf_origin_negz(p1, p2), 1e-12);
  std::mt19937 rng(3);
  for (int n = 0; n < 100; ++n) {
    const Point3D a = random_pt(rng), b = random_pt(rng), c = random_pt(rng);
    const Point3D q = pt_tfpt(tf_origin_negz_posx(a, b, c), c);
    EXPECT_NEAR(q.y, 0, 1e-9);
    EXPECT_GE(q.x, 0);
    const Point3D w = random_pt(rng);
    const Matrix3D f = tf_origin_poszv_posxv(a, b, w);
    const Point3D wr = v_tfv(f, w);
    EXPECT_NEAR(wr.y, 0, 1e-9);
    EXPECT_GE(wr.x, -1e-12);
    expect_pt(v_tfv(f, b), Point3D{0, 0, mag_vector(b)}, 1e-9);
  }
}

TEST(Frames, RowBuiltRotation) {
  const Matrix3D t = tf_3_vectors(Point3D{0, 1, 0}, Point3D{0, 0, 1}, Point3D{1, 0, 0});
  expect_pt(pt_tfpt(t, Point3D{1, 2, 3}), Point3D{2, 3, 1});
  expect_tf(tf_3_points(Point3D{0, 1, 0}, Point3D{0, 0, 1}, Point3D{1, 0, 0}), t, 0);
}

TEST(Frames, RotationAboutABond) {
  std::mt19937 rng(5);
  for (int n = 0; n < 50; ++n) {
    const Point3D p1 = random_pt(rng), p2 = random_pt(rng), q = random_pt(rng);
    const Matrix3D t = tf_ptpta(p1, p2, 1.234);
    expect_pt(pt_tfpt(t, p1), p1, 1e-9);
    expect_pt(pt_tfpt(t, p2), p2, 1e-9);
    expect_pt(pt_tfpt(t, pt_midpt(p1, p2)), pt_midpt(p1, p2), 1e-9);
    // Distance to the line is kept.
    const Point3D mid = pt_midpt(p1, p2);
    EXPECT_NEAR(d_ptpt(pt_tfpt(t, q), mid), d_ptpt(q, mid), 1e-9);
  }
  for (double a : {0.3, -1.0, 2.5}) {
    expect_tf(tf_ptpta(pt_zero(), Point3D{0, 0, -1}, a), tf_rotz(a), 1e-12);
  }
  // Right-handed about p1 - p2: p2 above p1 turns about -z.
  expect_pt(pt_tfpt(tf_ptpta(pt_zero(), Point3D{0, 0, 1}, kPi / 2), Point3D{1, 0, 0}),
            Point3D{0, -1, 0}, 1e-12);
}

TEST(Decompositions, RecomposeToTheTransform) {
  std::mt19937 rng(7);
  for (int n = 0; n < 100; ++n) {
    const Matrix3D T = random_rigid(rng);
    Matrix3D second, first;
    double r = -1;
    rpzr_tf(&second, &r, &first, T);
    EXPECT_NEAR(r, mag_vector(v_tf(T)), 1e-12);
    expect_tf(tf3(second, tf_v(Point3D{0, 0, r}), first), T);
    expect_pt(v_tf(second), pt_zero(), 1e-9);
    rnzr_tf(&second, &r, &first, T);
    expect_tf(tf3(second, tf_v(Point3D{0, 0, -r}), first), T);
    expect_pt(v_tf(second), pt_zero(), 1e-9);
  }
}

TEST(Decompositions, AxisTranslations) {
  const Matrix3D R = tf_rotx(0.7);
  Matrix3D second, first;
  double r;
  rpzr_tf(&second, &r, &first, tf_tftf(R, tf_v(Point3D{0, 0, 5})));
  EXPECT_NEAR(r, 5.0, 1e-12);
  expect_tf(first, tf_identity(), 1e-12);
  expect_tf(second, R, 1e-12);
  rpzr_tf(&second, &r, &first, tf_tftf(R, tf_v(Point3D{0, 0, -5})));
  expect_tf(first, tf_roty(kPi), 1e-12);
  // Zero translation.
  rpzr_tf(&second, &r, &first, R);
  EXPECT_EQ(r, 0.0);
  expect_tf(first, tf_identity(), 0);
  expect_tf(second, R, 1e-15);
  rnzr_tf(&second, &r, &first, R);
  expect_tf(first, tf_roty(-kPi), 1e-15);
  expect_tf(second, tf_tftf(R, tf_transpose(tf_roty(-kPi))), 1e-15);
}
