// Trigonometric caches: values at the cache bounds and past them, signs and
// reciprocals, and the refills when an angle kind changes angle or array.
#include <gtest/gtest.h>

#include <cmath>

#include "specfun/zam_trig.h"

namespace {

double rel(double a, double b) { return std::fabs(a - b) / std::max(1.0, std::fabs(b)); }

}  // namespace

TEST(TrigCaches, MultipleAnglesToTheBoundAndPast) {
  using Fn = double (*)(int, double);
  const Fn cosf[] = {cos_m_alpha, cos_m_beta, cos_m_gamma, cos_m_phi};
  const Fn sinf[] = {sin_m_alpha, sin_m_beta, sin_m_gamma, sin_m_phi};
  for (int f = 0; f < 4; f++)
    for (double a : {0.37, 2.9, -1.2}) {
      EXPECT_EQ(cosf[f](0, a), 1.0);
      EXPECT_EQ(sinf[f](0, a), 0.0);
      // descending first: the whole cache fills at once
      for (int m = 161; m >= -161; m--) {
        EXPECT_LE(rel(cosf[f](m, a), std::cos(m * a)), 1e-12) << f << " " << m;
        EXPECT_LE(rel(sinf[f](m, a), std::sin(m * a)), 1e-12) << f << " " << m;
      }
      EXPECT_EQ(cosf[f](161, a), std::cos(161 * a));  // computed directly
      EXPECT_EQ(sinf[f](-161, a), std::sin(-161 * a));
      EXPECT_EQ(cosf[f](-37, a), cosf[f](37, a));
      EXPECT_EQ(sinf[f](-37, a), -sinf[f](37, a));
    }
}

TEST(TrigCaches, PowersToTheBoundAndPast) {
  using Fn = double (*)(int, double);
  const Fn fns[] = {cos_theta_n, sin_theta_n, cos_delta_n, sin_delta_n};
  for (int f = 0; f < 4; f++)
    for (double a : {0.3, 1.1, 2.5}) {
      const double base = f % 2 == 0 ? std::cos(a) : std::sin(a);
      EXPECT_EQ(fns[f](0, a), 1.0);
      for (int n : {1, 2, 17, 160, 161, 200}) {
        EXPECT_LE(std::fabs(fns[f](n, a) / std::pow(base, n) - 1), 1e-12) << f << " " << n;
        EXPECT_LE(std::fabs(fns[f](-n, a) * fns[f](n, a) - 1), 1e-12) << f << " " << n;
      }
      EXPECT_EQ(fns[f](161, a), std::pow(base, 161));
    }
  // Half angles: cached to 320, then direct.
  for (double b : {0.4, 2.2}) {
    const double c = std::cos(b / 2), s = std::sin(b / 2);
    for (int n : {0, 1, 5, 160, 161, 320, 321}) {
      EXPECT_LE(std::fabs(cos_beta2_n(n, b) / std::pow(c, n) - 1), 1e-12) << n;
      EXPECT_LE(std::fabs(sin_beta2_n(n, b) / std::pow(s, n) - 1), 1e-12) << n;
    }
    EXPECT_EQ(cos_beta2_n(321, b), std::pow(c, 321));
    EXPECT_LE(std::fabs(sin_beta2_n(-320, b) * std::pow(s, 320) - 1), 1e-12);
  }
}

TEST(TrigCaches, RefillsAcrossSiblingsAndAngles) {
  // cos at a new theta, then sin at the same theta starts from order 1
  const double t = 0.77;
  EXPECT_LE(rel(cos_theta_n(40, t), std::pow(std::cos(t), 40)), 1e-14);
  EXPECT_LE(rel(sin_theta_n(3, t), std::pow(std::sin(t), 3)), 1e-15);
  EXPECT_LE(rel(cos_theta_n(41, t), std::pow(std::cos(t), 41)), 1e-14);
  // the beta powers and multiples share one angle and reset each other
  const double b1 = 1.3, b2 = 0.6;
  EXPECT_LE(rel(cos_m_beta(50, b1), std::cos(50 * b1)), 1e-12);
  EXPECT_LE(rel(cos_beta2_n(7, b2), std::pow(std::cos(b2 / 2), 7)), 1e-14);
  EXPECT_LE(rel(cos_m_beta(3, b2), std::cos(3 * b2)), 1e-14);
  EXPECT_LE(rel(sin_m_beta(49, b2), std::sin(49 * b2)), 1e-12);
  EXPECT_LE(rel(sin_beta2_n(9, b2), std::pow(std::sin(b2 / 2), 9)), 1e-14);
  EXPECT_LE(rel(cos_m_beta(4, b1), std::cos(4 * b1)), 1e-14);
  // a lower bound sends order 11 to the library, and order 10 to the cache
  set_trig_cache(10);
  EXPECT_EQ(cos_m_gamma(11, 0.9), std::cos(11 * 0.9));
  EXPECT_LE(rel(cos_m_gamma(10, 0.9), std::cos(10 * 0.9)), 1e-14);
  EXPECT_EQ(cos_beta2_n(21, 0.9), std::pow(std::cos(0.45), 21));
  set_trig_cache(500);  // never above the arrays
  EXPECT_EQ(cos_m_gamma(161, 0.9), std::cos(161 * 0.9));
  EXPECT_LE(rel(cos_m_gamma(160, 0.9), std::cos(160 * 0.9)), 1e-12);
}

TEST(TrigCaches, SymmetricPhiTable) {
  double *c = nullptr, *s = nullptr;
  for (double p : {0.25, 0.25, -2.0}) {
    for (int m : {3, 160, 40}) {
      double* r = set_phi_cache(m, &c, &s, p);
      EXPECT_EQ(r, c);
      for (int k = -m; k <= m; k++) {
        EXPECT_LE(rel(c[k], std::cos(k * p)), 1e-12) << p << " " << k;
        EXPECT_LE(rel(s[k], std::sin(k * p)), 1e-12) << p << " " << k;
      }
    }
  }
  double *c2 = nullptr, *s2 = nullptr;
  set_phi_cache(5, &c2, &s2, 1.0);
  EXPECT_EQ(c2, c);  // one table for the run
  EXPECT_LE(rel(s2[-5], -std::sin(5.0)), 1e-14);
}
