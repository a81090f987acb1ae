// Extra alignment scores on hand-computed cases and the backbone torsion
// table of ideal helices and strands.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "align/trel_backbone.h"
#include "align/trel_extra_scores.h"
#include "align/trel_globals.h"
#include "geometry/zam_transform.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"

namespace {

// g(d2) = exp(-d2 / (4 1.4^2)) at the default tau: g(1), g(3), g(4).
constexpr double kG1 = 0.8802485040505603;
constexpr double kG3 = 0.6820494876568626;
constexpr double kG4 = 0.6003730411984044;
constexpr float kTwoPi = 6.2831855f;

struct Torsions {
  _trel_torsion t{};
  ~Torsions() { trel_freeTorsion(&t); }
};

double deg(float radians) { return rad2deg(radians); }

}  // namespace

TEST(ExtraScores, HandComputedHAndAScores) {
  ASSERT_NEAR(gb_factor, -1.0 / 7.84, 1e-7);
  const double d2[2] = {0.0, 4.0};
  double G = 1.0 + kG4;
  // H: G / sqrt(4 * 9) = G / 6.
  EXPECT_NEAR(trel_HscoreAlign(4, 9, 2, d2), G / 6.0, 1e-6);
  // A: sqrt(2*4*9 / (16 + 81)) * G / 4.
  EXPECT_NEAR(zam_AscoreAlign(4, 9, 2, d2), std::sqrt(72.0 / 97.0) * G / 4.0, 1e-6);
  EXPECT_NEAR(zam_AscoreAlign(9, 4, 2, d2), std::sqrt(72.0 / 97.0) * G / 4.0, 1e-6);
  // Equal lengths: G / n, capped at 1.
  EXPECT_NEAR(zam_AscoreAlign(5, 5, 2, d2), G / 5.0, 1e-6);
  const double zeros[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_FLOAT_EQ(zam_AscoreAlign(5, 5, 5, zeros), 1.0f);
  EXPECT_FLOAT_EQ(zam_AscoreAlign(5, 5, 6, zeros), 1.0f);
  // No pairs, no score.
  EXPECT_EQ(trel_HscoreAlign(4, 9, 0, d2), 0.0f);
  EXPECT_EQ(zam_AscoreAlign(4, 9, 0, d2), 0.0f);
  EXPECT_EQ(trel_HscoreAlign(0, 9, 2, d2), 0.0f);
}

TEST(ExtraScores, BScoreSumsTheDiagonalNeighbours) {
  // Two straight chains 1 A apart: every pair at d2 = 1; inner pairs add
  // their two diagonal neighbours (d2 = 3), the chain ends do not.
  std::vector<Point3D> q(5), t(5);
  for (int i = 0; i < 5; i++) {
    q[i] = {3.8 * i, 0, 0};
    t[i] = {3.8 * i, 1, 0};
  }
  int qi[5] = {0, 1, 2, 3, 4}, ti[5] = {0, 1, 2, 3, 4};
  EXPECT_NEAR(trel_BscoreAlign(5, 5, 5, qi, ti, q.data(), t.data()), (2 * kG1 + 3 * kG3) / 5.0, 1e-6);
  // Two pairs, both at a chain end of the target (j = 0 and j = 4).
  int qj[2] = {1, 2}, tj[2] = {0, 4};
  double d_a = 3.8 * 3.8 + 1.0, d_b = 2 * 3.8 * 2 * 3.8 + 1.0;
  double want = (std::exp(d_a * gb_factor) + std::exp(d_b * gb_factor)) / 5.0;
  EXPECT_NEAR(trel_BscoreAlign(5, 5, 2, qj, tj, q.data(), t.data()), want, 1e-6);
  EXPECT_EQ(trel_BscoreAlign(5, 5, 0, qi, ti, q.data(), t.data()), 0.0f);
  // Identical chains score 1 and never more.
  EXPECT_FLOAT_EQ(trel_BscoreAlign(5, 5, 5, qi, ti, q.data(), q.data()), 1.0f);
}

TEST(ExtraScores, QScore) {
  EXPECT_FLOAT_EQ(trel_QscoreAlign(10, 10, 10, 0.0f), 1.0f);
  // 25 / (10 * 20 * (1 + 1)).
  EXPECT_FLOAT_EQ(trel_QscoreAlign(10, 20, 5, 3.0f), 0.0625f);
  EXPECT_EQ(trel_QscoreAlign(10, 20, 0, 1.0f), 0.0f);
  EXPECT_EQ(trel_QscoreAlign(0, 20, 5, 1.0f), 0.0f);
}

TEST(Torsions, IdealHelixAndStrandHaveTheirKnownAngles) {
  int64_t before = zam_vm_total();
  const int n = 12;
  for (int helix = 0; helix < 2; helix++) {
    std::string sse(n, helix ? 'H' : 'E');
    _pdb_image* im = trel_makeBackbone("ideal", 'A', n, "ACDEFGHIKLMN", sse.c_str());
    ASSERT_NE(im, nullptr);
    Torsions t;
    trel_makeTorsion(im, &t.t);
    ASSERT_NE(t.t.phi, nullptr);
    EXPECT_EQ(t.t.phi[0], kTwoPi);
    EXPECT_EQ(t.t.psi[n - 1], kTwoPi);
    EXPECT_EQ(t.t.ca[0], 0.0f);
    EXPECT_EQ(t.t.ca[n - 2], 0.0f);
    EXPECT_EQ(t.t.ca[n - 1], 0.0f);
    EXPECT_EQ(t.t.turn[0], 0.0f);
    EXPECT_EQ(t.t.turn[n - 1], 0.0f);
    for (int i = 1; i < n - 1; i++) {
      // A regular structure repeats the same angles at every residue.
      EXPECT_NEAR(t.t.phi[i], t.t.phi[1], 1e-3) << i;
      EXPECT_NEAR(t.t.psi[i], t.t.psi[1], 1e-3) << i;
      if (helix) {
        // Right-handed alpha helix: phi -57.8, psi -47.0, CA torsion about
        // +50, carbonyls of neighbours nearly parallel.
        EXPECT_NEAR(deg(t.t.phi[i]), -57.8, 1.0) << i;
        EXPECT_NEAR(deg(t.t.psi[i]), -47.0, 1.0) << i;
        if (i + 2 < n) {
          EXPECT_NEAR(deg(t.t.ca[i]), 50.0, 10.0) << i;
        }
        EXPECT_LT(deg(t.t.turn[i]), 40.0) << i;
      } else {
        // Antiparallel strand: phi -130, psi +130, CA torsion near 180,
        // carbonyls of neighbours opposed.
        EXPECT_NEAR(deg(t.t.phi[i]), -130.0, 1.0) << i;
        EXPECT_NEAR(deg(t.t.psi[i]), 130.0, 1.0) << i;
        if (i + 2 < n) {
          EXPECT_GT(std::fabs(deg(t.t.ca[i])), 160.0) << i;
        }
        EXPECT_GT(deg(t.t.turn[i]), 140.0) << i;
      }
    }
    // A second fill replaces the first without leaking.
    trel_makeTorsion(im, &t.t);
    EXPECT_NE(t.t.phi, nullptr);
    zam_freePdb(im);
  }
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Torsions, SingleResidueAndEmptyCases) {
  int64_t before = zam_vm_total();
  _pdb_image* im = trel_makeBackbone("one", 'A', 1, "G", nullptr);
  ASSERT_NE(im, nullptr);
  {
    Torsions t;
    trel_makeTorsion(im, &t.t);
    ASSERT_NE(t.t.phi, nullptr);
    EXPECT_EQ(t.t.phi[0], kTwoPi);
    EXPECT_EQ(t.t.psi[0], kTwoPi);
    EXPECT_EQ(t.t.ca[0], 0.0f);
    EXPECT_EQ(t.t.turn[0], 0.0f);
    // A null image empties the record.
    trel_makeTorsion(nullptr, &t.t);
    EXPECT_EQ(t.t.phi, nullptr);
    EXPECT_EQ(t.t.turn, nullptr);
  }
  trel_makeTorsion(im, nullptr);
  trel_freeTorsion(nullptr);
  zam_freePdb(im);
  EXPECT_EQ(zam_vm_total(), before);
}
