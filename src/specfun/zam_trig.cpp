#include "specfun/zam_trig.h"

#include <cmath>

#include "runtime/kids.h"

namespace {

constexpr int kMaxOrder = 160;       // array bound of the caches
constexpr double kNoAngle = -9.0;    // no angle cached yet
constexpr double kNoPhi = -999.0;    // no angle in the symmetric phi table

int max_cache = kMaxOrder;

// Orders 0..count of cos and sin of one angle (powers or multiples). The
// half-angle powers reach twice the bound.
struct Orders {
  double c[2 * kMaxOrder + 2];
  double s[2 * kMaxOrder + 2];
  int nc = 0, ns = 0;
};

// One angle kind: its cached angle, its power caches and its multiple-angle
// caches (beta has both; the other kinds use one of them).
struct Kind {
  double angle = kNoAngle;
  Orders pow;
  Orders mul;
};

Kind theta, delta, beta, alpha, gamma_, phi;

// cos^n or sin^n of the angle (of half the angle for the beta powers).
double power(Kind& kd, bool is_cos, int n, double angle, bool half) {
  const int k = n < 0 ? -n : n;
  const double a = half ? angle / 2 : angle;
  if (k > (half ? 2 * max_cache : max_cache)) return std::pow(is_cos ? std::cos(a) : std::sin(a), n);
  double* e = is_cos ? kd.pow.c : kd.pow.s;
  int& count = is_cos ? kd.pow.nc : kd.pow.ns;
  if (angle != kd.angle || count == 0) {
    if (angle != kd.angle) {
      kd.angle = angle;
      (is_cos ? kd.pow.ns : kd.pow.nc) = 0;
      kd.mul.nc = kd.mul.ns = 0;  // beta's multiples share the angle
    }
    e[0] = 1.0;
    e[1] = is_cos ? std::cos(a) : std::sin(a);
    count = 1;
  }
  for (int i = count + 1; i <= k; i++) e[i] = e[i - 1] * e[1];
  if (k > count) count = k;
  return n >= 0 ? e[k] : 1.0 / e[k];
}

// cos(m a) or sin(m a) by the recurrence x_i = 2 cos(a) x_(i-1) - x_(i-2).
double multiple(Kind& kd, bool is_cos, int m, double angle) {
  const int k = m < 0 ? -m : m;
  if (k > max_cache) return is_cos ? std::cos(m * angle) : std::sin(m * angle);
  Orders& o = kd.mul;
  if (angle != kd.angle || (is_cos ? o.nc : o.ns) == 0) {
    if (angle != kd.angle) {
      kd.angle = angle;
      kd.pow.nc = kd.pow.ns = 0;  // beta's half-angle powers share the angle
    }
    o.c[0] = 1.0;
    o.c[1] = std::cos(angle);
    o.s[0] = 0.0;
    o.s[1] = std::sin(angle);
    o.nc = o.ns = 1;
  }
  double* e = is_cos ? o.c : o.s;
  int& count = is_cos ? o.nc : o.ns;
  const double c2 = 2.0 * o.c[1];
  for (int i = count + 1; i <= k; i++) e[i] = c2 * e[i - 1] - e[i - 2];
  if (k > count) count = k;
  if (is_cos) return e[k];
  return m < 0 ? -e[k] : e[k];
}

// The symmetric phi table, allocated on first use and kept for the run.
double* phi_cos = nullptr;
double* phi_sin = nullptr;
double phi_angle = kNoPhi;
int phi_order = -1;

}  // namespace

void set_trig_cache(int n) { max_cache = n < kMaxOrder ? n : kMaxOrder; }

double cos_theta_n(int n, double t) { return power(theta, true, n, t, false); }
double sin_theta_n(int n, double t) { return power(theta, false, n, t, false); }
double cos_delta_n(int n, double d) { return power(delta, true, n, d, false); }
double sin_delta_n(int n, double d) { return power(delta, false, n, d, false); }
double cos_beta2_n(int n, double b) { return power(beta, true, n, b, true); }
double sin_beta2_n(int n, double b) { return power(beta, false, n, b, true); }

double cos_m_alpha(int m, double a) { return multiple(alpha, true, m, a); }
double sin_m_alpha(int m, double a) { return multiple(alpha, false, m, a); }
double cos_m_beta(int m, double b) { return multiple(beta, true, m, b); }
double sin_m_beta(int m, double b) { return multiple(beta, false, m, b); }
double cos_m_gamma(int m, double g) { return multiple(gamma_, true, m, g); }
double sin_m_gamma(int m, double g) { return multiple(gamma_, false, m, g); }
double cos_m_phi(int m, double p) { return multiple(phi, true, m, p); }
double sin_m_phi(int m, double p) { return multiple(phi, false, m, p); }

double* set_phi_cache(int m, double** cos_out, double** sin_out, double p) {
  if (!phi_cos) {
    phi_cos = kget1D(2 * kMaxOrder + 1);
    phi_sin = kget1D(2 * kMaxOrder + 1);
  }
  double* c = phi_cos + kMaxOrder;
  double* s = phi_sin + kMaxOrder;
  if (p != phi_angle) {
    const double cp = std::cos(p), sp = std::sin(p);
    c[0] = 1.0;
    c[1] = c[-1] = cp;
    s[0] = 0.0;
    s[1] = sp;
    s[-1] = -sp;
    phi_order = 1;
    phi_angle = p;
  }
  if (m > kMaxOrder) m = kMaxOrder;  // the table ends there
  const double c2 = 2.0 * c[1];
  for (int i = phi_order + 1; i <= m; i++) {
    c[i] = c2 * c[i - 1] - c[i - 2];
    s[i] = c2 * s[i - 1] - s[i - 2];
    c[-i] = c[i];
    s[-i] = -s[i];
  }
  if (m > phi_order) phi_order = m;
  *cos_out = c;
  *sin_out = s;
  return c;
}
