// Alignment parameters: built-in factors, setter clamps, derived Gaussian
// factors, weight renormalisation and the residue-window tables. The tests
// share the process-wide parameters, so they run in file order and each sets
// what it checks.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "align/trel_blosum62.h"
#include "align/trel_globals.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

// Messages shown while a Messages lives, in g_out (log_capture.h).
using Messages = testutil::Messages;
std::string& g_out = testutil::Messages::said();

void expect_rows(const int (*table)[4], std::vector<std::vector<int>> rows) {
  for (size_t r = 0; r < rows.size(); r++)
    for (size_t k = 0; k < rows[r].size(); k++)
      EXPECT_EQ(table[r][k], rows[r][k]) << "row " << r << " entry " << k;
}

}  // namespace

// The built-in Gaussian factors, hand-computed from their widths, and the
// score floors of the built-in gap penalty (half of it and all of it).
TEST(AlignParams, DefaultFactorsAndFloors) {
  EXPECT_FLOAT_EQ(g_rho, -0.1f);
  EXPECT_FLOAT_EQ(g_min_kscore, 0.05f);
  EXPECT_FLOAT_EQ(g_min_gscore, 0.1f);
  EXPECT_EQ(g_eta, 0.0f);
  EXPECT_TRUE(std::signbit(g_eta));
  EXPECT_EQ(g_window2, 2 * g_window);
  const float ca[6] = {-0.1220846f, -0.2388849f, -0.0184605f, -0.0197593f, -0.0083037f, -0.0085291f};
  const float va[6] = {-0.0428298f, -0.0528958f, -0.0148648f, -0.0159988f, -0.0076597f, -0.0079862f};
  for (int k = 0; k < 6; k++) {
    EXPECT_NEAR(ca_factor[k], ca[k], 1e-7) << k;
    EXPECT_NEAR(va_factor[k], va[k], 1e-7) << k;
  }
  EXPECT_EQ(ca_factor[6], 0.0f);
  EXPECT_EQ(ca_factor[7], 0.0f);
  EXPECT_EQ(va_factor[7], 0.0f);
  EXPECT_NEAR(gb_factor, -0.127551f, 1e-6);
  EXPECT_NEAR(gc_factor, -0.0244141f, 1e-7);
  EXPECT_NEAR(go_factor, -0.127551f, 1e-6);
}

TEST(AlignWindow, DefaultWindowBuiltOnFirstUse) {
  // No window was set: the tables are empty until the first K-matrix set-up,
  // which builds the default window of 4, once, from any number of threads.
  for (int r = 0; r < 4; r++)
    for (int k = 0; k < 4; k++) EXPECT_EQ(n_pattern[r][k] | c_pattern[r][k], 0);
  zam_thread_setup(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; t++) threads.emplace_back(trel_alignInitialise);
  for (auto& th : threads) th.join();
  EXPECT_EQ(g_window, 4);
  expect_rows(n_pattern, {{0, 2, 4, 6}, {0, 2, 4, 1}, {0, 2, 1, 3}, {0, 1, 3, 5}});
  expect_rows(c_pattern, {{1, 3, 5, 7}, {1, 3, 5, 0}, {1, 3, 0, 2}, {1, 0, 2, 4}});
}

TEST(AlignWindow, PatternsForThreeKeepLaterRows) {
  trel_setAlignWindow(4);
  trel_setAlignWindow(3);
  EXPECT_EQ(g_window, 3);
  EXPECT_EQ(g_window2, 6);
  expect_rows(n_pattern, {{0, 2, 4}, {0, 2, 1}, {0, 1, 3}});
  expect_rows(c_pattern, {{1, 3, 5}, {1, 3, 0}, {1, 0, 2}});
  // Row 3 and the fourth entries are left from the window of 4.
  expect_rows(n_pattern, {{0, 2, 4, 6}, {0, 2, 1, 1}, {0, 1, 3, 3}, {0, 1, 3, 5}});
  expect_rows(c_pattern, {{1, 3, 5, 7}, {1, 3, 0, 0}, {1, 0, 2, 2}, {1, 0, 2, 4}});
  // Initialising after a window was set keeps it.
  trel_alignInitialise();
  EXPECT_EQ(g_window, 3);
}

TEST(AlignWindow, ClampedAndIndexed) {
  trel_setAlignWindow(0);
  EXPECT_EQ(g_window, 1);
  EXPECT_EQ(g_window2, 2);
  EXPECT_EQ(n_pattern[0][0], 0);  // offset +1
  EXPECT_EQ(c_pattern[0][0], 1);  // offset -1
  trel_setAlignWindow(9);
  EXPECT_EQ(g_window, 4);
  EXPECT_EQ(g_window2, 8);
  trel_setAlignWindow(-7);
  EXPECT_EQ(g_window, 1);
  // Offsets +1 -1 +2 -2 +3 -3 +4 -4 are slots 0..7.
  const int offsets[8] = {1, -1, 2, -2, 3, -3, 4, -4};
  for (int s = 0; s < 8; s++) EXPECT_EQ(g_index[offsets[s] + 4], s);
  trel_setAlignWindow(3);
}

TEST(AlignParams, GapClamps) {
  trel_setAlignRho(-5);
  EXPECT_FLOAT_EQ(trel_getAlignRho(), -5.0f);
  EXPECT_FLOAT_EQ(g_min_kscore, 2.5f);
  EXPECT_FLOAT_EQ(g_min_gscore, 5.0f);
  trel_setAlignRho(5000);
  EXPECT_FLOAT_EQ(g_rho, -1000.0f);
  EXPECT_FLOAT_EQ(g_min_gscore, 1000.0f);
  trel_setAlignRho(NAN);
  EXPECT_EQ(g_rho, 0.0f);
  EXPECT_EQ(g_min_kscore, 0.0f);
  trel_setAlignRho(0.1f);
  EXPECT_FLOAT_EQ(g_min_kscore, 0.05f);
  EXPECT_FLOAT_EQ(g_min_gscore, 0.1f);

  trel_setAlignEta(250);
  EXPECT_FLOAT_EQ(trel_getAlignEta(), -100.0f);
  trel_setAlignEta(-3);
  EXPECT_FLOAT_EQ(g_eta, -3.0f);
  trel_setAlignEta(0);

  trel_setAlignAlpha(-12);
  EXPECT_FLOAT_EQ(g_alpha, 10.0f);
  trel_setAlignBeta(-0.25f);
  EXPECT_FLOAT_EQ(g_beta, 0.25f);
  trel_setAlignGamma(30);
  EXPECT_FLOAT_EQ(g_gamma, 10.0f);
  trel_setAlignAlpha(2);
  trel_setAlignBeta(1);
  trel_setAlignGamma(0.5f);
}

TEST(AlignParams, FilterBandedQcp) {
  trel_setAlignFilter(-0.2f);
  EXPECT_EQ(g_filter, 0.0f);
  trel_setAlignFilter(1.5f);
  EXPECT_EQ(g_filter, 1.0f);
  trel_setAlignFilter(0.3f);
  EXPECT_FLOAT_EQ(g_filter, 0.3f);
  trel_setAlignBanded(7);
  EXPECT_EQ(g_banded, 1);
  trel_setAlignBanded(0);
  EXPECT_EQ(g_banded, 0);
  trel_setQCP(0);
  EXPECT_EQ(g_qcp, 0);
  trel_setQCP(1);
  EXPECT_EQ(g_qcp, 1);
}

TEST(AlignParams, GaussianFactors) {
  trel_setAlignSigma(2);
  float ca[8], va[8];
  for (int k = 0; k < 8; k++) {
    ca[k] = ca_factor[k];
    va[k] = va_factor[k];
  }
  EXPECT_NEAR(ca[0], -1.0 / (4 * 2.862 * 2.862), 1e-7);  // width 1.431 x 2
  EXPECT_NEAR(va[5], -1.0 / (4 * 11.19 * 11.19), 1e-8);  // width 5.595 x 2
  EXPECT_EQ(ca[6], 0.0f);
  trel_setAlignSigma(-2);
  EXPECT_FLOAT_EQ(g_sigma, 2.0f);
  for (int k = 0; k < 8; k++) {
    EXPECT_EQ(ca_factor[k], ca[k]);
    EXPECT_EQ(va_factor[k], va[k]);
  }
  // A zero width would make the Gaussians infinite; the scale stays positive.
  trel_setAlignSigma(0);
  EXPECT_GT(g_sigma, 0.0f);
  for (int k = 0; k < 6; k++) EXPECT_TRUE(std::isfinite(ca_factor[k]));
  trel_setAlignSigma(1);
  EXPECT_NEAR(ca_factor[1], -0.2388849f, 1e-7);

  trel_setAlignTau(-2);
  EXPECT_FLOAT_EQ(trel_getAlignTau(), 2.0f);
  EXPECT_NEAR(gb_factor, -1.0 / (4 * 2.8 * 2.8), 1e-7);
  EXPECT_NEAR(gc_factor, -1.0 / (4 * 6.4 * 6.4), 1e-7);
  EXPECT_NEAR(go_factor, -0.127551f, 1e-6);  // omega untouched
  trel_setAlignOmega(0.5f);
  EXPECT_FLOAT_EQ(trel_getAlignOmega(), 0.5f);
  EXPECT_NEAR(go_factor, -1.0 / (4 * 0.7 * 0.7), 1e-6);
  trel_setAlignTau(1);
  trel_setAlignOmega(1);
}

TEST(AlignParams, BiasesBuildBlosumOnlyWhenNegative) {
  // The tables print their smallest G value once, when they are built.
  Messages messages;
  zam_debug = 1;
  trel_setAlignKbias(3);
  trel_setAlignGbias(1);
  EXPECT_EQ(g_out.find("Smallest Blosum"), std::string::npos);
  EXPECT_EQ(gk_bias, 3.0f);
  EXPECT_EQ(gg_bias, 1.0f);
  trel_setAlignKbias(-1);
  EXPECT_NE(g_out.find("Smallest Blosum"), std::string::npos);
  EXPECT_EQ(gk_bias, -1.0f);
  g_out.clear();
  trel_setAlignGbias(-2);
  EXPECT_EQ(gg_bias, -2.0f);
  EXPECT_EQ(g_out.find("Smallest Blosum"), std::string::npos);
  zam_debug = 0;
  trel_setAlignKbias(2);
  trel_setAlignGbias(1);
}

TEST(AlignParams, WeightRenormalisation) {
  trel_setAlignTrace(3);
  trel_setAlignSpatial(-1);
  trel_setAlignBlosum(0);
  trel_setAlignCut(0);
  EXPECT_FLOAT_EQ(trel_getAlignTrace(), 0.75f);
  EXPECT_FLOAT_EQ(trel_getAlignSpatial(), 0.25f);
  trel_setAlignBlosum(2);
  trel_setAlignCut(-2);
  EXPECT_FLOAT_EQ(trel_getAlignTrace(), 0.375f);
  EXPECT_FLOAT_EQ(trel_getAlignSpatial(), 0.125f);
  EXPECT_FLOAT_EQ(trel_getAlignBlosum(), 0.25f);
  EXPECT_FLOAT_EQ(trel_getAlignCut(), 0.25f);
  EXPECT_NEAR(trel_getBlosum62F('A', 'A'), 0.0909091f, 1e-6);  // tables were built

  // Saving the normalised weights and setting them back restores them.
  const float saved[4] = {trel_getAlignTrace(), trel_getAlignSpatial(), trel_getAlignBlosum(),
                          trel_getAlignCut()};
  trel_setAlignTrace(1);
  trel_setAlignSpatial(0);
  trel_setAlignBlosum(0);
  trel_setAlignCut(0);
  EXPECT_FLOAT_EQ(g_trace, 1.0f);
  trel_setAlignTrace(saved[0]);
  trel_setAlignSpatial(saved[1]);
  trel_setAlignBlosum(saved[2]);
  trel_setAlignCut(saved[3]);
  EXPECT_FLOAT_EQ(g_trace, saved[0]);
  EXPECT_FLOAT_EQ(g_blosum, saved[2]);

  // All four raw weights (near) zero: back to 0.5, 0.5, 0, 0.
  trel_setAlignTrace(0);
  trel_setAlignSpatial(0.00002f);
  trel_setAlignBlosum(0);
  trel_setAlignCut(0.00002f);
  EXPECT_EQ(g_trace, 0.5f);
  EXPECT_EQ(g_spatial, 0.5f);
  EXPECT_EQ(g_blosum, 0.0f);
  EXPECT_EQ(g_cut, 0.0f);
  EXPECT_FLOAT_EQ(w_cut, 0.00002f);  // the raw weights stay
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  trel_setAlignCut(0);
}

TEST(AlignParams, RainbowTable) {
  ASSERT_EQ(n_rainbow, 7);
  std::string colours, letters;
  for (int k = 0; k < n_rainbow; k++) {
    colours += std::string(rainbow_colour[k]) + " ";
    letters += rainbow_letter[k];
  }
  EXPECT_EQ(colours, "red orange yellow green blue violet grey ");
  EXPECT_EQ(letters, "ROYGBVN");
}
