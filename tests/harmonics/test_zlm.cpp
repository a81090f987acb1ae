// Complex coefficient vectors: basis round trips, the conjugate symmetry of a
// real function, phase factors of a turn about z and complex dot products.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/fp_mode.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_zlm.h"

namespace {

std::vector<double> sample(int n, double seed) {
  std::vector<double> v(n);
  for (int i = 0; i < n; i++) v[i] = std::sin(seed + 1.3 * i) + 0.1 * i;
  return v;
}

void expect_all_near(const std::vector<double>& a, const std::vector<double>& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) EXPECT_NEAR(a[i], b[i], tol) << i;
}

}  // namespace

TEST(Zlm, PowersOfIAndSmallConversions) {
  const Complex p[] = {zi_m(-1), zi_m(4), zi_m(-3), zi_m(2)};
  EXPECT_EQ(p[0].re, 0.0);
  EXPECT_EQ(p[0].im, -1.0);
  EXPECT_EQ(p[1].re, 1.0);
  EXPECT_EQ(p[2].im, 1.0);
  EXPECT_EQ(p[3].re, -1.0);
  EXPECT_EQ(zneg1_m(-3).re, -1.0);
  const std::vector<double> re = {1, 2, 3}, im = {-4, 5, -6};
  std::vector<double> z(6), back_re(3), back_im(3), sw(6);
  zjoin(3, re.data(), im.data(), z.data());
  zsplit(3, z.data(), back_re.data(), back_im.data());
  EXPECT_EQ(back_re, re);
  EXPECT_EQ(back_im, im);
  zjoin(3, re.data(), nullptr, z.data());
  EXPECT_EQ(z[3], 0.0);
  zswap(3, z.data(), sw.data());
  EXPECT_EQ(sw[2], 0.0);
  EXPECT_EQ(sw[3], 2.0);
  std::vector<float> f(6);
  std::vector<double> d(6);
  zd2zf(3, z.data(), f.data());
  zf2zd(3, f.data(), d.data());
  EXPECT_EQ(d, z);
  const long double zz[4] = {1.5L, -2.5L, 3.5L, 4.5L};
  double r[2], i[2];
  zzreal(2, zz, r);
  zzimag(2, zz, i);
  EXPECT_EQ(r[1], 3.5);
  EXPECT_EQ(i[0], -2.5);
}

TEST(Zlm, RealComplexRoundTrips) {
  const int N = 6, K = anlm_size(N);
  const std::vector<double> a = sample(K, 0.4);
  std::vector<double> q(2 * K), a2(K), c(2 * K), q2(2 * K);
  qnlm_anlm(N, a.data(), q.data());
  anlm_qnlm(N, q.data(), a2.data());
  expect_all_near(a2, a, 1e-14);
  const std::vector<double> cz = sample(2 * K, 1.7);
  qnlm_cnlm(N, cz.data(), q.data());
  cnlm_qnlm(N, q.data(), c.data());
  expect_all_near(c, cz, 1e-14);
  // Single shells, both complex bases.
  const int L = 5, S = (L + 1) * (L + 1);
  const std::vector<double> s = sample(S, 2.2), sc = sample(2 * S, 0.9);
  std::vector<double> zq(2 * S), s2(S), sc2(2 * S);
  qlm_alm(L, s.data(), zq.data());
  alm_qlm(L, zq.data(), s2.data());
  expect_all_near(s2, s, 1e-14);
  zlm_ylm(L, s.data(), zq.data());
  ylm_zlm(L, zq.data(), s2.data());
  expect_all_near(s2, s, 1e-14);
  qlm_clm(L, sc.data(), zq.data());
  clm_qlm(L, zq.data(), sc2.data());
  expect_all_near(sc2, sc, 1e-14);
  zlm_clm(L, sc.data(), zq.data());
  clm_zlm(L, zq.data(), sc2.data());
  expect_all_near(sc2, sc, 1e-14);
}

TEST(Zlm, RealFunctionHasConjugateSymmetry) {
  // q_-m = (-1)^m conj(q_m) for a real vector joined with b = 0.
  const int N = 5, K = anlm_size(N);
  const std::vector<double> a = sample(K, 3.1), zero(K, 0.0);
  std::vector<double> q(2 * K);
  qnlm_abnlm(N, a.data(), zero.data(), q.data());
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = 0; m <= l; m++) {
        const int p = anlm_index(n, l, m), k = anlm_index(n, l, -m);
        const double s = m % 2 ? -1.0 : 1.0;
        EXPECT_NEAR(q[2 * k], s * q[2 * p], 1e-15);
        EXPECT_NEAR(q[2 * k + 1], -s * q[2 * p + 1], 1e-15);
      }
  // The q basis is that of the complex harmonics: sum q_m Y_lm equals sum a_m y_lm.
  const int L = 3;
  const std::vector<double> s = sample(16, 0.2);
  std::vector<double> qs(32);
  qlm_alm(L, s.data(), qs.data());
  double re = 0.0, im = 0.0;
  for (int l = 0; l <= L; l++)
    for (int m = -l; m <= l; m++) {
      const Complex y = cylm(l, m, 0.9, 2.4);
      const int k = l * (l + 1) + m;
      re += qs[2 * k] * y.re - qs[2 * k + 1] * y.im;
      im += qs[2 * k] * y.im + qs[2 * k + 1] * y.re;
    }
  EXPECT_NEAR(re, alm_value(L, s.data(), 0.9, 2.4), 1e-13);
  EXPECT_NEAR(im, 0.0, 1e-13);
}

TEST(Zlm, PhaseFactorsAndDotProducts) {
  const int N = 4, K = anlm_size(N);
  std::vector<double> f(2 * K);
  znlm_phi(N, 0.0, f.data());
  for (int k = 0; k < K; k++) {
    EXPECT_EQ(f[2 * k], 1.0);
    EXPECT_EQ(f[2 * k + 1], 0.0);
  }
  znlm_phi(N, 0.7, f.data());
  EXPECT_EQ(f[2 * anlm_index(3, 2, 0)], 1.0);
  EXPECT_NEAR(f[2 * anlm_index(3, 2, 2) + 1], std::sin(-1.4), 1e-15);
  // Turning a q-basis vector about z: the real vector turned by anlm_rot_phi.
  const std::vector<double> a = sample(K, 1.0);
  std::vector<double> q(2 * K), qt(2 * K), at(K), ar(K);
  qnlm_anlm(N, a.data(), q.data());
  zanlm_rot_phi(N, 0.7, q.data(), qt.data());
  anlm_qnlm(N, qt.data(), at.data());
  double c[7], s[7];
  for (int m = -3; m <= 3; m++) {
    c[m + 3] = std::cos(m * 0.7);
    s[m + 3] = std::sin(m * 0.7);
  }
  anlm_rot_phi(N, c + 3, s + 3, a.data(), ar.data());
  expect_all_near(at, ar, 1e-14);
  // A vector times its conjugate: real, the sum of squared moduli.
  std::vector<double> qc(2 * K);
  qnlm_conj(N, q.data(), qc.data());
  const Complex d = zanlm_dot(N, q.data(), qc.data());
  double sq = 0.0;
  for (double x : q) sq += x * x;
  EXPECT_NEAR(d.re, sq, 1e-13);
  EXPECT_NEAR(d.im, 0.0, 1e-14);
  EXPECT_NEAR(anlm_dot(N, a.data(), a.data()), sq, 1e-12);  // the change of basis is unitary
  const Complex two = zanlm_stupid(2, N, std::vector<double>(4 * K, 1.0).data(), std::vector<double>(4 * K, 1.0).data());
  EXPECT_EQ(two.re, 0.0);
  EXPECT_EQ(two.im, 4.0 * K);
  const Complex none = zanlm_dot(0, q.data(), q.data());
  EXPECT_EQ(none.re, 0.0);
  EXPECT_EQ(none.im, 0.0);
}

TEST(Zlm, ComplexRotationIsTheRealRotation) {
  const int N = 5, K = anlm_size(N);
  const std::vector<double> a = sample(K, 0.6);
  const Euler e{0.4, 1.3, -2.1};
  std::vector<double> ra(K), q(2 * K), rq(2 * K), back(K);
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  zam_rm3_apply(N, 1, &rec, a.data(), ra.data(), e);
  zam_rm3_free(&rec);
  qnlm_anlm(N, a.data(), q.data());
  zanlm_rotate(N, 1, e.alpha, e.beta, e.gamma, q.data(), rq.data());
  anlm_qnlm(N, rq.data(), back.data());
  expect_all_near(back, ra, 1e-13);
}
