// Jacobi polynomials and the radial functions built on them, against closed
// forms, the Legendre and Chebyshev cases and orthonormality by quadrature.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "common/quadrature.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_jab.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Sets the radial scale for one test and puts the default back.
struct Scale {
  explicit Scale(double s) { pnl_factor(s); }
  ~Scale() { pnl_factor(0.5); }
};

// Legendre P_n(t) by Bonnet's recurrence in long double.
long double legendre(int n, long double t) {
  long double p0 = 1, p1 = t;
  if (n == 0) return p0;
  for (int k = 1; k < n; k++) {
    const long double p2 = ((2 * k + 1) * t * p1 - k * p0) / (k + 1);
    p0 = p1;
    p1 = p2;
  }
  return p1;
}

// (c)_n / n!, the value of P_n^(c-1, .) at t = 1.
double rising_over_fac(double c, int n) {
  double v = 1;
  for (int i = 0; i < n; i++) v *= (c + i) / (i + 1);
  return v;
}

// Gauss-Legendre nodes in phi on [lo, hi] for integrals over r = s tan(phi).
struct PhiRule {
  std::vector<double> phi, w;
  PhiRule(int n, double lo, double hi) { testutil::gauss_legendre(n, lo, hi, phi, w); }
};

// Sums of the magnitudes of the terms of P_n^(a,b)(t) in powers of (t-1)
// and in (t-1)^(n-i) (t+1)^i: the scale of the rounding error of the
// series forms, which cancel near t = -1 as n grows.
double shifted_terms(int n, double a, double b, double t) {
  double term = rising_over_fac(a + 1, n), sum = term;
  for (int i = 0; i < n; i++) {
    term *= (n + a + b + 1 + i) * (n - i) / ((a + 1 + i) * (i + 1)) * std::fabs(t - 1) / 2;
    sum += term;
  }
  return sum;
}
double two_sided_terms(int n, double a, double b, double t) {
  double sum = 0;
  for (int i = 0; i <= n; i++)
    sum += std::exp(std::lgamma(n + a + 1) + std::lgamma(n + b + 1) - std::lgamma(i + 1) - std::lgamma(n - i + 1) -
                    std::lgamma(n + a + 1 - i) - std::lgamma(b + i + 1)) *
           std::pow((1 - t) / 2, n - i) * std::pow((1 + t) / 2, i);
  return sum;
}

// Integral over [-1, 1] of f(t) (1-t)^a (1+t)^b. In t = -cos(theta) the
// weight becomes 2^(a+b) cos^(2a)(theta/2) sin^(2b)(theta/2) sin(theta),
// smooth on [0, pi] for the integer and half-integer a, b used here.
double jacobi_integral(double a, double b, const std::function<double(double)>& f) {
  static const PhiRule rule(240, 0.0, kPi);
  const std::vector<double>&th = rule.phi, &w = rule.w;
  double s = 0;
  for (size_t i = 0; i < th.size(); i++) {
    const double c = std::cos(th[i] / 2), sn = std::sin(th[i] / 2);
    s += w[i] * f(-std::cos(th[i])) * std::pow(2.0, a + b) * std::pow(c, 2 * a) * std::pow(sn, 2 * b) *
         std::sin(th[i]);
  }
  return s;
}

// Every normalised p_nl, n <= N, at the radius r (radial packing), with the
// norms of the scale in force when it was made.
struct Radial {
  int N;
  std::vector<double> norm;
  explicit Radial(int n) : N(n), norm(n * (n + 1) / 2) {
    for (int k = 1; k <= N; k++)
      for (int l = 0; l < k; l++) norm[k * (k - 1) / 2 + l] = pnl_norm(k, l);
  }
  std::vector<double> at(double r) const {
    std::vector<double> v(norm.size());
    pnl_all_bar(N, v.data(), r);
    for (size_t i = 0; i < v.size(); i++) v[i] *= norm[i];
    return v;
  }
};

}  // namespace

TEST(Jacobi, EdgeCases) {
  // N_10 at s = 1/2: sqrt(6 0! 2! / ((1/2)_2 (1/2)_1) / (pi/8)) = 16/sqrt(pi)
  EXPECT_NEAR(pnl_norm(1, 0), 16 / std::sqrt(kPi), 1e-14);
  for (int l = 0; l <= 6; l++)
    for (double t : {-1.0, -0.3, 0.0, 0.8, 1.0}) EXPECT_EQ(pkl_ser(0, l, t), 1.0);
  for (double t : {-1.0, -0.4, 0.25, 1.0}) {  // a = 3/2, b = 1/2: (4t+1)/2
    EXPECT_NEAR(pkl_ser(1, 0, t), (4 * t + 1) / 2, 1e-15);
    EXPECT_NEAR(pkl_ser_shift(1, 0, t), (4 * t + 1) / 2, 1e-15);
  }
  double out[1];
  pnl_all_bar(1, out, 0.0);  // x = 0, t = -1, w = 1
  EXPECT_DOUBLE_EQ(out[0], 1.0);
  pnl_all_bar(1, out, pnl_scale());  // x = 1, t = 0, w = 1/4
  EXPECT_DOUBLE_EQ(out[0], 0.25);
  for (int n = 0; n <= 20; n++) {  // Legendre case at and beyond the ends
    EXPECT_NEAR(pab_reference(n, 0, 0, 1), 1.0, 1e-12) << n;
    EXPECT_NEAR(pab_reference(n, 0, 0, 1.7), 1.0, 1e-12) << n;
    EXPECT_NEAR(pab_reference(n, 0, 0, -2.5), n % 2 ? -1.0 : 1.0, 1e-12) << n;
    EXPECT_NEAR(pab(n, 0, 0, 3.0), 1.0, 1e-12) << n;
  }
  EXPECT_EQ(pab_reference(-1, 0, 0, 0.5), 0.0);
}

TEST(Jacobi, EveryFormAgreesWithLegendreChebyshevAndTheEndValues) {
  const double eps = 4e-16;
  for (int n = 0; n <= 20; n++)
    for (double t = -1; t <= 1.0001; t += 0.125) {
      const double p = static_cast<double>(legendre(n, t));
      const double shifted = eps * shifted_terms(n, 0, 0, t), two = eps * two_sided_terms(n, 0, 0, t);
      EXPECT_NEAR(pab(n, 0, 0, t), p, shifted) << n << " " << t;
      EXPECT_NEAR(pab_shift(n, 0, 0, t), p, 4 * shifted) << n << " " << t;
      EXPECT_NEAR(pab_reference(n, 0, 0, t), p, 4 * two) << n << " " << t;
      // Chebyshev: P_n^(-1/2,-1/2)(cos th) = (1/2)_n/n! cos(n th)
      const double c = rising_over_fac(0.5, n) * std::cos(n * std::acos(t));
      EXPECT_NEAR(pab(n, -0.5, -0.5, t), c, eps * shifted_terms(n, -0.5, -0.5, t)) << n << " " << t;
      EXPECT_NEAR(pab_shift(n, -0.5, -0.5, t), c, 4 * eps * shifted_terms(n, -0.5, -0.5, t)) << n << " " << t;
    }
  // The radial family's polynomials, a = l+3/2, b = l+1/2: the recurrence
  // against the end values (a+1)_k/k! at t = 1 and (-1)^k (b+1)_k/k! at
  // t = -1, to k = 40; every series form against the recurrence.
  std::vector<double> P(41);
  for (int l : {0, 1, 4, 12}) {
    pkl_all_vec(40, l, P.data(), 1.0);
    for (int k = 0; k <= 40; k++) EXPECT_NEAR(P[k] / rising_over_fac(l + 2.5, k), 1.0, 1e-13) << l << " " << k;
    pkl_all_vec(40, l, P.data(), -1.0);
    for (int k = 0; k <= 40; k++)
      EXPECT_NEAR(P[k] / rising_over_fac(l + 1.5, k), k % 2 ? -1.0 : 1.0, 1e-13) << l << " " << k;
    for (double t : {-0.9, -0.35, 0.1, 0.6, 0.95}) {
      pkl_all_vec(16, l, P.data(), t);
      for (int k = 0; k <= 16; k++) {
        const double a = l + 1.5, b = l + 0.5;
        const double shifted = 8 * eps * shifted_terms(k, a, b, t), two = 8 * eps * two_sided_terms(k, a, b, t);
        EXPECT_NEAR(pkl_ser(k, l, t), P[k], two) << l << " " << k << " " << t;
        EXPECT_NEAR(pab_reference(k, a, b, t), P[k], two) << l << " " << k << " " << t;
        EXPECT_NEAR(pkl_ser_shift(k, l, t), P[k], shifted) << l << " " << k << " " << t;
        EXPECT_NEAR(pab(k, a, b, t), P[k], shifted) << l << " " << k << " " << t;
        EXPECT_NEAR(pab_shift(k, a, b, t), P[k], shifted) << l << " " << k << " " << t;
      }
    }
  }
}

TEST(Jacobi, OrthonormalByQuadrature) {
  const double pairs[][2] = {{0, 0}, {1.5, 0.5}, {3.5, 2.5}, {-0.5, -0.5}, {2, 0}, {0.5, 3}};
  for (const auto& ab : pairs)
    for (int n = 0; n <= 8; n++)
      for (int m = 0; m <= n; m++) {
        const double g = jacobi_integral(ab[0], ab[1], [&](double t) {
          return jab(n, ab[0], ab[1], t) * jab(m, ab[0], ab[1], t);
        });
        // jab rounds like its series in powers of (t-1), worst at t = -1
        const double tol = 1e-15 * pab_norm(n, ab[0], ab[1]) * pab_norm(m, ab[0], ab[1]) *
                           shifted_terms(n, ab[0], ab[1], -1) * shifted_terms(m, ab[0], ab[1], -1);
        EXPECT_NEAR(g, n == m ? 1.0 : 0.0, 1e-13 + tol) << ab[0] << " " << ab[1] << " " << n << " " << m;
      }
  // The radial functions with weight r^2, through r = s tan(phi), at the
  // default and at another scale, to the order the translation code uses.
  for (double s : {0.5, 1.3}) {
    Scale scale(s);
    const int N = 36;
    PhiRule q(220, 0.0, kPi / 2);
    const Radial radial(N);
    std::vector<std::vector<double>> at;  // r sqrt(dr/dphi w) p_nl(r) per node
    for (size_t i = 0; i < q.phi.size(); i++) {
      const double r = s * std::tan(q.phi[i]), c = std::cos(q.phi[i]);
      std::vector<double> v = radial.at(r);
      for (double& e : v) e *= r * std::sqrt(q.w[i] * s) / c;
      at.push_back(std::move(v));
    }
    for (int n = 1; n <= N; n++)
      for (int np = 1; np <= n; np++)
        for (int l = 0; l < np; l++) {
          double g = 0;
          for (const auto& v : at) g += v[n * (n - 1) / 2 + l] * v[np * (np - 1) / 2 + l];
          EXPECT_NEAR(g, n == np ? 1.0 : 0.0, 1e-10) << s << " " << n << " " << np << " " << l;
        }
    // the single values (the shifted series) agree with the recurrence
    for (double r : {0.05, 0.4, 1.0, 3.0, 20.0}) {
      const std::vector<double> v = Radial(12).at(r);
      const double x = r / s, t = (x * x - 1) / (x * x + 1);
      for (int n = 1; n <= 12; n++)
        for (int l = 0; l < n; l++) {
          const double bound = pnl_norm(n, l) * std::pow(x, l) / std::pow(1 + x * x, l + 2) *
                               shifted_terms(n - l - 1, l + 1.5, l + 0.5, t);
          EXPECT_NEAR(pnl(n, l, r), v[n * (n - 1) / 2 + l], 1e-14 * bound) << n << " " << l << " " << r;
        }
    }
  }
}

// dnl_all_bar against its integrals in closed form for the low orders, and
// against the radial Poisson equation it solves,
//   phi'' + 2 phi'/r - l(l+1) phi/r^2 = -(2l+1) p_nl,
// by finite differences to the top order the translation code uses.
TEST(Jacobi, PotentialFactorsSolveThePoissonEquation) {
  for (double s : {0.5, 1.3}) {
    Scale scale(s);
    // p_nl = N_nl sum over k of d_k x^l u^(l+2+k), u = 1/(1+x^2), from the
    // series in powers of (t-1) = -2u. In v = 1/(1+y^2) the outer integral of
    // term k is s^3/2 B_u(l+k+1, 1) = s^3/2 u^(l+k+1)/(l+k+1), the inner one
    // s^3/2 B_(1-u)(l+3/2, k+1/2).
    const int N = 5;  // beyond, the alternating sum over k cancels
    for (double r : {0.01, 0.2, 0.9, 3.0, 12.0}) {
      std::vector<double> d(N * (N + 1) / 2, -7.0);
      dnl_all_bar(N, r, d.data());
      const double x = r / s, u = 1 / (1 + x * x);
      for (int n = 1; n <= N; n++)
        for (int l = 0; l < n; l++) {
          double want = 0;
          for (int k = 0; k <= n - l - 1; k++) {
            const double dk = std::exp(std::lgamma(n + 1.5) + std::lgamma(n + l + 2 + k) - std::lgamma(n + l + 2) -
                                       std::lgamma(l + k + 2.5) - std::lgamma(n - l - k) - std::lgamma(k + 1));
            want += (k % 2 ? -dk : dk) * (std::pow(u, l + k + 1) / (l + k + 1) * std::pow(x, l) / s +
                                          ibet(l + 1.5, k + 0.5, x * x * u) / (r * std::pow(x, l)));
          }
          want *= pnl_norm(n, l) * s * s * s / 2;
          EXPECT_NEAR(d[n * (n - 1) / 2 + l], want, 1e-11 * std::fabs(want)) << s << " " << r << " " << n << " " << l;
        }
    }
  }
  const int N = 36;
  const int K = N * (N + 1) / 2;
  for (double r : {0.3, 1.0, 4.0}) {
    const double h = 2e-3 * r;
    std::vector<std::vector<double>> f(5, std::vector<double>(K));
    for (int i = 0; i < 5; i++) dnl_all_bar(N, r + (i - 2) * h, f[i].data());
    const std::vector<double> p = Radial(N).at(r);
    for (int n = 1; n <= N; n++)
      for (int l = 0; l < n; l++) {
        const int at = n * (n - 1) / 2 + l;
        const double d1 = (f[0][at] - 8 * f[1][at] + 8 * f[3][at] - f[4][at]) / (12 * h);
        const double d2 = (-f[0][at] + 16 * f[1][at] - 30 * f[2][at] + 16 * f[3][at] - f[4][at]) / (12 * h * h);
        const double c = l * (l + 1.0) * f[2][at] / (r * r), q = (2 * l + 1.0) * p[at];
        const double scale = std::fabs(d2) + std::fabs(2 * d1 / r) + std::fabs(c) + std::fabs(q);
        EXPECT_NEAR(d2 + 2 * d1 / r - c + q, 0.0, 1e-6 * scale) << r << " " << n << " " << l;
      }
  }
}

// The radial values and potential factors asked for by eight threads at
// once, each with its own work buffer: every thread gets the serial values
// bit for bit.
TEST(Jacobi, ThreadsSeeTheSerialValues) {
  auto run = [](int t) {
    std::vector<double> all;
    for (int i = 0; i < 20; i++) {
      const int N = (t + i) % 2 ? 36 : 7;  // the per-thread buffer grows and is reused
      const double r = 0.1 + 0.37 * i;
      std::vector<double> v(N * (N + 1) / 2), d(12 * 13 / 2);
      pnl_all_bar(N, v.data(), r);
      dnl_all_bar(12, r, d.data());
      all.insert(all.end(), v.begin(), v.end());
      all.insert(all.end(), d.begin(), d.end());
    }
    return all;
  };
  std::vector<std::vector<double>> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) threads.emplace_back([&, t] { got[t] = run(t); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; t++) EXPECT_EQ(got[t], run(t)) << t;
}
