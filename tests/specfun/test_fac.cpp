// Factorial and half-integer tables, symbolic products, gamma and beta.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "runtime/zam_log.h"
#include "specfun/zam_fac.h"

namespace {

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

const double kSqrtPi = std::sqrt(M_PI);

double rel(double a, double b) { return std::fabs(a - b) / std::fabs(b); }

}  // namespace

TEST(FacTables, FactorialsMatchDirectProducts) {
  EXPECT_EQ(fac(0), 1.0);
  EXPECT_EQ(fac(1), 1.0);
  EXPECT_EQ(fac(10), 3628800.0);
  EXPECT_NEAR(fac(170) / 7.257415615307999e306, 1.0, 1e-15);
  long double p = 1.0L;
  for (int n = 1; n <= 170; n++) {
    p *= n;
    EXPECT_LE(std::fabs(static_cast<double>((hfac(n) - p) / p)), 1e-17) << n;
    EXPECT_LE(rel(fac(n), std::tgamma(n + 1.0)), 1e-13) << n;
  }
}

TEST(FacTables, HalfIntegerTable) {
  EXPECT_EQ(rfac2(0), 1.0);
  EXPECT_EQ(rfac2(1), 0.5);
  EXPECT_EQ(rfac2(2), 0.75);
  EXPECT_NEAR(gam2(0), kSqrtPi, 1e-15);
  for (int n = 0; n <= 144; n++) EXPECT_LE(rel(gam2(n), std::tgamma(n + 0.5)), 1e-13) << n;
  EXPECT_NEAR(g2mg2(1, 2), std::tgamma(1.5) * std::tgamma(2.5), 1e-14);
  EXPECT_NEAR(g2dg2(3, 1), std::tgamma(3.5) / std::tgamma(1.5), 1e-14);
}

TEST(FacTables, OutOfRangeIsReportedAndNeutral) {
  Capture c;
  EXPECT_EQ(fac(171), 1.0);
  EXPECT_NE(captured.find("Factorial out of range in fac(): 171\n"), std::string::npos);
  EXPECT_EQ(fac(-1), 1.0);
  EXPECT_NE(captured.find("Factorial out of range in fac(): -1\n"), std::string::npos);
  EXPECT_EQ(hfac(200), 1.0L);
  EXPECT_NE(captured.find("Factorial out of range in hfac(): 200\n"), std::string::npos);
  EXPECT_EQ(rfac2(145), 1.0);
  EXPECT_NE(captured.find("Rising factorial out of range in rfac2(145).\n"), std::string::npos);
  EXPECT_NE(captured.find("*Error* "), std::string::npos);
}

TEST(FacTables, PrimesArePrinted) {
  Capture c;
  print_primes();
  EXPECT_EQ(captured.substr(0, 12), "2\n3\n5\n7\n11\n1");
  EXPECT_NE(captured.find("\n647\n"), std::string::npos);
  int lines = 0;
  for (char ch : captured) lines += ch == '\n';
  EXPECT_EQ(lines, 118);
}

TEST(SymbolicProduct, KnownValuesAndReuse) {
  sp_t_struct s;
  sp_init(&s);
  ASSERT_NE(s.exps, nullptr);
  sp_fac(&s, 1, 10);
  sp_fac(&s, -1, 5);
  sp_pow(&s, -1, 2, 3);
  EXPECT_EQ(sp_ans(&s), 3780.0L);
  EXPECT_EQ(sp_ans(&s), 1.0L);  // emptied
  sp_fall(&s, 1, 10, 3);
  EXPECT_EQ(sp_ans(&s), 720.0L);
  sp_rise(&s, 1, 5, 3);
  EXPECT_EQ(sp_ans(&s), 210.0L);
  sp_rise2(&s, 1, 3);  // (1/2)(3/2)(5/2)
  EXPECT_EQ(sp_ans(&s), 15.0L / 8.0L);
  sp_fall2(&s, 1, 3, 2);  // (7/2)(5/2)
  EXPECT_EQ(sp_ans(&s), 35.0L / 4.0L);
  sp_fall2(&s, 1, 1, 4);  // 3 * 1 / 2^4: the odd factors -1 and -3 are left out
  EXPECT_EQ(sp_ans(&s), 3.0L / 16.0L);
  sp_rise2(&s, 1, 0);
  EXPECT_EQ(s.max, 2);
  for (int k = 2; k <= 650; k++) EXPECT_EQ(s.exps[k], 0) << k;  // 0 and 1 never read
  EXPECT_EQ(sp_ans(&s), 1.0L);
  sp_free(&s);
  EXPECT_EQ(s.exps, nullptr);
  sp_free(&s);  // twice is harmless
}

TEST(SymbolicProduct, OutOfRangeLeavesRecordAlone) {
  Capture c;
  sp_t_struct s;
  sp_init(&s);
  sp_fac(&s, 1, 651);
  EXPECT_NE(captured.find("Factorial out of range in sp_fac(): 651\n"), std::string::npos);
  sp_fall(&s, 1, 3, 5);
  EXPECT_NE(captured.find("Factorial out of range in sp_fall(): 3,5\n"), std::string::npos);
  sp_rise(&s, 1, 640, 12);
  EXPECT_NE(captured.find("Factorial out of range in sp_rise(): 640,12\n"), std::string::npos);
  sp_rise2(&s, 1, 326);
  EXPECT_NE(captured.find("Factorial out of range in sp_rise2(): 326\n"), std::string::npos);
  sp_fall2(&s, 1, 325, 1);
  EXPECT_NE(captured.find("Factorial out of range in sp_fall2(): 325\n"), std::string::npos);
  sp_pow(&s, 1, 651, 1);
  EXPECT_NE(captured.find("Power out of range in sp_pow(): 651\n"), std::string::npos);
  EXPECT_EQ(s.max, 0);
  for (int k = 0; k <= 650; k++) EXPECT_EQ(s.exps[k], 0);
  captured.clear();
  sp_pow(&s, -1, 0, 3);  // index 0 is accepted, never evaluated
  EXPECT_TRUE(captured.empty());
  EXPECT_EQ(sp_ans(&s), 1.0L);
  sp_free(&s);
}

TEST(SymbolicProduct, LargeQuotientsMatchDirectEvaluation) {
  // Products whose factorials overflow a long double on their own, checked
  // against sums of logarithms.
  sp_t_struct s;
  sp_init(&s);
  struct Case {
    int a, b, c, p2;
  } cases[] = {{600, 590, 10, 0}, {650, 325, 325, 640}, {400, 200, 199, 100}, {170, 85, 80, -60}};
  for (const Case& k : cases) {
    sp_fac(&s, 1, k.a);
    sp_fac(&s, -1, k.b);
    sp_fac(&s, -1, k.c);
    sp_pow(&s, -1, 2, k.p2);
    const long double got = sp_ans(&s);
    const long double want = std::exp(std::lgamma(k.a + 1.0L) - std::lgamma(k.b + 1.0L) -
                                      std::lgamma(k.c + 1.0L) - k.p2 * std::log(2.0L));
    EXPECT_NEAR(static_cast<double>(got / want), 1.0, 1e-12) << k.a << " " << k.b;
  }
  // Half-integer forms against the double tables.
  for (int n = 0; n <= 144; n += 7) {
    sp_rise2(&s, 1, n);
    EXPECT_NEAR(static_cast<double>(sp_ans(&s)) / rfac2(n), 1.0, 1e-14) << n;
  }
  for (int n = 1; n < 40; n += 3) {
    sp_fall(&s, 1, 2 * n, n);
    sp_rise(&s, -1, n + 1, n);
    EXPECT_NEAR(static_cast<double>(sp_ans(&s)), 1.0, 1e-15) << n;  // both (n+1)...(2n)
  }
  sp_free(&s);
}

TEST(Gamma, ExactArgumentsMatchLibrary) {
  EXPECT_NEAR(gam(0.5), kSqrtPi, 1e-15);
  EXPECT_EQ(gam(5), 24.0);
  EXPECT_NEAR(gam(-0.5), -2.0 * kSqrtPi, 1e-14);
  EXPECT_EQ(gam(0), 0.0);
  EXPECT_EQ(gam(-3), 0.0);  // a pole
  for (int i = 1; i <= 340; i++) {
    const double x = 0.5 * i;
    EXPECT_LE(rel(gam(x), std::tgamma(x)), 1e-13) << x;
  }
  for (double x = -4.5; x < 0; x += 1.0) EXPECT_LE(rel(gam(x), std::tgamma(x)), 1e-13) << x;
  for (double a = 0.5; a < 20; a += 0.5)
    for (double b = 0.5; b < 20; b += 1.5) EXPECT_LE(rel(bet(a, b), std::beta(a, b)), 1e-13);
}

TEST(Gamma, GeneralArgumentsWithinLanczosAccuracy) {
  // The six-term Lanczos form is good to about 2e-10 relative.
  for (double x = 0.013; x < 160; x *= 1.37) EXPECT_LE(rel(gam(x), std::tgamma(x)), 3e-10) << x;
  {
    // Half-integers past the (1/2)_n table continue its recurrence, silently;
    // above 170 the Lanczos form takes over.
    Capture quiet;
    for (double x : {145.5, 150.5, 169.5}) EXPECT_LE(rel(gam(x), std::tgamma(x)), 1e-12) << x;
    EXPECT_LE(rel(gam(170.5), std::tgamma(170.5)), 3e-10);
    EXPECT_EQ(captured, "");
  }
  for (double a = 0.3; a < 12; a *= 1.9)
    for (double b = 0.7; b < 12; b *= 2.3) EXPECT_LE(rel(bet(a, b), std::beta(a, b)), 1e-9);
}

TEST(Gamma, IncompleteFunctions) {
  for (double x : {0.0, 0.2, 1.0, 3.0, 10.0}) {
    EXPECT_NEAR(igam(1.0, x), 1.0 - std::exp(-x), 1e-12);
    EXPECT_NEAR(jgam(1.0, x), std::exp(-x), 1e-12);
    for (double a : {0.5, 2.0, 4.5, 9.0})
      EXPECT_NEAR((igam(a, x) + jgam(a, x)) / gam(a), 1.0, 1e-9) << a << " " << x;
  }
  EXPECT_EQ(igam(0.0, 1.0), 0.0);
  EXPECT_EQ(jgam(-1.0, 1.0), 0.0);
  EXPECT_NEAR(igam(2.0, -1.0), 0.0, 1e-15);  // x below 0 taken as 0
  auto b23 = [](double x) { return x * x / 2 - 2 * x * x * x / 3 + x * x * x * x / 4; };
  for (double x : {0.1, 0.4, 0.7, 0.95}) {
    EXPECT_NEAR(ibet(2, 3, x), b23(x), 1e-11) << x;
    EXPECT_NEAR(jbet(2, 3, x), 1.0 / 12 - b23(x), 1e-11) << x;
    EXPECT_NEAR(ibet(1, 1, x), x, 1e-12);
  }
  EXPECT_EQ(ibet(2, 3, -0.1), 0.0);
  EXPECT_EQ(ibet(2, 3, 1.1), 0.0);
}

TEST(Gamma, SmallProductsAndBetaIntegrals) {
  EXPECT_EQ(ffac(3, 5.0), 60.0);
  EXPECT_EQ(rfac(3, 5.0), 210.0);
  EXPECT_EQ(ffac(0, 5.0), 1.0);
  EXPECT_EQ(hffac(3, 5.0L), 60.0L);
  EXPECT_EQ(hrfac(-2, 5.0L), 1.0L);
  EXPECT_EQ(gbcf(2, 5.0), 10.0);
  EXPECT_NEAR(gbcf(2, 0.5), -0.125, 1e-16);
  EXPECT_NEAR(ck_beta(3, 2.0), 6.0 / 16.0, 1e-15);
  for (double x : {0.5, 1.0, 3.0}) {
    EXPECT_NEAR(bk_beta(0, x), std::exp(-x) / x, 1e-14);
    EXPECT_NEAR(ak_beta(0, x), (1 - std::exp(-x)) / x, 1e-14);
    // integral of t e^(-xt) over [0, 1]
    EXPECT_NEAR(ak_beta(1, x), (1 - std::exp(-x) * (1 + x)) / (x * x), 1e-13);
  }
  Capture c;
  EXPECT_EQ(bk_beta(-1, 1.0), 0.0);
  EXPECT_NE(captured.find("Factorial out of range in fac(): -1\n"), std::string::npos);
}

// J_n(x) by its series: the values at 0 and those of the standard library,
// with the sign of odd orders at negative x.
TEST(Bessel, SeriesMatchesTheLibrary) {
  EXPECT_EQ(jlx(0, 0), 1.0);
  EXPECT_EQ(jlx(1, 0), 0.0);
  for (int n = 0; n < 6; n++)
    for (double x : {0.3, 1.0, 4.5, 10.0}) {
      EXPECT_NEAR(jlx(n, x), std::cyl_bessel_j(n, x), 1e-12) << n << " " << x;
      EXPECT_NEAR(jlx(n, -x), (n % 2 ? -1 : 1) * std::cyl_bessel_j(n, x), 1e-12);
    }
}
