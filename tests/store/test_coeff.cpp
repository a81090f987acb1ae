// Coefficient sampling: which cells an atom marks (one cell for a small
// ball, none for a zero radius or a far atom, both bits where the two sets
// meet), the grid's size and origin from the structure's extent, and the
// sig and tau vectors as the integrals of the two flags.
#include <gtest/gtest.h>

#include <vector>

#include "common/log_capture.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_skin.h"
#include "runtime/zam_thread.h"
#include "store/trel_coeff.h"

namespace {

TEST(CoeffSampling, CellsMarkedByEachSet) {
  const int side = 8;
  const double h = 1.0;
  const Point3D origin{-4.0, -4.0, -4.0};
  std::vector<unsigned char> grid(side * side * side, 0);
  // A 0.3 angstrom ball samples only its centre: one cell.
  const Point3D a[] = {{0.5, 0.5, 0.5}, {1.5, 0.5, 0.5}, {0.1, 0.1, 0.1}, {20.0, 0.0, 0.0}};
  const float ra[] = {0.3f, 0.0f, 0.3f, 3.0f};  // zero radius and far atom mark nothing
  const Point3D b[] = {{0.5, 0.5, 0.5}, {-2.5, 0.5, 0.5}};
  const float rb[] = {0.3f, 0.3f};
  testutil::Capture said;
  trel_sample_structure(side, h, origin, 1.4, 1, 2, 4, a, ra, 2, b, rb, grid.data());
  auto at = [&](int i, int j, int k) { return grid[i + side * (j + side * k)]; };
  EXPECT_EQ(at(4, 4, 4), 3);
  EXPECT_EQ(at(1, 4, 4), 2);
  EXPECT_EQ(at(5, 4, 4), 0);
  int marked = 0;
  for (unsigned char c : grid) marked += c != 0;
  EXPECT_EQ(marked, 2);
  EXPECT_TRUE(said.has("Generated 1 sidechain and 2 backbone grid cells.")) << said.text;
  EXPECT_TRUE(said.has("Sidechain volume = 1.00; Backbone volume = 2.00.")) << said.text;
  // A 1 angstrom ball on a 1 angstrom grid at a cell corner: the 8 cells round it.
  std::fill(grid.begin(), grid.end(), 0);
  const Point3D c[] = {{0.0, 0.0, 0.0}};
  const float rc[] = {1.0f};
  trel_sample_structure(side, h, origin, 1.4, 1, 2, 1, c, rc, 0, nullptr, nullptr, grid.data());
  marked = 0;
  for (unsigned char v : grid) marked += v != 0;
  EXPECT_EQ(marked, 8);
}

TEST(CoeffSampling, GridFromExtentAndVectors) {
  zam_thread_setup(2);
  const int N = 4;
  // Class 1 (scale 1): an extent capped at 10 with h = 1 gives n = 20,
  // m = 21 and a grid of 22 cells a side from -10.5.
  const Point3D side[] = {{12.0, 0.0, 0.0}, {0.5, 0.5, 0.5}};
  const float rs[] = {1.5f, 0.0f};
  const Point3D back[] = {{0.0, 3.0, 0.0}};
  const float rbk[] = {1.5f};
  std::vector<double> sig(anlm_size(N)), tau(anlm_size(N));
  testutil::Capture said;
  trel_coeff_calculate(N, 1, 1.0, 10.0, 2, side, rs, 1, back, rbk, sig.data(), tau.data());
  EXPECT_TRUE(said.has("Grid: 22x22x22 = 10648 cells")) << said.text;
  // The side-chain atom lies beyond the grid's sphere: sig stays empty.
  EXPECT_EQ(anlm_mag(N, sig.data()), 0.0);
  EXPECT_GT(tau[0], 0.0);
  // Class 0 scales positions and radii by 1.2: the extent 3 + 2 x 1.5
  // becomes 7.2, so with h = 0.25 the grid has 60 cells a side, not 50.
  said.text.clear();
  trel_coeff_calculate(N, 1, 0.25, 30.0, 0, nullptr, nullptr, 1, back, rbk, sig.data(), tau.data());
  EXPECT_TRUE(said.has("Grid: 50x50x50")) << said.text;
  said.text.clear();
  trel_coeff_calculate(N, 0, 0.25, 30.0, 0, nullptr, nullptr, 1, back, rbk, sig.data(), tau.data());
  EXPECT_TRUE(said.has("Grid: 60x60x60")) << said.text;
}

// A spacing that would give a grid of more cells than an int counts is
// refused before the grid is allocated, the vectors left as they were; so is
// one too fine to count its cells at all.
TEST(CoeffSampling, GridTooLargeIsRefused) {
  zam_thread_setup(2);
  const int N = 4;
  const Point3D back[] = {{0.0, 3.0, 0.0}};
  const float rbk[] = {1.5f};
  std::vector<double> sig(anlm_size(N), 7.0), tau(anlm_size(N), 7.0);
  testutil::Capture said;
  // 2 x 6 / 0.0093 = 1290 cells, 1292 a side with the margin: one too many.
  EXPECT_EQ(trel_coeff_calculate(N, 1, 0.0093, 6.0, 0, nullptr, nullptr, 1, back, rbk, sig.data(), tau.data()), 0);
  EXPECT_TRUE(said.has("trel_coeff_calculate: grid of 1292x1292x1292")) << said.text;
  EXPECT_EQ(trel_coeff_calculate(N, 1, 1e-300, 6.0, 0, nullptr, nullptr, 1, back, rbk, sig.data(), tau.data()), 0);
  EXPECT_EQ(sig, std::vector<double>(anlm_size(N), 7.0));
  EXPECT_EQ(tau, std::vector<double>(anlm_size(N), 7.0));
  EXPECT_FALSE(said.has("Grid: ")) << said.text;
}

}  // namespace
