// Legendre functions and real spherical harmonics: closed forms, both roads
// (series near the poles, recursion elsewhere), orthonormality by
// quadrature, and the theta and phi integrals against quadrature.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "common/fp_mode.h"
#include "common/quadrature.h"
#include "harmonics/zam_legendre.h"

namespace {

int lp(int l, int m) { return l * (l + 1) / 2 + m; }

// P_l^m(x) for l <= 3 with the Condon-Shortley phase, written out.
double closed_plm(int l, int m, double x) {
  const double s = std::sqrt(1.0 - x * x);
  switch (l * 10 + m) {
    case 0: return 1.0;
    case 10: return x;
    case 11: return -s;
    case 20: return 0.5 * (3 * x * x - 1);
    case 21: return -3 * x * s;
    case 22: return 3 * (1 - x * x);
    case 30: return 0.5 * (5 * x * x * x - 3 * x);
    case 31: return -1.5 * (5 * x * x - 1) * s;
    case 32: return 15 * x * (1 - x * x);
    case 33: return -15 * s * s * s;
  }
  return NAN;
}

// Integral of f(theta) sin(theta) over [t1, t2] by quadrature in theta.
template <typename F>
double quad_theta(F f, double t1, double t2) {
  std::vector<double> x, w;
  testutil::gauss_legendre(96, t1, t2, x, w);
  double s = 0.0;
  for (size_t i = 0; i < x.size(); i++) s += w[i] * f(x[i]) * std::sin(x[i]);
  return s;
}

}  // namespace

TEST(Legendre, ClosedFormsOnBothRoadsAndAtThePoles) {
  // 0.005 is within the pole gap (series), 0.02 and 1.3 are not (recursion).
  for (double theta : {0.005, 0.02, 1.3, M_PI - 0.004}) {
    double p[10];
    plm_all_bar(3, p, theta);
    const double x = std::cos(theta);
    for (int l = 0; l <= 3; l++)
      for (int m = 0; m <= l; m++) {
        EXPECT_NEAR(p[lp(l, m)], closed_plm(l, m, x), 1e-13) << l << " " << m << " at " << theta;
        EXPECT_NEAR(plm_series(l, m, theta), closed_plm(l, m, x), 1e-13);
      }
  }
  double p[21 * 22 / 2];
  plm_all_bar(20, p, 0.0);
  for (int l = 0; l <= 20; l++)
    for (int m = 0; m <= l; m++) EXPECT_EQ(p[lp(l, m)], m == 0 ? 1.0 : 0.0) << l << " " << m;
  EXPECT_EQ(plm_series(3, 4, 1.0), 0.0);
  EXPECT_EQ(plm(3, -4, 1.0), 0.0);
}

TEST(Legendre, PoleAndMiddleRoadsMeetAtHighDegree) {
  // Just inside and just outside the pole gap, degree 60: the two roads must
  // give the same normalised values (the function is smooth across the gap).
  const int L = 60;
  std::vector<double> in(lp(L, L) + 1), out(in.size());
  plm_all_bar(L, in.data(), 0.01 - 1e-14);
  plm_all_bar(L, out.data(), 0.01 + 1e-14);
  for (int l = 0; l <= L; l += 5)
    for (int m = 0; m <= l; m += 3) {
      const double a = in[lp(l, m)] * plm_norm(l, m), b = out[lp(l, m)] * plm_norm(l, m);
      EXPECT_NEAR(a, b, 1e-11 * (1.0 + std::fabs(b))) << l << " " << m;
    }
  // The series road serves single values on request; at low degree it agrees.
  ylm_direct(1);
  const double from_series = plm(9, 4, 0.75);
  ylm_direct(0);
  EXPECT_NEAR(plm(9, 4, 0.75), from_series, 1e-13);
  // ylm_short changes nothing: single values still come from the recursion,
  // which differs from the series in the last bits at degree 60.
  const double recursion = plm(60, 7, 0.3);
  ylm_direct(1);
  EXPECT_NE(plm(60, 7, 0.3), recursion);
  ylm_direct(0);
  ylm_short(1);
  EXPECT_EQ(plm(60, 7, 0.3), recursion);
  ylm_short(0);
}

TEST(Legendre, HarmonicsAreOrthonormalUpToDegree20) {
  const int L = 20, nth = 32, nph = 64;
  std::vector<double> x, w;
  testutil::gauss_legendre(nth, -1.0, 1.0, x, w);  // exact for degree < 64 in cos theta
  const int K = (L + 1) * (L + 1);
  std::vector<double> G(K * K, 0.0), y(K), nrm(K);
  ylm_all_norm(L, nrm.data());
  for (int i = 0; i < nth; i++)
    for (int j = 0; j < nph; j++) {
      const double phi = 2.0 * M_PI * j / nph, wt = w[i] * 2.0 * M_PI / nph;
      ylm_all_bar(L, y.data(), std::acos(x[i]), phi);
      for (int k = 0; k < K; k++) y[k] *= nrm[k];
      for (int a = 0; a < K; a++)
        for (int b = 0; b <= a; b++) G[a * K + b] += wt * y[a] * y[b];
    }
  double worst = 0.0;
  for (int a = 0; a < K; a++)
    for (int b = 0; b <= a; b++) worst = std::max(worst, std::fabs(G[a * K + b] - (a == b ? 1.0 : 0.0)));
  EXPECT_LT(worst, 1e-12);
  // Single values agree with the sets; y_00 is 1/sqrt(4 pi) everywhere.
  ylm_all_bar(L, y.data(), 0.9, 2.2);
  for (int l = 0; l <= L; l += 3)
    for (int m = -l; m <= l; m += 2) EXPECT_NEAR(ylm(l, m, 0.9, 2.2), y[l * (l + 1) + m] * nrm[l * (l + 1) + m], 1e-12);
  EXPECT_NEAR(ylm(0, 0, 2.7, 5.1), 1.0 / std::sqrt(4.0 * M_PI), 1e-15);
}

TEST(Legendre, ComplexHarmonicsAndAzimuthalFactors) {
  // Y_l,-m = (-1)^m conj(Y_lm).
  const Complex a = cylm(5, 3, 0.8, 1.1), b = cylm(5, -3, 0.8, 1.1);
  EXPECT_NEAR(b.re, -a.re, 1e-14);
  EXPECT_NEAR(b.im, a.im, 1e-14);
  double z[ZAM_MTABLE];
  zm_all(6, z, 0.4);
  for (int m = -6; m <= 6; m++) {
    EXPECT_NEAR(z[ZAM_MCENTRE + m], zm(m, 0.4), 1e-14);
    const double h = 1e-6;
    EXPECT_NEAR(dzm(m, 0.4), (zm(m, 0.4 + h) - zm(m, 0.4 - h)) / (2 * h), 1e-7);
  }
  EXPECT_DOUBLE_EQ(tn(0, 0.3), 1.0 / std::sqrt(M_PI));
  EXPECT_EQ(tn(0, 1.5), 0.0);
  EXPECT_NEAR(tn(3, 0.5), std::sqrt(2.0 / M_PI) * std::cos(3 * std::acos(0.5)), 1e-15);
}

TEST(Legendre, ThetaIntegralsAreExactForEveryOrder) {
  // Odd orders carry sqrt(1 - x^2): checked against quadrature in theta,
  // over a quarter, an odd range and the whole sphere.
  const double ranges[3][2] = {{0.0, M_PI / 2}, {0.3, 2.1}, {0.0, M_PI}};
  for (const auto& r : ranges)
    for (int l = 0; l <= 12; l++)
      for (int m = 0; m <= l; m++) {
        const double want = quad_theta([&](double t) { return plm_series(l, m, t); }, r[0], r[1]);
        const double scale = quad_theta([&](double t) { return std::fabs(plm_series(l, m, t)); }, 0.0, M_PI);
        EXPECT_NEAR(iplm_bar(l, m, r[0], r[1]), want, 1e-13 * scale) << l << " " << m;
      }
  // iplm_all: the two hemispheres agree for even l+m and are opposite for odd.
  const int L = 15;
  std::vector<double> up((L + 1) * (L + 2) / 2), down(up.size());
  iplm_all(L, 0.0, M_PI / 2, up.data());
  iplm_all(L, M_PI / 2, M_PI, down.data());
  for (int l = 0; l <= L; l++)
    for (int m = 0; m <= l; m++) {
      const double s = (l + m) % 2 ? -1.0 : 1.0;
      EXPECT_NEAR(down[lp(l, m)], s * up[lp(l, m)], 1e-12);
      EXPECT_NEAR(up[lp(l, m)], iplm(l, m, 0.0, M_PI / 2), 1e-12);
    }
  // Whole range: only l = 0 survives, with the norm sqrt(1/2) times 2.
  EXPECT_NEAR(iplm(0, 0, 0.0, M_PI), std::sqrt(2.0), 1e-14);
  EXPECT_NEAR(iplm(4, 0, 0.0, M_PI), 0.0, 1e-14);
  EXPECT_EQ(iplm_bar(2, 3, 0.0, 1.0), 0.0);
}

TEST(Legendre, ProductAndPhiIntegrals) {
  // Normalised Legendre functions of one order are orthonormal over [-1, 1].
  std::vector<double> out(9);
  ipklm_all(5, 8, 3, 0.0, M_PI, out.data());
  for (int l = 0; l <= 8; l++) EXPECT_NEAR(out[l], l == 5 ? 1.0 : 0.0, 1e-11) << l;
  const double part = quad_theta([](double t) { return plm(4, 1, t) * plm(6, 1, t); }, 0.2, 1.4);
  EXPECT_NEAR(ipklm(4, 6, -1, 0.2, 1.4), part, 1e-12);

  EXPECT_DOUBLE_EQ(izm_bar(0, 0.5, 2.0), 1.5);
  std::vector<double> iz(9);
  izm_all(4, 0.0, 2.0 * M_PI, iz.data());
  for (int m = -4; m <= 4; m++) EXPECT_NEAR(iz[m + 4], m == 0 ? std::sqrt(2.0 * M_PI) : 0.0, 1e-14);
  // z_m are orthonormal over a full turn; over a quarter, checked by quadrature.
  std::vector<double> x, w;
  testutil::gauss_legendre(40, 0.3, 1.9, x, w);
  for (int m = -3; m <= 3; m++) {
    std::vector<double> row(7);
    izmj_all(3, m, 0.0, 2.0 * M_PI, row.data());
    for (int j = -3; j <= 3; j++) {
      EXPECT_NEAR(row[j + 3], j == m ? 1.0 : 0.0, 1e-14);
      double q = 0.0;
      for (size_t i = 0; i < x.size(); i++) q += w[i] * zm(m, x[i]) * zm(j, x[i]);
      EXPECT_NEAR(izmj(m, j, 0.3, 1.9), q, 1e-13) << m << " " << j;
    }
  }
}

TEST(Legendre, ShellVectors) {
  const int L = 3;
  std::vector<double> a(16, 0.0);
  a[2 * 3 + 1] = 2.0;   // (2, 1)
  a[0] = 0.5;
  EXPECT_NEAR(alm_value(L, a.data(), 0.7, 1.2), 0.5 * ylm(0, 0, 0.7, 1.2) + 2.0 * ylm(2, 1, 0.7, 1.2), 1e-14);
  EXPECT_DOUBLE_EQ(alm_mag(L, a.data()), std::sqrt(4.25));
  // The potential is continuous across the sphere and falls as 1/r^(l+1).
  EXPECT_NEAR(ylm_potential(L, a.data(), 2.0, 2.0 - 1e-12, 0.7, 1.2),
              ylm_potential(L, a.data(), 2.0, 2.0 + 1e-12, 0.7, 1.2), 1e-9);
  a.assign(16, 0.0);
  a[0] = 1.0;
  EXPECT_NEAR(ylm_potential(L, a.data(), 1.0, 4.0, 0.1, 0.2), 4.0 * M_PI * ylm(0, 0, 0, 0) / 4.0, 1e-14);
  alm_zero(L, a.data());
  EXPECT_EQ(alm_dot(L, a.data(), a.data()), 0.0);
}

TEST(Legendre, TestsRunWithDenormalsFlushed) { EXPECT_TRUE(testutil::denormals_flushed()); }

namespace {

// Normalised Pbar_l^m(cos theta), l = 0..L, m = 0..l (Legendre packing), by
// the recurrence of the normalised functions in l for each m, in long double.
std::vector<long double> normalised_reference(int L, double theta) {
  const long double x = cosl(theta), s = sinl(theta);
  std::vector<long double> p((L + 1) * (L + 2) / 2);
  long double pmm = sqrtl(0.5L);
  for (int m = 0; m <= L; m++) {
    if (m > 0) pmm *= -sqrtl((2.0L * m + 1) / (2.0L * m)) * s;
    long double p0 = pmm, p1 = sqrtl(2.0L * m + 3) * x * pmm;
    p[m * (m + 1) / 2 + m] = p0;
    if (m < L) p[(m + 1) * (m + 2) / 2 + m] = p1;
    for (int l = m + 2; l <= L; l++) {
      const long double a = sqrtl((4.0L * l * l - 1) / ((long double)l * l - (long double)m * m));
      const long double b = sqrtl(((long double)(l - 1) * (l - 1) - (long double)m * m) / (4.0L * (l - 1) * (l - 1) - 1));
      const long double q = a * (x * p1 - b * p0);
      p[l * (l + 1) / 2 + m] = q;
      p0 = p1;
      p1 = q;
    }
  }
  return p;
}

}  // namespace

// The top of the range, degrees 141..160, near a pole and in the middle:
// normalised values against an independent recurrence; unnormalised values
// as a double holds them (infinite exactly where they pass 1.8e308, from
// degree 151 near the equator); theta integrals of the normalised functions.
TEST(Legendre, TopDegreesAgainstANormalisedRecurrence) {
  const int L = 160;
  std::vector<double> bar((L + 1) * (L + 2) / 2);
  int infinite = 0;
  for (double theta : {0.004, 0.3, 1.5707963267948966, 2.9, M_PI - 0.006}) {
    const std::vector<long double> ref = normalised_reference(L, theta);
    plm_all_bar(L, bar.data(), theta);
    for (int l = 141; l <= L; l++)
      for (int m = 0; m <= l; m++) {
        const long double want = ref[l * (l + 1) / 2 + m];
        EXPECT_NEAR(plm(l, m, theta), static_cast<double>(want), 1e-12) << l << " " << m << " at " << theta;
        const long double norm =
            expl(0.5L * (logl((2.0L * l + 1) / 2) + lgammal(l - m + 1.0L) - lgammal(l + m + 1.0L)));
        const long double want_bar = want / norm;
        const double got = bar[l * (l + 1) / 2 + m];
        if (fabsl(want_bar) > 1.7976931348623157e308L) {
          EXPECT_TRUE(std::isinf(got) && (got > 0) == (want_bar > 0)) << l << " " << m << " at " << theta;
          infinite++;
        } else if (fabsl(want_bar) > 1e-250L) {
          EXPECT_NEAR(got / static_cast<double>(want_bar), 1.0, 1e-11) << l << " " << m << " at " << theta;
        }
      }
  }
  EXPECT_GT(infinite, 0);
  // The integrals of the normalised functions over a range of theta: the
  // set road against the single-value road, and 0 over the whole range for
  // odd l + m.
  std::vector<double> up((L + 1) * (L + 2) / 2);
  iplm_all(L, 0.0, 0.5 * M_PI, up.data());
  for (double v : up) ASSERT_TRUE(std::isfinite(v));
  for (const auto& [l, m] : {std::pair{151, 0}, {157, 40}, {160, 3}, {160, 160}})
    EXPECT_NEAR(iplm(l, m, 0.0, 0.5 * M_PI), up[l * (l + 1) / 2 + m], 1e-12) << l << " " << m;
  EXPECT_NEAR(iplm(158, 3, 0.0, M_PI), 0.0, 1e-12);
  EXPECT_NEAR(iplm(160, 0, 0.0, M_PI), 0.0, 1e-12);
}
