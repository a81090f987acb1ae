// Geometric primitives: NaN screen, random directions and rotations,
// angles, areas, boxes, curves, planes, lines, spheres, circles and cones.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "geometry/zam_geom.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void expect_pt(Point3D a, Point3D b, double tol = 1e-12) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

}  // namespace

TEST(Screens, NanPoints) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(isnan_pt(Point3D{1, 2, 3}), 0);
  EXPECT_EQ(isnan_pt(Point3D{std::numeric_limits<double>::infinity(), 0, 0}), 0);
  EXPECT_EQ(isnan_pt(Point3D{nan, 0, 0}), 1);
  EXPECT_EQ(isnan_pt(Point3D{0, nan, 0}), 1);
  EXPECT_EQ(isnan_pt(Point3D{0, 0, nan}), 1);
}

TEST(Random, DirectionsCoverTheSphere) {
  int octant[8] = {0};
  Point3D mean = v_zero();
  const int n = 4000;
  for (int i = 0; i < n; ++i) {
    const Point3D v = v_random();
    ASSERT_NEAR(mag_vector(v), 1.0, 1e-12);
    octant[(v.x < 0) + 2 * (v.y < 0) + 4 * (v.z < 0)]++;
    mean = v_add(mean, v);
  }
  for (int k = 0; k < 8; ++k) EXPECT_GT(octant[k], n / 16) << "octant " << k;
  EXPECT_LT(mag_vector(v_scale(mean, 1.0 / n)), 0.1);
}

TEST(Random, RotationsAreProperAndSpread) {
  int beta_above_half = 0;
  for (int i = 0; i < 400; ++i) {
    const Matrix3D t = tf_random();
    EXPECT_NEAR(det_tf(t), 1.0, 1e-12);
    const Matrix3D id = tf_tftf(t, tf_transpose(t));
    for (int k = 0; k < 12; ++k) EXPECT_NEAR(id.m[k], tf_identity().m[k], 1e-12);
    EXPECT_EQ(v_tf(t).x, 0.0);
    if (std::acos(std::fmax(-1.0, std::fmin(1.0, t.m[10]))) > kPi / 2) ++beta_above_half;
  }
  // Uniform rotations tilt z below the xy plane half the time.
  EXPECT_GT(beta_above_half, 100);
  EXPECT_LT(beta_above_half, 300);
}

TEST(Angles, BondAndTorsion) {
  EXPECT_NEAR(a_ptptpt(Point3D{1, 0, 0}, pt_zero(), Point3D{0, 2, 0}), kPi / 2, 1e-15);
  EXPECT_EQ(a_ptptpt(pt_zero(), pt_zero(), Point3D{0, 2, 0}), 0.0);
  // Straight chain: clamped to pi instead of NaN.
  const double straight = a_ptptpt(Point3D{0.1, 0.2, 0.3}, Point3D{0.4, 0.5, 0.6},
                                   Point3D{0.7, 0.8, 0.9});
  EXPECT_NEAR(straight, kPi, 1e-7);
  const Point3D p1{1, 0, 0}, p2{0, 0, 0}, p3{0, 0, 1};
  auto p4 = [](double t) { return Point3D{std::cos(t), std::sin(t), 1}; };
  EXPECT_NEAR(a_ptptptpt(p1, p2, p3, p4(kPi / 3)), kPi / 3, 1e-12);
  EXPECT_NEAR(a_ptptptpt(p1, p2, p3, p4(-kPi / 2)), -kPi / 2, 1e-12);
  EXPECT_NEAR(a_ptptptpt(p1, p2, p3, p4(0)), 0.0, 1e-12);
  EXPECT_NEAR(std::fabs(a_ptptptpt(p1, p2, p3, p4(kPi))), kPi, 1e-12);
  // Planar cis and trans with awkward coordinates: never NaN.
  const Point3D a{1.1, 2.3, -0.7}, d{0.3, -1.9, 2.2};
  for (double s : {0.37, 1.0, 13.1}) {
    const Point3D b = v_add(a, v_scale(d, s)), c = v_add(b, Point3D{0.2, 0.1, 0.9});
    const double cis = a_ptptptpt(a, b, c, v_add(c, v_sub(a, b)));
    EXPECT_FALSE(std::isnan(cis));
    EXPECT_NEAR(cis, 0.0, 1e-7);
    const double trans = a_ptptptpt(a, b, c, v_sub(c, v_sub(a, b)));
    EXPECT_NEAR(std::fabs(trans), kPi, 1e-7);
  }
  // Collinear first three points: no plane, torsion 0.
  EXPECT_EQ(a_ptptptpt(pt_zero(), Point3D{1, 0, 0}, Point3D{2, 0, 0}, Point3D{2, 1, 0}), 0.0);
}

TEST(Areas, Triangles) {
  EXPECT_NEAR(triangle_area(pt_zero(), Point3D{3, 0, 0}, Point3D{0, 4, 0}), 6.0, 1e-12);
  EXPECT_EQ(triangle_area(pt_zero(), pt_zero(), Point3D{0, 4, 0}), 0.0);
  const double flat = triangle_area(Point3D{0.1, 0.2, 0.3}, Point3D{0.4, 0.5, 0.6},
                                    Point3D{1.3, 1.4, 1.5});
  EXPECT_FALSE(std::isnan(flat));
  EXPECT_NEAR(flat, 0.0, 1e-7);
}

TEST(Boxes, BoundsCentreDiagonal) {
  const Point3D pts[3] = {{1, -2, 3}, {-1, 5, 0}, {4, 0, -6}};
  Box b;
  box_pts(&b, 3, pts);
  expect_pt(b.lo, Point3D{-1, -2, -6}, 0);
  expect_pt(b.hi, Point3D{4, 5, 3}, 0);
  expect_pt(pt_box(b), Point3D{1.5, 1.5, -1.5});
  EXPECT_NEAR(d_box(b), std::sqrt(25.0 + 49.0 + 81.0), 1e-12);
  box_pts(&b, 1, pts);
  expect_pt(b.lo, pts[0], 0);
  expect_pt(b.hi, pts[0], 0);
  // No points: the empty box at the origin, nothing read.
  box_pts(&b, 0, nullptr);
  expect_pt(b.lo, pt_zero(), 0);
  expect_pt(b.hi, pt_zero(), 0);
  const Box g = box_boxpt(box_pt(Point3D{0, 0, 0}), Point3D{1, -1, 2});
  expect_pt(g.lo, Point3D{0, -1, 0}, 0);
  expect_pt(g.hi, Point3D{1, 0, 2}, 0);
  const Box u = box_box(g, box_pt(Point3D{-5, 5, 1}));
  expect_pt(u.lo, Point3D{-5, -1, 0}, 0);
  expect_pt(u.hi, Point3D{1, 5, 2}, 0);
}

TEST(Curves, SplineAndBezier) {
  // A uniform B-spline reproduces evenly spaced collinear points.
  const Point3D line[5] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}};
  for (double t : {0.0, 0.25, 0.5, 1.0}) {
    expect_pt(pt_bspline(2, line, t), Point3D{2 + t, 0, 0});
    expect_pt(v_bspline(2, line, t), Point3D{1, 0, 0});
  }
  // At t = 0 the weights are 1/6, 4/6, 1/6.
  const Point3D bump[4] = {{0, 0, 0}, {0, 6, 0}, {0, 0, 0}, {0, 0, 0}};
  expect_pt(pt_bspline(1, bump, 0.0), Point3D{0, 4, 0});
  const Point3D q[3] = {{0, 0, 0}, {1, 2, 0}, {2, 0, 0}};
  expect_pt(pt_bezier(3, q, 0.5), Point3D{1, 1, 0});
  expect_pt(pt_bezier(3, q, 0.0), q[0]);
  expect_pt(pt_bezier(3, q, 1.0), q[2]);
  expect_pt(v_bezier(3, q, 0.5), Point3D{1, 0, 0});
  expect_pt(v_bezier(3, q, 0.0), Point3D{1, 2, 0});
  expect_pt(pt_bezier(0, q, 0.5), pt_zero(), 0);
  expect_pt(v_bezier(1, q, 0.5), v_zero(), 0);
}

TEST(Planes, MakersAndProjections) {
  const Plane p = pl_n_ptv(Point3D{7, -3, 5}, Point3D{0, 0, 2});
  EXPECT_EQ(p.c, 1.0);
  EXPECT_EQ(p.d, -5.0);
  const Plane z = pl_n_ptv(Point3D{1, 2, 3}, v_zero());
  EXPECT_EQ(z.a, 0.0);
  EXPECT_EQ(z.d, 0.0);
  const Plane col = pl_ptptpt(pt_zero(), Point3D{1, 1, 1}, Point3D{2, 2, 2});
  EXPECT_EQ(col.a, 0.0);
  EXPECT_EQ(col.b, 0.0);
  EXPECT_EQ(col.c, 0.0);
  EXPECT_EQ(col.d, 0.0);
  expect_pt(n_ptptpt(pt_zero(), Point3D{1, 0, 0}, Point3D{0, 1, 0}), Point3D{0, 0, 1});
  expect_pt(v_n_pl(p), Point3D{0, 0, 1});
  expect_pt(pt_nf_pl(p), Point3D{0, 0, 5});
  expect_pt(pt_n_ptpl(Point3D{1, 2, 7}, p), Point3D{1, 2, 5});
  const Plane cp = pl_c(Circle{Point3D{0, 0, 5}, 1.0, Point3D{0, 0, 3}});
  EXPECT_EQ(cp.c, 1.0);
  EXPECT_EQ(cp.d, -5.0);
}

TEST(Lines, FeetAndIntersections) {
  const Line x = l_pt(Point3D{2, 0, 0});
  expect_pt(pt_n_ptl(Point3D{1, 5, 0}, x), Point3D{1, 0, 0});
  EXPECT_NEAR(d_ptl(Point3D{1, 5, 0}, x), 5.0, 1e-12);
  const Line l = l_j_ptpt(Point3D{1, 1, 0}, Point3D{1, 1, 3});
  expect_pt(l.v, Point3D{0, 0, 3}, 0);
  const Plane z5 = pl_n_ptv(Point3D{0, 0, 5}, Point3D{0, 0, 1});
  expect_pt(pt_i_lpl(l, z5), Point3D{1, 1, 5});
  // A line parallel to the plane meets it nowhere: its own point comes back.
  const Point3D par = pt_i_lpl(Line{Point3D{1, 1, 0}, Point3D{1, 0, 0}}, z5);
  expect_pt(par, Point3D{1, 1, 0}, 0);
  const Plane x2 = pl_n_ptv(Point3D{2, 0, 0}, Point3D{1, 0, 0});
  const Line m = l_i_plpl(z5, x2);
  expect_pt(v_unit(m.v), Point3D{0, 1, 0});
  EXPECT_NEAR(m.p.z, 5.0, 1e-12);
  EXPECT_NEAR(m.p.x, 2.0, 1e-12);
  const Line none = l_i_plpl(z5, pl_n_ptv(Point3D{0, 0, 9}, Point3D{0, 0, 1}));
  expect_pt(none.v, v_zero(), 0);
  EXPECT_EQ(isnan_pt(none.p), 0);
}

TEST(Spheres, CrossingsAndCircles) {
  const Sphere a{pt_zero(), 2}, b{Point3D{3, 0, 0}, 2};
  EXPECT_EQ(i_ss(a, b), 1);
  EXPECT_EQ(i_ss(a, Sphere{Point3D{4, 0, 0}, 2}), 0);  // touching
  EXPECT_EQ(i_ss(a, Sphere{Point3D{0.5, 0, 0}, 0.5}), 0);  // inside
  const Plane p = pl_i_ss(a, b);
  EXPECT_NEAR(p.a, 1.0, 1e-12);
  EXPECT_NEAR(p.d, -1.5, 1e-12);
  Circle c;
  c_i_ss(&c, a, b);
  expect_pt(c.c, Point3D{1.5, 0, 0});
  EXPECT_NEAR(c.r, std::sqrt(1.75), 1e-12);
  expect_pt(c.n, Point3D{3, 0, 0}, 0);
  // Touching from outside: a circle of radius 0 at the touching point.
  c_i_ss(&c, Sphere{pt_zero(), 1}, Sphere{Point3D{2, 0, 0}, 1});
  expect_pt(c.c, Point3D{1, 0, 0});
  EXPECT_EQ(c.r, 0.0);
  // Concentric spheres: no plane, the centre is the common centre.
  const Plane none = pl_i_ss(a, Sphere{pt_zero(), 1});
  EXPECT_EQ(none.a, 0.0);
  EXPECT_EQ(none.d, 0.0);
  c_i_ss(&c, a, Sphere{pt_zero(), 1});
  expect_pt(c.c, pt_zero(), 0);
  EXPECT_EQ(isnan_pt(c.c), 0);
  // Three spheres with a common point, and one too far away.
  EXPECT_EQ(i_sss(a, Sphere{Point3D{2, 0, 0}, 2}, Sphere{Point3D{0, 2, 0}, 2}), 1);
  EXPECT_EQ(i_sss(a, Sphere{Point3D{2, 0, 0}, 2}, Sphere{Point3D{0, 10, 0}, 2}), 0);
}

TEST(Spheres, CirclesAgainstSpheres) {
  const Circle unit{pt_zero(), 1.0, Point3D{0, 0, 1}};
  EXPECT_EQ(c_in_s(unit, Sphere{pt_zero(), 2}), 1);
  EXPECT_EQ(c_in_s(unit, Sphere{pt_zero(), 1}), 0);
  const Sphere s{pt_zero(), 1};
  const Circle shifted{Point3D{1, 0, 0}, 1.0, Point3D{0, 0, 2}};
  EXPECT_EQ(i_sc(s, shifted), 1);
  EXPECT_EQ(i_sc(Sphere{pt_zero(), 5}, shifted), 0);
  Point3D p, q;
  ASSERT_EQ(i_sc_ptpt(&p, &q, s, shifted), 1);
  expect_pt(p, Point3D{0.5, -std::sqrt(0.75), 0});
  expect_pt(q, Point3D{0.5, std::sqrt(0.75), 0});
  // A sphere centred on the circle's axis: nothing written.
  p = q = Point3D{9, 9, 9};
  EXPECT_EQ(i_sc_ptpt(&p, &q, Sphere{Point3D{0, 0, 0.5}, 1.2}, unit), 0);
  expect_pt(p, Point3D{9, 9, 9}, 0);
  EXPECT_EQ(i_sc_ptpt(&p, &q, Sphere{pt_zero(), 5}, shifted), 0);
}

TEST(Cones, CommonDirections) {
  const double a = kPi / 3;
  const double z[4] = {a, 0, 0, 1}, x[4] = {a, 1, 0, 0};
  Point3D v1 = v_zero(), v2 = v_zero();
  ASSERT_EQ(vv_cones(&v1, &v2, z, x), 2);
  for (const Point3D& v : {v1, v2}) {
    EXPECT_NEAR(mag_vector(v), 1.0, 1e-12);
    EXPECT_NEAR(v.z, 0.5, 1e-12);
    EXPECT_NEAR(v.x, 0.5, 1e-12);
  }
  EXPECT_NEAR(v1.y, -v2.y, 1e-12);
  const double narrow_z[4] = {0.1, 0, 0, 1}, wide_z[4] = {0.5, 0, 0, 1}, narrow_x[4] = {0.1, 1, 0, 0};
  EXPECT_EQ(vv_cones(&v1, &v2, narrow_z, wide_z), -1);
  EXPECT_EQ(vv_cones(&v1, &v2, wide_z, narrow_z), -2);
  EXPECT_EQ(vv_cones(&v1, &v2, narrow_z, narrow_x), 0);
  // The same cone twice reaches the parallel-axis branch without dividing by zero.
  v1 = v2 = Point3D{7, 7, 7};
  const int same = vv_cones(&v1, &v2, wide_z, wide_z);
  EXPECT_GE(same, 0);
  EXPECT_EQ(isnan_pt(v1), 0);
}
