#include "geometry/zam_transform.h"

#include <cmath>

#include "runtime/zam_log.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

Matrix3D rotation(double m0, double m1, double m2, double m4, double m5, double m6, double m8,
                  double m9, double m10) {
  return Matrix3D{{m0, m1, m2, 0.0, m4, m5, m6, 0.0, m8, m9, m10, 0.0}};
}

}  // namespace

Point3D half_turn_axis(const double* m) {
  double u[3];
  for (int i = 0; i < 3; ++i) u[i] = std::sqrt(std::fmax(0.0, (m[5 * i] + 1.0) * 0.5));
  int k = 0;
  if (u[1] > u[k]) k = 1;
  if (u[2] > u[k]) k = 2;
  for (int j = 0; j < 3; ++j) {
    if (j != k && m[4 * k + j] + m[4 * j + k] < 0.0) u[j] = -u[j];
  }
  return v_unit(Point3D{u[0], u[1], u[2]});
}

void floatv_pt(float* out, Point3D p) {
  out[0] = static_cast<float>(p.x);
  out[1] = static_cast<float>(p.y);
  out[2] = static_cast<float>(p.z);
}

void floatv_v(float* out, Point3D v) { floatv_pt(out, v); }

Point3D v_unit(Point3D v) {
  const double len = mag_vector(v);
  if (!(len > 0.0)) return v_zero();
  return v_lambdav(1.0 / len, v);
}

Point3D unit_vector(Point3D v) { return v_unit(v); }

Point3D v_magv(Point3D v, double len) { return v_lambdav(len, v_unit(v)); }

double det_vvv(Point3D a, Point3D b, Point3D c) { return dot_product(cross_product(a, b), c); }

double component_vv(Point3D a, Point3D b) {
  const double len = mag_vector(b);
  if (!(len > 0.0)) return 0.0;
  return dot_product(a, b) / len;
}

double a_vv(Point3D a, Point3D b) {
  const double lens = mag_vector(a) * mag_vector(b);
  if (!(lens > 0.0)) return 0.0;
  return std::acos(clamp_cos(dot_product(a, b) / lens));
}

Point3D pt_average(int n, const Point3D* p) {
  if (n < 1) return pt_zero();
  Point3D sum = pt_zero();
  for (int i = 0; i < n; ++i) sum = v_add(sum, p[i]);
  return v_lambdav(1.0 / n, sum);
}

double stddev_pts(int n, const Point3D* p, Point3D c) {
  if (n < 1) return 0.0;
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += d2_ptpt(p[i], c);
  return std::sqrt(sum / n);
}

Point3D pt_stddev(int n, const Point3D* p, Point3D c) {
  if (n < 1) return pt_zero();
  Point3D sum = pt_zero();
  for (int i = 0; i < n; ++i) {
    const Point3D d = v_sub(p[i], c);
    sum.x += d.x * d.x;
    sum.y += d.y * d.y;
    sum.z += d.z * d.z;
  }
  return Point3D{std::sqrt(sum.x / n), std::sqrt(sum.y / n), std::sqrt(sum.z / n)};
}

Point3D pt_pp(PolarPoint pp) {
  double st, ct, sp, cp;
  sincos(pp.theta, &st, &ct);
  sincos(pp.phi, &sp, &cp);
  return Point3D{pp.r * st * cp, pp.r * st * sp, pp.r * ct};
}

PolarPoint pp_pt(Point3D p) {
  const double r = mag_vector(p);
  if (!(r > 0.0)) return PolarPoint{r, 0.0, 0.0};
  const double theta = std::acos(clamp_cos(p.z / r));
  double phi = 0.0;
  if (!(theta > 0.0)) {
    phi = 0.0;
  } else if (p.y == 0.0) {
    phi = p.x < 0.0 ? kPi : 0.0;
  } else {
    const double s = std::sin(theta);
    if (s > 0.0) {
      const double c = p.x / (r * s);
      phi = c > 1.0 ? 0.0 : (c < -1.0 ? kPi : std::acos(c));
      if (p.y < 0.0) {
        phi = kTwoPi - phi;
        if (phi < 0.0) phi += kTwoPi;
      }
    }
  }
  // A tiny negative y with the cosine rounded to 1 would give a full turn.
  if (phi >= kTwoPi) phi = 0.0;
  return PolarPoint{r, theta, phi};
}

double d_pp_pp(PolarPoint a, PolarPoint b) { return d_ptpt(pt_pp(a), pt_pp(b)); }

Matrix3D tf_identity() { return rotation(1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0); }

Matrix3D tf_v(Point3D v) {
  Matrix3D t = tf_identity();
  t.m[3] = v.x;
  t.m[7] = v.y;
  t.m[11] = v.z;
  return t;
}

Matrix3D tf_translate(Point3D v) { return tf_v(v); }

Matrix3D tf_scale(double s) { return tf_diagonal(s, s, s); }

Matrix3D tf_diagonal(double a, double b, double c) {
  return rotation(a, 0.0, 0.0, 0.0, b, 0.0, 0.0, 0.0, c);
}

Matrix3D tf_rotx(double angle) {
  double s, c;
  sincos(angle, &s, &c);
  return rotation(1.0, 0.0, 0.0, 0.0, c, -s, 0.0, s, c);
}

Matrix3D tf_roty(double angle) {
  double s, c;
  sincos(angle, &s, &c);
  return rotation(c, 0.0, s, 0.0, 1.0, 0.0, -s, 0.0, c);
}

Matrix3D tf_rotz(double angle) {
  double s, c;
  sincos(angle, &s, &c);
  return rotation(c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0);
}

Matrix3D tf_euler(Euler e) {
  double sa, ca, sb, cb, sg, cg;
  sincos(e.alpha, &sa, &ca);
  sincos(e.beta, &sb, &cb);
  sincos(e.gamma, &sg, &cg);
  return rotation(ca * cb * cg - sa * sg, -ca * cb * sg - sa * cg, ca * sb,
                  sa * cb * cg + ca * sg, -sa * cb * sg + ca * cg, sa * sb,
                  -sb * cg, sb * sg, cb);
}

Matrix3D tf_mat33(const double* m) {
  Matrix3D t = tf_identity();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t.m[4 * i + j] = m[3 * j + i];
  return t;
}

Matrix3D tf_mat44(const double* m) {
  Matrix3D t;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) t.m[4 * i + j] = m[4 * j + i];
  return t;
}

Matrix3D tf_copy(Matrix3D t) { return t; }

Point3D v_tf(Matrix3D t) { return Point3D{t.m[3], t.m[7], t.m[11]}; }

Matrix3D tf_rtf(Matrix3D t) {
  t.m[3] = t.m[7] = t.m[11] = 0.0;
  return t;
}

Matrix3D tf_transpose(Matrix3D t) {
  const double* m = t.m;
  return rotation(m[0], m[4], m[8], m[1], m[5], m[9], m[2], m[6], m[10]);
}

double trace_tf(Matrix3D t) { return t.m[0] + t.m[5] + t.m[10]; }

double det_tf(Matrix3D t) {
  const double* m = t.m;
  return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
         m[2] * (m[4] * m[9] - m[5] * m[8]);
}

void tr_tf(Point3D* t, Matrix3D* r, Matrix3D T) {
  *t = v_tf(T);
  *r = tf_rtf(T);
}

void rt_tf(Matrix3D* r, Point3D* u, Matrix3D T) {
  *r = tf_rtf(T);
  *u = v_neg(v_tf(tf_inverse(T)));
}

void mat33_tf(double* m, Matrix3D t) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[3 * j + i] = t.m[4 * i + j];
}

void mat44_tf(double* m, Matrix3D t) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) m[4 * j + i] = t.m[4 * i + j];
  m[3] = m[7] = m[11] = 0.0;
  m[15] = 1.0;
}

Euler euler_tf(Matrix3D t) {
  const double* m = t.m;
  const double tr = m[0] + m[5] + m[10];
  if (std::fabs(tr + 1.0) < 1e-6) {
    // A half turn: alpha = phi, beta = 2 theta, gamma = pi - phi of the axis.
    const PolarPoint u = pp_pt(half_turn_axis(m));
    Euler e{u.phi, euler_beta(2.0 * u.theta), kPi - u.phi};
    if (std::fabs(e.beta - kPi) < 1e-6 || std::fabs(e.beta + kPi) < 1e-6) {
      e = Euler{2.0 * u.phi - kPi, kPi, 0.0};
    } else if (std::fabs(e.beta) < 1e-6) {
      e = Euler{kPi, 0.0, 0.0};
    }
    return e;
  }
  const double angle = std::acos(clamp_cos((tr - 1.0) * 0.5));
  if (std::fabs(angle) < 1e-6) return Euler{0.0, 0.0, 0.0};
  if (m[10] >= 0.999999) {
    const double a = std::acos(clamp_cos(m[0]));
    return Euler{m[4] < 0.0 ? kTwoPi - a : a, 0.0, 0.0};
  }
  if (m[10] <= -0.999999) {
    const double a = std::acos(clamp_cos(m[5]));
    return Euler{m[1] > 0.0 ? kTwoPi - a : a, kPi, 0.0};
  }
  const double beta = std::acos(clamp_cos(m[10]));
  const double f = 1.0 / std::sin(beta);
  double gamma = std::acos(clamp_cos(-m[8] * f));
  if (m[9] * f < 0.0) gamma = kTwoPi - gamma;
  double alpha = std::acos(clamp_cos(m[2] * f));
  if (m[6] * f < 0.0) alpha = kTwoPi - alpha;
  return Euler{alpha, beta, gamma};
}

double euler_beta(double x) {
  if (x >= -kPi && x <= kPi) return x;
  if (x > kPi) {
    const double r = std::fmod(x, kTwoPi);
    if (std::fabs(r - kTwoPi) < 1e-6) return 0.0;
    return r > kPi ? r - kTwoPi : r;
  }
  if (x < -kPi) {
    const double r = std::fmod(-x, kTwoPi);
    if (std::fabs(kTwoPi - r) < 1e-6) return 0.0;
    return r > kPi ? kTwoPi - r : -r;
  }
  return x;  // NaN passes through
}

Matrix3D tf3(Matrix3D t1, Matrix3D t2, Matrix3D t3) { return tf_tftf(tf_tftf(t1, t2), t3); }

Matrix3D tf4(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4) {
  return tf_tftf(tf3(t1, t2, t3), t4);
}

Matrix3D tf5(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5) {
  return tf_tftf(tf4(t1, t2, t3, t4), t5);
}

Matrix3D tf6(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6) {
  return tf_tftf(tf5(t1, t2, t3, t4, t5), t6);
}

Matrix3D tf7(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6,
             Matrix3D t7) {
  return tf_tftf(tf6(t1, t2, t3, t4, t5, t6), t7);
}

Matrix3D tf8(Matrix3D t1, Matrix3D t2, Matrix3D t3, Matrix3D t4, Matrix3D t5, Matrix3D t6,
             Matrix3D t7, Matrix3D t8) {
  return tf_tftf(tf7(t1, t2, t3, t4, t5, t6, t7), t8);
}

Matrix3D tf_inverse(Matrix3D t) {
  const double* m = t.m;
  Matrix3D r = tf_transpose(t);
  r.m[3] = -(m[0] * m[3] + m[4] * m[7] + m[8] * m[11]);
  r.m[7] = -(m[1] * m[3] + m[5] * m[7] + m[9] * m[11]);
  r.m[11] = -(m[2] * m[3] + m[6] * m[7] + m[10] * m[11]);
  return r;
}

void print_tf(const char* title, Matrix3D t) {
  // The title is data: a '%' in it must not be read as a conversion.
  if (title) zam_msg("%s", title);
  for (int i = 0; i < 3; ++i) {
    zam_msg(" %f %f %f %f\n", t.m[4 * i], t.m[4 * i + 1], t.m[4 * i + 2], t.m[4 * i + 3]);
  }
  zam_msg(" %f %f %f %f\n\n", 0.0, 0.0, 0.0, 1.0);
}

void print_transformation(Matrix3D t) { print_tf("Matrix3D matrix is :\n", t); }
