// Points, vectors and rigid-body transforms: the value types every layer
// above passes around, with their arithmetic. Everything here is a pure
// function of values (no allocation, no state, no locks); only print_tf and
// print_transformation write anything. Degenerate input gives a neutral value.
#pragma once

#include <cmath>

// A point or vector of three doubles.
struct Point3D {
  double x, y, z;
};

// The same with floats, used in score tables.
struct Point3Df {
  float x, y, z;
};

// A rigid-body transform of 12 doubles in three rows of four: rotation
// element (i, j) at m[4 i + j], translation at m[3], m[7], m[11], so that a
// point p maps to R p + t.
struct Matrix3D {
  double m[12];
};

// z-y-z Euler angles in radians: R = Rz(alpha) Ry(beta) Rz(gamma), so gamma
// acts first and alpha last.
struct Euler {
  double alpha, beta, gamma;
};

// Polar coordinates: distance from the origin, polar angle from +z (0..pi)
// and azimuth from +x towards +y (0..2 pi). Same layout as Point3D.
struct PolarPoint {
  double r, theta, phi;
};

// ---- makers and conversions ----
inline Point3D v_make(double x, double y, double z) { return Point3D{x, y, z}; }
inline Point3D pt_make(double x, double y, double z) { return Point3D{x, y, z}; }
inline Point3D v_zero() { return Point3D{0.0, 0.0, 0.0}; }
inline Point3D zero_vector() { return Point3D{0.0, 0.0, 0.0}; }
inline Point3D pt_zero() { return Point3D{0.0, 0.0, 0.0}; }
inline Euler e_make(double alpha, double beta, double gamma) { return Euler{alpha, beta, gamma}; }
inline PolarPoint pp_make(double r, double theta, double phi) { return PolarPoint{r, theta, phi}; }
inline Point3D pt_v(Point3D v) { return v; }
inline Point3D v_pt(Point3D p) { return p; }
// From an array of three doubles (x, y, z).
inline Point3D pt_doubles(const double* d) { return Point3D{d[0], d[1], d[2]}; }
inline Point3D v_doubles(const double* d) { return Point3D{d[0], d[1], d[2]}; }
// From an array of three floats, widened.
inline Point3D pt_floatv(const float* f) { return Point3D{f[0], f[1], f[2]}; }
inline Point3D v_floatv(const float* f) { return Point3D{f[0], f[1], f[2]}; }
// Write the three values, rounded to float, into out[0..2].
void floatv_pt(float* out, Point3D p);
void floatv_v(float* out, Point3D v);
inline Point3Df ptf_pt(Point3D p) {
  return Point3Df{static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
}
inline Point3D pt_ptf(Point3Df p) { return Point3D{p.x, p.y, p.z}; }
inline double deg2rad(double degrees) { return degrees * 0.017453292519943295; }
inline double rad2deg(double radians) { return radians * 57.29577951308232; }

// ---- vector and point arithmetic ----
inline Point3D v_add(Point3D a, Point3D b) { return Point3D{a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Point3D pt_add(Point3D a, Point3D b) { return Point3D{a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Point3D v_sub(Point3D a, Point3D b) { return Point3D{a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Point3D pt_sub(Point3D a, Point3D b) { return Point3D{a.x - b.x, a.y - b.y, a.z - b.z}; }
// The vector from p1 to p2 (p2 - p1).
inline Point3D v_ptpt(Point3D p1, Point3D p2) { return Point3D{p2.x - p1.x, p2.y - p1.y, p2.z - p1.z}; }
inline Point3D pt_ptv(Point3D p, Point3D v) { return Point3D{p.x + v.x, p.y + v.y, p.z + v.z}; }
inline Point3D pt_midpt(Point3D a, Point3D b) {
  return Point3D{(a.x + b.x) * 0.5, (a.y + b.y) * 0.5, (a.z + b.z) * 0.5};
}
inline Point3D v_neg(Point3D v) { return Point3D{-v.x, -v.y, -v.z}; }
inline Point3D op_vector(Point3D v) { return Point3D{-v.x, -v.y, -v.z}; }
inline Point3D v_lambdav(double s, Point3D v) { return Point3D{s * v.x, s * v.y, s * v.z}; }
inline Point3D v_scale(Point3D v, double s) { return Point3D{s * v.x, s * v.y, s * v.z}; }
inline Point3D pt_scale(Point3D p, double s) { return Point3D{s * p.x, s * p.y, s * p.z}; }
inline double square_vector(Point3D v) { return v.x * v.x + v.y * v.y + v.z * v.z; }
inline double mag_vector(Point3D v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
inline double dot_product(Point3D a, Point3D b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Point3D cross_product(Point3D a, Point3D b) {
  return Point3D{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline Point3D v_cross(Point3D a, Point3D b) { return cross_product(a, b); }
inline double d2_ptpt(Point3D a, Point3D b) {
  const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}
inline double d_ptpt(Point3D a, Point3D b) { return std::sqrt(d2_ptpt(a, b)); }
// A cosine held to [-1, 1]: rounding can carry one a step past, and acos of
// that is NaN.
inline double clamp_cos(double c) { return c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c); }
// Unit vector of v; the zero vector when v has no length.
Point3D v_unit(Point3D v);
Point3D unit_vector(Point3D v);
// v_unit(v) times len (the zero vector for a zero v).
Point3D v_magv(Point3D v, double len);
// (a x b) . c
double det_vvv(Point3D a, Point3D b, Point3D c);
// (a . b) / |b|; 0 when b has no length.
double component_vv(Point3D a, Point3D b);
// Angle between a and b in radians (0..pi); 0 when either has no length.
// The cosine is clamped, so parallel vectors give 0 or pi, never NaN.
double a_vv(Point3D a, Point3D b);
// Centroid of n points; the origin when n < 1.
Point3D pt_average(int n, const Point3D* p);
// Root mean squared distance of n points from c; 0 when n < 1.
double stddev_pts(int n, const Point3D* p, Point3D c);
// Per-axis root mean square deviation from c; (0, 0, 0) when n < 1.
Point3D pt_stddev(int n, const Point3D* p, Point3D c);

// ---- polar points ----
Point3D pt_pp(PolarPoint pp);
// Polar coordinates of p; the origin gives (0, 0, 0), a point on the z axis
// azimuth 0. phi lies in [0, 2 pi).
PolarPoint pp_pt(Point3D p);
double d_pp_pp(PolarPoint a, PolarPoint b);

// ---- transform makers ----
Matrix3D tf_identity();
Matrix3D tf_v(Point3D v);
Matrix3D tf_translate(Point3D v);
// Non-rigid: uniform scaling by s, or the diagonal (a, b, c).
Matrix3D tf_scale(double s);
Matrix3D tf_diagonal(double a, double b, double c);
Matrix3D tf_rotx(double angle);
Matrix3D tf_roty(double angle);
Matrix3D tf_rotz(double angle);
Matrix3D tf_euler(Euler e);
// R[i][j] = m[3 j + i]: a 3 x 3 matrix read column by column.
Matrix3D tf_mat33(const double* m);
// A 4 x 4 matrix stored column by column (element (i, j) at m[4 j + i]);
// its fourth row is ignored.
Matrix3D tf_mat44(const double* m);
Matrix3D tf_copy(Matrix3D t);

// ---- readers and splitters ----
Point3D v_tf(Matrix3D t);
// T with its translation zeroed.
Matrix3D tf_rtf(Matrix3D t);
// Rotation transposed, translation zero: the inverse of a pure rotation.
Matrix3D tf_transpose(Matrix3D t);
double trace_tf(Matrix3D t);
double det_tf(Matrix3D t);
// Splits T into rotation r then translation t: T p = r p + t.
void tr_tf(Point3D* t, Matrix3D* r, Matrix3D T);
// Splits T into translation u then rotation r: T p = r (p + u).
void rt_tf(Matrix3D* r, Point3D* u, Matrix3D T);
// m[3 j + i] = R[i][j] (9 doubles written).
void mat33_tf(double* m, Matrix3D t);
// Column-major 4 x 4 with the implicit row (0, 0, 0, 1) (16 doubles written).
void mat44_tf(double* m, Matrix3D t);
// Axis of a rotation by pi held in the 3x4 row-major m (R = 2 u u^T - I),
// as a unit vector. The largest diagonal term picks the component taken as
// positive; the others take their signs from the off-diagonal terms shared
// with it, so an axis with a zero x component still comes out right.
Point3D half_turn_axis(const double* m);
// z-y-z Euler angles of the rotation part (assumed orthonormal). Near a half
// turn, near the identity and near beta = 0 or pi the nearest degenerate
// form is returned.
Euler euler_tf(Matrix3D t);
// An angle wrapped into [-pi, pi]; a wrap landing within 1e-6 of a full turn gives 0.
double euler_beta(double angle);

// ---- application, composition, inversion ----
inline Point3D pt_tfpt(const Matrix3D& t, Point3D p) {
  const double* m = t.m;
  return Point3D{m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
                 m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                 m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}
inline Point3D v_tfv(const Matrix3D& t, Point3D v) {
  const double* m = t.m;
  return Point3D{m[0] * v.x + m[1] * v.y + m[2] * v.z,
                 m[4] * v.x + m[5] * v.y + m[6] * v.z,
                 m[8] * v.x + m[9] * v.y + m[10] * v.z};
}
// The transform that applies A first, then B: rotation R_B R_A,
// translation R_B t_A + t_B.
inline Matrix3D tf_tftf(const Matrix3D& A, const Matrix3D& B) {
  const double* a = A.m;
  const double* b = B.m;
  Matrix3D r;
  r.m[0] = b[0] * a[0] + b[1] * a[4] + b[2] * a[8];
  r.m[1] = b[0] * a[1] + b[1] * a[5] + b[2] * a[9];
  r.m[2] = b[0] * a[2] + b[1] * a[6] + b[2] * a[10];
  r.m[3] = b[0] * a[3] + b[1] * a[7] + b[2] * a[11] + b[3];
  r.m[4] = b[4] * a[0] + b[5] * a[4] + b[6] * a[8];
  r.m[5] = b[4] * a[1] + b[5] * a[5] + b[6] * a[9];
  r.m[6] = b[4] * a[2] + b[5] * a[6] + b[6] * a[10];
  r.m[7] = b[4] * a[3] + b[5] * a[7] + b[6] * a[11] + b[7];
  r.m[8] = b[8] * a[0] + b[9] * a[4] + b[10] * a[8];
  r.m[9] = b[8] * a[1] + b[9] * a[5] + b[10] * a[9];
  r.m[10] = b[8] * a[2] + b[9] * a[6] + b[10] * a[10];
  r.m[11] = b[8] * a[3] + b[9] * a[7] + b[10] * a[11] + b[11];
  return r;
}
inline Matrix3D tf2(const Matrix3D& a, const Matrix3D& b) { return tf_tftf(a, b); }
// T1 applied first, the last argument last.
Matrix3D tf3(Matrix3D t1, Matrix3D t2, Matrix3D t3);
Matrix3D tf4(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4);
Matrix3D tf5(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5);
Matrix3D tf6(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6);
Matrix3D tf7(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6,
             Matrix3D t7);
Matrix3D tf8(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6,
             Matrix3D t7, Matrix3D t8);
// Rotation R^T, translation -R^T t; valid for an orthonormal R only.
Matrix3D tf_inverse(Matrix3D t);

// ---- printing (through zam_msg) ----
// Writes the title as plain text (never as a format), the three rows and the
// implicit fourth row (0, 0, 0, 1), then an empty line.
void print_tf(const char* title, Matrix3D t);
// print_tf with the title "Matrix3D matrix is :\n".
void print_transformation(Matrix3D t);
