// Long-double coupling coefficients and 3j symbols: hand values, the Racah
// sum against an exact evaluation, the two 3j arrangements against the
// symbol, and the m3 = 0 rows by their recursions up to the top of the
// square-root table (j = 84).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "common/log_capture.h"
#include "common/racah_exact.h"
#include "runtime/zam_log.h"
#include "specfun/zam_wcc.h"

namespace {

const testutil::Racah& racah() {
  static const testutil::Racah r;
  return r;
}

}  // namespace

TEST(Wcc, HandValuesAndSelectionRules) {
  const long double s3 = 1 / std::sqrt(3.0L);
  EXPECT_NEAR(double(wcc(1, 1, 0, 1, -1, 0)), double(s3), 1e-18);
  EXPECT_NEAR(double(w3j(1, 1, 0, 1, -1, 0)), double(s3), 1e-18);
  EXPECT_EQ(wcc(1, 1, 1, 0, 0, 0), 0.0L);      // j1+j2+j3 odd
  EXPECT_EQ(wcc(1, 1, 3, 1, 1, 2), 0.0L);      // triangle rule
  EXPECT_EQ(wcc(2, 1, 2, 1, 1, 1), 0.0L);      // m3 != m1+m2
  EXPECT_EQ(wcc(2, 1, 2, 3, -1, 2), 0.0L);     // |m1| > j1
  // Tabulated 3j symbols: (1 1 1; 1 -1 0) = 1/sqrt(6), (2 2 2; 0 0 0) =
  // -sqrt(2/35), (2 1 1; 0 1 -1) = 1/sqrt(30).
  EXPECT_NEAR(double(w3j(1, 1, 1, 1, -1, 0)), 1 / std::sqrt(6.0), 1e-16);
  EXPECT_NEAR(double(w3j(2, 2, 2, 0, 0, 0)), -std::sqrt(2 / 35.0), 1e-16);
  EXPECT_NEAR(double(w3j(2, 1, 1, 0, 1, -1)), 1 / std::sqrt(30.0), 1e-16);
  EXPECT_NEAR(double(t3j(2, 2, 2, 0, 0, 0)), -std::sqrt(2 / 35.0), 1e-16);
  EXPECT_NEAR(double(m3j(2, 1, 1, 0, 1, -1)), 1 / std::sqrt(30.0), 1e-16);
  EXPECT_EQ(t3j(1, 1, 1, 1, 1, -1), 0.0L);     // m1+m2+m3 != 0
  EXPECT_EQ(m3j(1, 1, 3, 0, 0, 0), 0.0L);
  double row[3];
  wcc_all(2, 1, 2, row);
  EXPECT_EQ(row[0], 0.0);
  EXPECT_NEAR(row[1], 1 / std::sqrt(2.0), 1e-16);
}

// Every coefficient with j1, j2 <= 7 against the exact sum; the 3j
// arrangements against w3j wherever their factorials stay within 0..170.
// The long-double sum loses digits to cancellation as j grows: at j = 30
// it still holds 1e-14.
TEST(Wcc, RacahSumAgainstExactValues) {
  long double worst = 0, sym_err = 0, arr_err = 0;
  for (int j1 = 0; j1 <= 7; j1++)
    for (int j2 = 0; j2 <= 7; j2++)
      for (int j3 = std::abs(j1 - j2); j3 <= j1 + j2; j3++)
        for (int m1 = -j1; m1 <= j1; m1++)
          for (int m2 = -j2; m2 <= j2; m2++) {
            if (std::abs(m1 + m2) > j3) continue;
            const long double exact = racah().value(j1, j2, j3, m1, m2);
            worst = std::max(worst, std::fabs(wcc(j1, j2, j3, m1, m2, m1 + m2) - exact));
            const long double sym = w3j(j1, j2, j3, m1, m2, -m1 - m2);
            const long double want = ((j1 - j2 + m1 + m2) % 2 == 0 ? 1 : -1) * exact / std::sqrt(2.0L * j3 + 1);
            sym_err = std::max(sym_err, std::fabs(sym - want));
            arr_err = std::max({arr_err, std::fabs(t3j(j1, j2, j3, m1, m2, -m1 - m2) - sym),
                                std::fabs(m3j(j1, j2, j3, m1, m2, -m1 - m2) - sym)});
          }
  EXPECT_LT(double(worst), 5e-18);
  EXPECT_LT(double(sym_err), 5e-18);
  EXPECT_LT(double(arr_err), 5e-18);
  double high = 0;
  for (int j3 = 0; j3 <= 60; j3 += 12)
    for (int m1 = -30; m1 <= 30; m1 += 7)
      for (int m2 = -30; m2 <= 30; m2 += 11)
        if (std::abs(m1 + m2) <= j3)
          high = std::max(high, double(std::fabs(wcc(30, 30, j3, m1, m2, m1 + m2) - racah().value(30, 30, j3, m1, m2))));
  EXPECT_LT(high, 1e-14);
  // At j1 + j2 + j3 + 1 = 170, the top of the factorial table, all three
  // sums keep about 9 digits of a coefficient of 0.0087.
  const long double top = -racah().value(56, 56, 57, 3, -10) / std::sqrt(115.0L);  // (-1)^(56-56-7)
  for (long double v : {w3j(56, 56, 57, 3, -10, 7), t3j(56, 56, 57, 3, -10, 7), m3j(56, 56, 57, 3, -10, 7)})
    EXPECT_NEAR(double(v), double(top), 1e-10);
}

// The m3 = 0 rows: the downward recursion from the Racah values at m = t
// stays exact to the last bits up to j = 84; the blocks restart from Racah
// values, which carry the sum's cancellation; the upward recursion from
// m = 0 is unstable and serves small rows only.
TEST(Wcc, RowsByRecursion) {
  for (const auto& j : std::vector<std::array<int, 3>>{{84, 84, 84}, {84, 60, 50}, {70, 84, 0}, {84, 1, 84}}) {
    const int t = std::min(j[0], j[1]);
    std::vector<double> down(t + 1);
    wcc_down(j[0], j[1], j[2], 0, t, down.data());
    for (int m = 0; m <= t; m++)
      ASSERT_NEAR(down[m], double(racah().value(j[0], j[1], j[2], m, -m)), 1e-16) << j[0] << " " << j[1] << " m " << m;
  }
  std::vector<double> row(11), all(11), part(11, -1.0);
  wcc_all(10, 10, 12, all.data());
  wcc_up(10, 10, 12, 0, 10, row.data());
  for (int m = 0; m <= 10; m++) EXPECT_NEAR(row[m], all[m], 1e-13) << m;
  wcc_down(10, 10, 12, 3, 6, part.data());  // only m = 3..6 written
  EXPECT_EQ(part[2], -1.0);
  EXPECT_EQ(part[7], -1.0);
  for (int m = 3; m <= 6; m++) EXPECT_NEAR(part[m], all[m], 1e-16);
  for (int s : {-2, 1, 4, 11, 50}) {  // s clamps to 1..t+1
    wcc_stride(10, 10, 12, s, row.data());
    for (int m = 0; m <= 10; m++) EXPECT_NEAR(row[m], all[m], 1e-15) << "s " << s << " m " << m;
  }
  std::vector<double> big(31);
  wcc_stride(30, 30, 40, 7, big.data());
  for (int m = 0; m <= 30; m++) EXPECT_NEAR(big[m], double(racah().value(30, 30, 40, m, -m)), 1e-14) << m;
}

// The sum's range: 1e-10 at j = 45 (its worst coefficient there), full
// precision with one term at 84, silently; beyond 45 one warning, where
// <84 5 84 -5 | 84 0> is off by 6e-5.
TEST(Wcc, RangeOfTheSumAndWarningBeyond) {
  zam_wrn_once_reset();
  testutil::Capture said;
  EXPECT_NEAR(double(wcc(45, 45, 57, -2, 0, -2)), double(racah().value(45, 45, 57, -2, 0)), 1e-10);
  EXPECT_NEAR(double(wcc(84, 60, 50, 60, -60, 0)), double(racah().value(84, 60, 50, 60, -60)), 1e-15);
  EXPECT_FALSE(said.has("*Warning*")) << said.text;
  EXPECT_GT(std::fabs(wcc(84, 84, 84, 5, -5, 0) - racah().value(84, 84, 84, 5, -5)), 5e-5);
  wcc(84, 84, 84, 6, -6, 0);
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* wcc: degree 84 "), 1) << said.text;
}
