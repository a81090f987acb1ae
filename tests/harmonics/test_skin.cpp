// Skin integration: single cells against the basis functions at their
// centre (pair weights, bits that feed nothing), the threaded and inline
// roads giving the same bits, a grid turned by 90 degrees about z giving
// the rotated coefficients, and grids too large to count refused.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/ca_atoms.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_skin.h"
#include "harmonics/zam_wigner.h"
#include "runtime/zam_cell.h"
#include "runtime/zam_thread.h"

namespace {

struct Out {
  std::vector<double> a[4];
  explicit Out(int N) {
    for (auto& v : a) v.assign(anlm_size(N), 7.0);  // stale values must be cleared
  }
};

Out integrate(int N, int n, double d, Point3D origin, const std::vector<unsigned char>& skin) {
  Out o(N);
  zam_skin_integrate(N, n, d, origin, skin.data(), o.a[0].data(), o.a[1].data(), o.a[2].data(), o.a[3].data());
  return o;
}

// 1290^3 cells is the largest cube an int counts; at 1291 a side both passes
// refuse the grid before reading it (none is given) or touching their outputs.
TEST(SkinIntegrate, CubesPastAnIntCountAreRefused) {
  EXPECT_EQ(zam_grid_points("count", "cells", 1290, 1290, 1290), 2146689000);
  const int N = 3;
  Out o(N);
  double* a[4] = {o.a[0].data(), o.a[1].data(), o.a[2].data(), o.a[3].data()};
  testutil::Capture said;
  EXPECT_EQ(zam_skin_integrate(N, 1291, 0.2, Point3D{}, nullptr, a[0], a[1], a[2], a[3]), 0);
  EXPECT_EQ(zam_grid_integrate(a[0], a[1], a[2], a[3], nullptr, nullptr, N, 1, 1291, 0.2, Point3D{}, nullptr, nullptr,
                               nullptr),
            0);
  EXPECT_TRUE(said.has("zam_skin_integrate: grid of 1291x1291x1291 = 2151685171 cells is too large")) << said.text;
  EXPECT_TRUE(said.has("zam_grid_integrate: grid of 1291x1291x1291")) << said.text;
  for (const auto& v : o.a)
    for (double x : v) EXPECT_EQ(x, 7.0);
}

TEST(SkinIntegrate, SingleCellsAndPairWeights) {
  const int N = 5, n = 4;
  const double d = 1.5;
  const Point3D origin{-3.0, -3.0, -3.0};
  const int i = 1, j = 2, k = 3, cell = i + n * (j + n * k);
  const PolarPoint p = pp_pt(Point3D{origin.x + 1.5 * d, origin.y + 2.5 * d, origin.z + 3.5 * d});
  std::vector<double> basis(anlm_size(N));
  for (int nn = 1; nn <= N; nn++)
    for (int l = 0; l < nn; l++)
      for (int m = -l; m <= l; m++)
        basis[anlm_index(nn, l, m)] = d * d * d * hnl(nn, l, p.r) * ylm(l, m, p.theta, p.phi);
  for (int slots : {0, 3}) {
    zam_thread_setup(slots);
    struct Case {
      unsigned char byte;
      double w[4];
    } cases[] = {{1, {1, 0, 0, 0}}, {3, {0.5, 0.5, 0, 0}}, {5, {1, 0, 1, 0}}, {14, {0, 1, 0.5, 0.5}}, {16, {0, 0, 0, 0}}};
    for (const Case& c : cases) {
      std::vector<unsigned char> skin(n * n * n, 0);
      skin[cell] = c.byte;
      testutil::Capture said;
      const Out o = integrate(N, n, d, origin, skin);
      for (int q = 0; q < 4; q++)
        for (size_t e = 0; e < basis.size(); e++)
          EXPECT_NEAR(o.a[q][e], c.w[q] * basis[e], 1e-12) << slots << " byte " << int(c.byte) << " out " << q;
      if (slots) {
        EXPECT_TRUE(said.has("(1 non-zero)")) << said.text;
        EXPECT_TRUE(said.has("Done integration over 1 cells")) << said.text;
      } else {
        EXPECT_TRUE(said.has("Integration applied to 1 cells")) << said.text;
      }
    }
    // An empty grid: zero vectors and zero cells.
    testutil::Capture said;
    const Out o = integrate(N, n, d, origin, std::vector<unsigned char>(n * n * n, 0));
    for (const auto& v : o.a)
      for (double x : v) EXPECT_EQ(x, 0.0);
    if (slots) {
      EXPECT_TRUE(said.has("Done integration over 0 cells")) << said.text;
    }
  }
}

TEST(SkinIntegrate, ThreadedEqualsInlineBitForBit) {
  const int N = 8;
  std::mt19937 rng(11);
  // 1000 and 2197 cells: the last block is short; 91,125 cells: 356 blocks
  // in 64 chunks of 5 or 6 blocks.
  for (int n : {10, 13, 45}) {
    std::vector<unsigned char> skin(n * n * n);
    for (auto& b : skin) b = rng() % 3 == 0 ? 0 : static_cast<unsigned char>(rng() % 32);
    const Point3D origin{-0.6 * n, -0.5 * n, -0.45 * n};
    zam_thread_setup(0);
    const Out inline_road = integrate(N, n, 1.1, origin, skin);
    for (int slots : {1, 3, 16}) {  // 16 workers for 4 or 9 blocks: idle workers hand over nothing
      if (n == 45 && slots == 1) continue;
      zam_thread_setup(slots);
      const Out threaded = integrate(N, n, 1.1, origin, skin);
      for (int q = 0; q < 4; q++) EXPECT_EQ(threaded.a[q], inline_road.a[q]) << n << " " << slots << " " << q;
    }
  }
  zam_thread_setup(2);
}

// Turning the grid by 90 degrees about z (cell (i, j) to (n-1-j, i) on a
// grid centred at the origin) turns the shape exactly; its coefficients
// must be those of the original rotated by Rz(90).
TEST(SkinIntegrate, QuarterTurnOfTheGrid) {
  const int N = 7, n = 12;
  const double d = 1.25;
  const Point3D origin{-0.5 * n * d, -0.5 * n * d, -0.5 * n * d};
  std::mt19937 rng(5);
  std::vector<unsigned char> skin(n * n * n, 0), turned(n * n * n, 0);
  for (int k = 0; k < n; k++)
    for (int j = 0; j < n; j++)
      for (int i = 0; i < n; i++) {
        const double x = i - 3.0, y = j - 7.0, z = k - 5.5;
        if (x * x + 0.5 * y * y + z * z < 16.0 && rng() % 4) skin[i + n * (j + n * k)] = 1 + rng() % 2;
      }
  for (int k = 0; k < n; k++)
    for (int j = 0; j < n; j++)
      for (int i = 0; i < n; i++) turned[(n - 1 - j) + n * (i + n * k)] = skin[i + n * (j + n * k)];
  zam_thread_setup(2);
  const Out a = integrate(N, n, d, origin, skin), b = integrate(N, n, d, origin, turned);
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  for (int q = 0; q < 2; q++) {
    std::vector<double> r(anlm_size(N));
    ASSERT_EQ(zam_rm3_apply(N, 1, &rec, a.a[q].data(), r.data(), Euler{0.5 * M_PI, 0.0, 0.0}), 1);
    const double scale = anlm_mag(N, a.a[q].data());
    ASSERT_GT(scale, 0.0);
    for (size_t e = 0; e < r.size(); e++) EXPECT_NEAR(r[e], b.a[q][e], 1e-12 * scale) << q << " " << e;
  }
  zam_rm3_free(&rec);
}

// Ubiquitin's C-alpha atoms as 4 angstrom balls on a 1.8 angstrom grid,
// the cells flagged in a mix of both pairs of bits, integrated at order 20
// against the plain sum: for each marked cell in grid order, its weight
// times h^3 times the single-value hnl and ylm (their own recurrences, in
// long double for ylm), for every coefficient of all four outputs.
TEST(SkinIntegrate, RealShapeAgainstThePlainSum) {
  const std::vector<Point3D> atoms = testutil::centred_ca_atoms(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb"));
  ASSERT_GT(atoms.size(), 70u);
  const int N = 20, n = 24;
  const double d = 1.8, half = 0.5 * n * d;
  const Point3D origin{-half, -half, -half};
  const unsigned char mix[5] = {1, 2, 3, 5, 14};  // weights 1, 1, halves, 1 and 1, halves of bits 2 and 3
  std::vector<unsigned char> skin(n * n * n, 0);
  for (int c = 0; c < n * n * n; c++) {
    const int i = c % n, j = (c / n) % n, k = c / (n * n);
    const Point3D p{origin.x + (i + 0.5) * d, origin.y + (j + 0.5) * d, origin.z + (k + 0.5) * d};
    for (const Point3D& a : atoms)
      if ((p.x - a.x) * (p.x - a.x) + (p.y - a.y) * (p.y - a.y) + (p.z - a.z) * (p.z - a.z) < 16.0) {
        skin[c] = mix[(i + 2 * j + 3 * k) % 5];
        break;
      }
  }
  zam_thread_setup(0);
  Out fast(N);
  {
    testutil::Capture quiet;
    fast = integrate(N, n, d, origin, skin);
  }
  const int K = anlm_size(N);
  std::vector<double> plain(4 * static_cast<size_t>(K), 0.0), scale(plain.size(), 0.0), h(N * (N + 1)), y(N * N);
  int cells = 0;
  for (int c = 0; c < n * n * n; c++) {
    const unsigned char f = skin[c];
    if (!f) continue;
    cells++;
    const int i = c % n, j = (c / n) % n, k = c / (n * n);
    const PolarPoint p = pp_pt(Point3D{origin.x + (i + 0.5) * d, origin.y + (j + 0.5) * d, origin.z + (k + 0.5) * d});
    for (int nn = 1; nn <= N; nn++)
      for (int l = 0; l < nn; l++) h[nn * (nn - 1) / 2 + l] = hnl(nn, l, p.r);
    for (int l = 0; l < N; l++)
      for (int m = -l; m <= l; m++) y[l * l + l + m] = ylm(l, m, p.theta, p.phi);
    const double w01 = (f & 3) == 3 ? 0.5 : 1.0, w23 = (f & 12) == 12 ? 0.5 : 1.0;
    const double w[4] = {f & 1 ? w01 : 0.0, f & 2 ? w01 : 0.0, f & 4 ? w23 : 0.0, f & 8 ? w23 : 0.0};
    for (int nn = 1; nn <= N; nn++)
      for (int l = 0; l < nn; l++)
        for (int m = -l; m <= l; m++) {
          const double b = d * d * d * h[nn * (nn - 1) / 2 + l] * y[l * l + l + m];
          for (int q = 0; q < 4; q++) {
            plain[q * K + anlm_index(nn, l, m)] += w[q] * b;
            scale[q * K + anlm_index(nn, l, m)] += std::fabs(w[q] * b);
          }
        }
  }
  ASSERT_GT(cells, 1500);
  for (int q = 0; q < 4; q++)
    for (int e = 0; e < K; e++) {
      const double want = plain[q * K + e], got = fast.a[q][e];
      // 1e-12 of the coefficient, or of a hundredth of the sum of its terms'
      // magnitudes where they cancel to less: two summation orders differ
      // by about 1e-16 of that sum.
      EXPECT_NEAR(got, want, 1e-12 * std::max(std::fabs(want), 0.01 * scale[q * K + e])) << q << " " << e;
    }
  zam_thread_setup(2);
}

}  // namespace

namespace {

// Grid integration of two models: the six outputs of the threaded road equal
// those of the inline road bit for bit, each value grid is used on its own,
// and a cell's value-weighted basis vector lands in its typed block.
TEST(GridIntegrate, SixOutputsThreadedEqualsInline) {
  const int N = 6, T = 3, n = 11, K = anlm_size(N);
  const double d = 0.9;
  const Point3D origin{-5.0, -4.5, -5.2};
  std::mt19937 rng(3);
  std::vector<unsigned char> flags(n * n * n);
  for (auto& b : flags) b = rng() % 4 == 0 ? 0 : static_cast<unsigned char>(rng() % 64);
  std::vector<double> v1(flags.size() * T), v2(flags.size() * T);
  for (auto& x : v1) x = static_cast<double>(rng() % 1000) / 100.0 - 5.0;
  for (auto& x : v2) x = static_cast<double>(rng() % 1000) / 100.0 - 5.0;
  struct Six {
    std::vector<double> o[4], e[2];
    explicit Six(int size, int types) {
      for (auto& v : o) v.assign(size, 0.25);  // added to, not cleared
      for (auto& v : e) v.assign(size * types, 0.5);
    }
  };
  auto run = [&](int slots, const double* g2) {
    zam_thread_setup(slots);
    Six s(K, T);
    testutil::Capture quiet;
    zam_grid_integrate(s.o[0].data(), s.o[1].data(), s.e[0].data(), s.o[2].data(), s.o[3].data(), s.e[1].data(), N,
                       T, n, d, origin, flags.data(), v1.data(), g2);
    return s;
  };
  const Six ref = run(0, v2.data());
  for (int slots : {1, 4}) {
    const Six s = run(slots, v2.data());
    for (int q = 0; q < 4; q++) EXPECT_EQ(s.o[q], ref.o[q]) << slots << " " << q;
    for (int q = 0; q < 2; q++) EXPECT_EQ(s.e[q], ref.e[q]) << slots << " " << q;
  }
  // Without the second value grid the first typed block is the same and the
  // second untouched, on both roads.
  for (int slots : {0, 4}) {
    const Six s = run(slots, nullptr);
    EXPECT_EQ(s.e[0], ref.e[0]) << slots;
    for (double x : s.e[1]) EXPECT_EQ(x, 0.5) << slots;
  }
  // One cell with bits 4 and 5: its basis vector times each type's value.
  std::fill(flags.begin(), flags.end(), 0);
  const int cell = 3 + n * (7 + n * 2);
  flags[cell] = 48;
  const Six one = run(2, v2.data());
  const PolarPoint p = pp_pt(Point3D{origin.x + 3.5 * d, origin.y + 7.5 * d, origin.z + 2.5 * d});
  for (int t = 0; t < T; t++)
    for (int nn = 1; nn <= N; nn++)
      for (int l = 0; l < nn; l++)
        for (int m = -l; m <= l; m++) {
          const double b = d * d * d * hnl(nn, l, p.r) * ylm(l, m, p.theta, p.phi);
          const int at = t * K + anlm_index(nn, l, m);
          EXPECT_NEAR(one.e[0][at], 0.5 + v1[cell * T + t] * b, 1e-12);
          EXPECT_NEAR(one.e[1][at], 0.5 + v2[cell * T + t] * b, 1e-12);
        }
  for (double x : one.o[0]) EXPECT_EQ(x, 0.25);
  zam_thread_setup(2);
}

// The radial Laplacian at N = 1: out(1,0,0) = hnjl(1,1,0) in(1,0,0), with
// hnjl(1,1,0) the integral of H_10 (H_10'' + 2 H_10' / r) r^2, taken here
// by the midpoint rule with central differences.
TEST(GridIntegrate, LaplacianOfTheFirstGto) {
  double in[1] = {2.5}, out[1] = {99.0};
  testutil::Capture quiet;
  zam_skin_laplacian(1, in, out);
  const double dr = 0.01, e = 1e-3;
  double s = 0.0;
  for (double r = dr / 2; r < 60.0; r += dr) {
    const double f = hnl(1, 0, r), fp = (hnl(1, 0, r + e) - hnl(1, 0, r - e)) / (2 * e),
                 fpp = (hnl(1, 0, r + e) - 2 * f + hnl(1, 0, r - e)) / (e * e);
    s += f * (fpp + 2.0 * fp / r) * r * r * dr;
  }
  EXPECT_NEAR(hnjl(1, 1, 0), s, 1e-6 * std::fabs(s));
  EXPECT_NEAR(out[0], s * 2.5, 1e-6 * std::fabs(s));
  EXPECT_LT(out[0], 0.0);  // by parts, minus the integral of (H_10')^2 r^2
}

}  // namespace
