// Translation methods other than the series, each checked against the
// series: the radial quadrature (method 0) element by element, the
// multi-precision power form (method 2) through the look-up and apply, the
// extended-precision builders, the spherical form of radial functions, the
// whole-distance wrappers and cache filling; and the orthogonality check
// of the packed matrices.
#include <gtest/gtest.h>
#include <gmp.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "common/translation.h"
#include "common/log_capture.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm2.h"
#include "harmonics/zam_tm_alt.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "specfun/zam_jlr.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

using testutil::CacheAt;
using testutil::tm_matrix;

// The translation method for the lifetime of the object.
struct Mode {
  int old;
  explicit Mode(int m) : old(tm_mode(m)) {}
  ~Mode() { tm_mode(old); }
};

// A block with every coefficient set, falling with n.
std::vector<double> test_block(int N) {
  std::vector<double> v(anlm_size(N));
  for (size_t i = 0; i < v.size(); i++) v[i] = std::cos(1.0 + 0.7 * i) / (1.0 + 0.1 * i);
  return v;
}

std::vector<double> translated(int N, int type, const std::vector<double>& v, double R) {
  ZamTm3_struct tm3;
  zam_tm3_init(&tm3);
  std::vector<double> w(v.size());
  const int types[] = {type};
  EXPECT_EQ(zam_tm3_apply(N, 1, types, &tm3, v.data(), w.data(), R), 1);
  zam_tm3_free(&tm3);
  return w;
}

template <class A, class B>
double max_diff(size_t n, const A* a, const B* b) {
  double d = 0.0;
  for (size_t i = 0; i < n; i++) d = std::max(d, static_cast<double>(std::fabs(static_cast<long double>(a[i]) - b[i])));
  return d;
}

// The quadrature matrices agree with the series element by element (GTO
// within 1e-9, ETO, whose transforms fall off slowly, within 1e-4); the
// power-form route translates a full block as the series does to rounding.
// Orders 4 and 10 at distances to 5 in both directions. Neither method
// touches the cache.
TEST(TranslationMethods, QuadratureAndPowerFormAgreeWithSeries) {
  CacheAt cache;
  double worst0[2] = {0, 0}, worst2[2] = {0, 0};
  for (int type : {1, 0})
    for (int N : {4, 10})
      for (double R : {-0.5, 2.5, 5.0}) {
        std::vector<double> series, quad;
        {
          Mode m(1);
          zam_cache_mode(0);
          series = tm_matrix(N, type, R);
          zam_cache_mode(1);
        }
        {
          Mode m(0);
          quad = tm_matrix(N, type, R);
        }
        worst0[type] = std::max(worst0[type], max_diff(series.size(), quad.data(), series.data()));
        const std::vector<double> v = test_block(N);
        std::vector<double> w(v.size());
        tm3_apply(N, series.data(), v.data(), w.data());
        std::vector<double> p;
        {
          Mode m(2);
          p = translated(N, type, v, R);
        }
        worst2[type] = std::max(worst2[type], max_diff(v.size(), p.data(), w.data()));
      }
  EXPECT_LT(worst0[1], 1e-9);
  EXPECT_LT(worst0[0], 1e-4);
  EXPECT_LT(worst2[1], 1e-14);
  EXPECT_LT(worst2[0], 1e-14);
  EXPECT_TRUE(std::filesystem::is_empty(cache.dir.path));

  // A method-2 holder keeps only its multi-precision matrix, and a look-up
  // under another method at the same distance rebuilds.
  _zam_tm h;
  tm_init(&h);
  {
    Mode m(2);
    ASSERT_EQ(tm_get(3, 1, &h, 1.5), 1);
    EXPECT_EQ(h.T, nullptr);
    EXPECT_NE(h.M, nullptr);
  }
  ASSERT_EQ(tm_get(3, 1, &h, 1.5), 1);
  EXPECT_EQ(h.M, nullptr);
  EXPECT_NE(h.T, nullptr);
  tm_free(&h);
}

// The quadrature's range at its edges against the series (GTO order 16 at
// R = 4 to 1e-9, ETO order 7 at R = 20 to 1e-4), silently; beyond it one
// warning: element (25 0; 25 0) at R = 2.3 is 0.1346652 for 0.1361434938.
TEST(TranslationMethods, QuadratureRangeAndWarningBeyond) {
  zam_wrn_once_reset();
  testutil::Capture said;
  std::vector<double> S(tm3_dim(24)), Q(S.size());
  const auto off = [&](int N, bool gto, double R) {
    (gto ? tm_gt3_ser : tm_et3_ser)(N, S.data(), R);
    (gto ? tm_gt3_num : tm_et3_num)(N, Q.data(), R);
    return max_diff(tm3_dim(N - 1), Q.data(), S.data());
  };
  EXPECT_LT(off(16, true, 4.0), 1e-9);
  EXPECT_LT(off(7, false, 20.0), 1e-4);
  EXPECT_FALSE(said.has("*Warning*")) << said.text;
  off(25, true, 2.3);
  const int at = tm3_index(25, 25, 0, 25, 0);
  EXPECT_NEAR(S[at], 0.1361434938, 1e-10);
  EXPECT_NEAR(Q[at], 0.1346652, 1e-7);
  off(12, true, 25.0);
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* tm_gt3_num: order 25 "), 1) << said.text;
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning*"), 1) << said.text;
}

// T T^T is the identity where the truncation at order N does not reach: for
// the GTO matrix of order 10 at 2.5 (series and quadrature) the check marks
// elements only from n = 8 on, and exactly those that differ from the
// identity by more than 0.001.
TEST(TranslationMethods, OrthogonalityOfPackedMatrices) {
  CacheAt cache(true);
  const int N = 10, P = N * (N + 1) / 2;
  for (int mode : {1, 0}) {
    Mode m(mode);
    const std::vector<double> T = tm_matrix(N, 1, 2.5);
    testutil::LineCapture said;
    const int marked = tm3_ortho_test(N, T.data());
    EXPECT_GT(marked, 0);
    int seen = 0, low = 0;
    for (const std::string& line : said.lines) {
      int n, l, np, lp, mm;
      double v;
      ASSERT_EQ(std::sscanf(line.c_str(), "[%d,%d, %d,%d, %d] = %lf", &n, &l, &np, &lp, &mm, &v), 6) << line;
      const bool mark = line.find(" <--") != std::string::npos;
      EXPECT_EQ(mark, std::fabs(v - (n == np && l == lp ? 1.0 : 0.0)) > 0.001) << line;
      seen += mark;
      if (mark && n < 8) low++;
    }
    EXPECT_EQ(seen, marked);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(static_cast<int>(said.lines.size()), tm3_dim(N - 1));
    // The full matrix of one m holds the mirrored blocks with their sign.
    std::vector<double> U(P * P);
    tm3_unpack_m(N, 1, T.data(), U.data());
    EXPECT_EQ(U[(3 * 2 / 2 + 1) * P + 6 * 5 / 2 + 2], -T[tm3_index(N, 6, 2, 3, 1) + 1]);
    EXPECT_EQ(U[(6 * 5 / 2 + 0) * P + 0], 0.0);  // l = 0 below m = 1
  }
}

// The other builders against the series: GTO power series in long double
// (double and long-double results, the k = 0 terms against the quadrature's
// k = 0 terms), the ETO power series over a double table, the long-double
// complex apply, the spherical form on radial functions, the long-double
// backward conversion, the reference product and the quadrature kernel.
TEST(TranslationMethods, ExtendedPrecisionAndSphericalForms) {
  CacheAt cache(true);
  const int N = 8, count = tm3_dim(N - 1), K = anlm_size(N);
  for (double R : {-2.5, 4.0}) {
    const std::vector<double> S = tm_matrix(N, 1, R), E = tm_matrix(N, 0, R);
    double* P = tm_gt3_power(N, R);
    double* Pe = tm_et3_power(N, R);
    long double* Z = tz_gt3_power(N, R);
    long double* Zq = tz_gt3(N, R);
    long double* U = tu_gt3_power(N, R);
    long double* Uq = tu_gt3(N, R);
    EXPECT_LT(max_diff(count, P, S.data()), 1e-13);
    EXPECT_LT(max_diff(count, Z, S.data()), 1e-13);
    EXPECT_LT(max_diff(count, Zq, S.data()), 1e-9);
    EXPECT_LT(max_diff(count, U, Uq), 1e-9);
    EXPECT_LT(max_diff(count, Pe, E.data()), 1e-5);
    int cols = 0, n = 0;
    long double* D = dkj_integrals(N, 0.3, &n);
    double* Dd = dkj_mp(N, &cols, 0.3);
    EXPECT_EQ(n, cols * cols);
    for (int i = 0; i < n; i++) EXPECT_NEAR(static_cast<double>(D[i]) / Dd[i], 1.0, 1e-15) << i;
    kfree(D);
    kfree(Dd);
    // k = 0 alone: the elements with l != l' vanish.
    EXPECT_EQ(U[tm3_index(N, 3, 1, 2, 0)], 0.0L);

    std::vector<double> z(2 * K), a(2 * K), b(2 * K);
    for (int i = 0; i < 2 * K; i++) z[i] = std::sin(0.3 + i);
    ztm3_apply(N, S.data(), z.data(), a.data());
    tz3_apply(N, Z, z.data(), b.data());
    EXPECT_LT(max_diff(2 * K, a.data(), b.data()), 1e-13);

    // A radial (l = 0) expansion translated through the spherical form.
    std::vector<double> v(K, 0.0), w1(K), w2(K);
    for (int n = 1; n <= N; n++) v[anlm_index(n, 0, 0)] = 1.0 / n;
    tm3_apply(N, S.data(), v.data(), w1.data());
    mpf_t* SS = tv3_gt3_ss(N, R);
    tv3_ss_apply(N, SS, v.data(), w2.data());
    yib_mpf_free(SS, N * N * (N + 1) / 2);
    EXPECT_LT(max_diff(K, w1.data(), w2.data()), 1e-14);
    for (void* p : {static_cast<void*>(P), static_cast<void*>(Pe), static_cast<void*>(Z), static_cast<void*>(Zq),
                    static_cast<void*>(U), static_cast<void*>(Uq)})
      kfree(p);

    std::vector<double> AB(count), old(count);
    tm3_product(N, S.data(), E.data(), AB.data());
    tm3_product_old(N, S.data(), E.data(), old.data());
    EXPECT_EQ(AB, old);
  }
  std::vector<long double> in(K), back(K);
  mpf_t* mi = yib_mpf_get(K);
  mpf_t* mo = yib_mpf_get(K);
  for (int i = 0; i < K; i++) {
    in[i] = std::cos(0.1 * i);
    mpf_set_d(mi[i], static_cast<double>(in[i]));
  }
  ajlm_to_anlm_gt3_bar(N, in.data(), back.data());
  ajlm_to_anlm_gt3(N, mi, mo);
  for (int i = 0; i < K; i++) EXPECT_NEAR(static_cast<double>(back[i]), mpf_get_d(mo[i]), 1e-15) << i;
  yib_mpf_free(mi, K);
  yib_mpf_free(mo, K);
  // Kernel: j_0(x) alone for l = l' = 0, sqrt(3) j_1(x) for (1, 0).
  EXPECT_NEAR(tlm_jlr(0, 0, 0, 0.7), std::sin(0.7) / 0.7, 1e-15);
  EXPECT_NEAR(tlm_jlr(1, 0, 0, 0.7), std::sqrt(3.0) * jlr_ser(1, 0.7), 1e-15);
  EXPECT_EQ(mpf_get_default_prec(), 256u);
}

// Whole-distance wrappers read or write (I, 0) with the cache on; cache
// filling writes every file it names; the order limit follows the memory
// found.
TEST(TranslationMethods, WholeDistancesCacheFillingAndOrderLimit) {
  CacheAt cache;
  const int N = 3;
  double* T = tm_gt3(N, 2.4);
  EXPECT_EQ(cache.size("zam_dh_2.dat"), 8 * tm3_dim(N - 1) + 200);  // the values, then their record
  std::vector<double> S(tm3_dim(N - 1));
  tm_gt3_ser(N, S.data(), 2.0);
  tm3_neg(N, S.data());
  EXPECT_EQ(std::vector<double>(T, T + S.size()), S);
  kfree(T);
  T = tm_et3(N, -0.3);  // nearest whole distance 0: the identity
  std::vector<double> I(S.size());
  tm3_ident(N, I.data());
  EXPECT_EQ(std::vector<double>(T, T + I.size()), I);
  kfree(T);

  ASSERT_EQ(tm3_make(2, 2), 1);
  for (const char* f : {"zam_dh_1.dat", "zam_de_2.dat", "zam_dh_p25.dat", "zam_de_p75.dat", "zam_dh_p10.dat", "zam_de_p90.dat"})
    EXPECT_GT(cache.size(f), 0) << f;
  EXPECT_EQ(tm_mode(1), 1);
  zam_cache_mode(0);
  {
    testutil::Capture said;
    EXPECT_EQ(tm3_make(2, 2), 0);
    EXPECT_TRUE(said.has("Cannot make integrals: Disc cache is not enabled."));
  }
  testutil::Capture said;
  const int top = tm3_top();
  EXPECT_EQ(top, 36);  // every machine that runs the tests has more than 120 MB
  EXPECT_TRUE(said.has("Found " + std::to_string(zam_mb_memory()) + " MB main memory: setting N_MAX=36.")) << said.text;
  EXPECT_EQ(tm3_top(), top);
}

}  // namespace
