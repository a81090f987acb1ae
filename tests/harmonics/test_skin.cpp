// Skin integration: single cells against the basis functions at their
// centre (pair weights, bits that feed nothing), the threaded and inline
// roads giving the same bits, and a grid turned by 90 degrees about z
// giving the rotated coefficients.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/log_capture.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_skin.h"
#include "harmonics/zam_wigner.h"
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

}  // namespace
