#include "geometry/zam_qcp.h"

#include <cmath>
#include <vector>

#include "geometry/zam_math.h"
#include "runtime/zam_log.h"

namespace {

constexpr double kKeep = 1e-6;  // eigenvalues of H^T H at or below this are dropped

struct Rot {
  double r[3][3];
};

Rot identity_rot() { return Rot{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Point3D mean(int n, const Point3D* p) {
  Point3D s{0, 0, 0};
  for (int i = 0; i < n; i++) {
    s.x += p[i].x;
    s.y += p[i].y;
    s.z += p[i].z;
  }
  const double f = 1.0 / n;
  return Point3D{s.x * f, s.y * f, s.z * f};
}

Point3D weighted_mean(int n, const Point3D* p, const double* w, double W) {
  Point3D s{0, 0, 0};
  for (int i = 0; i < n; i++) {
    s.x += w[i] * p[i].x;
    s.y += w[i] * p[i].y;
    s.z += w[i] * p[i].z;
  }
  return Point3D{s.x / W, s.y / W, s.z / W};
}

double weight_sum(int n, const double* w) {
  double W = 0.0;
  for (int i = 0; i < n; i++) W += w[i];
  return W;
}

// translate(-c1), then R, then translate(c2).
Matrix3D make_tf(const Rot& R, Point3D c1, Point3D c2) {
  Matrix3D T;
  const double c[3] = {c1.x, c1.y, c1.z};
  const double d[3] = {c2.x, c2.y, c2.z};
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++) T.m[4 * i + j] = R.r[i][j];
    T.m[4 * i + 3] = d[i] - (R.r[i][0] * c[0] + R.r[i][1] * c[1] + R.r[i][2] * c[2]);
  }
  return T;
}

// Inner-product matrix S (row order, S_ij = sum w (b - c2)_i (a - c1)_j) and
// E0 = (G1 + G2) / 2; w may be null.
void qcp_product(int n, const Point3D* a, const Point3D* b, const double* w, Point3D c1,
                 Point3D c2, double S[9], double* E0) {
  for (int k = 0; k < 9; k++) S[k] = 0.0;
  double g = 0.0;
  for (int i = 0; i < n; i++) {
    const double wi = w ? w[i] : 1.0;
    const double ax = a[i].x - c1.x, ay = a[i].y - c1.y, az = a[i].z - c1.z;
    const double bx = wi * (b[i].x - c2.x), by = wi * (b[i].y - c2.y), bz = wi * (b[i].z - c2.z);
    g += wi * (ax * ax + ay * ay + az * az) + bx * (b[i].x - c2.x) + by * (b[i].y - c2.y) +
         bz * (b[i].z - c2.z);
    S[0] += bx * ax;
    S[1] += bx * ay;
    S[2] += bx * az;
    S[3] += by * ax;
    S[4] += by * ay;
    S[5] += by * az;
    S[6] += bz * ax;
    S[7] += bz * ay;
    S[8] += bz * az;
  }
  *E0 = 0.5 * g;
}

double det3v(double a, double b, double c, double d, double e, double f, double g, double h,
             double i) {
  return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// Cofactor (r, c) of the 4 x 4 matrix M.
double cofactor4(const double M[4][4], int r, int c) {
  double m[9];
  int k = 0;
  for (int i = 0; i < 4; i++) {
    if (i == r) continue;
    for (int j = 0; j < 4; j++)
      if (j != c) m[k++] = M[i][j];
  }
  const double d = det3v(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
  return ((r + c) & 1) ? -d : d;
}

// Rotation (rows of R) from S and E0. False when the characteristic
// polynomial yields no usable eigenvector: the top root is not simple (a
// perfect fit of collinear or coincident points) or the numbers broke down.
bool qcp_rotation(const double S[9], double E0, Rot* R) {
  const double Sxx = S[0], Sxy = S[1], Sxz = S[2], Syx = S[3], Syy = S[4], Syz = S[5],
               Szx = S[6], Szy = S[7], Szz = S[8];
  const double K[4][4] = {
      {Sxx + Syy + Szz, Syz - Szy, Szx - Sxz, Sxy - Syx},
      {Syz - Szy, Sxx - Syy - Szz, Sxy + Syx, Szx + Sxz},
      {Szx - Sxz, Sxy + Syx, -Sxx + Syy - Szz, Syz + Szy},
      {Sxy - Syx, Szx + Sxz, Syz + Szy, -Sxx - Syy + Szz}};
  double sum2 = 0.0;
  for (int k = 0; k < 9; k++) sum2 += S[k] * S[k];
  const double c2 = -2.0 * sum2;
  const double c1 = -8.0 * det3v(Sxx, Sxy, Sxz, Syx, Syy, Syz, Szx, Szy, Szz);
  double c0 = 0.0;
  for (int j = 0; j < 4; j++) c0 += K[0][j] * cofactor4(K, 0, j);

  // Newton from E0, which bounds the largest root from above. A zero or
  // non-finite derivative stops at the current estimate.
  double x = E0;
  for (int it = 0; it < 50; it++) {
    const double x2 = x * x;
    const double b = (x2 + c2) * x;
    const double a = b + c1;
    const double den = 2.0 * x2 * x + b + a;
    const double delta = (a * x + c0) / den;
    if (den == 0.0 || !std::isfinite(delta)) break;
    const double xn = x - delta;
    // The absolute test alone cannot be met once x is so large that 1e-11 is
    // below its rounding step; four ulps of x end the iteration as well.
    const bool done = std::fabs(xn - x) < 1e-11 || std::fabs(xn - x) <= 8.9e-16 * std::fabs(xn);
    x = xn;
    if (done) break;
  }
  double M[4][4];
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) M[i][j] = K[i][j] - (i == j ? x : 0.0);
  double q[4] = {0, 0, 0, 0};
  double s = -1.0;
  for (int j = 0; j < 4; j++) {
    double col[4], n2 = 0.0;
    for (int i = 0; i < 4; i++) {
      col[i] = cofactor4(M, j, i);
      n2 += col[i] * col[i];
    }
    if (n2 > s) {
      s = n2;
      for (int i = 0; i < 4; i++) q[i] = col[i];
    }
  }
  // The adjugate is of the order of E0^3 times the relative gaps between the
  // top eigenvalue and the others; at the rounding level of E0^3 the top root
  // is double and the column is noise.
  const double scale = E0 * E0 * E0;
  if (!(s > 1e-6) || !std::isfinite(s) || std::sqrt(s) <= 1e-10 * scale) return false;
  const double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
  const double f = 2.0 / s;
  R->r[0][0] = 1.0 - f * (q2 * q2 + q3 * q3);
  R->r[0][1] = f * (q1 * q2 + q0 * q3);
  R->r[0][2] = f * (q1 * q3 - q0 * q2);
  R->r[1][0] = f * (q1 * q2 - q0 * q3);
  R->r[1][1] = 1.0 - f * (q1 * q1 + q3 * q3);
  R->r[1][2] = f * (q2 * q3 + q0 * q1);
  R->r[2][0] = f * (q1 * q3 + q0 * q2);
  R->r[2][1] = f * (q2 * q3 - q0 * q1);
  R->r[2][2] = 1.0 - f * (q1 * q1 + q2 * q2);
  return true;
}

// Turns the direction of a onto the z axis and the z axis onto b.
// Prints the eigenvectors V and eigenvalues mu of the symmetric 3 x 3 matrix
// W with the two checks of the decomposition: V^T V and V^T W V, both
// diagonal.
void print_eigen(const double* W, const double* V, const double* mu) {
  double ET[9], E2[9], WE[9], EWE[9];
  mat_print(3, V, "Eigenvectors");
  vec_print(3, mu, "Eigenvalues");
  mat_transpose(3, V, ET);
  mat_x_mat(3, ET, V, E2);
  mat_print(3, E2, "E(+).E = Diagonal");
  mat_x_mat(3, W, V, WE);
  mat_x_mat(3, ET, WE, EWE);
  mat_print(3, EWE, "A(+).W.A = Diagonal");
}

Rot linear_rotation(Point3D a, Point3D b) {
  const PolarPoint pa = pp_pt(a), pb = pp_pt(b);
  const Matrix3D M = tf_tftf(tf_euler(e_make(0.0, -pa.theta, -pa.phi)),
                             tf_euler(e_make(pb.phi, pb.theta, 0.0)));
  Rot R;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) R.r[i][j] = M.m[4 * i + j];
  return R;
}

// Rotation from the correlation matrix h (rows by the second list) through
// the eigenvectors of H^T H. The pairs and centres serve the linear case;
// w (may be null) skips pairs of zero weight there. With handed, an improper
// result is corrected by flipping the direction of the smallest singular
// value: the least-squares proper rotation.
Rot eigen_rotation(const double h[3][3], int n, const Point3D* a, const Point3D* b,
                   const double* w, Point3D c1, Point3D c2, bool handed, bool print) {
  double HtH[9];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      HtH[j * 3 + i] = h[0][i] * h[0][j] + h[1][i] * h[1][j] + h[2][i] * h[2][j];
  double V[9], mu[3];
  mat_eigen_ql(3, HtH, V, mu);
  if (print) print_eigen(HtH, V, mu);
  int kept[3], dropped[3], nk = 0, nd = 0;
  double sigma[3] = {0, 0, 0}, u[3][3] = {{0}};
  for (int k = 0; k < 3; k++) {
    if (std::fabs(mu[k]) > kKeep) {
      sigma[k] = std::sqrt(mu[k]);
      kept[nk++] = k;
    } else {
      dropped[nd++] = k;
    }
  }
  for (int t = 0; t < nk; t++) {
    const int k = kept[t];
    const double* v = V + 3 * k;
    for (int i = 0; i < 3; i++) u[k][i] = (h[i][0] * v[0] + h[i][1] * v[1] + h[i][2] * v[2]) / sigma[k];
  }
  Rot R = identity_rot();
  auto sum_uv = [&]() {
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++)
        R.r[i][j] = u[0][i] * V[j] + u[1][i] * V[3 + j] + u[2][i] * V[6 + j];
  };
  if (nk == 3 && !handed) {
    sum_uv();
  } else if (nk == 3) {
    // The direction of the smallest singular value is taken as the cross
    // product of the other two on both sides. For a proper best rotation
    // this is the same R; for an improper one it flips that direction, which
    // gives the least-squares proper rotation; and it never divides by a
    // small singular value, which would carry the rounding of H^T H into R.
    int m = 0;
    for (int k = 1; k < 3; k++)
      if (sigma[k] < sigma[m]) m = k;
    const int p = m == 0 ? 1 : 0, q = m == 2 ? 1 : 2;
    vec_cross3(V + 3 * p, V + 3 * q, V + 3 * m);
    vec_cross3(u[p], u[q], u[m]);
    sum_uv();
  } else if (nk == 2) {
    const int k0 = kept[0], k1 = kept[1], d = dropped[0];
    vec_cross3(V + 3 * k0, V + 3 * k1, V + 3 * d);
    vec_cross3(u[k0], u[k1], u[d]);
    sum_uv();
  } else if (nk == 1) {
    for (int i = 0; i < n; i++) {
      if (w && w[i] == 0.0) continue;
      const Point3D pa{a[i].x - c1.x, a[i].y - c1.y, a[i].z - c1.z};
      const Point3D pb{b[i].x - c2.x, b[i].y - c2.y, b[i].z - c2.z};
      if (mag_vector(pa) != 0.0 && mag_vector(pb) != 0.0) {
        R = linear_rotation(pa, pb);
        break;
      }
    }
  }
  return R;
}

// h = sum of s_k (b_k - c2)(a_k - c1)^T with s_k = scale w_k (w null: 1).
void correlation(int n, const Point3D* a, const Point3D* b, const double* w, double scale,
                 Point3D c1, Point3D c2, double h[3][3]) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) h[i][j] = 0.0;
  for (int k = 0; k < n; k++) {
    const double s = w ? w[k] * scale : 1.0;
    const double av[3] = {a[k].x - c1.x, a[k].y - c1.y, a[k].z - c1.z};
    const double bv[3] = {s * (b[k].x - c2.x), s * (b[k].y - c2.y), s * (b[k].z - c2.z)};
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) h[i][j] += bv[i] * av[j];
  }
}

Matrix3D fit_eigen(int n, const Point3D* a, const Point3D* b, const double* w) {
  if (n < 1) return tf_identity();
  Point3D c1, c2;
  double scale = 1.0;
  if (w) {
    const double W = weight_sum(n, w);
    if (W == 0.0) return make_tf(identity_rot(), mean(n, a), mean(n, b));
    c1 = weighted_mean(n, a, w, W);
    c2 = weighted_mean(n, b, w, W);
    scale = n / W;  // weights rescaled to a mean of 1 for the keep threshold
  } else {
    c1 = mean(n, a);
    c2 = mean(n, b);
  }
  double h[3][3];
  correlation(n, a, b, w, scale, c1, c2, h);
  return make_tf(eigen_rotation(h, n, a, b, w, c1, c2, true, false), c1, c2);
}

Matrix3D fit_qcp(int n, const Point3D* a, const Point3D* b, const double* w) {
  if (n < 1) return tf_identity();
  Point3D c1, c2;
  if (w) {
    const double W = weight_sum(n, w);
    if (W == 0.0) return make_tf(identity_rot(), mean(n, a), mean(n, b));
    c1 = weighted_mean(n, a, w, W);
    c2 = weighted_mean(n, b, w, W);
  } else {
    c1 = mean(n, a);
    c2 = mean(n, b);
  }
  double S[9], E0;
  qcp_product(n, a, b, w, c1, c2, S, &E0);
  Rot R;
  if (qcp_rotation(S, E0, &R)) return make_tf(R, c1, c2);
  return fit_eigen(n, a, b, w);
}

Point3D harmonic_point(const double* c, int base) {
  return Point3D{c[base + 1], c[base - 1], c[base]};
}

void print_pairs(int n, const Point3D* fixed, const Point3D* moving) {
  double dsum = 0.0;
  for (int i = 0; i < n; i++) {
    zam_msg("Fixed=[%.2f, %.2f, %.2f], Moving=[%.2f, %.2f, %.2f]\n", fixed[i].x, fixed[i].y,
            fixed[i].z, moving[i].x, moving[i].y, moving[i].z);
    dsum += d_ptpt(fixed[i], moving[i]);
  }
  zam_msg("Dsum = %.2f\n", dsum);
}

// Fits the moving points onto the fixed ones about the origin, printing the
// pairs before and after.
Matrix3D fit_harmonic(std::vector<Point3D>& moving, const std::vector<Point3D>& fixed) {
  const int n = static_cast<int>(moving.size());
  print_pairs(n, fixed.data(), moving.data());
  const Matrix3D T = tf_fitRot(n, moving.data(), fixed.data());
  tf_pts(n, moving.data(), moving.data(), T);
  print_pairs(n, fixed.data(), moving.data());
  return T;
}

}  // namespace

Matrix3D tf_fitQCP(int n, const Point3D* first, const Point3D* second) {
  return fit_qcp(n, first, second, nullptr);
}

Matrix3D tf_fitQCPwts(int n, const Point3D* first, const Point3D* second, const double* w) {
  return fit_qcp(n, first, second, w);
}

Matrix3D tf_fitPts(int n, const Point3D* first, const Point3D* second) {
  return fit_eigen(n, first, second, nullptr);
}

Matrix3D tf_fitPtsWts(int n, const Point3D* first, const Point3D* second, const double* w) {
  return fit_eigen(n, first, second, w);
}

Matrix3D tf_fitRot(int n, const Point3D* first, const Point3D* second) {
  if (n < 1) return tf_identity();
  const Point3D o{0, 0, 0};
  double h[3][3];
  correlation(n, first, second, nullptr, 1.0, o, o, h);
  return make_tf(eigen_rotation(h, n, first, second, nullptr, o, o, false, true), o, o);
}

Matrix3D tf_fitAlm(int L, const double* moving, const double* fixed) {
  std::vector<Point3D> mv, fx;
  for (int l = 1; l <= L; l++) {
    mv.push_back(harmonic_point(moving, l * (l + 1)));
    fx.push_back(harmonic_point(fixed, l * (l + 1)));
  }
  const Matrix3D T = fit_harmonic(mv, fx);
  print_transformation(T);
  return T;
}

Matrix3D tf_fitAnlm(int N, const double* moving, const double* fixed) {
  std::vector<Point3D> mv, fx;
  for (int n = 2; n <= N; n++) {
    const int block = (n - 1) * n * (2 * n - 1) / 6;
    for (int l = 1; l <= n - 1; l++) {
      mv.push_back(harmonic_point(moving, block + l * (l + 1)));
      fx.push_back(harmonic_point(fixed, block + l * (l + 1)));
    }
  }
  return fit_harmonic(mv, fx);
}

double rms_pts(int n, const Point3D* a, const Point3D* b) {
  if (n < 1) return 0.0;
  double s = 0.0;
  for (int i = 0; i < n; i++) s += d2_ptpt(a[i], b[i]);
  return std::sqrt(s / n);
}

double rms_d2pts(int n, const double* d2) {
  if (n < 1) return 0.0;
  double s = 0.0;
  for (int i = 0; i < n; i++) s += d2[i];
  return std::sqrt(s / n);
}

void tf_pts(int n, Point3D* out, const Point3D* in, Matrix3D T) {
  for (int i = 0; i < n; i++) out[i] = pt_tfpt(T, in[i]);
}

double rms_tf_pts(int n, const Point3D* a, const Point3D* b, Matrix3D T) {
  if (n < 1) return 0.0;
  double s = 0.0;
  for (int i = 0; i < n; i++) s += d2_ptpt(pt_tfpt(T, a[i]), b[i]);
  return std::sqrt(s / n);
}

Plane pl_pts_pt(int n, const Point3D* points, Point3D reference) {
  const Point3D c = n > 0 ? mean(n, points) : Point3D{0, 0, 0};
  const double cv[3] = {c.x, c.y, c.z};
  vec_print(3, cv, "Average");
  double C[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int k = 0; k < n; k++) {
    const double d[3] = {points[k].x - c.x, points[k].y - c.y, points[k].z - c.z};
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) C[j * 3 + i] += d[i] * d[j];
  }
  mat_print(3, C, "Covariance");
  double V[9], mu[3];
  mat_eigen_ql(3, C, V, mu);
  print_eigen(C, V, mu);
  int kept[3], nk = 0;
  for (int k = 0; k < 3; k++)
    if (std::fabs(mu[k]) > kKeep) kept[nk++] = k;
  const Point3D away = v_ptpt(reference, c);
  Point3D normal;
  if (nk == 3) {
    int m = 0;
    for (int k = 1; k < 3; k++)
      if (mu[k] < mu[m]) m = k;
    normal = pt_doubles(V + 3 * m);
  } else if (nk == 2) {
    normal = cross_product(pt_doubles(V + 3 * kept[0]), pt_doubles(V + 3 * kept[1]));
  } else {
    normal = away;
  }
  Plane pl = pl_n_ptv(c, normal);
  const Point3D un{pl.a, pl.b, pl.c};
  const double len = mag_vector(un) * mag_vector(away);
  // An angle of pi/2 or more between the normal and the way from the
  // reference point to the centre turns the normal round.
  if (len > 0.0 && dot_product(un, away) / len <= 0.0) pl = pl_n_ptv(c, v_neg(normal));
  return pl;
}

void polar_ligand_tf(double* r, double* b1, double* g1, double* a2, double* b2, double* g2,
                     Matrix3D T) {
  const PolarPoint pp = pp_pt(v_tf(T));
  *r = pp.r;
  const Matrix3D M1 = tf_euler(e_make(0.0, -pp.theta, -pp.phi));
  const Euler e1 = euler_tf(M1);
  *b1 = e1.beta;
  *g1 = e1.gamma;
  const Euler e2 = euler_tf(tf3(tf_rtf(T), M1, tf_rotz(-e1.alpha)));
  *a2 = e2.alpha;
  *b2 = e2.beta;
  *g2 = e2.gamma;
}
