// The coupling-coefficient checks that print: the comparison drivers (their
// counts, summaries, the 64-bit refusals and the precision they restore),
// the C02 checks, the rolling recurrences against exact Racah values, and
// the self-test entries.
#include <gtest/gtest.h>

#include <gmpxx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/log_capture.h"
#include "common/racah_exact.h"
#include "runtime/zam_log.h"
#include "specfun/zam_yib_check.h"
#include "specfun/zam_yib_num.h"

namespace {

const testutil::Racah& racah() {
  static const testutil::Racah r;
  return r;
}

// The largest difference from the exact ladders over the whole m3 range of
// one triple, its rows made by a method (tops first or from the m3 = 0 row).
double worstError(_yib_work* w, int method, int tops, int j1, int j2, int j3) {
  const int J = w->J, W = 2 * J + 1;
  const int64_t at = j1 * (j1 + 1) * (2 * j1 + 1) / 6 + j2 * j2 + j3 - j1 + j2;  // in triple order
  int lo = 0, hi = 0;
  yib_work_ranges(w, j1, j2, j3, 10000, &lo, &hi);
  yib_work_triple(w, method, tops, j1, j2, j3, at, lo, hi);
  yib_work_reference(w, method, j1, j2, j3, at, lo, hi);
  long double e = 0;
  for (int m3 = lo; m3 <= hi; m3++) {
    const int64_t row = W * (2 * J + m3) + J;
    for (int m2 = w->R[2 * J + m3].m2_first; m2 <= w->R[2 * J + m3].m2_last; m2++)
      e = std::max(e, std::fabs(w->V[row + m2] - w->REF[row + m2]));
  }
  return double(e);
}

// A driver's messages: coefficient and norm lines counted, the rest kept.
struct DriverLog {
  static inline long coefficients = 0, norms = 0;
  static inline std::string rest;
  zam_logger_fn old;
  DriverLog() : old(zam_logger_callback(take)) {
    coefficients = norms = 0;
    rest.clear();
  }
  ~DriverLog() { zam_logger_callback(old); }
  DriverLog(const DriverLog&) = delete;
  DriverLog& operator=(const DriverLog&) = delete;
  static void take(const char* t) {
    if (!strncmp(t, "C[", 2))
      coefficients++;
    else if (strstr(t, " NORM = "))
      norms++;
    else
      rest += t;
  }
  bool has(const std::string& s) const { return rest.find(s) != std::string::npos; }
  // The number after `key` on the line starting with `line`.
  double value(const std::string& line, const std::string& key) const {
    const size_t at = rest.find(line);
    if (at == std::string::npos) return NAN;
    const size_t k = rest.find(key, at);
    return k == std::string::npos ? NAN : std::strtod(rest.c_str() + k + key.size(), nullptr);
  }
};

// Rows (one per m3) of the triples with j1 in a..b, with the parity flag.
long rows_of(int a, int b, int parity, bool all_m3) {
  long n = 0;
  for (int j1 = a; j1 <= b; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++)
        if (!parity || (j1 + j2 + j3) % 2 == 0) n += all_m3 ? 2 * j3 + 1 : 1;
  return n;
}

}  // namespace

TEST(YibDrivers, NothingBelowTwentyOne) {
  DriverLog log;
  EXPECT_EQ(yib_m1m2m3(20, 10000, 0, 0), 0);
  EXPECT_TRUE(log.has("Doing it with double (word=16)\nUsing MPZ + MPQ as reference method...\n\n")) << log.rest;
  EXPECT_TRUE(log.has("Done 0 (m1,m2) ladder recursions to m3=10000 to J = 20 in "));
  EXPECT_TRUE(log.has("Largest diff at C[  0,  0,  0;   0,  0,  0] =  0.000000000000000000e+00, REF =  "
                      "0.000000000000000000e+00, REL =  0.000000000000000000e+00\n"))
      << log.rest;
  EXPECT_TRUE(log.has("Largest norm error:     [  0,  0,  0;   0] = 0.0e+00 (log10 =     -inf) \n")) << log.rest;
  EXPECT_EQ(log.coefficients, 0);
  EXPECT_EQ(log.norms, 0);
}

// Every coefficient of j1 = 21 over all its m3, in long double: one line
// each, one norm line per row, and the summary of the largest errors.
TEST(YibDrivers, OneLinePerCoefficientAndRow) {
  DriverLog log;
  const int64_t n = yib_m1m2m3(21, 10000, 0, 0);
  EXPECT_EQ(n, yib_m1m2m3_count(21, 0) - yib_m1m2m3_count(20, 0));
  EXPECT_EQ(log.coefficients, n);
  EXPECT_EQ(log.norms, rows_of(21, 21, 0, true));
  EXPECT_LT(log.value("Largest diff at C[", "REL = "), 1e-8);
  EXPECT_LT(log.value("Largest norm error:", "] = "), 1e-16);
  EXPECT_LT(log.value("Largest REF norm error:", "] = "), 1e-15);
}

// Method 5 (exact) against the 320-bit reference, at m3 = 0 only and with
// the parity flag; GMP's default precision is as before afterwards.
TEST(YibDrivers, ExactMethodAgainstWideFloatsRestoresPrecision) {
  const int before = mpf_set_bits(192);
  {
    DriverLog log;
    const int64_t n = yib_m1m2m3(22, 0, 1, 5);
    EXPECT_TRUE(log.has("Doing it with MPZ + MPQ exact recursion + normalisation\n"));
    EXPECT_TRUE(log.has("Using MPF (320 bits) as reference method...\n"));
    EXPECT_EQ(n, yib_m3_count(22, 0, 1) - yib_m3_count(20, 0, 1));
    EXPECT_EQ(log.norms, rows_of(21, 22, 1, false));
    EXPECT_LT(log.value("Largest diff at C[", "REL = "), 1e-15);
  }
  EXPECT_EQ(mpf_set_bits(before), 192);
  {
    DriverLog log;
    yib_m1m2m3(16, 10000, 0, 6);  // from J = 16 the 64-bit method runs as method 4
    EXPECT_TRUE(log.has("Doing it with MPZ for exact recursion\n"));
    EXPECT_FALSE(log.has("LONG"));
  }
}

// The tops-first driver with 64-bit integers: the triples whose values pass
// 64 bits (a start value with its message) are skipped and counted, the
// others agree with the exact reference.
TEST(YibDrivers, SixtyFourBitTriplesThatDoNotFitAreSkipped) {
  // Which triples of j1 = 9..19 hold an exact value beyond 63 bits, over
  // m3 = 0..2.
  const int J = 19;
  _yib_work w;
  yib_work_init(&w, J, 0);
  int beyond = 0;
  int64_t at = 0;
  for (int j1 = 0; j1 <= J; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++, at++) {
        if (j1 < J - 10) continue;
        int lo = 0, hi = 0;
        yib_work_ranges(&w, j1, j2, j3, 2, &lo, &hi);
        yib_work_triple(&w, 5, 1, j1, j2, j3, at, lo, hi);
        bool over = false;
        for (int m3 = lo; m3 <= hi; m3++)
          for (int m2 = w.R[2 * J + m3].m2_first; m2 <= w.R[2 * J + m3].m2_last; m2++)
            over |= mpz_sizeinbase(w.GZ[(2 * J + 1) * (2 * J + m3) + J + m2], 2) > 63;
        beyond += over;
      }
  yib_work_free(&w);
  ASSERT_GT(beyond, 0);
  DriverLog log;
  yib_m3m1m2(J, 2, 0, 6);
  EXPECT_TRUE(log.has("yib_m3m1m2() here with j_max=19, m3=2, stride2=0, l_method=6\n"
                      "Doing it with LONG exact recursion + normalisation\n"))
      << log.rest.substr(0, 300);
  EXPECT_TRUE(log.has("Skipped " + std::to_string(beyond) + " triples whose values do not fit 64 bits")) << log.rest;
  EXPECT_LT(log.value("Largest diff at: C[", "REL = "), 1e-15);
  EXPECT_LT(log.value("Largest norm error:", "] = "), 1e-15);

  // From j1 = 34 on G0 itself passes 63 bits: named, skipped and counted.
  int g0_over = 0;
  for (int j1 = 24; j1 <= 34; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        mpz_class b;
        mpz_bin_uiui(b.get_mpz_t(), j3 + j1 - j2, j1 - j2);
        g0_over += (j1 + j2 + j3) % 2 == 0 && mpz_sizeinbase(b.get_mpz_t(), 2) > 63;
      }
  ASSERT_GT(g0_over, 0);
  DriverLog big;
  yib_m3m1m2(34, 0, 1, 6);
  EXPECT_TRUE(big.has("long int overflow for G0 when j_max = 34\n"));
  EXPECT_GE(std::atoi(big.rest.c_str() + big.rest.find("Skipped ") + 8), g0_over);
  EXPECT_LT(big.value("Largest diff at: C[", "REL = "), 1e-15);
}

// The long-double ladders over m3 (methods 0 and 1, from the m3 = 0 row)
// over the whole m3 range of the worst triples of j1 = 24 hold to 1e-10
// against the exact ladders, silently; beyond, each member warns once, and
// <40 -20; 40 -20 | 40 -40> by method 0 is off by 1.8e-5.
TEST(YibDrivers, LongDoubleLaddersOverM3HoldToTwentyFour) {
  zam_wrn_once_reset();
  testutil::Capture said;
  const int J = 40, W = 2 * J + 1;
  _yib_work w;
  yib_work_init(&w, J, 0);
  auto worst = [&](int method, int j1, int j2, int j3) { return worstError(&w, method, 0, j1, j2, j3); };
  EXPECT_LT(std::max(worst(0, 24, 20, 17), worst(1, 24, 22, 21)), 1e-10);
  EXPECT_FALSE(said.has("*Warning*")) << said.text;
  worst(1, 40, 40, 40);
  worst(0, 40, 40, 40);
  EXPECT_NEAR(double(w.V[W * (2 * J - 40) + J - 20] - racah().value(40, 40, 40, -20, -20)), -1.77e-5, 1e-7);
  worst(0, 40, 39, 40);
  yib_work_free(&w);
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* yib_ladder_m3_dbl: j1 = 40 "), 1) << said.text;
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* yib_laddersq_m3_dbl: j1 = 40 "), 1) << said.text;
}

// The tops-first long-double road (methods 0 and 1 with the tops first, a
// ladder over (m1, m2) per row) at the edges of its stated range: every
// triple of j1 = 19 (method 0) and 18 (method 1) over all m3, and the worst
// triples with j3 <= j1 at 44 and 36, hold to 1e-10 silently; one step past
// the first edge the near-stretched triples do not, and each member warns
// once however many rows lie beyond.
TEST(YibDrivers, TopsFirstLongDoubleRowsHoldToTheirStatedEdges) {
  zam_wrn_once_reset();
  testutil::Capture said;
  _yib_work w;
  yib_work_init(&w, 44, 0);
  auto worst = [&](int method, int j1, int j2, int j3) { return worstError(&w, method, 1, j1, j2, j3); };
  for (const auto& [method, edge] : {std::pair{0, 19}, std::pair{1, 18}}) {
    double e = 0;
    for (int j2 = 0; j2 <= edge; j2++)
      for (int j3 = edge - j2; j3 <= edge + j2; j3++) e = std::max(e, worst(method, edge, j2, j3));
    EXPECT_LT(e, 1e-10) << method;
  }
  EXPECT_LT(std::max(worst(0, 44, 19, 28), worst(0, 44, 22, 25)), 1e-10);
  EXPECT_LT(std::max(worst(1, 36, 18, 18), worst(1, 36, 19, 17)), 1e-10);
  EXPECT_FALSE(said.has("*Warning*")) << said.text;
  EXPECT_GT(worst(0, 20, 19, 39), 1e-10);
  EXPECT_GT(worst(1, 19, 18, 37), 1e-10);
  EXPECT_GT(worst(0, 44, 43, 87), 1.0);
  yib_work_free(&w);
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* yib_ladder_m1m2_dbl: the row m3 = "), 1) << said.text;
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* yib_laddersq_m1m2_dbl: the row m3 = "), 1) << said.text;
  EXPECT_TRUE(said.has(" of (20, 19, 39) is beyond")) << said.text;
}

TEST(YibDrivers, C02Checks) {
  std::vector<long double> c(yib_j1j2j3_dim(20, 0));
  yib_c02_dbl(2, 0, c.data());
  {
    testutil::LineCapture log;
    diff_c02_dbl(2, 0, c.data());
    ASSERT_EQ(log.lines.size(), 15u);
    EXPECT_EQ(log.lines[0],
              "C2[  0,  0,  0;   0,  0,  0] =  1.000000000000000000e+00, REF =  1.000000000000000000e+00, REL =  "
              "0.000000000000000000e+00\n");
    EXPECT_EQ(log.lines[14].rfind("Largest error at C[", 0), 0u);
  }
  yib_c02_dbl(20, 1, c.data());
  mpf_t* f = yib_mpf_get(yib_j1j2j3_dim(20, 1));
  yib_c02_mpf(20, 1, f);
  for (int kind = 0; kind < 2; kind++) {
    testutil::LineCapture log;
    if (kind == 0)
      diff_c02_dbl(20, 1, c.data());
    else
      diff_c02_mpf(20, 1, f);
    ASSERT_EQ(log.lines.size(), size_t(yib_j1j2j3_dim(20, 1) + 1));
    const std::string& last = log.lines.back();
    EXPECT_LT(std::strtod(last.c_str() + last.find("REL = ") + 6, nullptr), 3e-16) << last;
  }
  yib_mpf_free(f, yib_j1j2j3_dim(20, 1));
  // The long-double tops of every m3 != 0 beside the Racah squares.
  yib_c02_dbl(12, 0, c.data());
  testutil::LineCapture log;
  const int64_t n = yib_c02_m3_dbl(12, 0, c.data());
  EXPECT_EQ(n, rows_of(0, 12, 0, true) - rows_of(0, 12, 0, false));
  EXPECT_EQ(long(log.lines.size()), n + 2);
  const std::string& last = log.lines.back();
  EXPECT_EQ(last.rfind("Largest error at C2[", 0), 0u);
  EXPECT_LT(std::strtod(last.c_str() + last.find("REL = ") + 6, nullptr), 3e-16) << last;
}

TEST(YibRolling, StartingCoefficients) {
  std::vector<long double> out(2000, -1);
  {
    testutil::LineCapture log;
    zam_roll_nostride(0, out.data());
    EXPECT_EQ(out[0], 1.0L);
    EXPECT_EQ(out[1], -1.0L);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "ROLL [  0,  0,  0;   0,  0,  0] =  1.000000e+00   1.000000e+00\n");
    EXPECT_EQ(log.lines[1], "Done 1 (DIM=1) coupling coefficients to L = 0\n");
  }
  {
    testutil::LineCapture log;
    zam_roll_nostride(-1, out.data());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Done 0 (DIM=0) coupling coefficients to L = -1\n");
  }
  testutil::LineCapture quiet;
  zam_roll_nostride(1, out.data());
  const long double s2 = 1 / std::sqrt(2.0L), s3 = 1 / std::sqrt(3.0L), s6 = 1 / std::sqrt(6.0L);
  const long double by_one[] = {1, 1, s3, s2, s6}, by_two[] = {1, 1, s3, s6};
  for (int i = 0; i < 5; i++) EXPECT_NEAR(double(out[i]), double(by_one[i]), 1e-18) << i;
  zam_roll(1, out.data());
  for (int i = 0; i < 4; i++) EXPECT_NEAR(double(out[i]), double(by_two[i]), 1e-18) << i;
  // To L = 16 against the exact coefficients, every j3 and every other one.
  const int L = 16;
  for (int step = 1; step <= 2; step++) {
    if (step == 1)
      zam_roll_nostride(L, out.data());
    else
      zam_roll(L, out.data());
    long n = 0;
    long double worst = 0;
    for (int l = 0; l <= L; l++)
      for (int k = 0; k <= l; k++)
        for (int j3 = l - k; j3 <= l + k; j3 += step)
          worst = std::max(worst, std::fabs(out[n++] / racah().value(l, k, j3, k, -k) - 1));
    EXPECT_EQ(n, step == 1 ? (L + 1) * (L + 2) * (2 * L + 3) / 6 : (L + 1) * (L + 2) * (L + 3) / 6);
    EXPECT_LT(double(worst), 1e-17) << step;
  }
}

// <j1 (m+k); k (-k) | j3 m> = Cbar sqrt(U) against the exact coefficients,
// for m of both signs (a row starting below |m| for m < 0 included), with
// and without the stride rule.
TEST(YibRolling, CbarAndUPairs) {
  const int J = 12;
  std::vector<double> C(4000), U(4000);
  for (int m : {0, 2, -2, -5, 5}) {
    for (int stride2 = 0; stride2 <= 1; stride2++) {
      testutil::LineCapture log;
      zam_roll_cbar(J, m, stride2, C.data(), U.data());
      long n = 0, lines = 0;
      double worst = 0;
      for (int j1 = 0; j1 <= J; j1++)
        for (int k = 0; k <= j1; k++)
          for (int j3 = j1 - k; j3 <= j1 + k; j3++, lines++) {
            if (stride2 && (j1 - k + j3) % 2) continue;
            const double v = C[n] * std::sqrt(U[n]);
            const double want = double(racah().value(j1, k, j3, m + k, -k));
            worst = std::max(worst, std::fabs(v - want) / std::max(1e-300, std::fabs(want)));
            if (want == 0) {
              EXPECT_EQ(v, 0.0) << m << " " << j1 << " " << k << " " << j3;
            }
            n++;
          }
      EXPECT_LT(worst, 1e-14) << "m " << m;
      ASSERT_EQ(long(log.lines.size()), lines + 2);
      EXPECT_EQ(log.lines[lines], "Done wcc_roll_C (J=12, N=" + std::to_string(n) + ")\n");
      // Cbar of every nonzero coefficient beside its factorial form,
      // (j1-k+j3)! / ((j1-k-m)! (j3+m)!).
      for (int i = 0; i < lines; i++) {
        const std::string& l = log.lines[i];
        double c = 0, f = 0, ref = 0;
        ASSERT_EQ(std::sscanf(l.c_str() + l.find("] = ") + 4, "%lf (%lf)", &c, &f), 2);
        ASSERT_EQ(std::sscanf(l.c_str() + l.rfind('(') + 1, "%lf", &ref), 1);
        if (ref != 0) {
          EXPECT_NEAR(c, f, 1e-6 * std::max(1.0, f)) << l;
        }
      }
    }
  }
  // With m = 0 the pairs give the coefficients of zam_roll_nostride.
  std::vector<long double> out(2000);
  testutil::LineCapture quiet;
  zam_roll_nostride(J, out.data());
  zam_roll_cbar(J, 0, 0, C.data(), U.data());
  for (int i = 0; i < (J + 1) * (J + 2) * (2 * J + 3) / 6; i++)
    EXPECT_NEAR(C[i] * std::sqrt(U[i]), double(out[i]), 1e-15) << i;
}

TEST(YibSelfTests, Lines) {
  auto lines_of = [](void (*f)(int), int n) {
    testutil::LineCapture log;
    f(n);
    return log.lines;
  };
  EXPECT_EQ(lines_of(cg_test_j2_recursion, 1),
            std::vector<std::string>{"[1,1,0; 1,-1,0] LHS = 0.333333, RHS = 0.333333\n"});
  EXPECT_EQ(lines_of(cg_test_j3_recursion, 1),
            (std::vector<std::string>{"[1,1,1; 1,-1,0] LHS = 0.5, RHS = 0.5\n",
                                      "[1,1,2; 1,-1,0] LHS = 0.166667, RHS = 0.166667\n"}));
  for (auto f : {cg_test_j2_recursion, cg_test_j3_recursion, cg_test_n3_recursion, cg_test_b3_recursion})
    EXPECT_TRUE(lines_of(f, -1).empty());
  // The lowering relation at m1 = j1 holds on every line.
  int checks = 0;
  for (const std::string& l : lines_of(cg_test_n3_recursion, 5)) {
    if (l == "\n") continue;
    EXPECT_NEAR(std::strtod(l.c_str() + l.find("RHS/LHS = ") + 10, nullptr), 1.0, 1e-5) << l;
    checks++;
  }
  EXPECT_GT(checks, 100);

  // The central binomial coefficient of 168 and 84 from the long-double
  // factorials; beyond 169 none.
  std::vector<std::string> b3 = lines_of(cg_test_b3_recursion, 84);
  ASSERT_EQ(b3.size(), 5u);
  EXPECT_EQ(b3[0], "Size of long          = 8\n");
  EXPECT_EQ(b3[3], "Size of long long int = 8\n");
  mpz_class c;
  mpz_bin_uiui(c.get_mpz_t(), 168, 84);
  EXPECT_NEAR(std::strtod(b3[4].c_str() + 6, nullptr) / c.get_d(), 1.0, 1e-15) << b3[4];
  EXPECT_EQ(lines_of(cg_test_b3_recursion, 85)[4], "big =  0.000000000000000000e+00\n");

  testutil::Capture log;
  cg_test_mpq();
  cg_test_int();
  EXPECT_EQ(log.text, "7/9 * 9/10 =  7.000000000000000000e-01\nSizeof(long long) = 8\n");
}

TEST(YibSelfTests, RangesOfTheLaddersOverM3) {
  testutil::Capture log;
  cg_test_ranges();
  const std::string& t = log.text;
  EXPECT_NE(t.find("R[  1,  1,  1] m3_min = -1, m3_max = 1\n"
                   "N[  1,  1,  1] (m3=  1) m1_top =   1, m2_top =   0, m1_bot =   0, m2_bot =   1\n"),
            std::string::npos);
  EXPECT_NE(t.find("Upward  [  1,  0,  1] from [  0,  0,  0] and [  1, -1,  0]\n"
                   "Upward  [  0,  1,  1] from [ -1,  1,  0] and [  0,  0,  0]\n"),
            std::string::npos);
  EXPECT_NE(t.find("Downward  [  0, -1, -1] from [  1, -1,  0] and [  0,  0,  0]\n"), std::string::npos);
  // (1, 0, 1): each point has one source.
  EXPECT_NE(t.find("Upward  [  1,  0,  1] from [  0,  0,  0]\n"), std::string::npos);
  EXPECT_EQ(t.find("from nothing!"), std::string::npos);
}
