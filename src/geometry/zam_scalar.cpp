#include "geometry/zam_scalar.h"

#include <cmath>
#include <mutex>

#include "geometry/zam_complex.h"
#include "geometry/zam_math.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int kSqrtMax = 170;

// One-time square-root tables, written once under plain lock 6 and read
// without a lock afterwards; call_once orders the writes before every read.
double sqrt_table[kSqrtMax + 1];
long double hsqrt_table[kSqrtMax + 1];
std::once_flag sqrt_once, hsqrt_once;

void build_sqrt() {
  zam_mutex_acquire(ZAM_LOCK_ONCE_TABLES);
  for (int i = 0; i <= kSqrtMax; i++) sqrt_table[i] = std::sqrt(static_cast<double>(i));
  zam_mutex_release(ZAM_LOCK_ONCE_TABLES);
}

void build_hsqrt() {
  zam_mutex_acquire(ZAM_LOCK_ONCE_TABLES);
  for (int i = 0; i <= kSqrtMax; i++) hsqrt_table[i] = std::sqrt(static_cast<long double>(i));
  zam_mutex_release(ZAM_LOCK_ONCE_TABLES);
}

constexpr int kMaxTerms = 400;

// The complex series of 1F1 and of its derivative at z, for the start values
// of the integration.
void series_at(double a, double b, Complex z, Complex* w, Complex* wp) {
  Complex sum = cmake(1.0, 0.0), dsum = cmake(0.0, 0.0);
  Complex t = cscale(a / b, z);
  const Complex zinv = cdiv(cmake(1.0, 0.0), z);
  for (int k = 1; k <= kMaxTerms; k++) {
    sum = cadd(sum, t);
    dsum = cadd(dsum, cscale(k, cmul(t, zinv)));
    if (std::fabs(t.re) < deigen_tol && std::fabs(t.im) < deigen_tol) break;
    t = cmul(t, cscale((a + k) / ((b + k) * (k + 1.0)), z));
  }
  *w = sum;
  *wp = dsum;
}

struct State {
  Complex w, wp;
};

// Kummer's equation z w'' + (b - z) w' - a w = 0 along z(t) = z0 + t dz.
State slope(double a, double b, Complex z0, Complex dz, double t, State s) {
  const Complex zt = cadd(z0, cscale(t, dz));
  const Complex inner = csub(cscale(a, s.w), cmul(csub(cmake(b, 0.0), zt), s.wp));
  return State{cmul(dz, s.wp), cdiv(cmul(dz, inner), zt)};
}

State step(State s, State k, double h) {
  return State{cadd(s.w, cscale(h, k.w)), cadd(s.wp, cscale(h, k.wp))};
}

}  // namespace

int neg1_m(int m) { return (m & 1) ? -1 : 1; }
int odd_m(int m) { return m & 1; }
int even_m(int m) { return (m & 1) ? 0 : 1; }
int kronecker(int i, int j) { return i == j ? 1 : 0; }

int roundup_m(int n, int m) {
  if (n < 0) return -(((-n) + m - 1) / m * m);
  return (n + m - 1) / m * m;
}

int roundup_bank(int n, int unit, int banks) {
  const int r = roundup_m(n, unit);
  return r % (banks * unit) == 0 ? r + unit : r;
}

double sqrtn(int n) {
  if (static_cast<unsigned>(n) > static_cast<unsigned>(kSqrtMax)) {
    zam_err("sqrtn() - Square root out of range: %d\n", n);
    return std::sqrt(static_cast<double>(n));
  }
  std::call_once(sqrt_once, build_sqrt);
  return sqrt_table[n];
}

long double hsqrtn(int n) {
  if (static_cast<unsigned>(n) > static_cast<unsigned>(kSqrtMax)) {
    zam_err("hsqrtn() - Square root out of range: %d\n", n);
    return std::sqrt(static_cast<long double>(n));
  }
  std::call_once(hsqrt_once, build_hsqrt);
  return hsqrt_table[n];
}

long double hsqrt(long double x) { return std::sqrt(x); }

int quad_roots(double* x1, double* x2, double a, double b, double c) {
  if (a != 0.0) {
    const double d = b * b - 4.0 * a * c;
    const double f = -0.5 / a;
    if (d > 0.0) {
      const double r = std::sqrt(d);
      *x1 = (b - r) * f;
      *x2 = (b + r) * f;
      return 2;
    }
    if (d == 0.0) {
      *x1 = b * f;
      return 1;
    }
    return 0;
  }
  if (b != 0.0) {
    *x1 = -c / b;
    return 1;
  }
  return 0;
}

double h1f1(double a, double b, double z) {
  if (std::fabs(z) <= 0.5) {
    double sum = 1.0, t = a * z / b;
    for (int k = 1; k <= kMaxTerms; k++) {
      sum += t;
      if (std::fabs(t) < deigen_tol) return sum;
      t *= (a + k) * z / ((b + k) * (k + 1.0));
    }
    zam_wrn("Warning: hypergeometric series did not converge after %d cycles.\n", kMaxTerms);
    return sum;
  }
  // Far from the origin the series loses accuracy: integrate from 0.5i, where
  // it still converges fast, to z by classical fourth-order Runge-Kutta.
  const Complex z0 = cmake(0.0, 0.5);
  const Complex dz = csub(cmake(z, 0.0), z0);
  State s;
  series_at(a, b, z0, &s.w, &s.wp);
  const int steps = 500;
  const double h = 1.0 / steps;
  for (int i = 0; i < steps; i++) {
    const double t = i * h;
    const State k1 = slope(a, b, z0, dz, t, s);
    const State k2 = slope(a, b, z0, dz, t + 0.5 * h, step(s, k1, 0.5 * h));
    const State k3 = slope(a, b, z0, dz, t + 0.5 * h, step(s, k2, 0.5 * h));
    const State k4 = slope(a, b, z0, dz, t + h, step(s, k3, h));
    s.w = cadd(s.w, cscale(h / 6.0, cadd(cadd(k1.w, cscale(2.0, k2.w)), cadd(cscale(2.0, k3.w), k4.w))));
    s.wp = cadd(s.wp, cscale(h / 6.0, cadd(cadd(k1.wp, cscale(2.0, k2.wp)), cadd(cscale(2.0, k3.wp), k4.wp))));
  }
  return s.w.re;
}
