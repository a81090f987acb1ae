#include "geometry/zam_geom.h"

#include <cmath>

#include "runtime/zam_system.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double ipow(double x, int k) {
  double r = 1.0;
  for (int i = 0; i < k; ++i) r *= x;
  return r;
}

double factorial(int k) {
  double f = 1.0;
  for (int i = 2; i <= k; ++i) f *= i;
  return f;
}

double binom(int m, int k) { return factorial(m) / (factorial(k) * factorial(m - k)); }

// Sum of w[k] P[first + k] for k = 0..3.
Point3D weigh4(const Point3D* P, int first, const double* w) {
  Point3D r = pt_zero();
  for (int k = 0; k < 4; ++k) r = v_add(r, v_lambdav(w[k], P[first + k]));
  return r;
}

// Projection of p onto the plane of the circle.
Point3D project_on_circle_plane(Point3D p, const Circle& c) {
  return pt_n_ptpl(p, pl_c(c));
}

// Centre offset h along D = c2 - c1 of the plane where two spheres meet.
// Returns false (h = 0) for centres closer than 1e-20.
bool meeting_offset(const Sphere& s1, const Sphere& s2, Point3D* D, double* L, double* h) {
  *D = v_sub(s2.c, s1.c);
  *L = mag_vector(*D);
  if (!(*L > 1e-20)) {
    *h = 0.0;
    return false;
  }
  *h = (s1.r * s1.r - s2.r * s2.r + *L * *L) / (2.0 * *L);
  return true;
}

}  // namespace

int isnan_pt(Point3D p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z) ? 1 : 0; }

Point3D v_random() {
  // Height uniform in [-1, 1] and azimuth uniform in [0, 2 pi) give a
  // direction uniform over the sphere with a fixed number of draws.
  const double z = zam_ran_range(-1.0, 1.0);
  const double phi = zam_ran_range(0.0, 2.0 * kPi);
  const double s = std::sqrt(std::fmax(0.0, 1.0 - z * z));
  double sp, cp;
  sincos(phi, &sp, &cp);
  const Point3D v = v_unit(Point3D{s * cp, s * sp, z});
  return square_vector(v) > 0.0 ? v : Point3D{0.0, 0.0, 1.0};
}

Matrix3D tf_random() {
  // With the polar angles of a uniform direction and a uniform third angle
  // the z-y-z rotation is uniform over all rotations.
  const PolarPoint u = pp_pt(v_random());
  const double psi = zam_ran_range(0.0, 2.0 * kPi);
  return tf_euler(Euler{psi, u.theta, u.phi});
}

double a_ptptpt(Point3D p1, Point3D p2, Point3D p3) {
  return a_vv(v_sub(p1, p2), v_sub(p3, p2));
}

double a_ptptptpt(Point3D p1, Point3D p2, Point3D p3, Point3D p4) {
  const Point3D b1 = v_sub(p2, p1), b2 = v_sub(p3, p2), b3 = v_sub(p4, p3);
  const Point3D na = cross_product(b1, b2), nb = cross_product(b2, b3);
  const double la = mag_vector(na), lb = mag_vector(nb);
  if (la == 0.0 || lb == 0.0) return 0.0;
  const double a = std::acos(clamp_cos(dot_product(na, nb) / (la * lb)));
  return dot_product(cross_product(na, nb), b2) < 0.0 ? -a : a;
}

double triangle_area(Point3D p1, Point3D p2, Point3D p3) {
  return 0.5 * d_ptpt(p1, p2) * d_ptpt(p1, p3) * std::sin(a_vv(v_sub(p3, p1), v_sub(p2, p1)));
}

void box_pts(Box* box, int n, const Point3D* p) {
  if (n < 1) {
    *box = Box{pt_zero(), pt_zero()};
    return;
  }
  Box b = box_pt(p[0]);
  for (int i = 1; i < n; ++i) b = box_boxpt(b, p[i]);
  *box = b;
}

Box box_pt(Point3D p) { return Box{p, p}; }

Box box_boxpt(Box b, Point3D p) { return box_box(b, box_pt(p)); }

Box box_box(Box a, Box b) {
  return Box{Point3D{std::fmin(a.lo.x, b.lo.x), std::fmin(a.lo.y, b.lo.y), std::fmin(a.lo.z, b.lo.z)},
             Point3D{std::fmax(a.hi.x, b.hi.x), std::fmax(a.hi.y, b.hi.y), std::fmax(a.hi.z, b.hi.z)}};
}

Point3D pt_box(Box b) { return pt_midpt(b.lo, b.hi); }

double d_box(Box b) { return d_ptpt(b.lo, b.hi); }

Point3D pt_bspline(int i, const Point3D* P, double t) {
  const double t2 = t * t, t3 = t2 * t, s = 1.0 - t;
  const double w[4] = {s * s * s / 6.0, (3.0 * t3 - 6.0 * t2 + 4.0) / 6.0,
                       (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) / 6.0, t3 / 6.0};
  return weigh4(P, i - 1, w);
}

Point3D v_bspline(int i, const Point3D* P, double t) {
  const double t2 = t * t, s = 1.0 - t;
  const double w[4] = {-s * s / 2.0, (9.0 * t2 - 12.0 * t) / 6.0, (-9.0 * t2 + 6.0 * t + 3.0) / 6.0,
                       t2 / 2.0};
  return weigh4(P, i - 1, w);
}

Point3D pt_bezier(int n, const Point3D* P, double t) {
  Point3D r = pt_zero();
  for (int k = 0; k < n; ++k) {
    const double f = binom(n - 1, k) * ipow(t, k) * ipow(1.0 - t, n - 1 - k);
    r = v_add(r, v_lambdav(f, P[k]));
  }
  return r;
}

Point3D v_bezier(int n, const Point3D* P, double t) {
  Point3D r = v_zero();
  for (int k = 0; k + 1 < n; ++k) {
    const double f = binom(n - 2, k) * ipow(t, k) * ipow(1.0 - t, n - 2 - k);
    r = v_add(r, v_lambdav(f, v_sub(P[k + 1], P[k])));
  }
  return r;
}

Plane pl_n_ptv(Point3D p, Point3D n) {
  const double len = mag_vector(n);
  if (!(len > 0.0)) return Plane{0.0, 0.0, 0.0, 0.0};
  const double f = 1.0 / len;
  return Plane{n.x * f, n.y * f, n.z * f, -dot_product(p, n) * f};
}

Plane pl_ptptpt(Point3D p1, Point3D p2, Point3D p3) {
  return pl_n_ptv(p1, cross_product(v_sub(p2, p1), v_sub(p3, p1)));
}

Point3D n_ptptpt(Point3D p1, Point3D p2, Point3D p3) { return v_n_pl(pl_ptptpt(p1, p2, p3)); }

Point3D v_n_pl(Plane pl) { return Point3D{pl.a, pl.b, pl.c}; }

Point3D pt_nf_pl(Plane pl) { return v_lambdav(-pl.d, v_n_pl(pl)); }

Point3D pt_n_ptpl(Point3D p, Plane pl) {
  const Point3D n = v_n_pl(pl);
  return v_sub(p, v_lambdav(dot_product(n, p) + pl.d, n));
}

Line l_j_ptpt(Point3D p1, Point3D p2) { return Line{p1, v_sub(p2, p1)}; }

Line l_pt(Point3D v) { return Line{pt_zero(), v}; }

Point3D pt_n_ptl(Point3D p, Line l) {
  const Point3D u = v_unit(l.v);
  return pt_ptv(l.p, v_lambdav(dot_product(v_sub(p, l.p), u), u));
}

double d_ptl(Point3D p, Line l) { return d_ptpt(p, pt_n_ptl(p, l)); }

Point3D pt_i_lpl(Line l, Plane pl) {
  const Point3D u = v_unit(l.v), n = v_n_pl(pl);
  const double nu = dot_product(n, u);
  if (nu == 0.0) return l.p;
  const double s = -(dot_product(n, l.p) + pl.d) / nu;
  return pt_ptv(l.p, v_lambdav(s, u));
}

Line l_i_plpl(Plane a, Plane b) {
  const Point3D na = v_n_pl(a), nb = v_n_pl(b);
  const Point3D dir = cross_product(na, nb);
  const Line across{v_lambdav(-a.d, na), cross_product(dir, na)};
  return Line{pt_i_lpl(across, b), dir};
}

int i_ss(Sphere s1, Sphere s2) {
  const double d = d_ptpt(s1.c, s2.c);
  return s1.r + s2.r > d && d > std::fabs(s1.r - s2.r) ? 1 : 0;
}

Plane pl_i_ss(Sphere s1, Sphere s2) {
  Point3D D;
  double L, h;
  if (!meeting_offset(s1, s2, &D, &L, &h)) return Plane{0.0, 0.0, 0.0, 0.0};
  return pl_n_ptv(pt_ptv(s1.c, v_lambdav(h / L, D)), D);
}

void c_i_ss(Circle* c, Sphere s1, Sphere s2) {
  Point3D D;
  double L, h;
  const bool apart = meeting_offset(s1, s2, &D, &L, &h);
  c->c = apart ? pt_ptv(s1.c, v_lambdav(h / L, D)) : s1.c;
  const double r2 = s1.r * s1.r - h * h;
  c->r = r2 > 0.0 ? std::sqrt(r2) : 0.0;
  c->n = D;
}

int i_sss(Sphere s1, Sphere s2, Sphere s3) {
  const Line l = l_i_plpl(pl_i_ss(s1, s3), pl_i_ss(s1, s2));
  return d_ptl(s1.c, l) < s1.r ? 1 : 0;
}

Plane pl_c(Circle c) { return pl_n_ptv(c.c, c.n); }

int c_in_s(Circle c, Sphere s) {
  const Point3D q = project_on_circle_plane(s.c, c);
  const double h = d_ptpt(q, s.c), e = d_ptpt(q, c.c) + c.r;
  return std::sqrt(h * h + e * e) < s.r ? 1 : 0;
}

int i_sc(Sphere s, Circle c) {
  const Point3D q = project_on_circle_plane(s.c, c);
  const double h = d_ptpt(q, s.c), e = d_ptpt(q, c.c);
  const double far = std::sqrt(h * h + (e + c.r) * (e + c.r));
  const double near = std::sqrt(h * h + (e - c.r) * (e - c.r));
  return far > s.r && s.r > near ? 1 : 0;
}

int i_sc_ptpt(Point3D* a, Point3D* b, Sphere s, Circle c) {
  const Point3D q = project_on_circle_plane(s.c, c);
  const double h = d_ptpt(q, s.c), e = d_ptpt(q, c.c);
  const double rho2 = s.r * s.r - h * h;
  if (!i_sc(s, c) || !(rho2 > 0.0)) return 0;
  const double rho = std::sqrt(rho2);
  if (!(e * rho > 0.0)) return 0;
  const double beta = std::acos(clamp_cos((e * e - c.r * c.r + rho2) / (2.0 * e * rho)));
  const Point3D u = v_magv(v_sub(c.c, q), 1.0);
  const Point3D w = v_magv(cross_product(v_sub(c.c, q), c.n), 1.0);
  double sb, cb;
  sincos(beta, &sb, &cb);
  const Point3D along = pt_ptv(q, v_lambdav(rho * cb, u));
  *a = pt_ptv(along, v_lambdav(rho * sb, w));
  *b = pt_ptv(along, v_lambdav(-rho * sb, w));
  return 1;
}
