#include "specfun/zam_jab.h"

#include <cmath>
#include <vector>

#include "specfun/zam_fac.h"
#include "specfun/zam_quad.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Radial scale: process-wide, set at start-up (pnl_factor).
double p_factor = 0.5;

// The work buffer of pnl_all_bar: one per thread, grown on demand.
thread_local std::vector<double> pkl_buffer;

// sqrt((4n+2) (n-l-1)! (n+l+1)! / ((1/2)_(n+1) (1/2)_n) / pi): N_nl at s = 1.
double unit_norm(int n, int l) {
  sp_local p;
  sp_fac(&p.s, +1, n - l - 1);
  sp_fac(&p.s, +1, n + l + 1);
  sp_rise2(&p.s, -1, n + 1);
  sp_rise2(&p.s, -1, n);
  return std::sqrt((4.0 * n + 2.0) * static_cast<double>(sp_ans(&p.s)) / kPi);
}

// x^l / (1+x^2)^(l+2), formed as (x/(1+x^2))^l / (1+x^2)^2 so that no power
// of 1+x^2 overflows on its own.
double radial_factor(int l, double x) {
  const double q = 1.0 + x * x;
  return std::pow(x / q, l) / (q * q);
}

double clamp_unit(double t) { return t < -1.0 ? -1.0 : (t > 1.0 ? 1.0 : t); }

}  // namespace

void pnl_factor(double s) { p_factor = s; }

double pnl_scale() { return p_factor; }

double pnl_norm(int n, int l) {
  if (l < 0 || n <= l) return 0.0;
  return unit_norm(n, l) / std::pow(p_factor, 1.5);
}

double pnl(int n, int l, double r) {
  if (l < 0 || n <= l) return 0.0;
  const double x = r / p_factor;
  const double t = (x * x - 1.0) / (x * x + 1.0);
  return pnl_norm(n, l) * radial_factor(l, x) * pkl_ser_shift(n - l - 1, l, t);
}

void pnl_all_bar(int N, double* out, double r) {
  if (N < 1) return;
  if (static_cast<int>(pkl_buffer.size()) < N) pkl_buffer.resize(N);
  double* P = pkl_buffer.data();
  const double x = r / p_factor;
  const double q = 1.0 + x * x;
  const double t = (x * x - 1.0) / q;
  double w = 1.0 / (q * q);
  for (int l = 0; l < N; l++) {
    pkl_all_vec(N - 1 - l, l, P, t);
    for (int n = l + 1; n <= N; n++) out[n * (n - 1) / 2 + l] = P[n - l - 1] * w;
    w *= x / q;
  }
}

void dnl_all_bar(int N, double r, double* out) {
  if (N < 1) return;
  const int K = N * (N + 1) / 2;
  for (int i = 0; i < K; i++) out[i] = 0.0;
  const double s = p_factor;
  if (r <= 0.001) r = 0.001;
  // In r' = s tan(phi) both integrands are polynomials of degree n in
  // cos(2 phi) (times sin(2 phi) outside), so a Gauss-Legendre rule on each
  // side of phi_r = atan(r/s) takes them to rounding, and keeps small values
  // small: the powers are carried as (r'/r)^(l+1) <= 1 inside and
  // (r/r')^l <= 1 outside.
  const int M = N + 24;
  const double phi_r = std::atan(r / s);
  std::vector<double> phi(M), w(M), v(K);
  for (int side = 0; side < 2; side++) {
    if (side == 0)
      zam_gauss_legendre(M, 0.0, phi_r, phi.data(), w.data());
    else
      zam_gauss_legendre(M, phi_r, kPi / 2, phi.data(), w.data());
    for (int i = 0; i < M; i++) {
      const double c = std::cos(phi[i]);
      const double rp = s * std::tan(phi[i]);
      pnl_all_bar(N, v.data(), rp);
      const double ratio = side == 0 ? rp / r : r / rp;
      double f = w[i] * s / (c * c) * rp * (side == 0 ? ratio : 1.0);  // dr' r' (r'/r)^(l+1) or (r/r')^l
      for (int l = 0; l < N; l++) {
        for (int n = l + 1; n <= N; n++) out[n * (n - 1) / 2 + l] += f * v[n * (n - 1) / 2 + l];
        f *= ratio;
      }
    }
  }
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) out[n * (n - 1) / 2 + l] *= pnl_norm(n, l);
}

double pkl_ser(int k, int l, double t) {
  if (k < 0) return 0.0;
  double sum = 0.0;
  for (int i = 0; i <= k; i++) {
    sp_local p;
    sp_rise2(&p.s, +1, k + l + 2);
    sp_rise2(&p.s, +1, k + l + 1);
    sp_rise2(&p.s, -1, k + l + 2 - i);
    sp_rise2(&p.s, -1, l + 1 + i);
    sp_fac(&p.s, -1, k - i);
    sp_fac(&p.s, -1, i);
    sum += static_cast<double>(sp_ans(&p.s)) * std::pow(t + 1.0, i) * std::pow(t - 1.0, k - i);
  }
  return std::ldexp(sum, -k);
}

double pkl_ser_shift(int k, int l, double t) {
  if (k < 0) return 0.0;
  double sum = 0.0;
  for (int i = 0; i <= k; i++) {
    sp_local p;
    sp_rise2(&p.s, +1, k + l + 2);
    sp_fac(&p.s, +1, k + 2 * l + 2 + i);
    sp_fac(&p.s, -1, k + 2 * l + 2);
    sp_fac(&p.s, -1, k - i);
    sp_fac(&p.s, -1, i);
    sp_pow(&p.s, -1, 2, i);
    sp_rise2(&p.s, -1, l + 2 + i);
    sum += static_cast<double>(sp_ans(&p.s)) * std::pow(t - 1.0, i);
  }
  return sum;
}

void pkl_all_vec(int K, int l, double* out, double t) {
  if (K < 0) return;
  out[0] = 1.0;
  if (K == 0) return;
  // The two terms of the two-sided series of P_1, written out:
  // ((a)(t-1) + (a+1)(t+1))/2 with a = l+3/2.
  out[1] = ((l + 1.5) * (t - 1.0) + (l + 2.5) * (t + 1.0)) / 2.0;
  for (int k = 2; k <= K; k++) {
    const double c = 2.0 * k + 2.0 * l + 2.0;
    out[k] = ((c - 1.0) * (c * (c - 2.0) * t + 2.0 * l + 2.0) * out[k - 1] -
              (2.0 * k + 2.0 * l + 1.0) * (k + l - 0.5) * c * out[k - 2]) /
             (2.0 * k * (k + 2.0 * l + 2.0) * (c - 2.0));
  }
}

double pab_norm(int n, double a, double b) {
  // (2n+a+b+1) Gamma(n+a+b+1) is Gamma(a+b+2) at n = 0, which stays finite
  // where a+b+1 = 0 makes both factors singular.
  const double den = n == 0 ? gam(a + b + 2.0) : (2.0 * n + a + b + 1.0) * fac(n) * gam(n + a + b + 1.0);
  const double h = std::pow(2.0, a + b + 1.0) * gam(n + a + 1.0) * gam(n + b + 1.0) / den;
  return 1.0 / std::sqrt(h);
}

double pab_reference(int n, double a, double b, double t) {
  if (n < 0) return 0.0;
  t = clamp_unit(t);
  const double top = gam(n + a + 1.0) * gam(n + b + 1.0);
  double sum = 0.0;
  for (int i = 0; i <= n; i++)
    sum += top / (fac(i) * fac(n - i) * gam(n + a + 1.0 - i) * gam(b + i + 1.0)) * std::pow(t - 1.0, n - i) *
           std::pow(t + 1.0, i);
  return std::ldexp(sum, -n);
}

double pab_shift(int n, double a, double b, double t) {
  if (n < 0) return 0.0;
  if (n == 0) return 1.0;  // Gamma(n+a+b+1) may be singular (a+b = -1)
  t = clamp_unit(t);
  const double v = (t - 1.0) / 2.0;
  double sum = 0.0;
  for (int i = 0; i <= n; i++)
    sum += gam(n + a + b + 1.0 + i) / (gam(a + 1.0 + i) * fac(i) * fac(n - i)) * std::pow(v, i);
  return gam(n + a + 1.0) / gam(n + a + b + 1.0) * sum;
}

double pab(int n, double a, double b, double t) {
  if (n < 0) return 0.0;
  t = clamp_unit(t);
  const double v = (t - 1.0) / 2.0;
  // First term (a+1)_n / n!, then each term from the last by the ratio of
  // the gamma values and factorials of the series.
  double term = 1.0;
  for (int i = 1; i <= n; i++) term *= (a + i) / i;
  double sum = term;
  for (int i = 0; i < n; i++) {
    term *= (n + a + b + 1.0 + i) * (n - i) / ((a + 1.0 + i) * (i + 1.0)) * v;
    sum += term;
  }
  return sum;
}

double jab(int n, double a, double b, double t) { return pab_norm(n, a, b) * pab(n, a, b, t); }
