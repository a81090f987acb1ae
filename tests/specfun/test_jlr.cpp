// Spherical Bessel functions, reverse Bessel polynomials and the finite-form
// coefficients, against closed forms and a power series in wide GMP floats
// written here.
#include <gtest/gtest.h>

#include <gmp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "runtime/kids.h"
#include "specfun/zam_jlr.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kL = 40;  // highest degree checked

// j_l(x) = x^l/(2l+1)!! sum over m of (-x^2/2)^m / (m! (2l+3)(2l+5)...(2l+2m+1)),
// into out at out's precision, the sum carried in floats wide enough that
// the cancellation of its terms (they grow to about e^x) leaves more than
// 320 bits.
void bessel_reference(int l, double x, mpf_ptr out) {
  const mp_bitcnt_t bits = 384 + static_cast<mp_bitcnt_t>(1.5 * std::fabs(x));
  mpf_t term, sum, x2, lim, mag;
  for (mpf_ptr v : {term, sum, x2, lim, mag}) mpf_init2(v, bits);
  mpf_set_d(term, x);
  mpf_pow_ui(term, term, l);
  for (int k = 1; k <= 2 * l + 1; k += 2) mpf_div_ui(term, term, k);
  mpf_set(sum, term);
  mpf_set_d(x2, x);
  mpf_mul(x2, x2, x2);
  for (int m = 0;; m++) {
    mpf_mul(term, term, x2);
    mpf_div_ui(term, term, 2 * (m + 1));
    mpf_div_ui(term, term, 2 * l + 2 * m + 3);
    mpf_neg(term, term);
    mpf_add(sum, sum, term);
    mpf_abs(lim, sum);
    mpf_div_2exp(lim, lim, 320);
    mpf_abs(mag, term);
    if (m > x && mpf_cmp(mag, lim) < 0) break;
  }
  mpf_set(out, sum);
  mpf_clears(term, sum, x2, lim, mag, nullptr);
}

double bessel_reference(int l, double x) {
  mpf_t v;
  mpf_init2(v, 64);
  bessel_reference(l, x, v);
  const double d = mpf_get_d(v);
  mpf_clear(v);
  return d;
}

// |a - b| / |b| of two floats, as a double.
double mp_rel(mpf_srcptr a, mpf_srcptr b) {
  mpf_t d;
  mpf_init2(d, 512);
  mpf_sub(d, a, b);
  mpf_div(d, d, b);
  const double e = std::fabs(mpf_get_d(d));
  mpf_clear(d);
  return e;
}

// j_0..j_3 in closed form.
long double bessel_closed(int l, long double x) {
  const long double s = std::sin(x), c = std::cos(x);
  switch (l) {
    case 0: return s / x;
    case 1: return s / (x * x) - c / x;
    case 2: return (3 / (x * x) - 1) * s / x - 3 * c / (x * x);
    default: return (15 / (x * x * x) - 6 / x) * s / x - (15 / (x * x) - 1) * c / x;
  }
}

// theta_n(x) for an integer x, exactly ((n+k)!/(k!(n-k)! 2^k) are integers),
// then cut to a double (mpz_get_d truncates: one unit in the last place).
double theta_exact(int n, unsigned long x) {
  mpz_t sum, t, d;
  mpz_inits(sum, t, d, nullptr);
  for (int k = 0; k <= n; k++) {
    mpz_fac_ui(t, n + k);
    mpz_fac_ui(d, k);
    mpz_divexact(t, t, d);
    mpz_fac_ui(d, n - k);
    mpz_divexact(t, t, d);
    mpz_tdiv_q_2exp(t, t, k);
    mpz_ui_pow_ui(d, x, n - k);
    mpz_addmul(sum, t, d);
  }
  const double v = mpz_get_d(sum);
  mpz_clears(sum, t, d, nullptr);
  return v;
}

double rel(double got, double want) { return std::fabs(got - want) / std::fabs(want); }

}  // namespace

TEST(SphericalBessel, EdgeCases) {
  double out[kL + 1];
  jlr_all(2, out, 0.0);
  EXPECT_EQ(out[0], 1.0);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 0.0);
  for (double x = 0.05; x <= 4.0; x += 0.05) EXPECT_NEAR(jlr_ser(0, x), std::sin(x) / x, 1e-12) << x;
  // Above 5 the downward recurrence gives j_3..j_0 from j_5 and j_4.
  double vec[6];
  jlr_all(5, out, 10.0);
  jlr_vec(5, vec, 10.0);
  for (int l = 0; l <= 5; l++) EXPECT_NEAR(out[l], vec[l], 1e-14) << l;
  EXPECT_NEAR(out[0], std::sin(10.0) / 10.0, 1e-17);
  // At 5 exactly every degree is its series, bit for bit; just above, only
  // the top two are, and the recurrence carries on without a seam.
  mpf_t* f = yib_mpf_get(kL + 1);
  mpf_t s;
  mpf_init(s);
  for (double x : {5.0, std::nextafter(5.0, 6.0)}) {
    mp_jlr_down(kL, f, x);
    for (int l = 0; l <= kL; l++) {
      mp_jlr_ser(l, s, x);
      if (x == 5.0 || l >= kL - 1) {
        EXPECT_EQ(mpf_cmp(f[l], s), 0) << l;
      }
      EXPECT_LT(rel(mpf_get_d(f[l]), bessel_reference(l, x)), 3e-16) << x << " " << l;
    }
  }
  mpf_clear(s);
  yib_mpf_free(f, kL + 1);
  // theta_2 = x^2 + 3x + 3 by every route; theta_n/(2^n n!) starts 1, (1+x)/2.
  for (double x : {-1.5, 0.0, 0.7, 4.0}) {
    double t[3];
    long double h[3], hb[2];
    rnr_all(2, t, x);
    hrnr_all(2, h, x);
    hrnr_all_bar(1, x, hb);
    EXPECT_DOUBLE_EQ(rnr(2, x), x * x + 3 * x + 3);
    EXPECT_DOUBLE_EQ(t[2], x * x + 3 * x + 3);
    EXPECT_DOUBLE_EQ(static_cast<double>(h[2]), x * x + 3 * x + 3);
    EXPECT_DOUBLE_EQ(static_cast<double>(hb[0]), 1.0);
    EXPECT_DOUBLE_EQ(static_cast<double>(hb[1]), (1 + x) / 2);
  }
  EXPECT_EQ(rnr(-1, 2.0), 0.0);
  long double* c = clj_jlr(0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c[0], 1.0L);
  kfree(c);
  EXPECT_EQ(clj_jlr(-1), nullptr);
}

// j_l for l = 0..40 over x from 0.001 to 100 against the series here, in
// the 256-bit floats of mp_jlr_down and in the doubles of jlr_all, and
// against the closed forms of l <= 3; the other routes in their ranges.
TEST(SphericalBessel, AgreesWithWideSeriesAndClosedForms) {
  std::vector<double> xs;
  for (int i = 0; i <= 160; i++) xs.push_back(0.001 * std::pow(1e5, i / 160.0));  // 0.001..100
  for (double x : {3.14159265358979, 4.4934094579, 5.0, 25.1327412287, 99.99, 100.0}) xs.push_back(x);
  double worst = 0, worst_x = 0, worst_d = 0;
  int worst_l = 0, differ = 0;
  std::vector<double> out(kL + 1);
  mpf_t* f = yib_mpf_get(kL + 1);
  mpf_t want, got;
  mpf_init2(want, 512);
  mpf_init2(got, 64);
  for (double x : xs) {
    mp_jlr_down(kL, f, x);
    jlr_all(kL, out.data(), x);
    for (int l = 0; l <= kL; l++) {
      bessel_reference(l, x, want);
      const double e = mp_rel(f[l], want);
      if (e > worst) worst = e, worst_x = x, worst_l = l;
      mpf_set_d(got, out[l]);
      worst_d = std::max(worst_d, mp_rel(got, want));
      differ += out[l] != mpf_get_d(want);  // both cut the same way
      if (l <= 3 && x >= 1) {  // the closed forms cancel below 1
        const double closed = static_cast<double>(bessel_closed(l, x));
        EXPECT_NEAR(out[l], closed, 1e-16 * (1 + 1 / x)) << l << " " << x;
      }
    }
  }
  mpf_clears(want, got, nullptr);
  yib_mpf_free(f, kL + 1);
  std::printf("j_l, l <= %d, x in [0.001, 100], %zu points: 256-bit values max relative error %.3g "
              "(l = %d, x = %.6g); doubles max relative error %.3g, %d differ from the reference's double\n",
              kL, xs.size() * (kL + 1), worst, worst_l, worst_x, worst_d, differ);
  EXPECT_LT(worst, 1e-60);  // 256 bits, less what a point next to a zero of j_l takes
  EXPECT_LT(worst_d, 2.3e-16);  // mpf_get_d truncates: below one unit in the last place
  EXPECT_EQ(differ, 0);

  // Beyond 100 the series widens its floats with x; the default precision
  // stays as the set-up left it.
  for (double x : {150.0, 300.0}) {
    jlr_all(kL, out.data(), x);
    for (int l = 0; l <= 3; l++) EXPECT_NEAR(out[l], static_cast<double>(bessel_closed(l, x)), 1e-17) << l;
    for (int l : {10, 40}) EXPECT_LT(rel(out[l], bessel_reference(l, x)), 3e-16) << l << " " << x;
  }
  EXPECT_EQ(mpf_get_default_prec(), 256u);

  for (double x : {0.001, 0.3, 1.0, 2.5, 4.0})
    for (int l = 0; l <= kL; l++) {
      const double want = bessel_reference(l, x);
      EXPECT_LT(rel(jlr_ser(l, x), want), 1e-11) << l << " " << x;
      EXPECT_LT(rel(jlr(l, x), want), 3e-16) << l << " " << x;
      EXPECT_EQ(jlr_ser_mp(l, x), jlr(l, x));
    }
  for (double x : {60.0, 100.0})
    for (int l : {0, 17, 40}) EXPECT_LT(rel(jlr(l, x), bessel_reference(l, x)), 3e-16) << l << " " << x;
  // Upward recurrences: in GMP floats good to l = 40 from x = 10 on, in
  // double while l stays below x.
  for (double x : {10.0, 47.3, 100.0}) {
    std::vector<double> up(kL + 1), vec(kL + 1);
    jlr_up_mp(kL, up.data(), x);
    jlr_vec(kL, vec.data(), x);
    for (int l = 0; l <= kL; l++) {
      const double want = bessel_reference(l, x);
      EXPECT_LT(rel(up[l], want), 3e-16) << l << " " << x;
      if (l < x) {
        EXPECT_NEAR(vec[l], want, 1e-14) << l << " " << x;
      }
    }
  }
  double zero[3];
  jlr_up_mp(2, zero, 0.0);
  EXPECT_EQ(zero[0], 1.0);
  EXPECT_EQ(zero[2], 0.0);
}

TEST(SphericalBessel, ReverseBesselPolynomials) {
  // theta_n at integer x against exact integers, by every route, to n = 40
  std::vector<double> t(kL + 1);
  std::vector<long double> h(kL + 1), hb(kL + 1);
  for (unsigned long x : {1ul, 2ul, 7ul}) {
    rnr_all(kL, t.data(), x);
    hrnr_all(kL, h.data(), x);
    hrnr_all_bar(kL, x, hb.data());
    long double scale = 1;  // 2^n n!
    for (int n = 0; n <= kL; n++) {
      if (n > 0) scale *= 2.0L * n;
      const double want = theta_exact(n, x);
      EXPECT_LT(rel(rnr(n, x), want), 1e-14) << n << " " << x;
      EXPECT_LT(rel(t[n], want), 1e-14) << n << " " << x;
      EXPECT_LT(rel(static_cast<double>(h[n]), want), 3e-16) << n << " " << x;
      EXPECT_LT(rel(static_cast<double>(hb[n] * scale), want), 3e-16) << n << " " << x;
    }
  }
  // k_n without e^(-x): sqrt(pi/(2x)) theta_n(x)/x^n; n = 0, 1, 2 in closed form
  for (double x : {0.3, 1.0, 6.5}) {
    const double f = std::sqrt(M_PI / (2 * x));
    EXPECT_NEAR(knr(0, x), f, 1e-15);
    EXPECT_NEAR(knr(1, x) / f, 1 + 1 / x, 1e-14);
    EXPECT_NEAR(knr(2, x) / f, 1 + 3 / x + 3 / (x * x), 1e-13);
    for (int n = 0; n <= 20; n++) EXPECT_LT(rel(knr(n, x), f * rnr(n, x) / std::pow(x, n)), 1e-13) << n;
  }
}

TEST(SphericalBessel, FiniteFormCoefficients) {
  const int L = kL;
  long double* c = clj_jlr(L);
  ASSERT_NE(c, nullptr);
  // The defining alternating sum, exactly in GMP rationals, for l <= 30.
  mpq_t sum, term;
  mpz_t a, b;
  mpq_inits(sum, term, nullptr);
  mpz_inits(a, b, nullptr);
  for (int l = 0; l <= 30; l++)
    for (int j = 0; j <= l; j++) {
      mpq_set_ui(sum, 0, 1);
      for (int i = (l + j + 1) / 2; i <= l; i++) {
        mpz_fac_ui(a, 2 * i);  // (2i)! / (2^l i! (l-i)! (2i-l-j)!)
        mpz_fac_ui(b, i);
        mpz_mul_2exp(b, b, l);
        mpz_set(mpq_numref(term), a);
        mpz_fac_ui(a, l - i);
        mpz_mul(b, b, a);
        mpz_fac_ui(a, 2 * i - l - j);
        mpz_mul(b, b, a);
        mpz_set(mpq_denref(term), b);
        mpq_canonicalize(term);
        if ((i + (l + j) / 2) % 2) mpq_neg(term, term);
        mpq_add(sum, sum, term);
      }
      EXPECT_LT(rel(static_cast<double>(c[l * (l + 1) / 2 + j]), mpq_get_d(sum)), 1e-15) << l << " " << j;
    }
  mpq_clears(sum, term, nullptr);
  mpz_clears(a, b, nullptr);
  // The table rebuilds j_l: sin or cos over powers of x, at large x where the
  // finite form does not cancel.
  for (double x : {50.0, 100.0})
    for (int l = 0; l <= L; l++) {
      long double v = 0;
      for (int j = 0; j <= l; j++)
        v += c[l * (l + 1) / 2 + j] * ((l - j) % 2 ? std::cos((long double)x) : std::sin((long double)x)) /
             std::pow((long double)x, j + 1);
      EXPECT_NEAR(static_cast<double>(v), bessel_reference(l, x), 1e-14) << l << " " << x;
    }
  kfree(c);
}
