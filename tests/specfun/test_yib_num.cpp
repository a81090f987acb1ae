// Clebsch-Gordan coefficients in every number type: the seed tables against
// closed forms and exact Racah values, the tops of the ladders over m3, the
// ladders over m3 on hand values, and every member against the exact
// rational one (itself checked against an exact Racah sum) up to j1 = 30.
#include <gtest/gtest.h>

#include <gmpxx.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/racah_exact.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib_check.h"
#include "specfun/zam_yib_num.h"

namespace {

const testutil::Racah& racah() {
  static const testutil::Racah r;
  return r;
}

// Calls f(j1, j2, j3, at) for every triple to J without the parity flag.
template <class F>
void each_triple(int J, F f) {
  int64_t at = 0;
  for (int j1 = 0; j1 <= J; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) f(j1, j2, j3, at++);
}

long double ld(const mpq_class& q) {
  mpf_class f(q, 256);
  const double hi = f.get_d();
  f -= hi;
  return static_cast<long double>(hi) + f.get_d();
}

// |f/q - 1| of a 256-bit float against an exact value.
double rel_f(mpf_srcptr f, const mpq_class& q) {
  mpf_class r(q, 256);
  r = mpf_class(f, 256) / r - 1;
  return std::fabs(r.get_d());
}

// The plane index of (m3, m2) for order J.
int64_t cell(int J, int m3, int m2) { return (2 * J + 1) * static_cast<int64_t>(2 * J + m3) + J + m2; }

}  // namespace

TEST(YibSeeds, EveryTypeAgainstExactValues) {
  // Unreduced fractions to J = 1: 1/3, 1/2 and 1/6 as 2/6, 12/24, 120/720.
  mpz_t* num = yib_mpz_get(5);
  mpz_t* den = yib_mpz_get(5);
  yib_c02_mpz(1, 0, num, den);
  const long want_num[] = {1, 1, 2, 12, 120}, want_den[] = {1, 1, 6, 24, 720};
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(mpz_get_si(num[i]), want_num[i]) << i;
    EXPECT_EQ(mpz_get_si(den[i]), want_den[i]) << i;
  }
  yib_mpz_free(num, 5);
  yib_mpz_free(den, 5);

  // C02 = <j1 j2; j2, -j2 | j3 0>^2 and G0 = binomial(j3 + j1 - j2, j1 - j2).
  const int J = 20;
  for (int parity = 0; parity <= 1; parity++) {
    const int64_t n = yib_j1j2j3_dim(J, parity);
    std::vector<long double> c(n), g(n);
    mpf_t* f = yib_mpf_get(n);
    num = yib_mpz_get(n);
    den = yib_mpz_get(n);
    yib_c02_dbl(J, parity, c.data());
    yib_c02_mpf(J, parity, f);
    yib_c02_mpz(J, parity, num, den);
    yib_g0_dbl(J, parity, g.data());
    int64_t at = 0;
    long double worst_c = 0, worst_g = 0;
    double worst_f = 0;
    each_triple(J, [&](int j1, int j2, int j3, int64_t) {
      if (parity && (j1 + j2 + j3) % 2) return;
      mpq_class sq;
      racah().eval(j1, j2, j3, j2, -j2, sq);
      mpq_class frac{mpz_class(num[at]), mpz_class(den[at])};
      frac.canonicalize();
      EXPECT_TRUE(frac == sq) << j1 << " " << j2 << " " << j3;
      worst_c = std::max(worst_c, std::fabs(c[at] / ld(sq) - 1));
      worst_f = std::max(worst_f, rel_f(f[at], sq));
      mpz_class b;
      mpz_bin_uiui(b.get_mpz_t(), j3 + j1 - j2, j1 - j2);
      worst_g = std::max(worst_g, std::fabs(g[at] / ld(mpq_class(b)) - 1));
      at++;
    });
    EXPECT_EQ(at, n);
    EXPECT_LT(double(worst_c), 1e-17);
    EXPECT_LT(worst_f, 1e-70);
    EXPECT_LT(double(worst_g), 1e-17);
    yib_mpf_free(f, n);
    yib_mpz_free(num, n);
    yib_mpz_free(den, n);
  }
}

// G0 in long double names the first triple whose G0 passes 2^64 - 1 and the
// largest G0 before it; both found here from the binomial closed form.
TEST(YibSeeds, LongDoubleG0ReportsTheSixtyFourBitLimit) {
  const mpz_class ulong_max(ULONG_MAX);
  for (int J : {33, 34}) {
    int first[3] = {-1, -1, -1}, big[3] = {0, 0, 0};
    mpz_class largest = 0;
    each_triple(J, [&](int j1, int j2, int j3, int64_t) {
      if (first[0] >= 0) return;
      mpz_class b;
      mpz_bin_uiui(b.get_mpz_t(), j3 + j1 - j2, j1 - j2);
      if (b > ulong_max) {
        first[0] = j1, first[1] = j2, first[2] = j3;
      } else if (b > largest) {
        largest = b, big[0] = j1, big[1] = j2, big[2] = j3;
      }
    });
    EXPECT_EQ(largest.get_str(), "7219428434016265740");
    std::vector<long double> g(yib_j1j2j3_dim(J, 0));
    testutil::Capture log;
    yib_g0_dbl(J, 0, g.data());
    char line[128];
    snprintf(line, sizeof line, "Largest G0[%3d,%3d,%3d] =  7.219428434016265740e+18\n", big[0], big[1], big[2]);
    EXPECT_TRUE(log.has(line)) << log.text;
    snprintf(line, sizeof line, "Exceeded ULONG_MAX at B[%3d,%3d,%3d]\n", first[0], first[1], first[2]);
    EXPECT_EQ(log.has(line), J == 34) << log.text;
    EXPECT_EQ(log.has("Exceeded"), J == 34);
  }
}

TEST(YibSeeds, TimedTablesMatchAndReport) {
  const int J = 6, parity = 1;
  const int64_t n = yib_j1j2j3_dim(J, parity);
  std::vector<long double> c(n), g(n);
  mpf_t* f = yib_mpf_get(n);
  mpq_t* q = yib_mpq_get(n);
  mpz_t *num = yib_mpz_get(n), *den = yib_mpz_get(n), *g0 = yib_mpz_get(n);
  testutil::Capture log;
  yib_c02_dbl_timed(J, parity, c.data());
  yib_c02_mpf_timed(J, parity, f);
  yib_c02_mpq_timed(J, parity, q);
  yib_c02_mpz_timed(J, parity, num, den);
  yib_g0_dbl_timed(J, parity, g.data());
  yib_g0_mpz_timed(J, parity, g0);
  for (const char* kind : {"C02 coefficients (DBL)", "C02 coefficients (MPF)", "C02 coefficients (MPQ)",
                           "C02 coefficients (MPZ)", "G0  coefficients (DBL)", "G0  coefficients (MPZ)"})
    EXPECT_TRUE(log.has("Done " + std::to_string(n) + " " + kind + " to J = 6 in ")) << kind;
  for (int64_t i = 0; i < n; i++) {
    EXPECT_LT(double(std::fabs(c[i] / ld(mpq_class(q[i])) - 1)), 1e-18) << i;
    EXPECT_LT(double(std::fabs(g[i] / ld(mpq_class(mpz_class(g0[i]))) - 1)), 1e-18) << i;
  }
  yib_mpf_free(f, n);
  yib_mpq_free(q, n);
  yib_mpz_free(num, n);
  yib_mpz_free(den, n);
  yib_mpz_free(g0, n);
}

// The tops (squares of the first point of every m3 ladder) in every type
// against the exact square of that coefficient, for every triple to 16 over
// its whole m3 range and over cut ranges.
TEST(YibTops, EveryTypeAgainstExactSquares) {
  std::vector<long double> T(9, -1);
  T[4] = 0.5L;  // (1, 1, 1) with L = 2: m3 = 0 at 2L
  EXPECT_EQ(yib_top_m3_dbl(2, 1, 1, 1, -1, 1, T.data()), 2);
  EXPECT_EQ(T[3], 0.5L);
  EXPECT_EQ(T[5], 0.5L);
  EXPECT_EQ(T[2], -1.0L);  // outside the range: untouched
  EXPECT_EQ(T[6], -1.0L);

  const int J = 16, L = J;
  const int64_t n = yib_j1j2j3_dim(J, 0);
  mpz_t* G0 = yib_mpz_get(n);
  mpq_t* C02 = yib_mpq_get(n);
  yib_g0_mpz(J, 0, G0);
  yib_c02_mpq(J, 0, C02);
  mpz_t *tz = yib_mpz_get(4), *G = yib_mpz_get(4 * L + 1), *Gz = yib_mpz_get(4 * L + 1);
  mpq_t *tq = yib_mpq_get(4), *Q = yib_mpq_get(4 * L + 1);
  mpf_t *tf = yib_mpf_get(4), *F = yib_mpf_get(4 * L + 1);
  std::vector<long double> D(4 * L + 1), Qz(4 * L + 1);
  long double worst_d = 0, worst_z = 0;
  double worst_f = 0;
  each_triple(J, [&](int j1, int j2, int j3, int64_t at) {
    const _m3ranges r3 = m3ranges(j1, j2, j3);
    // The whole range, and a cut one, each written exactly on its m3 != 0.
    for (const auto& range : {std::pair<int, int>{r3.lo, r3.hi}, std::pair<int, int>{-2, 1}}) {
      const int lo = std::max(range.first, r3.lo), hi = std::min(range.second, r3.hi);
      D[2 * L] = ld(mpq_class(C02[at]));
      mpf_set_q(F[2 * L], C02[at]);
      mpz_set(G[2 * L], G0[at]);
      mpz_set(Gz[2 * L], G0[at]);
      mpq_set_z(Q[2 * L], G0[at]);
      mpq_mul(Q[2 * L], Q[2 * L], Q[2 * L]);
      mpq_div(Q[2 * L], C02[at], Q[2 * L]);
      Qz[2 * L] = ld(mpq_class(Q[2 * L]));
      const int want = hi - lo;
      EXPECT_EQ(yib_top_m3_dbl(L, j1, j2, j3, range.first, range.second, D.data()), want);
      EXPECT_EQ(yib_top_m3_mpf(L, j1, j2, j3, range.first, range.second, tf, F), want);
      EXPECT_EQ(yib_top_m3_mpq(L, j1, j2, j3, range.first, range.second, tz, tq, G, Q), want);
      EXPECT_EQ(yib_top_m3_mpz(L, j1, j2, j3, range.first, range.second, tz, Gz, Qz.data()), want);
      for (int m3 = lo; m3 <= hi; m3++) {
        const _m12ranges r = m12ranges(j1, j2, j3, m3, r3);
        mpq_class sq;
        EXPECT_EQ(racah().eval(j1, j2, j3, r.m1_first, r.m2_first, sq), 1) << j1 << " " << j2 << " " << j3 << " " << m3;
        const int t = 2 * L + m3;
        const mpq_class g{mpz_class(G[t])}, q{Q[t]};
        EXPECT_TRUE(g * g * q == sq && mpz_sgn(G[t]) > 0) << j1 << " " << j2 << " " << j3 << " m3 " << m3;
        EXPECT_EQ(mpz_cmp(Gz[t], G[t]), 0);
        worst_z = std::max(worst_z, std::fabs(Qz[t] / ld(q) - 1));
        worst_d = std::max(worst_d, std::fabs(D[t] / ld(sq) - 1));
        worst_f = std::max(worst_f, rel_f(F[t], sq));
      }
    }
  });
  EXPECT_LT(double(worst_d), 1e-17);
  EXPECT_LT(double(worst_z), 1e-17);
  EXPECT_LT(worst_f, 1e-70);
  yib_mpz_free(G0, n);
  yib_mpq_free(C02, n);
  yib_mpz_free(tz, 4);
  yib_mpz_free(G, 4 * L + 1);
  yib_mpz_free(Gz, 4 * L + 1);
  yib_mpq_free(tq, 4);
  yib_mpq_free(Q, 4 * L + 1);
  yib_mpf_free(tf, 4);
  yib_mpf_free(F, 4 * L + 1);
}

// (1, 1, 1) and (1, 0, 1) by every method and both orders of work, and the
// empty range of every member.
TEST(YibLaddersM3, HandValues) {
  const long double s2 = 1 / std::sqrt(2.0L);
  _yib_work w;
  yib_work_init(&w, 1, 0);
  for (int tops = 0; tops <= 1; tops++)
    for (int method = 0; method <= 7; method++) {
      int lo = 0, hi = 0;
      yib_work_ranges(&w, 1, 1, 1, 10000, &lo, &hi);
      EXPECT_EQ(lo, -1);
      EXPECT_EQ(hi, 1);
      EXPECT_EQ(yib_work_triple(&w, method, tops, 1, 1, 1, 3, lo, hi), 7 + (tops ? 2 : 0) * (method != 7));
      const struct {
        int m3, m2;
        long double v;
      } want[] = {{0, -1, s2}, {0, 0, 0}, {0, 1, -s2}, {1, 0, s2}, {1, 1, -s2}, {-1, -1, s2}, {-1, 0, -s2}};
      for (const auto& p : want)
        EXPECT_NEAR(double(w.V[cell(1, p.m3, p.m2)]), double(p.v), 1e-15)
            << "method " << method << " tops " << tops << " m3 " << p.m3 << " m2 " << p.m2;
      yib_work_ranges(&w, 1, 0, 1, 10000, &lo, &hi);
      EXPECT_EQ(yib_work_triple(&w, method, tops, 1, 0, 1, 1, lo, hi), 3 + (tops ? 2 : 0) * (method != 7));
      for (int m3 = -1; m3 <= 1; m3++) EXPECT_NEAR(double(w.V[cell(1, m3, 0)]), 1.0, 1e-15) << method;
    }
  // A range of m3 = 0 alone writes nothing.
  int lo = 0, hi = 0;
  yib_work_ranges(&w, 1, 1, 1, 0, &lo, &hi);
  for (int64_t i = 0; i < w.plane; i++) w.V[i] = 7;
  const _m12ranges* R = w.R;
  EXPECT_EQ(yib_ladder_m3_dbl(1, 1, 1, 1, 0, 0, R, 1, w.Z, w.Q, w.V), 0);
  EXPECT_EQ(yib_ladder_m3_long(1, 1, 1, 1, 0, 0, R, w.ZL, w.Q, w.V), 0);
  EXPECT_EQ(yib_ladder_m3_mpz(1, 1, 1, 1, 0, 0, R, w.tz, w.GZ, w.Q, w.V), 0);
  EXPECT_EQ(yib_ladder_m3_mpq(1, 1, 1, 1, 0, 0, R, w.tz, w.tq, w.GZ, w.GQ, w.V), 0);
  EXPECT_EQ(yib_ladder_m3_mpf(1, 1, 1, 1, 0, 0, R, w.tf, 1, w.FZ, w.FQ, w.V), 0);
  EXPECT_EQ(yib_laddersq_m3_dbl(1, 1, 1, 1, 0, 0, R, w.V), 0);
  EXPECT_EQ(yib_laddersq_m3_mpf(1, 1, 1, 1, 0, 0, R, w.tf, 1, w.FZ, w.FQ, w.V), 0);
  for (int64_t i = 0; i < w.plane; i++) EXPECT_EQ(w.V[i], 7.0L);
  yib_work_free(&w);
}

// The exact member (GMP integers, rational norms) against the exact Racah
// sum: equal squares and signs as rationals, rows whose squares sum to 1,
// and the same Z and Q whether the rows start from m3 = 0 or from their tops.
TEST(YibExact, MatchesRacahEverywhere) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int small = 4;
#else
  const int small = 6;
#endif
  const int J = 30;
  _yib_work w, t;
  yib_work_init(&w, J, 0);
  yib_work_init(&t, J, 0);
  int64_t points = 0;
  each_triple(J, [&](int j1, int j2, int j3, int64_t at) {
    const bool big = j1 == 30 && (j2 == 30 || (j2 == 12 && j3 == 20) || (j2 == 1 && j3 == 29));
    if (j1 > small && !big) return;
    int lo = 0, hi = 0;
    yib_work_ranges(&w, j1, j2, j3, 10000, &lo, &hi);
    yib_work_ranges(&t, j1, j2, j3, 10000, &lo, &hi);
    yib_work_triple(&w, 5, 0, j1, j2, j3, at, lo, hi);
    yib_work_triple(&t, 5, 1, j1, j2, j3, at, lo, hi);
    for (int m3 = lo; m3 <= hi; m3++) {
      const _m12ranges r = w.R[2 * J + m3];
      mpq_class row = 0;
      for (int m2 = r.m2_first; m2 <= r.m2_last; m2++) {
        const int64_t i = cell(J, m3, m2);
        const mpz_class z(w.GZ[i]);
        const mpq_class q(w.GQ[i]);
        mpq_class sq;
        const int sign = racah().eval(j1, j2, j3, m3 - m2, m2, sq);
        ASSERT_TRUE(z * z * q == sq && sgn(z) == sign) << j1 << " " << j2 << " " << j3 << " " << m3 << " " << m2;
        ASSERT_TRUE(mpz_cmp(w.GZ[i], t.GZ[i]) == 0 && mpq_equal(w.GQ[i], t.GQ[i]));
        row += sq;
        points++;
      }
      EXPECT_TRUE(row == 1) << j1 << " " << j2 << " " << j3 << " " << m3;
    }
  });
  EXPECT_GT(points, 20000);
  yib_work_free(&w);
  yib_work_free(&t);
}

// Every member against the exact one over the triples with j1 <= 6 and a
// spread with j1 = 18 and 30, all m3: the largest error (yib_error) or the
// largest absolute difference, and the largest |1 - sum of squares| of a
// row. The long-double recursions lose digits on small coefficients (up to
// 3e-6 relative at j1 = 30, under 5e-9 absolute); the GMP and integer
// members keep double precision. The 64-bit member refuses exactly those
// triples with a value beyond 64 bits (from j1 = 18 on).
struct Bounds {
  int method, tops;
  double err, abs, norm;  // err < 0: no relative bound
  int top_j1;
};
class YibAgreement : public testing::TestWithParam<Bounds> {};

TEST_P(YibAgreement, WithTheExactMember) {
  const Bounds b = GetParam();
  const int J = 30;
  _yib_work w;
  yib_work_init(&w, J, 0);
  double err = 0, dif = 0, norm = 0;
  int refused = 0;
  each_triple(J, [&](int j1, int j2, int j3, int64_t at) {
    if (j1 > b.top_j1) return;
    // The Racah evaluations of method 7 are slow: a lighter spread for it.
    const bool spread = (j1 == 18 && (j2 == 9 || j2 == 18)) ||
                        (j1 == 30 && (j2 == 1 || j2 == 12 || (b.method != 7 && (j2 == 14 || j2 == 30))));
    if (j1 > 6 && !spread) return;
    int lo = 0, hi = 0;
    yib_work_ranges(&w, j1, j2, j3, 10000, &lo, &hi);
    const int64_t n = yib_work_triple(&w, b.method, b.tops, j1, j2, j3, at, lo, hi);
    yib_work_reference(&w, 0, j1, j2, j3, at, lo, hi);  // the exact rows
    size_t bits = 0;
    int64_t points = b.tops && b.method != 7 ? hi - lo : 0;
    for (int m3 = lo; m3 <= hi; m3++) {
      const _m12ranges r = w.R[2 * J + m3];
      long double S = 0;
      for (int m2 = r.m2_first; m2 <= r.m2_last; m2++) {
        const int64_t i = cell(J, m3, m2);
        bits = std::max(bits, mpz_sizeinbase(w.GZ[i], 2));
        err = std::max(err, double(yib_error(w.V[i], w.REF[i])));
        dif = std::max(dif, double(std::fabs(w.V[i] - w.REF[i])));
        S += w.V[i] * w.V[i];
        points++;
      }
      norm = std::max(norm, double(std::fabs(1 - S)));
    }
    if (b.method == 6) {  // refused exactly when an exact value passes 63 bits
      EXPECT_EQ(n < 0, bits > 63) << j1 << " " << j2 << " " << j3;
      if (n < 0) {
        refused++;
        err = dif = norm = 0;  // the values of a refused triple are not used
      }
    } else {
      EXPECT_EQ(n, points) << j1 << " " << j2 << " " << j3;
    }
  });
  if (b.err >= 0) {
    EXPECT_LT(err, b.err);
  }
  EXPECT_LT(dif, b.abs);
  EXPECT_LT(norm, b.norm);
  if (b.method == 6) {
    EXPECT_GT(refused, 0);
  }
  yib_work_free(&w);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, YibAgreement,
    testing::Values(Bounds{0, 0, -1, 5e-9, 1e-15, 30}, Bounds{1, 0, -1, 1e-8, 1e-15, 30},
                    Bounds{2, 0, 1e-15, 1e-15, 1e-15, 30}, Bounds{3, 0, 1e-15, 1e-15, 1e-15, 30},
                    Bounds{4, 0, 1e-15, 1e-15, 1e-15, 30}, Bounds{6, 0, 1e-15, 1e-15, 1e-15, 30},
                    Bounds{7, 0, 1e-15, 1e-15, 1e-15, 30}, Bounds{0, 1, -1, 1e-13, 1e-15, 12},
                    Bounds{1, 1, -1, 1e-13, 1e-15, 12}, Bounds{2, 1, 1e-15, 1e-15, 1e-15, 30},
                    Bounds{3, 1, 1e-15, 1e-15, 1e-15, 30}, Bounds{4, 1, 1e-15, 1e-15, 1e-15, 30},
                    Bounds{6, 1, 1e-15, 1e-15, 1e-15, 30}, Bounds{7, 1, 1e-15, 1e-15, 1e-15, 30}),
    [](const testing::TestParamInfo<Bounds>& i) {
      return "method" + std::to_string(i.param.method) + (i.param.tops ? "_tops" : "");
    });
