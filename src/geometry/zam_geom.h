// Geometric primitives on top of the vector algebra: the NaN screen, random
// directions and rotations, bond and torsion angles, triangle areas, boxes,
// B-spline and Bezier curves, planes, lines, spheres, circles and the common
// directions of two cones. Pure values except the random draws, which use the
// process-wide generator of zam_ran_range.
#pragma once

#include "geometry/zam_transform.h"

// Axis-aligned box: minimum corner, then maximum corner.
struct Box {
  Point3D lo, hi;
};

// Points with a x + b y + c z + d = 0, (a, b, c) the unit normal. The
// all-zero plane stands for no plane.
struct Plane {
  double a, b, c, d;
};

// A point on the line and its direction (not necessarily of unit length).
struct Line {
  Point3D p, v;
};

struct Sphere {
  Point3D c;
  double r;
};

// Centre, radius and the axis normal to the circle's plane (any length).
struct Circle {
  Point3D c;
  double r;
  Point3D n;
};

// 1 when any coordinate is not a number, else 0.
int isnan_pt(Point3D p);
// Random unit vector, uniform over the sphere (two draws of zam_ran_range).
Point3D v_random();
// Random rotation, uniform over all rotations (three draws), translation zero.
Matrix3D tf_random();
// Angle at p2 in radians (0..pi); 0 when p1 or p3 coincides with p2.
double a_ptptpt(Point3D p1, Point3D p2, Point3D p3);
// Signed torsion angle p1-p2-p3-p4 in [-pi, pi]; 0 when three points are collinear.
double a_ptptptpt(Point3D p1, Point3D p2, Point3D p3, Point3D p4);
// Area of the triangle; 0 for collinear corners.
double triangle_area(Point3D p1, Point3D p2, Point3D p3);

// ---- boxes ----
// Bounding box of n points written to *box; n < 1 writes the empty box at the origin.
void box_pts(Box* box, int n, const Point3D* p);
Box box_pt(Point3D p);
Box box_boxpt(Box b, Point3D p);
Box box_box(Box a, Box b);
Point3D pt_box(Box b);
double d_box(Box b);

// ---- curves ----
// Uniform cubic B-spline segment between P[i] and P[i+1] (reads P[i-1..i+2]),
// and its derivative with respect to t.
Point3D pt_bspline(int i, const Point3D* P, double t);
Point3D v_bspline(int i, const Point3D* P, double t);
// Bezier curve of degree n - 1 (the origin when n < 1) and its tangent
// direction (the derivative over n - 1; the zero vector when n < 2).
Point3D pt_bezier(int n, const Point3D* P, double t);
Point3D v_bezier(int n, const Point3D* P, double t);

// ---- planes and lines ----
// Plane through p with normal n; the all-zero plane when n has no length.
Plane pl_n_ptv(Point3D p, Point3D n);
Plane pl_ptptpt(Point3D p1, Point3D p2, Point3D p3);
// Unit normal of the plane through three points; zero for collinear points.
Point3D n_ptptpt(Point3D p1, Point3D p2, Point3D p3);
Point3D v_n_pl(Plane pl);
// Foot of the normal from the origin.
Point3D pt_nf_pl(Plane pl);
// Projection of p onto the plane.
Point3D pt_n_ptpl(Point3D p, Plane pl);
// Line through p1 towards p2; line through the origin along v.
Line l_j_ptpt(Point3D p1, Point3D p2);
Line l_pt(Point3D v);
// Foot of the perpendicular from p to the line, and the distance to it.
Point3D pt_n_ptl(Point3D p, Line l);
double d_ptl(Point3D p, Line l);
// Where the line meets the plane; the line's own point when it is parallel
// to the plane or has no direction.
Point3D pt_i_lpl(Line l, Plane pl);
// Line where two planes meet; parallel planes give a zero direction.
Line l_i_plpl(Plane a, Plane b);

// ---- spheres and circles ----
// 1 when the two surfaces cross in a circle.
int i_ss(Sphere s1, Sphere s2);
// Plane of the intersection circle; the all-zero plane for concentric spheres.
Plane pl_i_ss(Sphere s1, Sphere s2);
// The intersection circle (radius 0 when the spheres do not cross; centre
// s1's centre for concentric spheres).
void c_i_ss(Circle* c, Sphere s1, Sphere s2);
// 1 when the three spheres have a common point.
int i_sss(Sphere s1, Sphere s2, Sphere s3);
Plane pl_c(Circle c);
// 1 when the whole circle lies strictly inside the sphere.
int c_in_s(Circle c, Sphere s);
// 1 when the sphere's surface crosses the circle.
int i_sc(Sphere s, Circle c);
// The two crossing points of sphere and circle: returns 1 with *a and *b
// written, else 0 with nothing written (also when the sphere's centre lies
// on the circle's axis, where the crossing is a whole circle or nothing).
int i_sc_ptpt(Point3D* a, Point3D* b, Sphere s, Circle c);

// ---- cones ----
// Unit directions common to the surfaces of two cones with apex at the
// origin, each given as four doubles (half-angle, unit axis x, y, z).
// Returns the count 0, 1 or 2 (written to *v1, *v2), -1 when the first cone
// lies inside the second, -2 when the second lies inside the first.
int vv_cones(Point3D* v1, Point3D* v2, const double* cone1, const double* cone2);
