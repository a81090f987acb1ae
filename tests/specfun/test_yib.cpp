// Exact Clebsch-Gordan coefficients: the G0 and C02 seed tables, the m3 = 0
// ladders against an independent Racah sum, and the normalisation of the
// coupling rows and columns in exact rational arithmetic.
#include <gtest/gtest.h>

#include <gmpxx.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/coupling_ladders.h"
#include "common/racah_exact.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

std::vector<std::string> table_text(mpq_t* q, int64_t n) {
  std::vector<std::string> s;
  for (int64_t i = 0; i < n; i++) {
    char* t = mpq_get_str(nullptr, 10, q[i]);
    s.push_back(t);
    free(t);
  }
  return s;
}

std::vector<long> table_longs(mpz_t* z, int64_t n) {
  std::vector<long> v;
  for (int64_t i = 0; i < n; i++) v.push_back(mpz_get_si(z[i]));
  return v;
}

}  // namespace

TEST(YibRanges, CountsAndRecords) {
  EXPECT_EQ(yib_j1j2j3_dim(0, 0), 1);
  EXPECT_EQ(yib_j1j2j3_dim(0, 1), 1);
  EXPECT_EQ(yib_j1j2j3_dim(4, 0), 55);
  EXPECT_EQ(yib_j1j2j3_dim(4, 1), 35);
  for (int J = 0; J <= 12; J++) {  // the closed forms against a plain count
    int64_t all = 0, even = 0, points = 0, at0 = 0;
    for (int j1 = 0; j1 <= J; j1++)
      for (int j2 = 0; j2 <= j1; j2++)
        for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
          all++;
          even += (j1 + j2 + j3) % 2 == 0;
          for (int m1 = -j1; m1 <= j1; m1++)
            for (int m2 = -j2; m2 <= j2; m2++)
              if (std::abs(m1 + m2) <= j3) {
                points++;
                at0 += m1 + m2 == 0;
              }
        }
    EXPECT_EQ(yib_j1j2j3_dim(J, 0), all) << J;
    EXPECT_EQ(yib_j1j2j3_dim(J, 1), even) << J;
    EXPECT_EQ(yib_m1m2m3_count(J, 0), points) << J;
    EXPECT_EQ(yib_m3_count(J, 0, 0), at0) << J;
  }
  EXPECT_EQ(yib_m3_count(-1, 0, 0), 0);
  EXPECT_EQ(yib_m1m2m3_count(-1, 0), 0);
  // m3 = 1 to J = 1: (1,0,1) has 1 point, (1,1,1) and (1,1,2) 2 each; the
  // pair count takes (1,1,0) too, whose j3 cannot reach m3 = 1
  EXPECT_EQ(yib_m3_count(1, 1, 0), 5);
  EXPECT_EQ(yib_m1m2_count(1, 1, 0), 7);

  int lo = 99, hi = 99;
  setup_m3ranges(2, 1, 2, 10001, &lo, &hi);
  EXPECT_EQ(lo, -2);
  EXPECT_EQ(hi, 0);
  setup_m3ranges(2, 1, 2, -1, &lo, &hi);
  EXPECT_EQ(lo, -1);
  EXPECT_EQ(hi, 0);
  setup_m3ranges(2, 1, 2, 5, &lo, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 2);
  setup_m3ranges(2, 1, 2, 10000, &lo, &hi);
  EXPECT_EQ(lo, -2);
  EXPECT_EQ(hi, 2);
  const _m3ranges r3 = setup_m3ranges(3, 1, 3, 10002, &lo, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 3);
  // (3,1,3): up to m3 = 2 the ladder starts at m2 = -1, above at m1 = 3
  _m12ranges r = m12ranges(3, 1, 3, 2, r3);
  EXPECT_EQ(r.m1_first, 3);
  EXPECT_EQ(r.m2_first, -1);
  EXPECT_EQ(r.m1_last, 1);
  EXPECT_EQ(r.m2_last, 1);
  r = m12ranges(3, 1, 3, 3, r3);
  EXPECT_EQ(r.m1_first, 3);
  EXPECT_EQ(r.m2_first, 0);
  EXPECT_EQ(r.m2_last, 1);
  r = m12ranges(3, 1, 3, -3, r3);
  EXPECT_EQ(r.m2_first, -1);
  EXPECT_EQ(r.m2_last, 0);
  EXPECT_EQ(r.m1_last, -3);
}

TEST(YibTables, SeedsToTwoInBothParityModes) {
  const std::vector<std::string> c02_all = {"1",   "1",   "1/3", "1/2", "1/6", "1",   "3/10",
                                            "1/2", "1/5", "1/5", "2/5", "2/7", "1/10", "1/70"};
  const std::vector<std::string> c02_even = {"1", "1", "1/3", "1/6", "1", "3/10", "1/5", "1/5", "2/7", "1/70"};
  const std::vector<long> g0_all = {1, 2, 1, 1, 1, 6, 2, 3, 4, 1, 1, 1, 1, 1};
  const std::vector<long> g0_even = {1, 2, 1, 1, 6, 2, 4, 1, 1, 1};
  for (int parity = 0; parity <= 1; parity++) {
    const int64_t n = yib_j1j2j3_dim(2, parity);
    mpq_t* c = yib_mpq_get(n);
    mpz_t* g = yib_mpz_get(n);
    yib_c02_mpq(2, parity, c);
    yib_g0_mpz(2, parity, g);
    EXPECT_EQ(table_text(c, n), parity ? c02_even : c02_all);
    EXPECT_EQ(table_longs(g, n), parity ? g0_even : g0_all);
    yib_mpq_free(c, n);
    yib_mpz_free(g, n);
  }
  yib_mpz_free(nullptr, 3);  // null is ignored
}

TEST(YibLadders, HandValues) {
  testutil::CouplingTables t(2, 0);
  const double s3 = 1 / std::sqrt(3.0), s2 = 1 / std::sqrt(2.0);
  int seen = 0;
  t.walk([&](int j1, int j2, int j3, _m12ranges r) {
    const long double* V = t.V + t.L;
    if (j1 == 1 && j2 == 1 && j3 == 0) {
      EXPECT_EQ(r.m2_first, -1);
      EXPECT_NEAR(double(V[-1]), s3, 1e-15);
      EXPECT_NEAR(double(V[0]), -s3, 1e-15);
      EXPECT_NEAR(double(V[1]), s3, 1e-15);
      seen++;
    }
    if (j1 == 1 && j2 == 1 && j3 == 1) {  // mirror half negated: j1-j2+j3 odd
      EXPECT_NEAR(double(V[-1]), s2, 1e-15);
      EXPECT_EQ(mpz_sgn(t.Z[t.L]), 0);
      EXPECT_EQ(V[0], 0.0L);
      EXPECT_NEAR(double(V[1]), -s2, 1e-15);
      seen++;
    }
    if (j2 == 0) {  // (j, 0, j): one point of value 1
      EXPECT_EQ(r.m2_last, r.m2_first);
      EXPECT_EQ(V[0], 1.0L);
      seen++;
    }
  });
  EXPECT_EQ(seen, 5);

  mpz_t z, tz;
  mpq_t q, tq;
  mpf_t f;
  mpz_inits(z, tz, nullptr);
  mpq_inits(q, tq, nullptr);
  mpf_init2(f, 256);
  mpz_set_si(z, -3);
  mpq_set_ui(q, 1, 18);
  yib_result_mpf(z, q, tz, tq, f);
  EXPECT_NEAR(mpf_get_d(f), -s2, 1e-16);
  mpz_clears(z, tz, nullptr);
  mpq_clears(q, tq, nullptr);
  mpf_clear(f);
}

// Every triple with j1 <= 30 at m3 = 0 (24 in the sanitizer builds, which
// run the rational sums several times slower): the exact ladder against the
// Racah sum (equal squares and signs as rationals, and within 1e-50 as
// 256-bit floats), each column's squares summing to 1 and each row's too.
TEST(YibLadders, MatchRacahAndAreOrthonormalToThirty) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int L = 24;
#else
  const int L = 30;
#endif
  EXPECT_EQ(mp_bits(0), 256);
  testutil::CouplingTables t(L, 0);
  const testutil::Racah racah;
  mpz_t tz;
  mpq_t tq, sq;
  mpf_t f, ref, diff;
  mpz_init(tz);
  mpq_inits(tq, sq, nullptr);
  mpf_inits(f, ref, diff, nullptr);
  // Row sums over j3 of the squares, per (j1, j2) and m2.
  std::vector<mpq_class> row(2 * L + 1);
  int64_t checked = 0, failures = 0;
  double worst = 0;
  const int64_t points = t.walk([&](int j1, int j2, int j3, _m12ranges r) {
    if (j3 == j1 - j2)
      for (auto& x : row) x = 0;
    mpq_class column = 0;
    for (int m2 = r.m2_first; m2 <= r.m2_last; m2++) {
      mpz_srcptr z = t.Z[L + m2];
      mpq_srcptr q = t.Q[L + m2];
      mpq_class exact;
      const int sign = racah.eval(j1, j2, j3, -m2, m2, exact);
      mpz_mul(tz, z, z);
      mpq_set_z(sq, tz);
      mpq_mul(sq, sq, q);
      const bool same = mpq_equal(sq, exact.get_mpq_t()) && mpz_sgn(z) == sign;
      if (!same && failures++ < 5) ADD_FAILURE() << "(" << j1 << "," << j2 << "," << j3 << ") m2 = " << m2;
      column += mpq_class(sq);
      row[L + m2] += mpq_class(sq);
      // The same in 256-bit floats: sign(A) sqrt(pre) |sum| against the ladder.
      yib_result_mpf(z, q, tz, tq, f);
      mpf_set_q(ref, exact.get_mpq_t());
      mpf_sqrt(ref, ref);
      if (sign < 0) mpf_neg(ref, ref);
      mpf_sub(diff, f, ref);
      if (mpf_sgn(ref) != 0) mpf_div(diff, diff, ref);
      worst = std::max(worst, std::fabs(mpf_get_d(diff)));
      const long double v = t.V[L + m2];
      EXPECT_NEAR(double(v), mpf_get_d(ref), 1e-15 * std::fabs(mpf_get_d(ref)) + 1e-300);
      checked++;
    }
    EXPECT_TRUE(column == 1) << j1 << " " << j2 << " " << j3;
    if (j3 == j1 + j2) {
      for (int m2 = -j2; m2 <= j2; m2++) EXPECT_TRUE(row[L + m2] == 1) << j1 << " " << j2 << " m2 " << m2;
    }
  });
  EXPECT_EQ(failures, 0);
  EXPECT_LT(worst, 1e-50);
  EXPECT_EQ(points, checked);
  EXPECT_EQ(points, yib_m3_count(L, 0, 0));
  mpz_clear(tz);
  mpq_clears(tq, sq, nullptr);
  mpf_clears(f, ref, diff, nullptr);
}
