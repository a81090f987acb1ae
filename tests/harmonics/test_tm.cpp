// z-translation matrices and their disk cache: the packed layout, distance
// rounding, the Gaussian overlap as a known element, the sign symmetry of
// opposite distances, composition of translations, the cache files (names,
// sizes, prefixes of higher orders, float files) and a disabled cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <vector>

#include "common/coupling_ladders.h"
#include "common/translation.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_radial.h"
#include "runtime/zam_file.h"
#include "harmonics/zam_tm.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

namespace fs = std::filesystem;

using testutil::CacheAt;
constexpr auto& matrix = testutil::tm_matrix;
// Bytes of a cache file besides its values: the record of what it holds.
constexpr int64_t kRecord = 200;

TEST(TranslationMatrix, ElementCountsAndRounding) {
  const int want[] = {1, 8, 33, 98, 238, 504};
  for (int N = 1; N <= 6; N++) EXPECT_EQ(tm3_dim(N - 1), want[N - 1]) << N;
  EXPECT_EQ(tm3_dim(7), 1716);
  EXPECT_EQ(tm3_dim(9), 4576);
  EXPECT_EQ(tm3_dim(11), 10374);
  EXPECT_EQ(tm3_dim(15), 38760);
  EXPECT_EQ(tm3_dim(19), 109802);
  EXPECT_EQ(tm3_dim(24), 315315);
  EXPECT_EQ(tm3_dim(29), 752928);
  EXPECT_EQ(tm3_dim(31), 1026256);
  EXPECT_EQ(tm3_dim(35), 1809522);
  EXPECT_EQ(tm3_dim(36), 0);

  struct Case {
    double R, used;
    int I, F;
  } cases[] = {{2.349, 2.30, 2, 30}, {2.35, 2.40, 2, 40}, {2.25, 2.25, 2, 25}, {0.999, 1.00, 0, 100},
               {-2.97, 3.00, 2, 100}, {0.0494, 0.0, 0, 0}, {0.0495, 0.1, 0, 10}, {3.75, 3.75, 3, 75}};
  for (const Case& c : cases) {
    int I = -1, F = -1;
    EXPECT_NEAR(tm_round(c.R, &I, &F), c.used, 1e-12) << c.R;
    EXPECT_EQ(I, c.I) << c.R;
    EXPECT_EQ(F, c.F) << c.R;
  }
}

// Counts by their closed forms, the per-order block table against the
// index look-up, the method switch, and a holder with a multi-precision
// matrix: negated like a double matrix, refused by the complex apply and
// by the copy.
TEST(TranslationMatrix, CountsBlockTableAndMultiPrecisionHolder) {
  const int ac[] = {1, 6, 20, 50, 105};
  for (int L = 0; L <= 4; L++) EXPECT_EQ(ac_dim(L), ac[L]);
  EXPECT_EQ(tm2_dim(0), 1);
  EXPECT_EQ(tm2_dim(3), 1 + 3 + 6 + 10);
  // The closed form (L+1)(L+2)(L+3)/6 at the top of the table.
  EXPECT_EQ(tm2_dim(160), 161 * 162 * 163 / 6);
  EXPECT_EQ(tm2_dim(161), 0);
  EXPECT_EQ(ac_dim(-1), 0);
  for (int N : {1, 5, 36}) {
    const int* t = tm3_table(N);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t, tm3_table(N));
    const int P = N * (N + 1) / 2;
    for (int n = 1; n <= std::min(N, 6); n++)
      for (int l = 0; l < n; l++)
        for (int np = 1; np <= std::min(N, 6); np++)
          for (int lp = 0; lp < np; lp++)
            EXPECT_EQ(t[(n * (n - 1) / 2 + l) * P + np * (np - 1) / 2 + lp], np <= n ? tm3_index(N, n, l, np, lp) : 0);
  }
  EXPECT_EQ(tm3_table(37), nullptr);

  EXPECT_EQ(tm_mode(3), 1);
  EXPECT_EQ(tm_mode(2), 1);
  EXPECT_EQ(tm_mode(1), 2);

  const int N = 3, count = tm3_dim(N - 1);
  std::vector<double> T(count);
  for (int i = 0; i < count; i++) T[i] = 1.0 + i;
  _zam_tm h;
  tm_init(&h);
  h.N = N;
  h.R = 1.0;
  h.M = yib_mpf_get(count);
  for (int i = 0; i < count; i++) mpf_set_d(h.M[i], T[i]);
  tm3_neg(N, T.data());
  tm3_neg_mpf(N, h.M);
  for (int i = 0; i < count; i++) EXPECT_EQ(mpf_get_d(h.M[i]), T[i]) << i;
  const int K = anlm_size(N);
  std::vector<double> in(2 * K), out(2 * K, 0.0), copy(count, 5.0), ident(count);
  for (int i = 0; i < 2 * K; i++) in[i] = 0.5 * i;
  tm3_ident(N, ident.data());
  {
    testutil::Capture said;
    ztm3_mult(N, 1, &h, in.data(), out.data());
    tm_copy(N, &h, copy.data());
    EXPECT_TRUE(said.has("ztm3_mult() does not support non-orthogonal matrices."));
    EXPECT_TRUE(said.has("tm_copy() cannot work with non-orthogonal matrices."));
  }
  EXPECT_EQ(out, in);
  EXPECT_EQ(copy, ident);
  tm_free(&h);
  EXPECT_EQ(h.M, nullptr);
}

TEST(TranslationMatrix, KnownElementSignsAndIdentity) {
  CacheAt cache(true);
  // The two lowest GTO functions are Gaussians exp(-r^2/2h): their overlap
  // at distance R is exp(-R^2/4h), h = 20. Off the cache the series runs at
  // the exact distance.
  const double R = 2.37;
  const std::vector<double> plus = matrix(6, 1, R), minus = matrix(6, 1, -R);
  EXPECT_NEAR(plus[0], std::exp(-R * R / 80.0), 1e-13);
  for (int n = 1; n <= 6; n++)
    for (int np = 1; np <= n; np++)
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++)
          for (int m = 0; m <= std::min(l, lp); m++) {
            const int at = tm3_index(6, n, l, np, lp) + m;
            EXPECT_EQ(plus[at], ((l + lp) % 2 ? -1 : 1) * minus[at]);
          }
  // Below 0.0495 the distance rounds to zero: the identity, and the holder
  // records a zero distance so that applying it copies.
  std::vector<double> I(tm3_dim(5));
  tm3_ident(6, I.data());
  _zam_tm h;
  tm_init(&h);
  ASSERT_EQ(tm_get(6, 1, &h, 0.0494), 1);
  EXPECT_EQ(h.R, 0.0);
  EXPECT_EQ(std::vector<double>(h.T, h.T + I.size()), I);
  tm_free(&h);
  EXPECT_NE(matrix(6, 1, 0.0495), I);
}

// T(a) T(b) = T(a + b) holds for the full basis; truncated at order N it
// holds on the lowest blocks, to rounding for the Gaussian family and to
// about 1e-3 at order 12 for the slowly converging exponential family.
TEST(TranslationMatrix, CompositionOnLowBlocks) {
  CacheAt cache(true);
  const int N = 12;
  for (int type : {1, 0}) {
    const double tol = type == 1 ? 1e-12 : 2e-3;
    const std::vector<double> A = matrix(N, type, 1.1), B = matrix(N, type, 0.7), C = matrix(N, type, 1.8);
    std::vector<double> AB(A.size());
    tm3_product(N, A.data(), B.data(), AB.data());
    for (int n = 1; n <= 3; n++)
      for (int np = 1; np <= n; np++)
        for (int l = 0; l < n; l++)
          for (int lp = 0; lp < np; lp++)
            for (int m = 0; m <= std::min(l, lp); m++) {
              const int at = tm3_index(N, n, l, np, lp) + m;
              EXPECT_NEAR(AB[at], C[at], tol) << type << " " << n << l << np << lp << m;
            }
    // Translating forth and back restores a low-order vector.
    const int K = anlm_size(N);
    std::vector<double> v(K, 0.0), w(K), u(K);
    for (int i = 0; i < anlm_size(3); i++) v[i] = std::cos(1.0 + i);
    ZamTm3_struct tm3;
    zam_tm3_init(&tm3);
    const int types[] = {type};
    ASSERT_EQ(zam_tm3_apply(N, 1, types, &tm3, v.data(), w.data(), 0.9), 1);
    ASSERT_EQ(zam_tm3_apply(N, 1, types, &tm3, w.data(), u.data(), -0.9), 1);
    for (int i = 0; i < anlm_size(3); i++) EXPECT_NEAR(u[i], v[i], type == 1 ? 1e-12 : 0.05) << i;
    ASSERT_EQ(zam_tm3_apply(N, 1, types, &tm3, v.data(), w.data(), 0.02), 1);
    EXPECT_EQ(w, v);
    zam_tm3_free(&tm3);
  }
}

// The coupling coefficients <l m; l' -m | k 0> behind every series matrix,
// over the whole range of orders (degrees to 35): the exact ladders that
// build the table against the Racah-started recursion in 256-bit floats:
// they agree to the last few bits of the 256, some 60 digits below what a
// matrix element in double can see.
TEST(TranslationMatrix, CouplingRoutesAgreeToDegree35) {
  const int L = 35;
  testutil::CouplingTables exact(L, 1);
  mpf_t* H = yib_mpf_get(2 * L + 1);
  mpf_t g, diff;
  mpf_inits(g, diff, nullptr);
  mpz_t tz;
  mpq_t tq;
  mpz_init(tz);
  mpq_init(tq);
  double worst = 0;
  exact.walk([&](int l, int lp, int k, _m12ranges) {
    mp_wcc_all(l, lp, k, H);  // H[m + l'] = <l m; l' -m | k 0>
    for (int m = 0; m <= lp; m++) {
      yib_result_mpf(exact.Z[L - m], exact.Q[L - m], tz, tq, g);
      mpf_sub(diff, g, H[lp + m]);
      worst = std::max(worst, std::fabs(mpf_get_d(diff)));
    }
  });
  EXPECT_LT(worst, 1e-70);
  mpf_clears(g, diff, nullptr);
  mpz_clear(tz);
  mpq_clear(tq);
  yib_mpf_free(H, 2 * L + 1);
}

// The exponential family's matrix by a second, analytic road: the overlaps
// of the two centres in prolate spheroidal coordinates agree with the series
// at the top of the orders they promise, the opposite distance flips the
// odd l + l' elements, and distance 0 is the identity.
TEST(TranslationMatrix, AnalyticEtoMatrixMatchesTheSeries) {
  const int N = 8;
  std::vector<double> series(tm3_dim(N - 1)), analytic(series.size());
  testutil::Capture said;
  for (const double R : {0.5, 2.5, 20.0}) {
    tm_et3_ser(N, series.data(), R);
    zam_calc_jr2(N, N - 1, analytic.data(), R);
    for (size_t k = 0; k < series.size(); k++) ASSERT_NEAR(analytic[k], series[k], 1e-9) << R << " " << k;
  }
  EXPECT_TRUE(said.has("[ 8, 8]\n"));
  EXPECT_TRUE(said.has("J[8](20.00) done analytically in "));
  std::vector<double> back(series.size());
  zam_calc_jr2(N, N - 1, back.data(), -20.0);
  tm3_neg(N, analytic.data());
  EXPECT_EQ(back, analytic);
  zam_calc_jr2(N, N - 1, back.data(), 0.0);
  tm3_ident(N, analytic.data());
  EXPECT_EQ(back, analytic);
}

// The equivalent forms of the apply against tm3_apply: the gather from
// explicit offsets and the long-double sweep agree to rounding; the sweep
// of complex blocks through the holders of their types gives each block
// exactly what ztm3_apply gives it, and refuses a holder with no matrix.
class EquivalentApplies : public ::testing::TestWithParam<int> {};

TEST_P(EquivalentApplies, AgreeWithTheApply) {
  CacheAt cache(true);
  const int N = GetParam(), K = anlm_size(N);
  ZamTm3_struct tm3, empty;
  zam_tm3_init(&tm3);
  zam_tm3_init(&empty);
  const double* G = zam_tm3_get(N, 1, &tm3, 2.3);
  ASSERT_TRUE(G && zam_tm3_get(N, 0, &tm3, -1.6));
  std::vector<double> in(6 * K), want(K), ref(K), vec(6 * K, 7.0), one(2 * K);
  for (size_t i = 0; i < in.size(); i++) in[i] = std::sin(0.7 * i + 0.3);
  tm3_apply(N, G, in.data(), want.data());
  tm3_apply_ref(N, G, in.data(), ref.data());
  std::vector<long double> GL(G, G + tm3_dim(N - 1)), inL(in.begin(), in.begin() + K), hexa(K);
  tm_apply_hexa(N, GL.data(), inL.data(), hexa.data());
  for (int i = 0; i < K; i++) {
    ASSERT_NEAR(ref[i], want[i], 1e-12) << i;
    ASSERT_NEAR(static_cast<double>(hexa[i]), want[i], 1e-12) << i;
  }
  const int types[] = {1, 0, 1};
  EXPECT_EQ(ztm3_apply_vec(N, 3, types, &empty, in.data(), vec.data()), 0);
  EXPECT_EQ(vec[0], 7.0);
  ASSERT_EQ(ztm3_apply_vec(N, 3, types, &tm3, in.data(), vec.data()), 1);
  for (int b = 0; b < 3; b++) {
    ztm3_apply(N, (b == 1 ? tm3.eto : tm3.gto).T, in.data() + 2 * K * b, one.data());
    EXPECT_EQ(std::vector<double>(vec.begin() + 2 * K * b, vec.begin() + 2 * K * (b + 1)), one) << b;
  }
  zam_tm3_free(&tm3);
}

INSTANTIATE_TEST_SUITE_P(Orders, EquivalentApplies, ::testing::Values(6, 15));

TEST(TranslationCache, FilesNamesSizesAndReuse) {
  CacheAt cache;
  const int N = 5;
  const int64_t bytes = 8 * tm3_dim(N - 1) + kRecord;
  testutil::Capture said;
  const std::vector<double> first = matrix(N, 1, 3.25);
  EXPECT_EQ(cache.size("zam_dh_3.dat"), bytes);
  EXPECT_EQ(cache.size("zam_dh_p25.dat"), bytes);
  EXPECT_EQ(cache.size("zam_dh_3p25.dat"), bytes);
  struct stat st;
  ASSERT_EQ(stat(cache.dir.file("zam_dh_3p25.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  // The composed matrix matches the series at 3.25 itself, up to the
  // truncation of the product at order 5 (small on the lowest blocks).
  zam_cache_mode(0);
  const std::vector<double> direct = matrix(N, 1, 3.25);
  zam_cache_mode(1);
  for (int i = 0; i < tm3_dim(1); i++) EXPECT_NEAR(first[i], direct[i], 1e-6) << i;
  // A second look-up (another holder) reads the (3, 25) file alone: no series.
  fs::remove(cache.dir.file("zam_dh_3.dat"));
  fs::remove(cache.dir.file("zam_dh_p25.dat"));
  said.text.clear();
  EXPECT_EQ(matrix(N, 1, -3.25), matrix(N, 1, -3.25));
  EXPECT_FALSE(said.has("Translation matrix"));
  EXPECT_FALSE(fs::exists(cache.dir.file("zam_dh_3.dat")));
  // ETO names, and 2.97 using (2, 0), (0, 100), (2, 100).
  matrix(3, 0, 0.25);
  EXPECT_EQ(cache.size("zam_de_p25.dat"), 8 * tm3_dim(2) + kRecord);
  matrix(3, 1, 2.97);
  EXPECT_GT(cache.size("zam_dh_2p100.dat"), 0);
  EXPECT_GT(cache.size("zam_dh_p100.dat"), 0);
  EXPECT_LT(cache.size("zam_dh_3.dat"), 0);
}

TEST(TranslationCache, HigherOrderPrefixesShortFilesAndFloats) {
  CacheAt cache;
  // A series file (F = 0) of a higher order serves a lower one.
  const int big = tm3_dim(24), small = tm3_dim(15);
  std::vector<double> T(big);
  for (int i = 0; i < big; i++) T[i] = 0.5 + i;
  ASSERT_EQ(zam_write_cache(25, 4, 0, 1, big, T.data()), 1);
  EXPECT_EQ(cache.size("zam_dh_4.dat"), 8 * big + kRecord);
  std::vector<double> out(big, -1.0);
  ASSERT_EQ(zam_read_cache(16, 4, 0, 1, small, out.data()), 1);
  EXPECT_EQ(std::vector<double>(out.begin(), out.begin() + small), std::vector<double>(T.begin(), T.begin() + small));
  // An order-16 file asked for order 25 is a miss ...
  ASSERT_EQ(zam_write_cache(16, 4, 0, 1, small, T.data()), 1);
  EXPECT_EQ(zam_read_cache(25, 4, 0, 1, big, out.data()), 0);
  // ... and a look-up then rewrites it at the higher order (small orders
  // here to keep the series quick).
  std::vector<double> low(tm3_dim(3));
  ASSERT_EQ(zam_write_cache(4, 1, 0, 1, tm3_dim(3), low.data()), 1);
  matrix(6, 1, 1.0);
  EXPECT_EQ(cache.size("zam_dh_1.dat"), 8 * tm3_dim(5) + kRecord);

  // Only a float file: its values carry no checksum, so it is not used
  // (one warning) and the double file made from the series takes its place.
  std::vector<float> f(tm3_dim(4));
  for (size_t i = 0; i < f.size(); i++) f[i] = 0.25f * i;
  testutil::write_file(cache.dir.file("zam_h_7.dat"),
                       std::string(reinterpret_cast<const char*>(f.data()), f.size() * sizeof(float)));
  std::vector<double> via;
  {
    testutil::Capture said;
    via = matrix(5, 1, -7.0);
    EXPECT_TRUE(said.has("zam_h_7.dat holds single-precision values"));
  }
  EXPECT_NE(via[1], 0.25);
  EXPECT_EQ(cache.size("zam_dh_7.dat"), 8 * tm3_dim(4) + kRecord);
  zam_cache_mode(0);
  EXPECT_EQ(via, matrix(5, 1, -7.0));
  zam_cache_mode(1);
}

// A product file (I >= 1 and F >= 1) is not a prefix of itself at a lower
// order: order 8 at 2.3 gives the same bits from an empty cache, from the
// files an order-16 look-up leaves, and warm; the order-16 product survives
// the order-8 look-ups and still serves order 16.
TEST(TranslationCache, ProductFilesServeOnlyTheirOwnOrder) {
  std::vector<double> cold, warm16;
  {
    CacheAt cache;
    cold = matrix(8, 1, 2.3);
    EXPECT_EQ(matrix(8, 1, 2.3), cold);
  }
  CacheAt cache;
  const std::vector<double> high = matrix(16, 1, 2.3);
  const int64_t product16 = cache.size("zam_dh_2p30.dat");
  EXPECT_EQ(product16, 8 * tm3_dim(15) + kRecord);
  EXPECT_EQ(matrix(8, 1, 2.3), cold);
  EXPECT_EQ(matrix(8, 1, 2.3), cold);
  EXPECT_EQ(cache.size("zam_dh_2p30.dat"), product16);
  EXPECT_EQ(matrix(16, 1, 2.3), high);
  // The series parts are exact prefixes: the order-16 product itself differs
  // from the order-8 one on its order-8 part (truncation of the product).
  double most = 0.0;
  for (int i = 0; i < tm3_dim(7); i++) most = std::max(most, std::fabs(high[i] - cold[i]));
  EXPECT_GT(most, 1e-3);
  EXPECT_NEAR(tm3_value(8, 8, 7, 8, 7, 7, cold.data()), 0.95016, 5e-6);
}

// A file whose record is of another version of the format is named as such
// (not as an older file) and made again.
TEST(TranslationCache, FileOfAnotherFormatIsNamedAndMadeAgain) {
  CacheAt cache;
  const std::vector<double> clean = matrix(4, 1, 3.0);
  const std::string file = cache.dir.file("zam_dh_3.dat");
  std::string bytes = testutil::read_file(file);
  bytes[bytes.size() - kRecord + 6] = '2';  // the version in the record's magic
  testutil::write_file(file, bytes);
  testutil::Capture said;
  EXPECT_EQ(matrix(4, 1, 3.0), clean);
  EXPECT_TRUE(said.has("zam_dh_3.dat is of another format (version 2")) << said.text;
  EXPECT_FALSE(said.has("older")) << said.text;
}

// Whatever the cache folder holds, a look-up gives the matrices of a clean
// cache. Files of the cache's own (values turned to NaN under a sound
// record, files of another distance or basis type, of a lower order) are
// made again and replaced, the first two with one warning each, and the
// replaced files serve the next look-up. Files that carry no record of the
// cache (random bytes: another program's; cut short) are never replaced:
// each keeps its bytes and its matrix is not cached, and one warning, when
// asked for at the end, counts them all and names the first.
TEST(TranslationCache, DamagedOrSwappedFilesAreMadeAgain) {
  // GTO files (3), (0, 25), (3, 25); ETO files (2), (0, 50), (2, 50).
  const auto lookups = [] { return std::vector<std::vector<double>>{matrix(6, 1, 3.25), matrix(6, 0, -2.5)}; };
  const char* names[] = {"zam_dh_3.dat", "zam_dh_p25.dat", "zam_dh_3p25.dat",
                         "zam_de_2.dat", "zam_de_p50.dat", "zam_de_2p50.dat"};
  std::vector<std::vector<double>> clean;
  testutil::TempDir same, low;  // the clean files, and the same written at order 4
  {
    CacheAt fresh;
    clean = lookups();
    for (const char* n : names) fs::copy_file(fresh.dir.file(n), same.file(n));
    CacheAt at4;
    matrix(4, 1, 3.25);
    matrix(4, 0, -2.5);
    for (const char* n : names) fs::copy_file(at4.dir.file(n), low.file(n));
  }
  std::mt19937 random(7);
  struct Damage {
    const char* what;
    bool warned, kept;
    std::function<void(const std::string& file, int i)> spoil;
  };
  const Damage damages[] = {
      {"random bytes", true, true,
       [&](const std::string& file, int) {
         std::string bytes = testutil::read_file(file);
         for (char& c : bytes) c = static_cast<char>(random());
         testutil::write_file(file, bytes);
       }},
      {"NaN values", true, false,
       [&](const std::string& file, int) {
         std::string bytes = testutil::read_file(file);
         const double nan = std::nan("");
         for (size_t at = 0; at + 8 <= bytes.size() - kRecord; at += 8) std::memcpy(&bytes[at], &nan, 8);
         testutil::write_file(file, bytes);
       }},
      {"cut short", true, true, [&](const std::string& file, int) { fs::resize_file(file, fs::file_size(file) - 12); }},
      {"another distance or type", true, false,
       [&](const std::string& file, int i) {
         fs::copy_file(same.file(names[(i + 1) % 6]), file, fs::copy_options::overwrite_existing);
       }},
      {"lower order", false, false,
       [&](const std::string& file, int i) {
         fs::copy_file(low.file(names[i]), file, fs::copy_options::overwrite_existing);
       }},
  };
  for (const Damage& d : damages) {
    CacheAt cache;
    lookups();
    std::vector<std::string> spoiled;
    for (int i = 0; i < 6; i++) {
      d.spoil(cache.dir.file(names[i]), i);
      spoiled.push_back(testutil::read_file(cache.dir.file(names[i])));
    }
    testutil::Capture said;
    EXPECT_EQ(lookups(), clean) << d.what;
    for (int i = 0; i < 6; i++) {
      const std::string file = cache.dir.file(names[i]);
      const std::string warning = "*Warning* Translation-matrix cache file " + file + " ";
      EXPECT_EQ(testutil::occurrences(said.text, warning), d.warned && !d.kept ? 1 : 0) << d.what << " " << names[i];
      EXPECT_EQ(testutil::read_file(file) == spoiled[i], d.kept) << d.what << " " << names[i];
    }
    said.text.clear();
    zam_cache_report_kept();
    if (d.kept) {
      EXPECT_TRUE(said.has("*Warning* Translation-matrix cache files kept: 6 hold no record of the cache")) << said.text;
      // The product is looked up before its parts.
      EXPECT_TRUE(said.has(". The first: " + cache.dir.file(names[2]) + "\n")) << said.text;
    } else {
      EXPECT_EQ(said.text, "") << d.what;
    }
    said.text.clear();
    EXPECT_EQ(lookups(), clean) << d.what;
    // Replaced files are read: no series, no warning. Kept ones were counted
    // once: their matrices come from the series again, unsaid.
    zam_cache_report_kept();
    if (d.kept)
      EXPECT_FALSE(said.has("*Warning*")) << d.what << said.text;
    else
      EXPECT_EQ(said.text, "") << d.what;
  }
}

// Names of the matrix files, with the prefixes of other radial scales; the
// default scales name no prefix and restore the default functions.
TEST(TranslationCache, NamesCarryTheRadialScale) {
  CacheAt cache;
  const std::string dir = cache.dir.str() + "/";
  EXPECT_EQ(zam_cache_file(25, 2, 50, 1, 0), dir + "zam_dh_2p50.dat");
  EXPECT_EQ(zam_cache_file(5, 3, 0, 1, 1), dir + "zam_h_3.dat");
  EXPECT_EQ(zam_cache_file(5, 0, 25, 0, 0), dir + "zam_de_p25.dat");
  zam_cache_gto_scale(10);
  zam_cache_eto_scale(2);
  EXPECT_EQ(zam_cache_file(5, 3, 0, 1, 0), dir + "zam_q10_dh_3.dat");
  EXPECT_EQ(zam_cache_file(5, 0, 10, 0, 1), dir + "zam_l2_e_p10.dat");
  EXPECT_EQ(hnl_scale(), 10.0);
  // The ETO functions stay normalised: T_10(0) = t^1.5 / sqrt(2).
  EXPECT_NEAR(tnl(1, 0, 0.0), 2.0, 1e-15);
  zam_cache_gto_scale(-10);
  zam_cache_eto_scale(-2);
  EXPECT_EQ(zam_cache_file(5, 3, 0, 1, 0), dir + "zam_r10_dh_3.dat");
  EXPECT_EQ(zam_cache_file(5, 3, 0, 0, 0), dir + "zam_m2_de_3.dat");
  EXPECT_EQ(hnl_scale(), 0.1);
  {
    testutil::Capture said;
    zam_cache_gto_scale(0);
    EXPECT_TRUE(said.has("*Error* "));
  }
  EXPECT_EQ(hnl_scale(), 0.1);
  zam_cache_gto_scale(20);
  zam_cache_eto_scale(1);
  EXPECT_EQ(zam_cache_file(5, 3, 0, 1, 0), dir + "zam_dh_3.dat");
  EXPECT_EQ(zam_cache_file(5, 3, 0, 0, 0), dir + "zam_de_3.dat");
  EXPECT_EQ(hnl_scale(), 20.0);
  EXPECT_EQ(tnl_scale(), 0.5);
  EXPECT_NEAR(tnl(1, 0, 0.0), std::sqrt(0.5), 1e-15);
}

// Other files of the cache folder: made afresh and private, read back,
// compressed by their name, and never outside the folder.
TEST(TranslationCache, NamedFilesInTheFolder) {
  CacheAt cache;
  int fd = zam_cache_create("blob.bin");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abcdef", 6), 6);
  EXPECT_EQ(zam_cache_close(fd), 0);
  EXPECT_EQ(fs::status(cache.dir.file("blob.bin")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  fd = zam_cache_create("blob.bin");  // the old content goes
  ASSERT_EQ(write(fd, "xy", 2), 2);
  EXPECT_EQ(zam_cache_close(fd), 0);
  fd = zam_cache_open("blob.bin");
  char got[8] = {};
  EXPECT_EQ(read(fd, got, sizeof got), 2);
  EXPECT_STREQ(got, "xy");
  EXPECT_EQ(zam_cache_close(fd), 0);
  EXPECT_EQ(zam_cache_open("none.bin"), -1);
  EXPECT_EQ(zam_cache_close(-1), -1);

  _zam_file* f = zam_cache_fcreate("table.txt.gz");
  ASSERT_NE(f, nullptr);
  zam_fprintf(f, "line %d\n", 7);
  EXPECT_EQ(zam_cache_fclose(f), 0);
  EXPECT_EQ(fs::status(cache.dir.file("table.txt.gz")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(testutil::read_file(cache.dir.file("table.txt.gz")).substr(0, 2), "\x1f\x8b");  // gzip
  f = zam_cache_fopen("table.txt.gz");
  ASSERT_NE(f, nullptr);
  char line[32];
  ASSERT_GE(zam_freadln(f, sizeof line, line), 0);
  EXPECT_STREQ(line, "line 7");
  EXPECT_EQ(zam_cache_fclose(f), 0);

  testutil::Capture said;
  EXPECT_EQ(zam_cache_create("../escape"), -1);
  EXPECT_EQ(zam_cache_fcreate(".."), nullptr);
  EXPECT_FALSE(fs::exists(cache.dir.path.parent_path() / "escape"));
  EXPECT_TRUE(said.has("Bad cache file name: ../escape"));
}

TEST(TranslationCache, PlainFileDisablesAndProbeExportsFolder) {
  testutil::TempDir dir;
  const std::string plain = dir.file("not_a_folder");
  testutil::write_file(plain, "x");
  zam_thread_setup(2);
  setenv("ZAM_CACHE", plain.c_str(), 1);
  zam_cache_reset();
  {
    testutil::Capture said;
    EXPECT_EQ(zam_cache_type(), 0);
    EXPECT_TRUE(said.has("ZAM_CACHE = " + plain + " is not a directory. Cache disabled.\n"));
  }
  EXPECT_EQ(zam_cache_type(), 0);
  zam_cache_mode(1);
  EXPECT_EQ(zam_cache_type(), 0);  // disabled for good
  EXPECT_EQ(matrix(3, 1, 1.5).size(), 33u);  // computed in memory
  {
    testutil::Capture said;
    EXPECT_EQ(zam_cache_create("x.bin"), -1);  // never "/x.bin"
    EXPECT_TRUE(said.has("No cache folder for x.bin"));
  }

  // No ZAM_CACHE, no ZAM_ROOT: a private zam_cache folder in the working
  // folder, exported with its absolute name.
  unsetenv("ZAM_CACHE");
  const char* root = std::getenv("ZAM_ROOT");
  const std::string saved_root = root ? root : "";
  unsetenv("ZAM_ROOT");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path);
  zam_cache_reset();
  EXPECT_EQ(zam_cache_type(), 1);
  EXPECT_EQ(std::string(zam_cache_path()), (dir.path / "zam_cache").string());
  EXPECT_EQ(std::string(std::getenv("ZAM_CACHE")), (dir.path / "zam_cache").string());
  EXPECT_EQ(fs::status(dir.path / "zam_cache").permissions() & fs::perms::others_all, fs::perms::none);
  fs::current_path(cwd);

  // A folder name that cannot fit the name buffer disables the cache.
  std::string deep = dir.str();
  while (deep.size() < 300) {
    deep += "/dddddddddddddddddddddddddddddddddddddddddd";
    fs::create_directory(deep);
  }
  setenv("ZAM_CACHE", deep.c_str(), 1);
  zam_cache_reset();
  {
    testutil::Capture said;
    EXPECT_EQ(zam_cache_type(), 0);
    EXPECT_TRUE(said.has("too long"));
  }
  unsetenv("ZAM_CACHE");
  if (!saved_root.empty()) setenv("ZAM_ROOT", saved_root.c_str(), 1);
  zam_cache_reset();
}

}  // namespace
