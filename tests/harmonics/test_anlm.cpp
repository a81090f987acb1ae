// Coefficient vectors: layout, the rotation-invariant forms and the
// comparisons the search's descriptor filters make of them (rotation
// invariants for filter 1, radial moments for filter 2), turns about z and
// evaluation at a point.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/fp_mode.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"

namespace {

int idx(int n, int l, int m) { return anlm_index(n, l, m); }

// The radial-moment similarity of filter 2: moments scaled by powers of the
// zeroth, compared as a Carbo cosine.
double radial_similarity(int N, const double* a, const double* b) {
  std::vector<double> q(N + 1), t(N + 1);
  hnl_radial(N, a, q.data());
  hnl_radial(N, b, t.data());
  double sqq = 0, stt = 0, sqt = 0;
  for (int k = 0; k <= N; k++) {
    sqq += q[k] * q[k] / std::pow(q[0], 2 * k);
    stt += t[k] * t[k] / std::pow(t[0], 2 * k);
    sqt += q[k] * t[k] / std::pow(q[0] * t[0], k);
  }
  return sqt / (std::sqrt(sqq) * std::sqrt(stt));
}

}  // namespace

TEST(Anlm, LayoutAndPlainOperations) {
  EXPECT_EQ(anlm_size(1), 1);
  EXPECT_EQ(anlm_size(2), 5);
  EXPECT_EQ(anlm_size(3), 14);
  EXPECT_EQ(anlm_size(0), 0);
  EXPECT_EQ(idx(3, 2, -2), 5 + 4);
  EXPECT_EQ(idx(3, 2, 2), 13);
  std::vector<double> a(14), b(14), c(14);
  EXPECT_DOUBLE_EQ(anlm_unit(3, a.data()), 1.0 / std::sqrt(14.0));
  EXPECT_NEAR(anlm_mag(3, a.data()), 1.0, 1e-15);
  for (int i = 0; i < 14; i++) b[i] = i - 6.5;
  anlm_add(3, a.data(), b.data(), c.data(), 2.0);
  EXPECT_DOUBLE_EQ(c[3], a[3] + 2.0 * b[3]);
  anlm_mult_bar(3, b.data(), b.data(), c.data());
  EXPECT_DOUBLE_EQ(c[idx(3, 2, 1)], b[idx(3, 2, 1)] * b[idx(3, 2, -1)]);
  EXPECT_DOUBLE_EQ(anlm_distance(3, b.data(), b.data()), 0.0);
  EXPECT_DOUBLE_EQ(anlm_stupid(1, 3, a.data(), b.data()), anlm_dot(3, a.data(), b.data()));
  EXPECT_EQ(anlm_stupid(0, 3, a.data(), b.data()), 0.0);
  long double h[3] = {1.5L, -2.0L, 0.25L};
  anlm_n00(3, h, c.data());
  EXPECT_EQ(c[0], 1.5);
  EXPECT_EQ(c[1], -2.0);
  EXPECT_EQ(c[5], 0.25);
  EXPECT_EQ(anlm_mag(3, c.data()), std::sqrt(1.5 * 1.5 + 4 + 0.0625));
  std::vector<double> f(14), g(14);
  anlm_flip(1, 3, b.data(), f.data());
  EXPECT_EQ(f[idx(3, 2, -2)], b[idx(3, 2, 2)]);
  anlm_flip(1, 3, f.data(), g.data());
  EXPECT_EQ(g, b);
}

TEST(Anlm, InvariantFormsOfTheWorkedExample) {
  // Only (2,1,-1) = 3 and (2,1,1) = 4, and (2,1,0) = -7.
  std::vector<double> a(5, 0.0), out(5);
  a[idx(2, 1, -1)] = 3.0;
  a[idx(2, 1, 1)] = 4.0;
  a[idx(2, 1, 0)] = -7.0;
  a[idx(1, 0, 0)] = -2.0;
  anlm_rinv(2, 1, 2, a.data(), out.data());
  EXPECT_DOUBLE_EQ(out[idx(2, 1, 0)], std::sqrt(9.0 + 16.0 + 49.0));
  EXPECT_EQ(out[idx(2, 1, -1)], 0.0);
  EXPECT_EQ(out[idx(2, 1, 1)], 0.0);
  EXPECT_EQ(out[idx(1, 0, 0)], 2.0);
  anlm_rinv(2, 1, 1, a.data(), out.data());
  EXPECT_EQ(out[idx(2, 1, 1)], 5.0);
  EXPECT_EQ(out[idx(2, 1, -1)], 0.0);
  EXPECT_EQ(out[idx(2, 1, 0)], -7.0);  // keeps its sign
  EXPECT_EQ(out[idx(1, 0, 0)], -2.0);
  // In place gives the same.
  std::vector<double> in_place = a;
  anlm_rinv(2, 1, 1, in_place.data(), in_place.data());
  EXPECT_EQ(in_place, out);
  anlm_rinv(2, 1, 0, a.data(), out.data());
  EXPECT_EQ(out, a);
}

TEST(Anlm, FilterOneComparesInvariantsOfHandMadeShapes) {
  // Two shapes with the same power per (n, l) but spread over different m
  // (one rotated into the other about some axis, as far as mode 2 can tell)
  // score 1; a shape with power in another degree scores lower, by a known
  // amount.
  const int N = 3;
  std::vector<double> a(anlm_size(N), 0.0), b(a.size(), 0.0), c(a.size(), 0.0);
  a[idx(1, 0, 0)] = 2.0;
  a[idx(2, 1, 0)] = 1.0;     // power 1 in (2,1)
  b[idx(1, 0, 0)] = 2.0;
  b[idx(2, 1, -1)] = 0.6;    // 0.36 + 0.64 = 1 in (2,1)
  b[idx(2, 1, 1)] = 0.8;
  c[idx(1, 0, 0)] = 2.0;
  c[idx(3, 2, 2)] = 1.0;     // power 1 in (3,2) instead
  std::vector<double> ia(a.size()), ib(a.size()), ic(a.size());
  anlm_rinv(N, 1, 2, a.data(), ia.data());
  anlm_rinv(N, 1, 2, b.data(), ib.data());
  anlm_rinv(N, 1, 2, c.data(), ic.data());
  EXPECT_NEAR(anlm_carbo_rinv(N, 1, 2, ia.data(), ib.data()), 1.0, 1e-15);
  EXPECT_NEAR(anlm_carbo_rinv(N, 1, 2, ia.data(), ic.data()), 4.0 / 5.0, 1e-15);
  // Mode 1 tells the z-axial term from the pair (m, -m): a and b now differ.
  anlm_rinv(N, 1, 1, a.data(), ia.data());
  anlm_rinv(N, 1, 1, b.data(), ib.data());
  EXPECT_NEAR(anlm_carbo_rinv(N, 1, 1, ia.data(), ib.data()), 4.0 / 5.0, 1e-15);
  // Any other mode compares every slot of the raw vectors.
  EXPECT_NEAR(anlm_carbo_rinv(N, 1, 0, a.data(), b.data()), anlm_carbo(N, a.data(), b.data()), 1e-15);
  // Two consecutive pairs are summed before the quotient.
  std::vector<double> two(2 * a.size());
  std::copy(ia.begin(), ia.end(), two.begin());
  std::copy(ia.begin(), ia.end(), two.begin() + ia.size());
  EXPECT_NEAR(anlm_carbo_rinv(N, 2, 1, two.data(), two.data()), 1.0, 1e-15);
}

TEST(Anlm, SimilarityOfNothingIsZero) {
  // An empty shape or no vectors at all compare as 0, never as 0/0: a filter
  // that ranks by this value must not meet a NaN.
  const int N = 3;
  std::vector<double> z(anlm_size(N), 0.0), a(anlm_size(N), 0.0);
  a[0] = 1.0;
  EXPECT_EQ(anlm_carbo_rinv(N, 1, 2, z.data(), z.data()), 0.0);
  EXPECT_EQ(anlm_carbo_rinv(N, 1, 2, a.data(), z.data()), 0.0);
  EXPECT_EQ(anlm_carbo_rinv(N, 0, 2, a.data(), a.data()), 0.0);
  EXPECT_EQ(anlm_carbo(N, z.data(), a.data()), 0.0);
  EXPECT_EQ(anlm_carbo(0, a.data(), a.data()), 0.0);
  EXPECT_NEAR(anlm_carbo_rinv(N, 1, 2, a.data(), a.data()), 1.0, 1e-15);
}

TEST(Anlm, FilterTwoRadialMomentsOfHandMadeDensities) {
  // A single H_10 density: moments in closed form. With x = r^2/h,
  // the integral of H_10 r^(k+2) over [0, inf) is
  // norm h^((k+3)/2) 2^((k+1)/2) Gamma((k+3)/2), and the density's k-th
  // moment is that times sqrt(4 pi) a_100.
  const int N = 4;
  std::vector<double> a(anlm_size(N), 0.0);
  a[0] = 1.0;
  std::vector<double> m(N + 1);
  hnl_radial(N, a.data(), m.data());
  const double h = 20.0, norm = hnl_norm(1, 0);
  for (int k = 0; k <= N; k++) {
    const double want = std::sqrt(4 * M_PI) * norm * std::pow(h, 0.5 * (k + 3)) * std::pow(2.0, 0.5 * (k + 1)) *
                        std::tgamma(0.5 * (k + 3));
    EXPECT_NEAR(m[k], want, 1e-12 * std::fabs(want)) << k;
  }
  // Only the spherical part counts: the same density with extra l > 0
  // terms scores 1.
  std::vector<double> b(a.size(), 0.0);
  b[0] = 1.0;
  b[idx(2, 1, 0)] = 0.7;
  b[idx(4, 3, -2)] = -0.4;
  EXPECT_NEAR(radial_similarity(N, a.data(), b.data()), 1.0, 1e-12);
  // A different radial profile scores below 1.
  std::vector<double> c(a.size(), 0.0);
  c[0] = 1.0;
  c[idx(2, 0, 0)] = 0.5;
  const double s = radial_similarity(N, a.data(), c.data());
  EXPECT_LT(s, 0.9999);
  EXPECT_GT(s, 0.0);
}

TEST(Anlm, TurnsAboutZAndTablesOfOrders) {
  const int N = 3;
  double c[5], s[5];
  for (int m = -2; m <= 2; m++) {
    c[m + 2] = std::cos(m * M_PI / 2);
    s[m + 2] = std::sin(m * M_PI / 2);
  }
  std::vector<double> a(anlm_size(N), 0.0), out(a.size());
  a[idx(2, 1, 1)] = 1.5;
  anlm_rot_phi(N, c + 2, s + 2, a.data(), out.data());
  for (int i = 0; i < anlm_size(N); i++) EXPECT_NEAR(out[i], i == idx(2, 1, -1) ? 1.5 : 0.0, 1e-15) << i;
  // The turned expansion at phi + pi/2 is the old one at phi.
  std::vector<double> b(a.size());
  for (int i = 0; i < anlm_size(N); i++) b[i] = std::sin(1.0 + i);
  const double phi = 0.3;
  double cc[5], ss[5];
  for (int m = -2; m <= 2; m++) {
    cc[m + 2] = std::cos(m * phi);
    ss[m + 2] = std::sin(m * phi);
  }
  anlm_rot_phi(N, cc + 2, ss + 2, b.data(), out.data());
  EXPECT_NEAR(anlm_value_h(N, out.data(), 3.0, 1.1, 0.9 + phi), anlm_value_h(N, b.data(), 3.0, 1.1, 0.9), 1e-14);

  double lam[5];
  anlm_lambda(N, b.data(), lam + 2);
  double want = 0.0;
  for (int n = 1; n <= N; n++)
    for (int l = 1; l < n; l++) want += b[idx(n, l, -1)];
  EXPECT_NEAR(lam[2 - 1], want, 1e-15);
  EXPECT_NEAR(lambda_sum(2, lam + 2, lam + 2), lam[0] * lam[0] + lam[1] * lam[1] + lam[2] * lam[2] + lam[3] * lam[3] +
                                                    lam[4] * lam[4], 1e-14);
  double f[3], g[3];
  lambda_fs(2, lam + 2, lam + 2, f, g);
  EXPECT_EQ(f[1], lam[3] + lam[1]);
  EXPECT_EQ(g[2], lam[0] - lam[4]);
  EXPECT_EQ(lambda_sum(-1, lam + 2, lam + 2), 0.0);
}

TEST(Anlm, ValuesAtAPoint) {
  // One term each: the value is the radial function times the harmonic.
  const int N = 3;
  std::vector<double> a(anlm_size(N), 0.0);
  a[idx(3, 2, -1)] = 2.0;
  EXPECT_NEAR(anlm_value_h(N, a.data(), 4.0, 0.6, 2.0), 2.0 * hnl(3, 2, 4.0) * ylm(2, -1, 0.6, 2.0), 1e-15);
  EXPECT_NEAR(anlm_value_t(N, a.data(), 4.0, 0.6, 2.0), 2.0 * tnl(3, 2, 4.0) * ylm(2, -1, 0.6, 2.0), 1e-15);
  EXPECT_NEAR(anlm_value(N, a.data(), 4.0, 0.6, 2.0), 2.0 * rnl(3, 2, 4.0) * ylm(2, -1, 0.6, 2.0), 1e-15);
  EXPECT_EQ(anlm_value(0, a.data(), 4.0, 0.6, 2.0), 0.0);
  std::vector<double> p(a.size());
  rp_nlm(N, p.data(), 4.0, 0.6);
  EXPECT_NEAR(p[idx(3, 2, -1)], rnl(3, 2, 4.0) * plm(2, 1, 0.6), 1e-15);
  EXPECT_EQ(p[idx(3, 2, -1)], p[idx(3, 2, 1)]);
}
