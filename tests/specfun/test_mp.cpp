// Multi-precision set-up, prime-exponent products, distance series tables
// and the Racah coefficients in GMP floats.
#include <gtest/gtest.h>

#include <gmp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/log_capture.h"
#include "runtime/kids.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

std::string rational(mp_t_struct* p) {
  mpq_t q;
  mpq_init(q);
  mpq_ans(p, q);
  char* s = mpq_get_str(nullptr, 10, q);
  std::string r = s;
  free(s);
  mpq_clear(q);
  return r;
}

double value(mp_t_struct* p) {
  mpf_t f;
  mpf_init(f);
  mpf_ans(p, f);
  const double v = mpf_get_d(f);
  mpf_clear(f);
  return v;
}

// Generalised Laguerre L_j^(a)(y) by its explicit sum, in long double.
long double laguerre(int j, long double a, long double y) {
  long double s = 0, binom = 1;  // binom(j+a, j-i) from i = j down
  long double term_fac = 1;
  for (int i = 0; i <= j; i++) {
    // binom(j+a, j-i) = prod over r = 1..j-i of (a + i + r) / r
    binom = 1;
    for (int r = 1; r <= j - i; r++) binom *= (a + i + r) / r;
    term_fac = 1;
    for (int r = 2; r <= i; r++) term_fac *= r;
    s += (i % 2 ? -1 : 1) * binom * std::pow(y, i) / term_fac;
  }
  return s;
}

}  // namespace

TEST(MpSetup, PrecisionRoundsUpToWholeLimbs) {
  EXPECT_EQ(mp_bits(192), 256);
  EXPECT_EQ(mpf_get_default_prec(), 256u);
  EXPECT_EQ(mp_bits(64), 256);
  EXPECT_EQ(mpf_get_default_prec(), 256u);
  mpf_t* a = yib_mpf_get(2);
  EXPECT_GE(mpf_get_prec(a[1]), 256u);
  yib_mpf_free(a, 2);
}

TEST(MpProducts, ExactQuotients) {
  // 10!/(5! 2^3) = 3780, through the double products and the exact ones
  sp_t_struct s;
  sp_init(&s);
  sp_fac(&s, +1, 10);
  sp_fac(&s, -1, 5);
  sp_pow(&s, -1, 2, 3);
  EXPECT_EQ(sp_ans(&s), 3780.0L);
  EXPECT_EQ(sp_ans(&s), 1.0L);  // emptied
  sp_free(&s);

  mp_t_struct p;
  mp_init(&p);
  mp_fac(&p, +1, 10);
  mp_fac(&p, -1, 5);
  mp_pow(&p, -1, 2, 3);
  EXPECT_EQ(rational(&p), "3780");
  EXPECT_EQ(rational(&p), "1");  // emptied

  mp_fac(&p, +1, 1600);
  mp_fac(&p, -1, 1599);
  EXPECT_EQ(rational(&p), "1600");
  mp_fac(&p, +1, 1600);
  mp_fac(&p, -1, 1599);
  EXPECT_EQ(value(&p), 1600.0);

  // (1/2)_3 = 15/8; 7*6*5 / (3*4) = 35/2; 997^2 / 1597^-1
  mp_rise2(&p, +1, 3);
  EXPECT_EQ(rational(&p), "15/8");
  mp_fall(&p, +1, 7, 3);
  mp_rise(&p, -1, 3, 2);
  EXPECT_EQ(rational(&p), "35/2");
  mp_pow(&p, +1, 997, 2);
  mp_pow(&p, -1, 1597, -1);
  EXPECT_EQ(rational(&p), std::to_string(997L * 997 * 1597));
  // 1600!/(800!)^2 against the central binomial coefficient
  mp_fac(&p, +1, 1600);
  mp_fac(&p, -1, 800);
  mp_fac(&p, -1, 800);
  mpz_t c;
  mpz_init(c);
  mpz_bin_uiui(c, 1600, 800);
  char* cs = mpz_get_str(nullptr, 10, c);
  EXPECT_EQ(rational(&p), cs);
  free(cs);
  mpz_clear(c);

  {
    testutil::Capture cap;
    mp_fac(&p, +1, 1601);
    mp_rise2(&p, +1, 801);
    mp_pow(&p, +1, 1601, 1);
    mp_fall(&p, +1, 3, 5);
    EXPECT_TRUE(cap.has("*Error* Factorial out of range in mp_fac: 1601\n")) << cap.text;
    EXPECT_TRUE(cap.has("Factorial out of range in mp_rise2: 801\n"));
    EXPECT_TRUE(cap.has("Power out of range in mp_pow: 1601\n"));
    EXPECT_TRUE(cap.has("Factorial out of range in mp_fall: 3,5\n"));
  }
  EXPECT_EQ(p.max, 0);
  EXPECT_EQ(rational(&p), "1");  // nothing was added
  mp_free(&p);
  mp_free(&p);  // a second free is harmless
}

TEST(MpSeries, ClosedFormsAtOrderOne) {
  for (double x : {0.0, 0.3, 1.7}) {
    int cols = 0, count = 0, s1 = 0, s2 = 0;
    mpf_t* D = mp_dkj(1, x, &cols, &count);
    ASSERT_EQ(cols, 1);
    ASSERT_EQ(count, 1);
    EXPECT_NEAR(mpf_get_d(D[0]), std::exp(-x * x), 1e-15);
    yib_mpf_free(D, count);

    mpf_t* B = mp_bkj(1, x, &cols, &count);
    ASSERT_EQ(cols, 2);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(mpf_get_d(B[0]), 1.0);
    EXPECT_NEAR(mpf_get_d(B[1]), 1.5 - x * x, 1e-15);
    yib_mpf_free(B, count);

    mpf_t* Dn = mp_dkjn(1, x, &s1, &s2, &count);
    ASSERT_EQ(s1, 3);
    ASSERT_EQ(s2, 3);
    ASSERT_EQ(count, 9);
    const double want[9] = {0.5, (x + 1) / 8, (x * x + 3 * x + 3) / 48, 0, x / 8, x * (x + 1) / 48, 0, 0, x * x / 48};
    for (int i = 0; i < 9; i++) EXPECT_NEAR(mpf_get_d(Dn[i]), want[i], 1e-15) << x << " " << i;
    yib_mpf_free(Dn, count);

    double* d = dkjn_mp(1, &s1, &s2, x);
    for (int i = 0; i < 9; i++) EXPECT_NEAR(d[i], want[i], 1e-15);
    kfree(d);
  }
}

// Larger orders against the explicit Laguerre sum: the recurrence, the row
// powers and the factorials of every column.
TEST(MpSeries, LaguerreRowsAgainstExplicitSums) {
  const int N = 4;
  const double x = 0.8;
  int cols = 0, count = 0;
  mpf_t* B = mp_bkj(N, x, &cols, &count);
  mpf_t* G = nullptr;
  int gcols = 0, gcount = 0;
  G = mp_gkj(N, x, &gcols, &gcount);
  double* D = dkj_mp(N, &cols, x);
  EXPECT_EQ(count, (2 * N - 1) * (3 * N - 1));
  EXPECT_EQ(gcols, N + 1);
  EXPECT_EQ(gcount, (2 * N + 1) * (N + 1));
  for (int k = 0; k <= 2 * N; k++)
    for (int j = 0; j <= 3 * N - 2; j++) {
      const long double want = std::pow(x, k) * fac(j) * laguerre(j, k + 0.5L, x * x);
      const double tol = 1e-13 * (1 + std::fabs(double(want)));
      if (k <= 2 * N - 2) {
        EXPECT_NEAR(mpf_get_d(B[k * (3 * N - 1) + j]), double(want), tol) << k << " " << j;
      }
      if (j <= N) {
        EXPECT_NEAR(mpf_get_d(G[k * (N + 1) + j]), double(want), tol) << k << " " << j;
      }
      if (k <= 2 * N - 2 && j <= 2 * N - 2) {
        EXPECT_NEAR(D[k * (2 * N - 1) + j], double(want) * std::exp(-x * x), tol) << k << " " << j;
      }
    }
  EXPECT_EQ(cols, 2 * N - 1);
  yib_mpf_free(B, count);
  yib_mpf_free(G, gcount);
  kfree(D);
}

TEST(MpRacah, SelectionRulesAndStrides) {
  EXPECT_NEAR(wcc_mp(1, 1, 0, 1, -1, 0), 1 / std::sqrt(3.0), 3e-16);
  EXPECT_EQ(wcc_mp(1, 1, 1, 0, 0, 0), 0.0);  // odd j1+j2+j3
  EXPECT_EQ(wcc_mp(1, 1, 3, 0, 0, 0), 0.0);  // triangle rule
  EXPECT_EQ(wcc_mp(2, 1, 2, 1, 1, 1), 0.0);  // m3 != m1 + m2
  EXPECT_EQ(wcc_mp(2, 1, 2, 3, -1, 2), 0.0);  // |m1| > j1
  // <1 1 1 0 | 2 1> = 1/sqrt(2), <2 0 2 0 | 2 0> = -sqrt(2/7)
  EXPECT_NEAR(wcc_mp(1, 1, 2, 1, 0, 1), 1 / std::sqrt(2.0), 3e-16);
  EXPECT_NEAR(wcc_mp(2, 2, 2, 0, 0, 0), -std::sqrt(2.0 / 7), 3e-16);
  EXPECT_NEAR(wcc_mp(1, 1, 1, 1, 0, 1), 1 / std::sqrt(2.0), 3e-16);

  // Strided tables against the Racah value of every point, blocks of 1, 3
  // and the default, for j1 > j2, j1 = j2 and odd j1+j2+j3.
  mpf_t r, d;
  mpf_inits(r, d, nullptr);
  const int triples[][3] = {{7, 4, 5}, {6, 6, 8}, {9, 5, 7}, {5, 5, 0}, {12, 3, 10}};
  for (const auto& tr : triples) {
    const int t = tr[1];
    for (int s : {1, 3, 64}) {
      mpf_t* H = yib_mpf_get(2 * t + 1);
      mp_wcc_stride(tr[0], tr[1], tr[2], s, H);
      for (int m = -t; m <= t; m++) {
        mp_wcc(tr[0], tr[1], tr[2], m, -m, 0, r);
        mpf_sub(d, H[m + t], r);
        mpf_abs(d, d);
        EXPECT_LT(mpf_get_d(d), 1e-60) << tr[0] << " " << tr[1] << " " << tr[2] << " s " << s << " m " << m;
      }
      yib_mpf_free(H, 2 * t + 1);
    }
  }
  mpf_clears(r, d, nullptr);
}

TEST(MpRacah, RollingTopsMatchSeedTable) {
  const int L = 4;
  const int64_t n = yib_j1j2j3_dim(L, 1);
  mpf_t* H = yib_mpf_get(n);
  mpq_t* C02 = yib_mpq_get(n);
  yib_c02_mpq(L, 1, C02);
  testutil::LineCapture cap;
  mp_wcc_roll(L, H);
  ASSERT_EQ(int64_t(cap.lines.size()), n + 1);
  EXPECT_EQ(cap.lines.front(), "ROLL [  0,  0,  0;   0,  0,  0] =  1.000000e+00   1.000000e+00\n");
  EXPECT_EQ(cap.lines.back(), "Done 35 coupling coefficients to L = 4\n");
  mpf_t c, d;
  mpf_inits(c, d, nullptr);
  for (int64_t i = 0; i < n; i++) {
    mpf_set_q(c, C02[i]);
    mpf_sqrt(c, c);
    mpf_sub(d, c, H[i]);
    EXPECT_LT(std::fabs(mpf_get_d(d)), 1e-70) << i;
  }
  mpf_clears(c, d, nullptr);
  yib_mpf_free(H, n);
  yib_mpq_free(C02, n);
}
