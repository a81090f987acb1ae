#include "harmonics/zam_radial.h"

#include <cmath>
#include <mutex>
#include <vector>

#include "harmonics/zam_legendre.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrt4Pi = 3.5449077018110318;  // 1 / N_00
constexpr int kTable = ZAM_NMAX * (ZAM_NMAX + 1) * (ZAM_NMAX + 2) / 6;
constexpr int kLnaCache = 37;

// Scales: process-wide, set once at start-up (hnl_factor, tnl_factor,
// rnl_factor).
double h_factor = 20.0;
double h_sqrt = 4.47213595499958;
double h_norm = 0.14953487812212204;
double t_factor = 1.0;
double t_norm = 1.0;
double r_factor = 0.2;
double r_norm = 0.08944271909999159;  // f^1.5 in full: the family is orthonormal
double w_factor = 5.0;

// Laguerre coefficient tables, written once under lock 5 behind call_once.
double hnlk_tab[kTable];
double tnlk_tab[kTable];
double knlk_tab[kTable];
std::once_flag hnlk_once, tnlk_once, knlk_once;

int laguerre_slot(int n, int l, int j) { return (n - 1) * n * (n + 1) / 6 + l * (2 * n - l + 1) / 2 + j; }

// Fills one table: coefficient j of (n, l) is (-1)^j times the exact product
// that add_terms puts into the record.
template <typename AddTerms>
void build_laguerre(double* tab, AddTerms add_terms) {
  zam_mutex_acquire(ZAM_LOCK_HARMONIC_TABLES);
  int exps[651] = {};
  sp_t_struct s{0, exps};
  for (int n = 1; n <= ZAM_NMAX; n++)
    for (int l = 0; l < n; l++) {
      const int d = n - l - 1;
      for (int j = 0; j <= d; j++) {
        add_terms(&s, n, l, j);
        sp_fac(&s, -1, d - j);
        sp_fac(&s, -1, j);
        const double v = static_cast<double>(sp_ans(&s));
        tab[laguerre_slot(n, l, j)] = j % 2 ? -v : v;
      }
    }
  zam_mutex_release(ZAM_LOCK_HARMONIC_TABLES);
}

// Gamma(n+1/2) / Gamma(l+j+3/2): the falling half-integer factorial.
void add_gto(sp_t_struct* s, int n, int l, int j) { sp_fall2(s, 1, n - 1, n - l - 1 - j); }
// (n+l+1)! / (2l+2+j)!
void add_eto(sp_t_struct* s, int n, int l, int j) {
  sp_fac(s, 1, n + l + 1);
  sp_fac(s, -1, 2 * l + 2 + j);
}
// (n+l-1)! / (2l+j)!
void add_cubic(sp_t_struct* s, int n, int l, int j) {
  sp_fac(s, 1, n + l - 1);
  sp_fac(s, -1, 2 * l + j);
}

double poly(const double* c, int d, double x) {
  double v = 0.0;
  for (int j = d; j >= 0; j--) v = v * x + c[j];
  return v;
}

template <typename T>
void laguerre_vec(int K, T* out, T a, T x) {
  out[0] = 1;
  out[1] = 1 + a - x;
  for (int k = 1; k < K; k++) out[k + 1] = ((2 * k + 1 + a - x) * out[k] - (k + a) * out[k - 1]) / (k + 1);
}

// L^(a0 + l step)_(n-l-1)(x) of every 1 <= n <= N, 0 <= l < n at
// n(n-1)/2 + l: the recurrence of laguerre_vec for each l, with the degrees
// of all l advanced together (the same operations on each l's values, so
// the same bits, but independent lanes the compiler can vectorise). The
// degree of l stops at N-l-1.
template <typename T>
void laguerre_bar(int N, int step, T* out, T a0, T x) {
  if (N < 1) return;
  T a[ZAM_LMAX + 1], prev[ZAM_LMAX + 1], cur[ZAM_LMAX + 1];
  for (int l = 0; l < N; l++) {
    a[l] = a0 + l * step;
    prev[l] = 1;
    cur[l] = 1 + a[l] - x;
    out[(l + 1) * l / 2 + l] = 1;
    if (l + 2 <= N) out[(l + 2) * (l + 1) / 2 + l] = cur[l];
  }
  // Degree k + 1 of every l that has it (l <= N - k - 2), at n = l + k + 2.
  for (int k = 1; k < N - 1; k++)
    for (int l = 0; l <= N - k - 2; l++) {
      const T next = ((2 * k + 1 + a[l] - x) * cur[l] - (k + a[l]) * prev[l]) / (k + 1);
      prev[l] = cur[l];
      cur[l] = next;
      const int n = l + k + 2;
      out[n * (n - 1) / 2 + l] = next;
    }
}

// L^a_d(x) alone, by the recurrence; 0 for d < 0.
double laguerre_at(int d, double a, double x) {
  if (d < 0) return 0.0;
  std::vector<double> v(d + 2);
  laguerre_vec<double>(d, v.data(), a, x);
  return v[d];
}

// Per-thread cache of lna: L^a_0..L^a_max at the last (a, x) asked.
struct LnaCache {
  double val[kLnaCache];
  int max = -1;
  double alp = -999.0, old = -999.0;
};
thread_local LnaCache lna_cache;

double gto_norm_of(int n, int l) { return h_norm * lna_1l_half_norm(n, l); }

// Integral of the expansion times Z_m(phi) P_l^|m| over theta in
// [t1, t2] and phi in [p1, p2], summed over (n, l, m).
double region_integral(int N, const double* a, double t1, double t2, double p1, double p2) {
  double s = 0.0;
  std::vector<double> I(N + 1);
  for (int l = 0; l < N; l++) {
    hnl_knl_integrals(N, l, 0, I.data());
    for (int m = -l; m <= l; m++) {
      double r = 0.0;
      for (int n = l + 1; n <= N; n++) r += I[n] * a[(n - 1) * n * (2 * n - 1) / 6 + l * (l + 1) + m];
      if (r != 0.0) s += r * iplm(l, m, t1, t2) * izm(m, p1, p2);
    }
  }
  return s;
}

// Radial moments of the GTO functions without their scale: for n = l+1..nmax
// (0 below), T[n] = integral of H_nl(r) r^(k+2) dr divided by
// h^((k+3)/2) h_norm / 2. With d = n-l-1, s_j = (l+k+1)/2 + j and the
// series of L^(l+1/2)_d (x = r^2/h), T = sqrt(d! (1/2)_n) F R with the
// rational sum
//   R = sum_j (-1)^j 2^(e_j) G_j / ((1/2)_(l+j+1) (d-j)! j!),
// e_j = floor(s_j) + 1; G_j = s_j! and F = pi^(-1/4) for odd l+k,
// G_j = (1/2)_(s_j+1/2) and F = sqrt(2) pi^(1/4) for even l+k (from
// 2^(s+1) Gamma(s+1) and the Gamma(m+1/2) = sqrt(pi) (1/2)_m of the series
// and the norm). The terms of R alternate and outgrow
// it by many orders as n rises (a loss of 1e-4 at order 30 and of every
// digit past 36 in double), so R is summed exactly and rounded once.
void exact_moments(int l, int k, int nmax, double* T) {
  mpq_t R, term;
  mpq_inits(R, term, nullptr);
  mp_t_struct p;
  mp_init(&p);
  const bool odd = (l + k) % 2 != 0;
  const int a = (l + k + 1) / 2, b = (l + k) / 2;
  static const long double kQuarterPi = powl(3.14159265358979323846264338327950288L, 0.25L);
  const long double F = odd ? 1.0L / kQuarterPi : sqrtl(2.0L) * kQuarterPi;
  for (int n = 0; n <= nmax && n <= l; n++) T[n] = 0.0;
  for (int n = l + 1; n <= nmax; n++) {
    const int d = n - l - 1;
    mpq_set_ui(R, 0, 1);
    for (int j = 0; j <= d; j++) {
      if (odd) {
        mp_pow(&p, 1, 2, a + j + 1);
        mp_fac(&p, 1, a + j);
      } else {
        mp_pow(&p, 1, 2, b + j + 1);
        mp_rise2(&p, 1, b + j + 1);
      }
      mp_rise2(&p, -1, l + j + 1);
      mp_fac(&p, -1, d - j);
      mp_fac(&p, -1, j);
      mpq_ans(&p, term);
      if (j % 2)
        mpq_sub(R, R, term);
      else
        mpq_add(R, R, term);
    }
    mp_fac(&p, 1, d);
    mp_rise2(&p, 1, n);
    mpq_ans(&p, term);
    T[n] = static_cast<double>(sqrtl(mpq_get_d(term)) * F * static_cast<long double>(mpq_get_d(R)));
  }
  mp_free(&p);
  mpq_clears(R, term, nullptr);
}

// The rows of exact_moments that the moment operations ask for (l < 36,
// k <= 36, every n to 36), each made once on first use.
double moment_tab[ZAM_NMAX][ZAM_NMAX + 1][ZAM_NMAX + 1];
std::once_flag moment_once[ZAM_NMAX][ZAM_NMAX + 1];

// sum over n > l of I_n a[(n, l, m)] / N_lm.
double moment_sum(int N, const double* a, int l, int m, const double* I) {
  double s = 0.0;
  for (int n = l + 1; n <= N; n++) s += I[n] * a[(n - 1) * n * (2 * n - 1) / 6 + l * (l + 1) + m];
  return s / ylm_norm(l, m);
}

}  // namespace

void hnl_factor(double h) {
  h_factor = h;
  h_sqrt = std::sqrt(h);
  h_norm = std::sqrt(2.0 / (std::sqrt(std::fabs(h)) * std::fabs(h)));
}

void tnl_factor(double t) {
  t_factor = t;
  t_norm = std::pow(std::fabs(t), 1.5);
}

void rnl_factor(double s) {
  r_factor = 1.0 / s;
  r_norm = std::pow(std::fabs(1.0 / s), 1.5);
}

void wnl_factor(double w) { w_factor = w; }
double hnl_scale() { return h_factor; }
double tnl_scale() { return t_factor / 2.0; }
double wnl_scale() { return w_factor; }

void lna_all_vec(int K, double* out, double a, double x) { laguerre_vec<double>(K, out, a, x); }

void hlna_all_vec(int K, long double* out, long double a, long double x) {
  laguerre_vec<long double>(K, out, a, x);
}

void lna_all_bar(int N, int step, double* out, double a0, double x) {
  laguerre_bar<double>(N, step, out, a0, x);
}

void hlna_all_bar(int N, int step, long double* out, long double a0, long double x) {
  laguerre_bar<long double>(N, step, out, a0, x);
}

double lna_1l_half_norm(int n, int l) { return std::sqrt(fac(n - l - 1) / gam2(n)); }

double lna_2l_two_norm(int n, int l) { return std::sqrt(fac(n - l - 1) / fac(n + l + 1)); }

double lna(int n, double a, double x) {
  if (n < 0) return 0.0;
  const double norm = std::sqrt(fac(n) / gam(n + a + 1.0));
  if (n >= kLnaCache) {
    std::vector<double> v(n + 2);
    lna_all_vec(n, v.data(), a, x);
    return norm * v[n];
  }
  LnaCache& c = lna_cache;
  if (c.alp != a || c.old != x) {
    c.alp = a;
    c.old = x;
    c.max = -1;
  }
  if (n > c.max) {
    lna_all_vec(kLnaCache - 1, c.val, a, x);
    c.max = kLnaCache - 1;
  }
  return norm * c.val[n];
}

double lna_ser(int n, double a, double x) {
  if (n < 0) return 0.0;
  const double top = gam(n + a + 1.0);
  double sum = 0.0, xk = 1.0;
  for (int k = 0; k <= n; k++) {
    const double t = top * xk / (fac(n - k) * gam(a + k + 1.0) * fac(k));
    sum += k % 2 ? -t : t;
    xk *= x;
  }
  return sum * std::sqrt(fac(n) / top);
}

void hnl_init() { std::call_once(hnlk_once, [] { build_laguerre(hnlk_tab, add_gto); }); }
void tnl_init() { std::call_once(tnlk_once, [] { build_laguerre(tnlk_tab, add_eto); }); }
void knl_init() { std::call_once(knlk_once, [] { build_laguerre(knlk_tab, add_cubic); }); }

double hnlk(int n, int l, int j) {
  hnl_init();
  return hnlk_tab[laguerre_slot(n, l, j)];
}

double tnlk(int n, int l, int j) {
  tnl_init();
  return tnlk_tab[laguerre_slot(n, l, j)];
}

double knlk(int n, int l, int j) {
  knl_init();
  return knlk_tab[laguerre_slot(n, l, j)];
}

void hnl_all_bar(int N, double* out, double r) {
  const double x = r * r / h_factor, e = std::exp(-0.5 * x), u = r / h_sqrt;
  lna_all_bar(N, 1, out, 0.5, x);
  double f = e;
  for (int l = 0; l < N; l++, f *= u)
    for (int n = l + 1; n <= N; n++) out[n * (n - 1) / 2 + l] *= f;
}

void hnl_all_norm(int N, double* out) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) out[n * (n - 1) / 2 + l] = gto_norm_of(n, l);
}

double hnl_norm(int n, int l) { return gto_norm_of(n, l); }

void tnl_all_bar(int N, double* out, double r) {
  const double x = r < 0.1 ? 0.0 : t_factor * r, e = std::exp(-0.5 * x);
  lna_all_bar(N, 2, out, 2.0, x);
  double f = e;
  for (int l = 0; l < N; l++, f *= x)
    for (int n = l + 1; n <= N; n++) out[n * (n - 1) / 2 + l] *= f;
}

void tnl_all_norm(int N, double* out) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) out[n * (n - 1) / 2 + l] = t_norm * lna_2l_two_norm(n, l);
}

// The single values take their Laguerre polynomial from the three-term
// recurrence, as the sets do: the power series alternates, and by order 36
// its cancellation costs the functions their orthonormality (errors of 0.1
// to 0.6 in the overlaps).
double hnl(int n, int l, double r) {
  const double x = r * r / h_factor;
  return gto_norm_of(n, l) * std::exp(-0.5 * x) * std::pow(r / h_sqrt, l) * laguerre_at(n - l - 1, l + 0.5, x);
}

double tnl(int n, int l, double r) {
  const double x = t_factor * r;
  return t_norm * lna_2l_two_norm(n, l) * std::exp(-0.5 * x) * std::pow(x, l) * laguerre_at(n - l - 1, 2.0 * l + 2.0, x);
}

double rnl(int n, int l, double r) {
  const double fr = r_factor * r, x = fr * fr * fr / 3.0;
  return r_norm * std::sqrt(fac(n - l - 1) / fac(n + l - 1)) * std::exp(-0.5 * x) * std::pow(x, l) *
         laguerre_at(n - l - 1, 2.0 * l, x);
}

void hnl_knl_integrals(int N, int l, int k, double* out) {
  if (N < 0) return;
  const double scale = 0.5 * std::pow(h_factor, 0.5 * (k + 3)) * h_norm;
  std::vector<double> own;
  const double* T;
  if (l >= 0 && l < ZAM_NMAX && k >= 0 && k <= ZAM_NMAX && N <= ZAM_NMAX) {
    std::call_once(moment_once[l][k], [l, k] { exact_moments(l, k, ZAM_NMAX, moment_tab[l][k]); });
    T = moment_tab[l][k];
  } else {
    own.resize(N + 1);
    exact_moments(l, k, N, own.data());
    T = own.data();
  }
  for (int n = 0; n <= N; n++) out[n] = n <= l ? 0.0 : scale * T[n];
}

double hnl_monopole(int N, const double* a) {
  if (N < 1) return 0.0;
  std::vector<double> I(N + 1);
  hnl_knl_integrals(N, 0, 0, I.data());
  double s = 0.0;
  for (int n = 1; n <= N; n++) s += I[n] * a[(n - 1) * n * (2 * n - 1) / 6];
  return s * kSqrt4Pi;
}

void hnl_radial(int N, const double* a, double* out) {
  std::vector<double> I(N + 1);
  for (int k = 0; k <= N; k++) {
    hnl_knl_integrals(N, 0, k, I.data());
    double s = 0.0;
    for (int n = 1; n <= N; n++) s += I[n] * a[(n - 1) * n * (2 * n - 1) / 6];
    out[k] = s * kSqrt4Pi;
  }
}

void hnl_quadrupole(int N, const double* a, double* q) {
  std::vector<double> I(N + 1 > 3 ? N + 1 : 3);
  hnl_knl_integrals(N, 2, 2, I.data());
  double B[5];
  for (int m = -2; m <= 2; m++) B[m + 2] = moment_sum(N, a, 2, m, I.data());
  const double b0 = B[2], b1 = B[3], bm1 = B[1], b2 = B[4], bm2 = B[0];
  q[0] = (b2 - 2.0 * b0) / 2.0;
  q[4] = (-b2 - 2.0 * b0) / 2.0;
  q[8] = 2.0 * b0;
  q[1] = q[3] = bm2 / 2.0;
  q[2] = q[6] = -b1;
  q[5] = q[7] = -bm1;
}

void hnl_inertia(int N, const double* a, double* t) {
  std::vector<double> I2(N + 1 > 3 ? N + 1 : 3), I0(N + 1 > 1 ? N + 1 : 1);
  hnl_knl_integrals(N, 2, 2, I2.data());
  hnl_knl_integrals(N, 0, 2, I0.data());
  double B[5];
  for (int m = -2; m <= 2; m++) B[m + 2] = moment_sum(N, a, 2, m, I2.data());
  const double b = moment_sum(N, a, 0, 0, I0.data());
  const double b0 = B[2], b1 = B[3], bm1 = B[1], b2 = B[4], bm2 = B[0];
  t[0] = (2.0 * b0 - b2 + 4.0 * b) / 6.0;
  t[4] = (2.0 * b0 + b2 + 4.0 * b) / 6.0;
  t[8] = 2.0 * (b - b0) / 3.0;
  t[1] = t[3] = -bm2 / 6.0;
  t[2] = t[6] = b1 / 3.0;
  t[5] = t[7] = bm1 / 3.0;
}

void hnl_octants(int N, const double* a, double* out) {
  for (int i = 0; i < 8; i++) out[i] = 0.0;
  if (N < 1) return;
  const int L = N - 1, M = N - 1;
  std::vector<double> th[2], ph[4], I(N + 1);
  const double half = 0.5 * kPi;
  for (int u = 0; u < 2; u++) {
    th[u].resize(N * (N + 1) / 2);
    iplm_all(L, u * half, (u + 1) * half, th[u].data());
  }
  for (int q = 0; q < 4; q++) {
    ph[q].resize(2 * M + 1);
    izm_all(M, q * half, (q + 1) * half, ph[q].data());
  }
  for (int l = 0; l <= L; l++) {
    hnl_knl_integrals(N, l, 0, I.data());
    for (int m = -l; m <= l; m++) {
      double r = 0.0;
      for (int n = l + 1; n <= N; n++) r += I[n] * a[(n - 1) * n * (2 * n - 1) / 6 + l * (l + 1) + m];
      const int am = m < 0 ? -m : m;
      for (int u = 0; u < 2; u++)
        for (int q = 0; q < 4; q++) out[4 * u + q] += th[u][l * (l + 1) / 2 + am] * ph[q][m + M] * r;
    }
  }
}

void hnl_dipole(int N, const double* a, double* d) {
  std::vector<double> I(N + 1 > 2 ? N + 1 : 2);
  hnl_knl_integrals(N, 1, 1, I.data());
  const double b1 = moment_sum(N, a, 1, 1, I.data()), bm1 = moment_sum(N, a, 1, -1, I.data());
  const double b0 = moment_sum(N, a, 1, 0, I.data());
  d[0] = -b1;
  d[1] = -bm1;
  d[2] = b0;
  if (zam_debug > 1) {
    zam_msg("\nDipoles = [%f, %f, %f], mag = %f\n", d[0], d[1], d[2], std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
    // The z part split over z > 0 and z < 0: the integral of f z over each half.
    double up = 0.0, down = 0.0;
    std::vector<double> Iz(N + 1);
    for (int l = 0; l < N; l++) {
      hnl_knl_integrals(N, l, 1, Iz.data());
      for (int n = l + 1; n <= N; n++) {
        const double c = Iz[n] * a[(n - 1) * n * (2 * n - 1) / 6 + l * (l + 1)] * izm(0, 0.0, 2.0 * kPi);
        up += c * ipklm(1, l, 0, 0.0, 0.5 * kPi) / plm_norm(1, 0);
        down += c * ipklm(1, l, 0, 0.5 * kPi, kPi) / plm_norm(1, 0);
      }
    }
    zam_msg("Pos Z + Neg Z = %f + %f = %f\n", up, down, up + down);
  }
}

void hnl_hemisphere(int N, const double* a, double* out) {
  const double h = 0.5 * kPi;
  out[0] = region_integral(N, a, 0.0, kPi, -h, h);
  out[1] = region_integral(N, a, 0.0, kPi, h, 3.0 * h);
  out[2] = region_integral(N, a, 0.0, kPi, 0.0, kPi);
  out[3] = region_integral(N, a, 0.0, kPi, kPi, 2.0 * kPi);
  out[4] = region_integral(N, a, 0.0, h, 0.0, 2.0 * kPi);
  out[5] = region_integral(N, a, h, kPi, 0.0, 2.0 * kPi);
}

double tnjl(int n, int np, int l) {
  tnl_init();
  // With f_p = r^p e^(-t r/2), the radial Laplacian gives
  // [(p(p+1) - l(l+1)) r^(p-2) - (p+1) t r^(p-1) + t^2/4 r^p] e^(-t r/2), and
  // the integral of r^s e^(-t r) is s!/t^(s+1).
  const double t = t_factor;
  auto F = [t](int s) { return fac(s) / std::pow(t, s + 1); };
  double sum = 0.0;
  for (int i = 0; i <= n - l - 1; i++)
    for (int j = 0; j <= np - l - 1; j++) {
      const int p = l + j, q = l + i;
      const double term = (p * (p + 1) - l * (l + 1)) * F(q + p) - (p + 1) * t * F(q + p + 1) + 0.25 * t * t * F(q + p + 2);
      sum += tnlk_tab[laguerre_slot(n, l, i)] * tnlk_tab[laguerre_slot(np, l, j)] * std::pow(t, 2 * l + i + j) * term;
    }
  return t_norm * t_norm * lna_2l_two_norm(n, l) * lna_2l_two_norm(np, l) * sum;
}

double hnjl(int n, int np, int l) {
  hnl_init();
  // With f_p = r^p e^(-r^2/2h), the radial Laplacian gives
  // [2j(2l+2j+1) r^(p-2) - (2p+3)/h r^p + r^(p+2)/h^2] e^(-r^2/2h) for
  // p = l + 2j, and the integral of r^s e^(-r^2/h) is h^((s+1)/2) Gamma((s+1)/2)/2.
  const double h = h_factor;
  auto G = [h](int s) { return 0.5 * std::pow(h, 0.5 * (s + 1)) * gam2(s / 2); };
  double sum = 0.0;
  for (int i = 0; i <= n - l - 1; i++)
    for (int j = 0; j <= np - l - 1; j++) {
      const int p = l + 2 * j, q = l + 2 * i;
      const double term = 2.0 * j * (2 * l + 2 * j + 1) * G(q + p) - (2 * p + 3) / h * G(q + p + 2) + G(q + p + 4) / (h * h);
      sum += hnlk_tab[laguerre_slot(n, l, i)] * hnlk_tab[laguerre_slot(np, l, j)] * std::pow(h, -(l + i + j)) * term;
    }
  return gto_norm_of(n, l) * gto_norm_of(np, l) * sum;
}

void hhnl_all_bar(int N, long double* out, long double r) {
  const long double x = r * r / h_factor, e = expl(-0.5L * x), u = r / h_sqrt;
  hlna_all_bar(N, 1, out, 0.5L, x);
  long double f = e;
  for (int l = 0; l < N; l++, f *= u)
    for (int n = l + 1; n <= N; n++) out[n * (n - 1) / 2 + l] *= f;
}

long double hlna_1l_half_norm(int n, int l) {
  long double g = 1.7724538509055160273L;  // Gamma(1/2)
  for (int k = 0; k < n; k++) g *= k + 0.5L;
  return sqrtl(hfac(n - l - 1) / g);
}

long double hhnl_norm(int n, int l) { return h_norm * hlna_1l_half_norm(n, l); }

double lna_1l_half_bar(int n, int l, double x) {
  std::vector<double> v(ZAM_NMAX * (ZAM_NMAX + 1) / 2);
  lna_all_bar(ZAM_NMAX, 1, v.data(), 0.5, x);
  return v[n * (n - 1) / 2 + l];
}

double lna_1l_half(int n, int l, double x) { return lna_1l_half_bar(n, l, x) * lna_1l_half_norm(n, l); }

double lna_1l_half_ser(int n, int l, double x) {
  if (n - l < 1) return 0.0;
  hnl_init();
  return poly(&hnlk_tab[laguerre_slot(n, l, 0)], n - l - 1, x);
}

namespace {

// Value and x derivative of the polynomial of coefficients c, degree d.
double dpoly(const double* c, int d, double x) {
  double v = 0.0;
  for (int j = d; j >= 1; j--) v = v * x + j * c[j];
  return v;
}

// Integral of exp(-x/2) x^s over [x1, x2] with the range rules of itnl.
double half_exp_moment(int s, double x1, double x2, bool full, bool upper) {
  const double scale = std::pow(2.0, s + 1);
  if (full) return scale * fac(s);
  if (upper) return scale * jgam(s + 1, 0.5 * x1);
  return scale * (igam(s + 1, 0.5 * x2) - igam(s + 1, 0.5 * x1));
}

}  // namespace

double unl(int n, int l, double x) {
  tnl_init();
  return lna_2l_two_norm(n, l) * poly(&tnlk_tab[laguerre_slot(n, l, 0)], n - l - 1, x);
}

double knl_norm(int n, int l) { return std::sqrt(fac(n - l - 1) / fac(n + l - 1)); }

double knl(int n, int l, double x) {
  knl_init();
  return knl_norm(n, l) * poly(&knlk_tab[laguerre_slot(n, l, 0)], n - l - 1, x);
}

double dunl(int n, int l, double x) {
  tnl_init();
  return lna_2l_two_norm(n, l) * dpoly(&tnlk_tab[laguerre_slot(n, l, 0)], n - l - 1, x);
}

double dknl(int n, int l, double x) {
  knl_init();
  return knl_norm(n, l) * dpoly(&knlk_tab[laguerre_slot(n, l, 0)], n - l - 1, x);
}

double dtnl(int n, int l, double r) {
  tnl_init();
  const double x = t_factor * r, e = std::exp(-0.5 * x);
  const double* c = &tnlk_tab[laguerre_slot(n, l, 0)];
  const double P = poly(c, n - l - 1, x), dP = dpoly(c, n - l - 1, x);
  const double xl = std::pow(x, l), xl1 = l > 0 ? l * std::pow(x, l - 1) : 0.0;
  return t_factor * t_norm * lna_2l_two_norm(n, l) * e * (-0.5 * xl * P + xl1 * P + xl * dP);
}

double drnl(int n, int l, double r) {
  knl_init();
  const double fr = r_factor * r, x = fr * fr * fr / 3.0, e = std::exp(-0.5 * x);
  const double* c = &knlk_tab[laguerre_slot(n, l, 0)];
  const double P = poly(c, n - l - 1, x), dP = dpoly(c, n - l - 1, x);
  const double xl = std::pow(x, l), xl1 = l > 0 ? l * std::pow(x, l - 1) : 0.0;
  return r_factor * fr * fr * r_norm * knl_norm(n, l) * e * (-0.5 * xl * P + xl1 * P + xl * dP);
}

double itnl(int n, int l, double r1, double r2) {
  tnl_init();
  const bool full = r1 == 0.0 && r2 == 0.0, upper = r1 > r2;
  const double x1 = t_factor * r1, x2 = t_factor * r2;
  double s = 0.0;
  for (int j = 0; j <= n - l - 1; j++)
    s += tnlk_tab[laguerre_slot(n, l, j)] * half_exp_moment(l + j + 2, x1, x2, full, upper);
  return t_norm * lna_2l_two_norm(n, l) * s / (t_factor * t_factor * t_factor);
}

double irnl(int n, int l, double r1, double r2) {
  knl_init();
  const bool full = r1 == 0.0 && r2 == 0.0, upper = r1 > r2;
  const double x1 = rho_r(r1), x2 = rho_r(r2);
  double s = 0.0;
  for (int j = 0; j <= n - l - 1; j++)
    s += knlk_tab[laguerre_slot(n, l, j)] * half_exp_moment(l + j, x1, x2, full, upper);
  return r_norm * knl_norm(n, l) * s / (r_factor * r_factor * r_factor);
}

double lpq(int p, int q, double x) {
  if (p < q) return 0.0;
  double s = 0.0, xk = 1.0;
  for (int k = 0; k <= p - q; k++, xk *= x) {
    const double t = xk / (fac(k) * fac(p - q - k) * fac(q + k));
    s += (q + k) % 2 ? -t : t;
  }
  return std::sqrt(fac(p) * fac(p - q)) * s;
}

double rhonl(int n, int l, double rho) {
  return std::exp(-0.5 * rho) * std::pow(rho, l) * lpq(n + l, 2 * l + 1, rho) / std::sqrt(2.0 * n);
}

double rnl_rho(int n, int l, double r) { return rhonl(n, l, 2.0 * r / n) * std::pow(std::fabs(2.0 / n), 1.5); }

double rho_r(double r) {
  const double fr = r_factor * r;
  return fr * fr * fr / 3.0;
}

void hn_all_bar2(int N, double* out, double r2, double s) {
  const double x = r2 / (s * s);
  std::vector<double> v(N + 1);
  lna_all_vec(N - 1, v.data(), 0.5, x);
  const double e = std::exp(-0.5 * x);
  for (int n = 1; n <= N; n++) out[n - 1] = e * v[n - 1];
}

void hn_all_bar(int N, double* out, double r, double s) { hn_all_bar2(N, out, r * r, s); }

double hn_norm(int n, double s) { return lna_1l_half_norm(n, 0) * std::sqrt(2.0 / (s * s * s)); }

double snl(int n, int l, double k) {
  tnl_init();
  const double q = k * k + 0.25;
  double sum = 0.0;
  for (int j = 0; j <= n - l - 1; j++) sum += tnlk_tab[laguerre_slot(n, l, j)] * fac(l + 1 + j) / std::pow(q, j + 2);
  return lna_2l_two_norm(n, l) * std::pow(2.0 * k / q, l) * sum;
}

double qnl(int n, int l, double r) {
  tnl_init();
  const double x = t_factor * (r > 0.1 ? r : 0.1), y = 0.5 * x;
  double inner = 0.0, outer = 0.0;
  for (int j = 0; j <= n - l - 1; j++) {
    const double c = tnlk_tab[laguerre_slot(n, l, j)] * std::pow(2.0, j);
    inner += c * igam(2 * l + 3 + j, y);
    outer += c * jgam(j + 2, y);
  }
  return (std::pow(2.0, 2 * l + 3) * std::pow(x, -(l + 1)) * inner + 4.0 * std::pow(x, l) * outer) /
         (t_factor * t_factor);
}

void qnl_all_bar(int N, double* out, double r) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) out[n * (n - 1) / 2 + l] = qnl(n, l, r);
}

void qnl_all_bar_dev(int N, double* out, double r) {
  tnl_init();
  if (r < 0.001) r = 0.001;
  const double t = t_factor, a = 0.5 * t * r;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      double v = 0.0;
      for (int j = 0; j <= n - l - 1; j++) {
        // inner t^(l+j) r^(2l+j+3) ak_beta(2l+j+2, t r/2) / r^(l+1) and
        // outer t^(l+j) r^(j+2) bk_beta(j+1, t r/2) r^l share r^(l+j+2).
        const double c = tnlk_tab[laguerre_slot(n, l, j)] * std::pow(t, l + j) * std::pow(r, l + j + 2);
        v += c * (ak_beta(2 * l + j + 2, a) + bk_beta(j + 1, a));
      }
      out[n * (n - 1) / 2 + l] = v;
    }
}

void wnl_all_bar(int N, double* out, double r) {
  hnl_init();
  if (r < 0.001) r = 0.001;
  const double h = h_factor, y = r * r / (2.0 * h);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      double v = 0.0;
      for (int j = 0; j <= n - l - 1; j++) {
        const double c = hnlk_tab[laguerre_slot(n, l, j)] * std::pow(h, -(0.5 * l + j));
        const double inner = 0.5 * std::pow(2.0 * h, l + j + 1.5) * igam(l + j + 1.5, y) / std::pow(r, l + 1);
        const double outer = 0.5 * std::pow(2.0 * h, j + 1.0) * jgam(j + 1.0, y) * std::pow(r, l);
        v += c * (inner + outer);
      }
      out[n * (n - 1) / 2 + l] = v;
    }
}

double unused_snl(int n, int l, double r) {
  if (r <= 0.0) return 0.0;
  knl_init();
  // With x = (f s)^3 / 3, s^(l+2) ds = (3x)^(l/3) f^-(l+3) dx and
  // s^(1-l) ds = (3x)^-((l+1)/3) f^(l-2) dx: the inner and outer charges are
  // incomplete gamma functions of x/2 with orders (4l+3)/3 + j and
  // (2l+2)/3 + j.
  const double f = r_factor, y = 0.5 * rho_r(r);
  const double a = (4.0 * l + 3.0) / 3.0, b = (2.0 * l + 2.0) / 3.0;
  double inner = 0.0, outer = 0.0;
  for (int j = 0; j <= n - l - 1; j++) {
    const double c = knlk_tab[laguerre_slot(n, l, j)];
    inner += c * std::pow(2.0, a + j) * igam(a + j, y);
    outer += c * std::pow(2.0, b + j) * jgam(b + j, y);
  }
  return std::pow(r, -(l + 1)) * std::pow(f, -(l + 3)) * std::pow(3.0, l / 3.0) * inner +
         std::pow(r, l) * std::pow(f, l - 2) * std::pow(3.0, -(l + 1) / 3.0) * outer;
}
