#include "geometry/zam_math.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "runtime/zam_log.h"

double deigen_tol = 1e-16;

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.14159265358979323846;

// Column-order element (i, j) of an n x n matrix.
template <typename T>
T& at(T* a, int n, int i, int j) {
  return a[j * n + i];
}

template <typename T>
void mat_x_col_t(int n, const T* A, const T* x, T* y) {
  for (int i = 0; i < n; i++) {
    T s = 0;
    for (int j = 0; j < n; j++) s += A[j * n + i] * x[j];
    y[i] = s;
  }
}

template <typename T>
void mat_x_mat_t(int n, const T* X, const T* Y, T* Z) {
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) {
      T s = 0;
      for (int k = 0; k < n; k++) s += X[k * n + i] * Y[j * n + k];
      Z[j * n + i] = s;
    }
}

template <typename T>
void ident_t(int n, T* A) {
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) A[j * n + i] = i == j ? 1 : 0;
}

// Gauss-Jordan elimination with row exchanges. A pivot at or below the
// rounding level of the matrix's largest element counts as singular: the
// inverse would then be dominated by rounding or be infinite.
template <typename T>
int inverse_t(int n, T* A, T* B, const char* who) {
  if (n < 1) return 1;
  ident_t(n, B);
  T big = 0;
  for (int k = 0; k < n * n; k++) big = std::max(big, std::fabs(A[k]));
  const T tiny = big * std::numeric_limits<T>::epsilon() * n;
  for (int k = 0; k < n; k++) {
    int r = k;
    for (int i = k + 1; i < n; i++)
      if (std::fabs(at(A, n, i, k)) > std::fabs(at(A, n, r, k))) r = i;
    const T piv = at(A, n, r, k);
    if (!(std::fabs(piv) > tiny)) {
      zam_err("Singular matrix in %s(): no usable pivot in column %d of %d\n", who, k + 1, n);
      for (int i = 0; i < n * n; i++) B[i] = 0;
      return 0;
    }
    if (r != k)
      for (int j = 0; j < n; j++) {
        std::swap(at(A, n, r, j), at(A, n, k, j));
        std::swap(at(B, n, r, j), at(B, n, k, j));
      }
    const T inv = 1 / piv;
    for (int j = 0; j < n; j++) {
      at(A, n, k, j) *= inv;
      at(B, n, k, j) *= inv;
    }
    for (int i = 0; i < n; i++) {
      if (i == k) continue;
      const T f = at(A, n, i, k);
      if (f == 0) continue;
      for (int j = 0; j < n; j++) {
        at(A, n, i, j) -= f * at(A, n, k, j);
        at(B, n, i, j) -= f * at(B, n, k, j);
      }
    }
  }
  return 1;
}

// Normal equations of the weighted least-squares problem, solved in extended
// precision; c receives the n coefficients.
int lsq_t(int m, int n, const double* y, const double* X, const double* w, long double* c,
          const char* who) {
  if (n < 1) return 1;
  std::vector<long double> N(static_cast<size_t>(n) * n, 0.0L), Ni(N.size()), r(n, 0.0L);
  for (int k = 0; k < m; k++) {
    const double* row = X + static_cast<size_t>(k) * n;
    for (int i = 0; i < n; i++) {
      r[i] += static_cast<long double>(y[k]) * w[k] * row[i];
      for (int j = 0; j < n; j++) N[j * n + i] += static_cast<long double>(w[k]) * row[i] * row[j];
    }
  }
  if (!inverse_t(n, N.data(), Ni.data(), who)) {
    for (int i = 0; i < n; i++) c[i] = 0.0L;
    return 0;
  }
  mat_x_col_t(n, Ni.data(), r.data(), c);
  return 1;
}

// Scratch of n doubles: on the stack for the small matrices of the fits.
struct Scratch {
  double local[16];
  std::vector<double> heap;
  double* p;
  explicit Scratch(int n) : p(local) {
    if (n > 16) {
      heap.assign(n, 0.0);
      p = heap.data();
    }
  }
};

// Householder reduction of the symmetric a (column order) to tridiagonal
// form, the transforms accumulated in a; d gets the diagonal, e the
// off-diagonal (e[i] couples i-1 and i).
void mat_tridiag(int n, double* a, double* d, double* e) {
  auto A = [&](int i, int j) -> double& { return a[j * n + i]; };
  for (int i = n - 1; i > 0; i--) {
    const int l = i - 1;
    double h = 0.0, scale = 0.0;
    if (l > 0) {
      for (int k = 0; k <= l; k++) scale += std::fabs(A(i, k));
      if (scale == 0.0) {
        e[i] = A(i, l);
      } else {
        for (int k = 0; k <= l; k++) {
          A(i, k) /= scale;
          h += A(i, k) * A(i, k);
        }
        double f = A(i, l);
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h -= f * g;
        A(i, l) = f - g;
        f = 0.0;
        for (int j = 0; j <= l; j++) {
          A(j, i) = A(i, j) / h;
          g = 0.0;
          for (int k = 0; k <= j; k++) g += A(j, k) * A(i, k);
          for (int k = j + 1; k <= l; k++) g += A(k, j) * A(i, k);
          e[j] = g / h;
          f += e[j] * A(i, j);
        }
        const double hh = f / (h + h);
        for (int j = 0; j <= l; j++) {
          f = A(i, j);
          e[j] = g = e[j] - hh * f;
          for (int k = 0; k <= j; k++) A(j, k) -= f * e[k] + g * A(i, k);
        }
      }
    } else {
      e[i] = A(i, l);
    }
    d[i] = h;
  }
  d[0] = 0.0;
  e[0] = 0.0;
  for (int i = 0; i < n; i++) {
    const int l = i - 1;
    if (d[i] != 0.0) {
      for (int j = 0; j <= l; j++) {
        double g = 0.0;
        for (int k = 0; k <= l; k++) g += A(i, k) * A(k, j);
        for (int k = 0; k <= l; k++) A(k, j) -= g * A(k, i);
      }
    }
    d[i] = A(i, i);
    A(i, i) = 1.0;
    for (int j = 0; j <= l; j++) A(j, i) = A(i, j) = 0.0;
  }
}

// An off-diagonal element counts as zero below the absolute tolerance or
// below the rounding level of its neighbouring diagonal: with the absolute
// test alone, matrices of large elements would never settle.
bool negligible(double e, double dd) {
  return std::fabs(e) < deigen_tol || std::fabs(e) + dd == dd;
}

// Implicit QL with shifts on the tridiagonal (d, e); eigenvector k of z is
// z[k n .. k n + n - 1].
void tridiag_eigen(int n, double* d, double* e, double* z, const char* who) {
  for (int i = 1; i < n; i++) e[i - 1] = e[i];
  e[n - 1] = 0.0;
  for (int l = 0; l < n; l++) {
    int iter = 0;
    for (;;) {
      int m = l;
      for (; m < n - 1; m++)
        if (negligible(e[m], std::fabs(d[m]) + std::fabs(d[m + 1]))) break;
      if (m == l) break;
      if (iter == 20) {
        zam_wrn("%s(): eigenvalue %d of %d not settled after 20 iterations\n", who, l + 1, n);
        break;
      }
      iter++;
      double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = std::hypot(g, 1.0);
      g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
      double s = 1.0, c = 1.0, p = 0.0;
      bool early = false;
      for (int i = m - 1; i >= l; i--) {
        const double f = s * e[i];
        const double b = c * e[i];
        r = std::hypot(f, g);
        e[i + 1] = r;
        if (r < deigen_tol) {
          d[i + 1] -= p;
          e[m] = 0.0;
          early = true;
          break;
        }
        s = f / r;
        c = g / r;
        g = d[i + 1] - p;
        r = (d[i] - g) * s + 2.0 * c * b;
        p = s * r;
        d[i + 1] = g + p;
        g = c * r - b;
        double* vi = z + static_cast<size_t>(i) * n;
        double* vj = vi + n;
        for (int k = 0; k < n; k++) {
          const double t = vj[k];
          vj[k] = s * vi[k] + c * t;
          vi[k] = c * vi[k] - s * t;
        }
      }
      if (early) continue;
      d[l] -= p;
      e[l] = g;
      e[m] = 0.0;
    }
  }
}

void eigen_ql(int n, double* a, double* d, const char* who) {
  Scratch e(n);
  mat_tridiag(n, a, d, e.p);
  tridiag_eigen(n, d, e.p, a, who);
}

}  // namespace

void vec_scale(int n, const double* in, double* out, double s) {
  for (int i = 0; i < n; i++) out[i] = in[i] * s;
}

int val_x_vec(int n, const double* in, double* out, double s) {
  if (n < 1) return 0;
  vec_scale(n, in, out, s);
  return n;
}

void vec_add(int n, const double* a, const double* b, double* out, double s) {
  for (int i = 0; i < n; i++) out[i] = a[i] + s * b[i];
}

void vec_accum(int n, const double* in, double* acc) {
  for (int i = 0; i < n; i++) acc[i] += in[i];
}

void vec_copy(int n, const double* in, double* out) {
  for (int i = 0; i < n; i++) out[i] = in[i];
}

int vec_p_vec(int n, const double* a, const double* b, double* out) {
  if (n < 1) return 0;
  for (int i = 0; i < n; i++) out[i] = a[i] + b[i];
  return n;
}

void vec_m_vec(int n, const double* a, const double* b, double* out) {
  for (int i = 0; i < n; i++) out[i] = a[i] - b[i];
}

void vec_cross3(const double* a, const double* b, double* out) {
  const double x = a[1] * b[2] - a[2] * b[1];
  const double y = a[2] * b[0] - a[0] * b[2];
  const double z = a[0] * b[1] - a[1] * b[0];
  out[0] = x;
  out[1] = y;
  out[2] = z;
}

double vec_mag(int n, const double* v) {
  double s = 0.0;
  for (int i = 0; i < n; i++) s += v[i] * v[i];
  return s > 0.0 ? std::sqrt(s) : 0.0;
}

double row_x_col(int n, const double* a, const double* b) {
  double s = 0.0;
  for (int i = 0; i < n; i++) s += a[i] * b[i];
  return s;
}

long double hrow_x_col(int n, const long double* a, const long double* b) {
  long double s = 0.0L;
  for (int i = 0; i < n; i++) s += a[i] * b[i];
  return s;
}

void col_x_row(int n, const double* a, const double* b, double* out) {
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) out[j * n + i] = a[i] * b[j];
}

void hcol_x_row(int n, const long double* a, const long double* b, long double* out) {
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) out[j * n + i] = a[i] * b[j];
}

void mat_x_col(int n, const double* A, const double* x, double* y) { mat_x_col_t(n, A, x, y); }
void hmat_x_col(int n, const long double* A, const long double* x, long double* y) {
  mat_x_col_t(n, A, x, y);
}
void mat_x_mat(int n, const double* X, const double* Y, double* Z) { mat_x_mat_t(n, X, Y, Z); }
void hmat_x_mat(int n, const long double* X, const long double* Y, long double* Z) {
  mat_x_mat_t(n, X, Y, Z);
}

void mat_x_mat2(int n, const double* X, const double* Y, double* Z) {
  if (n < 51) {
    mat_x_mat(n, X, Y, Z);
    return;
  }
  // Row i of X becomes contiguous, so both inner operands run over memory.
  std::vector<double> xt(static_cast<size_t>(n) * n);
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) xt[static_cast<size_t>(i) * n + j] = X[static_cast<size_t>(j) * n + i];
  for (int j = 0; j < n; j++) {
    const double* y = Y + static_cast<size_t>(j) * n;
    for (int i = 0; i < n; i++) {
      const double* x = xt.data() + static_cast<size_t>(i) * n;
      double s = 0.0;
      for (int k = 0; k < n; k++) s += x[k] * y[k];
      Z[static_cast<size_t>(j) * n + i] = s;
    }
  }
}

void mat_ident(int n, double* A) { ident_t(n, A); }
void hmat_ident(int n, long double* A) { ident_t(n, A); }

double mat_trace(int n, const double* A) {
  double s = 0.0;
  for (int i = 0; i < n; i++) s += A[i * n + i];
  return s;
}

long double hmat_trace(int n, const long double* A) {
  long double s = 0.0L;
  for (int i = 0; i < n; i++) s += A[i * n + i];
  return s;
}

void mat_transpose(int n, const double* A, double* B) {
  std::vector<double> t(A, A + (n > 0 ? n * n : 0));
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) B[i * n + j] = t[j * n + i];
}

void hmat_transpose(int n, const long double* A, long double* B) {
  std::vector<long double> t(A, A + (n > 0 ? n * n : 0));
  for (int j = 0; j < n; j++)
    for (int i = 0; i < n; i++) B[i * n + j] = t[j * n + i];
}

int mat_inverse(int n, double* A, double* B) { return inverse_t(n, A, B, "mat_inverse"); }
int hmat_inverse(int n, long double* A, long double* B) { return inverse_t(n, A, B, "hmat_inverse"); }

int mat_lsq(int m, int n, const double* y, const double* X, const double* w, double* c) {
  if (n < 1) return 1;
  std::vector<long double> h(n);
  const int ok = lsq_t(m, n, y, X, w, h.data(), "mat_lsq");
  for (int i = 0; i < n; i++) c[i] = static_cast<double>(h[i]);
  return ok;
}

int hmat_lsq(int m, int n, const double* y, const double* X, const double* w, long double* c) {
  return lsq_t(m, n, y, X, w, c, "hmat_lsq");
}

void zam_eigen_tol(double tol) { deigen_tol = tol; }

void mat_eigen_ql(int n, const double* A, double* V, double* d) {
  if (n < 1) return;
  if (V != A) std::copy(A, A + n * n, V);
  eigen_ql(n, V, d, "mat_eigen_ql");
}

void mat_eigen_qlip(int n, double* A, double* d) {
  if (n < 1) return;
  eigen_ql(n, A, d, "mat_eigen_qlip");
}

void mat_eigen_jr(int n, double* A, double* V, double* d) {
  if (n < 1) return;
  auto a = [&](int i, int j) -> double& { return A[j * n + i]; };
  auto v = [&](int i, int j) -> double& { return V[j * n + i]; };
  Scratch bs(n), zs(n);
  double* b = bs.p;
  double* z = zs.p;
  mat_ident(n, V);
  for (int p = 0; p < n; p++) {
    b[p] = d[p] = a(p, p);
    z[p] = 0.0;
  }
  auto rotate = [](double& g_ref, double& h_ref, double s, double tau) {
    const double g = g_ref, h = h_ref;
    g_ref = g - s * (h + g * tau);
    h_ref = h + s * (g - h * tau);
  };
  for (int sweep = 0; sweep < 3 * n; sweep++) {
    double off = 0.0;
    for (int p = 0; p < n - 1; p++)
      for (int q = p + 1; q < n; q++) off += std::fabs(a(p, q));
    if (off < deigen_tol) break;
    for (int p = 0; p < n - 1; p++) {
      for (int q = p + 1; q < n; q++) {
        const double apq = a(p, q);
        if (apq == 0.0) continue;
        const double theta = (d[q] - d[p]) / (2.0 * apq);
        const double root = std::sqrt(theta * theta + 1.0);
        const double t = theta >= 0.0 ? 1.0 / (theta + root) : -1.0 / (root - theta);
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        const double tau = s / (1.0 + c);
        const double h = t * apq;
        z[p] -= h;
        z[q] += h;
        d[p] -= h;
        d[q] += h;
        a(p, q) = 0.0;
        for (int j = 0; j < p; j++) rotate(a(j, p), a(j, q), s, tau);
        for (int j = p + 1; j < q; j++) rotate(a(p, j), a(j, q), s, tau);
        for (int j = q + 1; j < n; j++) rotate(a(p, j), a(q, j), s, tau);
        for (int j = 0; j < n; j++) rotate(v(j, p), v(j, q), s, tau);
      }
    }
    for (int p = 0; p < n; p++) {
      b[p] += z[p];
      d[p] = b[p];
      z[p] = 0.0;
    }
  }
  for (int p = 0; p < n - 1; p++)
    for (int q = p + 1; q < n; q++) a(p, q) = a(q, p);
}

void mat_eigen_sort(int n, int signed_order, int ascending, const double* V_in, const double* d_in,
                    double* V_out, double* d_out) {
  if (n < 1) return;
  std::vector<double> key(n);
  for (int i = 0; i < n; i++) key[i] = signed_order ? d_in[i] : std::fabs(d_in[i]);
  std::vector<int> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) { return key[a] < key[b]; });
  // Copies first, so that the outputs may be the inputs.
  std::vector<double> v(V_in, V_in + n * n), d(d_in, d_in + n);
  for (int k = 0; k < n; k++) {
    const int src = ascending ? perm[k] : perm[n - 1 - k];
    d_out[k] = d[src];
    std::copy(v.begin() + src * n, v.begin() + src * n + n, V_out + k * n);
  }
}

double rot_to_axis(const double* R, double* axis) {
  const double angle = std::acos(clamp_cos((R[0] + R[4] + R[8] - 1.0) / 2.0));
  if (!(angle > 0.0 && angle < kPi)) {
    axis[0] = std::sqrt(std::max(0.0, (R[0] + 1.0) / 2.0));
    axis[1] = (R[3] >= 0.0 ? 1.0 : -1.0) * std::sqrt(std::max(0.0, (R[4] + 1.0) / 2.0));
    axis[2] = (R[6] >= 0.0 ? 1.0 : -1.0) * std::sqrt(std::max(0.0, (R[8] + 1.0) / 2.0));
  } else {
    const double s = std::sin(angle);
    axis[0] = (R[5] - R[7]) / s;
    axis[1] = (R[6] - R[2]) / s;
    axis[2] = (R[1] - R[3]) / s;
  }
  const double len = vec_mag(3, axis);
  if (len > 0.0)
    for (int i = 0; i < 3; i++) axis[i] /= len;
  return angle;
}

void rot_to_angles(const double* R, double* alpha, double* beta, double* gamma) {
  if (R[8] >= 1.0) {
    *beta = *gamma = 0.0;
    const double a = std::acos(clamp_cos(R[0]));
    *alpha = R[1] < 0.0 ? kTwoPi - a : a;
  } else if (R[8] <= -1.0) {
    *beta = kPi;
    *gamma = 0.0;
    const double a = std::acos(clamp_cos(R[4]));
    *alpha = R[3] > 0.0 ? kTwoPi - a : a;
  } else {
    *beta = std::acos(R[8]);
    const double s = std::sin(*beta);
    const double g = std::acos(clamp_cos(-R[2] / s));
    *gamma = R[5] / s < 0.0 ? kTwoPi - g : g;
    const double a = std::acos(clamp_cos(R[6] / s));
    *alpha = R[7] / s < 0.0 ? kTwoPi - a : a;
  }
}

double mod_angle(double a, double p) {
  const long double lp = p;
  const long double r = std::fmod(static_cast<long double>(a), lp);
  return static_cast<double>(std::fmod(lp + r, lp));
}

int degenerate_axes(double tol, AxisAngle r1, AxisAngle r2) {
  const double c = clamp_cos(dot_product(r1.axis, r2.axis));
  const double sign = c >= 0.0 ? 1.0 : -1.0;
  // The reduced difference lies in [0, pi): a difference just below zero
  // lands just below pi and must count as agreement too.
  const double r = mod_angle(r1.angle - sign * r2.angle, kPi);
  return std::acos(c) < tol && (r < tol || kPi - r < tol);
}

int degenerate_rotn(double tol, Euler e1, Euler e2) {
  return degenerate_axes(tol, axis_tf(tf_euler(e1)), axis_tf(tf_euler(e2)));
}

void mat_cycle_3d(const int dims_in[3], int dims_out[3], const float* in, float* out) {
  const int d0 = dims_in[0], d1 = dims_in[1], d2 = dims_in[2];
  dims_out[0] = d2;
  dims_out[1] = d0;
  dims_out[2] = d1;
  for (int i = 0; i < d0; i++)
    for (int j = 0; j < d1; j++)
      for (int z = 0; z < d2; z++)
        out[(static_cast<size_t>(z) * d0 + i) * d1 + j] = in[(static_cast<size_t>(i) * d1 + j) * d2 + z];
}

void vec_print(int n, const double* v, const char* title) {
  zam_msg("%s = \n", title);
  for (int i = 0; i < n; i++) zam_msg("%f  ", v[i]);
  zam_msg("\n");
}

void mat_print(int n, const double* A, const char* title) {
  zam_msg("%s = \n", title);
  for (int i = 0; i < n; i++) {
    for (int j = 0; j < n; j++) zam_msg("%14.6e  ", A[j * n + i]);
    zam_msg("\n");
  }
}
