#include "geometry/zam_frame.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Turn about z that brings q to azimuth 0. A q on the z axis up to rounding
// (a third point on the line of the first two) has no defined azimuth and
// gets no turn, rather than one picked by rounding noise.
Matrix3D turn_to_posx(Point3D q) {
  const double rho = std::sqrt(q.x * q.x + q.y * q.y);
  if (!(rho > 1e-10 * std::fabs(q.z))) return tf_rotz(-0.0);
  const double a = std::acos(clamp_cos(q.x / rho));
  return tf_rotz(q.y >= 0.0 ? -a : -(2.0 * kPi - a));
}

// Shared by the +r and -r decompositions: first carries the z axis onto the
// direction of t, second = first^T R, followed by the translation -dz.
void decompose(Matrix3D* second, double* r, Matrix3D* first, const Matrix3D& T, bool negz) {
  const PolarPoint t = pp_pt(v_tf(T));
  Matrix3D f = tf_tftf(tf_roty(t.theta), tf_rotz(t.phi));
  if (negz) f = tf_tftf(tf_roty(-kPi), f);
  const double dz = negz ? -t.r : t.r;
  *first = f;
  *r = t.r;
  *second = tf_tftf(tf_tftf(T, tf_transpose(f)), tf_v(Point3D{0.0, 0.0, -dz}));
}

}  // namespace

Matrix3D tf_origin(Point3D p) { return tf_v(v_neg(p)); }

Matrix3D tf_1_point(Point3D p) { return tf_v(p); }

Matrix3D tf_3_vectors(Point3D a, Point3D b, Point3D c) {
  return Matrix3D{{a.x, a.y, a.z, 0.0, b.x, b.y, b.z, 0.0, c.x, c.y, c.z, 0.0}};
}

Matrix3D tf_3_points(Point3D a, Point3D b, Point3D c) { return tf_3_vectors(a, b, c); }

Matrix3D tf_origin_negz(Point3D p1, Point3D p2) {
  const PolarPoint d = pp_pt(v_sub(p2, p1));
  return tf3(tf_v(v_neg(p1)), tf_rotz(-d.phi), tf_roty(kPi - d.theta));
}

Matrix3D tf_origin_posz(Point3D p1, Point3D p2) {
  const PolarPoint d = pp_pt(v_sub(p2, p1));
  return tf3(tf_v(v_neg(p1)), tf_rotz(-d.phi), tf_roty(-d.theta));
}

Matrix3D tf_origin_poszv(Point3D p, Point3D v) {
  const PolarPoint d = pp_pt(v);
  return tf_tftf(tf_tftf(tf_1_point(v_neg(p)), tf_rotz(-d.phi)), tf_roty(-d.theta));
}

Matrix3D tf_origin_negz_posx(Point3D p1, Point3D p2, Point3D p3) {
  const Matrix3D f = tf_origin_negz(p1, p2);
  return tf_tftf(f, turn_to_posx(pt_tfpt(f, p3)));
}

Matrix3D tf_origin_posz_posx(Point3D p1, Point3D p2, Point3D p3) {
  return tf3(tf_origin_negz_posx(p1, p2, p3), tf_roty(kPi), tf_rotz(kPi));
}

Matrix3D tf_origin_poszv_posxv(Point3D p, Point3D v, Point3D w) {
  const Matrix3D f = tf_origin_poszv(p, v);
  const PolarPoint d = pp_pt(v_tfv(f, w));
  return tf_tftf(f, tf_rotz(-d.phi));
}

Matrix3D tf_origin_negz_old(Point3D p1, Point3D p2) {
  Matrix3D f = tf_origin(p1);
  Point3D q = v_sub(p2, p1);
  if (q.y != 0.0) {
    const Matrix3D turn = tf_rotz(q.x == 0.0 ? kPi / 2.0 : -std::atan(q.y / q.x));
    f = tf_tftf(f, turn);
    q = v_tfv(turn, q);
  }
  double ay = 0.0;
  bool turn = true;
  if (q.x == 0.0) {
    turn = q.z > 0.0;
    ay = kPi;
  } else if (q.z == 0.0) {
    ay = q.x > 0.0 ? kPi / 2.0 : -kPi / 2.0;
  } else if (q.z < 0.0) {
    ay = -std::atan(q.x / q.z);
  } else {
    ay = kPi - std::atan(q.x / q.z);
  }
  return turn ? tf_tftf(f, tf_roty(ay)) : f;
}

Matrix3D tf_ptpta(Point3D p1, Point3D p2, double angle) {
  const Matrix3D f = tf_origin_negz(p1, p2);
  return tf_tftf(tf_tftf(f, tf_rotz(angle)), tf_inverse(f));
}

void rpzr_tf(Matrix3D* second, double* r, Matrix3D* first, Matrix3D T) {
  decompose(second, r, first, T, false);
}

void rnzr_tf(Matrix3D* second, double* r, Matrix3D* first, Matrix3D T) {
  decompose(second, r, first, T, true);
}
