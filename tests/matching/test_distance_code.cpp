// Distance codes: every coded distance round-trips, the translation look-up's
// fractions are exact, codes order like distances, and the cap and sign rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harmonics/zam_tm.h"
#include "matching/zam_distance_code.h"

TEST(DistanceCode, LookUpFractionsAreExact) {
  const int hundredths[] = {0, 10, 20, 25, 30, 40, 50, 60, 70, 75, 80, 90};
  for (int whole : {0, 1, 7, 60, 2047})
    for (int f : hundredths) {
      const double r = whole + f / 100.0;
      const int code = zam_did_r12(r);
      EXPECT_EQ(code >> 4, whole) << r;
      EXPECT_LT(code & 15, 12) << r;
      EXPECT_NEAR(zam_r12_did(code), r, 1e-12) << r;
      EXPECT_EQ(zam_did_r12(-r), code) << r;
    }
  EXPECT_EQ(zam_did_r12(0.0), 0);
  EXPECT_EQ(zam_r12_did(0), 0.0);
}

TEST(DistanceCode, EveryCodeRoundTripsAndOrdersLikeItsDistance) {
  double last = -1.0;
  for (int code = 0; code < (2048 << 4); ++code) {
    if ((code & 15) >= 12) continue;
    const double r = zam_r12_did(code);
    ASSERT_EQ(zam_did_r12(r), code) << code;
    ASSERT_GT(r, last) << code;
    last = r;
  }
  EXPECT_NEAR(last, 2047.9, 1e-9);
}

TEST(DistanceCode, RoundsAsTheTranslationLookUp) {
  // The distance a code stands for is the one the translation matrices use.
  for (double r = 0.0; r < 12.0; r += 0.0137) {
    int I, F;
    ASSERT_EQ(zam_r12_did(zam_did_r12(r)), tm_round(r, &I, &F)) << r;
  }
  EXPECT_NEAR(zam_r12_did(zam_did_r12(2.349)), 2.30, 1e-12);
  EXPECT_NEAR(zam_r12_did(zam_did_r12(2.35)), 2.40, 1e-12);
  EXPECT_NEAR(zam_r12_did(zam_did_r12(0.999)), 1.00, 1e-12);  // into the next angstrom
  EXPECT_NEAR(zam_r12_did(zam_did_r12(-3.75)), 3.75, 1e-12);
}

TEST(DistanceCode, CapAndStrayCodes) {
  const int cap = zam_did_r12(2047.9);
  EXPECT_EQ(zam_did_r12(2047.96), cap);
  EXPECT_EQ(zam_did_r12(1e9), cap);
  EXPECT_EQ(zam_did_r12(-1e9), cap);
  EXPECT_EQ(zam_did_r12(std::numeric_limits<double>::infinity()), cap);
  EXPECT_EQ(zam_did_r12(std::numeric_limits<double>::quiet_NaN()), cap);
  EXPECT_LT(cap, 1 << 16);
  // Only the low 16 bits count; unused indices read as the whole part.
  EXPECT_DOUBLE_EQ(zam_r12_did((1 << 16) | zam_did_r12(5.25)), 5.25);
  EXPECT_DOUBLE_EQ(zam_r12_did((5 << 4) | 13), 5.0);
}
