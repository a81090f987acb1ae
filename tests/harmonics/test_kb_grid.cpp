// Expansion of node grids: one node against the basis functions at its
// place, a rebuilt grid against the expansion evaluated directly, the round
// trip back to the coefficients, the l = 0 rebuild, and the axis profiles.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "common/log_capture.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_kb_grid.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"

namespace {

// Runs the rest of a test in a fresh folder (the profiles go to the current one).
struct InTempDir {
  testutil::TempDir dir;
  std::filesystem::path old = std::filesystem::current_path();
  InTempDir() { std::filesystem::current_path(dir.path); }
  ~InTempDir() { std::filesystem::current_path(old); }
};

TEST(KbGrid, IntegrationOfSingleNodesAddsToTheCoefficients) {
  const int N = 8, nx = 3, ny = 4, nz = 5;
  const double h = 0.75;
  const Point3D origin{-1.0, -2.0, 0.5};
  std::vector<float> grid(nx * ny * nz, 0.0f);
  std::vector<double> a(anlm_size(N), 1.0);
  {
    testutil::Capture said;
    zam_grid_kb_integrate(a.data(), N, nx, ny, nz, h, origin, grid.data(), false);
    EXPECT_TRUE(said.has("Integration applied to 0 cells: 0.00 per cent of the total grid volume.\n")) << said.text;
  }
  for (double v : a) EXPECT_EQ(v, 1.0);

  const int i = 2, j = 1, k = 3;
  grid[i + nx * (j + ny * k)] = 2.5f;
  {
    testutil::Capture said;
    zam_grid_kb_integrate(a.data(), N, nx, ny, nz, h, origin, grid.data(), true);
    EXPECT_TRUE(said.has("Integration applied to 1 cells: 1.67 per cent")) << said.text;
    EXPECT_TRUE(said.has("[n,l,m] = [8 , 0, 0]  anlm = ")) << said.text;
  }
  const PolarPoint p = pp_pt(Point3D{origin.x + i * h, origin.y + j * h, origin.z + k * h});
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++) {
        const double want = 1.0 + 2.5 * h * h * h * hnl(n, l, p.r) * ylm(l, m, p.theta, p.phi);
        EXPECT_NEAR(a[anlm_index(n, l, m)], want, 1e-12 * (1 + std::fabs(want))) << n << " " << l << " " << m;
      }
}

TEST(KbGrid, ReconstructionIntegratesBackAndWritesTheAxes) {
  InTempDir here;
  const int N = 4, n = 41;
  const double h = 1.5, o = -(n - 1) * h / 2;
  const Point3D origin{o, o, o};
  std::vector<double> a(anlm_size(N), 0.0), kept(anlm_size(N), 0.0);
  for (int k = 0; k < anlm_size(N); k++) a[k] = std::sin(1.0 + 2.3 * k);
  a[anlm_index(2, 1, -1)] = 5e-6;  // too small to take part
  a[anlm_index(3, 0, 0)] = -1e-5;
  kept = a;
  kept[anlm_index(2, 1, -1)] = kept[anlm_index(3, 0, 0)] = 0.0;

  std::vector<float> grid(n * n * n, 0.0f);
  std::string said;
  {
    testutil::Capture c;
    zam_grid_kb_reconstruct_inline(a.data(), N, n, n, n, h, origin, grid.data(), "unused");
    said = c.text;
  }
  double worst = 0.0, least = 0.0;
  for (int c = 0; c < n * n * n; c++) {
    const int i = c % n, j = (c / n) % n, k = c / (n * n);
    const PolarPoint p = pp_pt(Point3D{o + i * h, o + j * h, o + k * h});
    const double want = anlm_value_h(N, kept.data(), p.r, p.theta, p.phi);
    worst = std::max(worst, std::fabs(grid[c] - want));
    if (i == n / 2 && j == n / 2) least = std::min(least, static_cast<double>(grid[c]));
  }
  EXPECT_LT(worst, 2e-7);
  ASSERT_LT(least, 0.0);
  char line[80];
  std::snprintf(line, sizeof line, "Minimum %g found in (0,0,", least);
  EXPECT_TRUE(said.find(line) != std::string::npos) << said;

  // Each axis file holds its 41 nodes in order, the centre in all three.
  for (const char* axis : {"z", "y", "x"}) {
    const auto lines = testutil::split_lines(testutil::read_file(std::string("kb_profile_") + axis + ".txt"));
    ASSERT_EQ(lines.size(), static_cast<size_t>(n)) << axis;
    double at, v;
    ASSERT_EQ(std::sscanf(lines[n / 2].c_str(), "%lf %lf", &at, &v), 2);
    EXPECT_EQ(at, 0.0);
    EXPECT_NEAR(v, grid[n / 2 * (1 + n + n * n)], 1e-8);
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "%lf", &at), 1);
    EXPECT_EQ(at, o);
  }

  // The grid holds the function well inside the box: it integrates back.
  std::vector<double> back(anlm_size(N), 0.0);
  {
    testutil::Capture quiet;
    zam_grid_kb_integrate(back.data(), N, n, n, n, h, origin, grid.data(), false);
  }
  for (int k = 0; k < anlm_size(N); k++) EXPECT_NEAR(back[k], kept[k], 2e-5) << k;
}

TEST(KbGrid, ReducedReconstructionIsTheSphericalPart) {
  InTempDir here;
  const int N = 6, n = 9;
  const double h = 2.0, o = -8.0;
  const Point3D origin{o, o, o};
  std::vector<double> a(anlm_size(N)), spherical(anlm_size(N), 0.0);
  for (int k = 0; k < anlm_size(N); k++) a[k] = std::cos(0.7 * k);
  for (int s = 1; s <= N; s++) spherical[anlm_index(s, 0, 0)] = a[anlm_index(s, 0, 0)];
  std::vector<float> reduced(n * n * n, 1.0f), full(n * n * n, 1.0f);
  {
    testutil::Capture quiet;
    zam_grid_kb_reconstruct_reduced(a.data(), N, n, n, n, h, origin, reduced.data(), nullptr);
    zam_grid_kb_reconstruct_inline(spherical.data(), N, n, n, n, h, origin, full.data(), nullptr);
  }
  for (int c = 0; c < n * n * n; c++) EXPECT_NEAR(reduced[c], full[c], 1e-6) << c;
  EXPECT_EQ(testutil::split_lines(testutil::read_file("kb_reduced_x.txt")).size(), static_cast<size_t>(n));
}

// 2000 x 2000 x 1000 nodes overflow an int count: every pass refuses the
// grid before reading it, and leaves the coefficients and the profiles alone.
TEST(KbGrid, GridsPastAnIntCountAreRefused) {
  InTempDir here;
  const int N = 3;
  std::vector<double> a(anlm_size(N), 1.0);
  std::vector<float> grid(8, 1.0f);
  testutil::Capture said;
  EXPECT_EQ(zam_grid_kb_integrate(a.data(), N, 2000, 2000, 1000, 1.0, Point3D{}, grid.data(), false), 0);
  EXPECT_TRUE(said.has("zam_kb_integrate_inline: grid of 2000x2000x1000 = 4000000000 nodes is too large")) << said.text;
  EXPECT_EQ(zam_grid_kb_reconstruct_inline(a.data(), N, 2000, 2000, 1000, 1.0, Point3D{}, grid.data(), nullptr), 0);
  EXPECT_EQ(zam_grid_kb_reconstruct_reduced(a.data(), N, 2000, 2000, 1000, 1.0, Point3D{}, grid.data(), nullptr), 0);
  EXPECT_EQ(zam_grid_kb_integrate(a.data(), N, 2, -2, 2, 1.0, Point3D{}, grid.data(), false), 0);
  EXPECT_TRUE(said.has("bad grid size 2x-2x2")) << said.text;
  EXPECT_FALSE(said.has("here...")) << said.text;
  for (double v : a) EXPECT_EQ(v, 1.0);
  for (float v : grid) EXPECT_EQ(v, 1.0f);
  EXPECT_TRUE(std::filesystem::is_empty(here.dir.path));
}

}  // namespace
