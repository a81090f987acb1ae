#include "geometry/zam_quat.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

Point3D vec(Quaternion q) { return Point3D{q.x, q.y, q.z}; }

Quaternion quat(double w, Point3D v) { return Quaternion{w, v.x, v.y, v.z}; }

}  // namespace

Quaternion q_make(double w, Point3D v) { return quat(w, v); }

Quaternion q_axis(AxisAngle aa) {
  double s, c;
  sincos(aa.angle * 0.5, &s, &c);
  return quat(c, v_lambdav(s, aa.axis));
}

Quaternion q_inv(Quaternion q) { return Quaternion{q.w, -q.x, -q.y, -q.z}; }

Quaternion q_qq(Quaternion q1, Quaternion q2) {
  const Point3D a = vec(q1), b = vec(q2);
  const Point3D v = v_add(v_add(v_lambdav(q1.w, b), v_lambdav(q2.w, a)), cross_product(a, b));
  return quat(q1.w * q2.w - dot_product(a, b), v);
}

Quaternion q_q2(Quaternion q1, Quaternion q2) { return q_qq(q1, q2); }

Quaternion q_q3(Quaternion q1, Quaternion q2, Quaternion q3) { return q_qq(q_qq(q1, q2), q3); }

Quaternion q_q4(Quaternion q1, Quaternion q2, Quaternion q3, Quaternion q4) {
  return q_qq(q_q3(q1, q2, q3), q4);
}

double dot_qq(Quaternion a, Quaternion b) { return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z; }

double d2_qq(Quaternion a, Quaternion b) {
  const double dw = a.w - b.w, dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dw * dw + dx * dx + dy * dy + dz * dz;
}

double d_qq(Quaternion a, Quaternion b) { return std::sqrt(d2_qq(a, b)); }

double a_qq(Quaternion a, Quaternion b) { return std::acos(clamp_cos(dot_qq(a, b))); }

double gd_qq(Quaternion a, Quaternion b) { return 2.0 * a_qq(a, b); }

double ge_qq(Quaternion a, Quaternion b) {
  const Quaternion neg{-b.w, -b.x, -b.y, -b.z};
  const double m = std::fmin(d2_qq(a, b), d2_qq(a, neg));
  return 4.0 * std::asin(clamp_cos(0.5 * std::sqrt(m)));
}

double gf_qq(Quaternion a, Quaternion b) {
  return 2.0 * std::acos(clamp_cos(q_qq(a, q_inv(b)).w));
}

Point3D pt_qpt(Quaternion q, Point3D p) { return vec(q_q3(q, quat(0.0, p), q_inv(q))); }

Matrix3D tf_q(Quaternion q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  return Matrix3D{{1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - w * z), 2.0 * (x * z + w * y), 0.0,
                   2.0 * (x * y + w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z - w * x), 0.0,
                   2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y), 0.0}};
}

Quaternion q_tf(Matrix3D t) { return q_axis(axis_tf(t)); }

Quaternion q_euler(Euler e) { return q_tf(tf_euler(e)); }

AxisAngle axis_q(Quaternion q) {
  const double a = 2.0 * std::acos(clamp_cos(q.w));
  if (std::fabs(a) < 1e-6) return AxisAngle{0.0, Point3D{0.0, 0.0, 1.0}};
  return AxisAngle{a, v_unit(vec(q))};
}

AxisAngle axis_tf(Matrix3D t) {
  const double* m = t.m;
  const double theta = std::acos(clamp_cos((m[0] + m[5] + m[10] - 1.0) * 0.5));
  if (std::fabs(theta) < 1e-6) return AxisAngle{0.0, Point3D{0.0, 0.0, 1.0}};
  if (std::fabs(theta - kPi) < 1e-6) return AxisAngle{theta, half_turn_axis(m)};
  const double f = 0.5 / std::sin(theta);
  const Point3D u{f * (m[9] - m[6]), f * (m[2] - m[8]), f * (m[4] - m[1])};
  return AxisAngle{theta, unit_vector(u)};
}

Matrix3D tf_axis(AxisAngle aa) {
  double s, c;
  sincos(aa.angle, &s, &c);
  const double x = aa.axis.x, y = aa.axis.y, z = aa.axis.z, k = 1.0 - c;
  return Matrix3D{{c + x * x * k, x * y * k - z * s, x * z * k + y * s, 0.0,
                   x * y * k + z * s, c + y * y * k, y * z * k - x * s, 0.0,
                   x * z * k - y * s, y * z * k + x * s, c + z * z * k, 0.0}};
}

Matrix3D tf_rotv(Point3D v, double a) {
  // Without a direction there is no axis to turn about.
  if (!(square_vector(v) > 0.0)) return tf_identity();
  return tf_axis(AxisAngle{a, unit_vector(v)});
}

Matrix3D tf_axis_trig(AxisAngle aa) {
  const PolarPoint u = pp_pt(aa.axis);
  return tf5(tf_rotz(-u.phi), tf_roty(-u.theta), tf_rotz(aa.angle), tf_roty(u.theta),
             tf_rotz(u.phi));
}

Matrix3D tf_q_axis(Quaternion q) { return tf_axis(axis_q(q)); }

double gd_tftf(Matrix3D a, Matrix3D b) {
  const Matrix3D q = tf_tftf(tf_transpose(a), tf_rtf(b));
  const double theta = std::acos(clamp_cos((trace_tf(q) - 1.0) * 0.5));
  if (std::fabs(theta) < 1e-6) return 0.0;
  if (std::fabs(theta - kPi) < 1e-6) return 3.1415926535897927;
  // Frobenius norm of the matrix logarithm, theta / (2 sin theta) (Q - Q^T).
  const double f = theta / (2.0 * std::sin(theta));
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double l = f * (q.m[4 * i + j] - q.m[4 * j + i]);
      sum += l * l;
    }
  }
  return std::sqrt(sum) * 0.7071067811865475;
}
