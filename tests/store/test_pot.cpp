// Potential classes: radius bounds, scales and letters, the request mask and
// the printed class set.
#include <gtest/gtest.h>

#include <cstring>

#include "store/trel_pot.h"

namespace {

void expectMask(const int* mask, std::initializer_list<int> want) {
  int c = 0;
  for (int w : want) EXPECT_EQ(mask[c++], w) << "slot " << c - 1;
}

}  // namespace

TEST(PotClass, RadiusBoundsBelongToTheHigherClass) {
  EXPECT_EQ(trel_potRadius(0.0), 0);
  EXPECT_EQ(trel_potRadius(19.999), 0);
  EXPECT_EQ(trel_potRadius(20.0), 1);
  EXPECT_EQ(trel_potRadius(29.99), 1);
  EXPECT_EQ(trel_potRadius(30.0), 2);
  EXPECT_EQ(trel_potRadius(40.0), 3);
  EXPECT_EQ(trel_potRadius(49.999), 3);
  EXPECT_EQ(trel_potRadius(50.0), 4);
  EXPECT_EQ(trel_potRadius(1000.0), 4);
}

TEST(PotClass, ScalesAndLettersWithFallbackOutsideRange) {
  const double scale[] = {1.2, 1.0, 0.8, 0.6, 0.4};
  const char* letter[] = {"A", "B", "C", "D", "E"};
  for (int c = 0; c < 5; c++) {
    EXPECT_DOUBLE_EQ(trel_potScale(c), scale[c]);
    EXPECT_STREQ(trel_potCode(c), letter[c]);
  }
  for (int c : {-1, 5, 99}) {
    EXPECT_DOUBLE_EQ(trel_potScale(c), 1.0);
    EXPECT_STREQ(trel_potCode(c), "B");
  }
}

TEST(PotMask, OwnClassRequest) {
  int mask[5] = {7, 7, 7, 7, 7};
  const int own[5] = {-1, 0, 0, 0, 0};
  const int none[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(trel_potMask(own, 2, none, mask), 1);
  expectMask(mask, {-1, -1, -1, -1, -1});
  const int has2[5] = {0, 0, 1, 0, 0};
  EXPECT_EQ(trel_potMask(own, 2, has2, mask), 0);
  expectMask(mask, {0, 0, 0, 0, 0});
  // Only the missing classes are marked when the own class is missing.
  const int has4[5] = {0, 0, 0, 0, 1};
  EXPECT_EQ(trel_potMask(own, 2, has4, mask), 1);
  expectMask(mask, {-1, -1, -1, -1, 0});
}

TEST(PotMask, ExplicitClassesBringTheOwnClassAlong) {
  int mask[5];
  const int all[5] = {1, 1, 1, 1, 1};
  const int has3[5] = {0, 0, 0, 1, 0};
  EXPECT_EQ(trel_potMask(all, 3, has3, mask), 1);
  expectMask(mask, {1, 1, 1, 0, 1});
  const int has_all[5] = {1, 1, 1, 1, 1};
  EXPECT_EQ(trel_potMask(all, 3, has_all, mask), 0);
  expectMask(mask, {0, 0, 0, 0, 0});
  // Class 4 alone, own class 1 missing: both are computed.
  const int want4[5] = {0, 0, 0, 0, 1};
  const int none[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(trel_potMask(want4, 1, none, mask), 1);
  expectMask(mask, {0, 1, 0, 0, 1});
  // Class 0 asked, own class 0 present, class 0 present: nothing to do.
  const int want0[5] = {1, 0, 0, 0, 0};
  const int has0[5] = {1, 0, 0, 0, 0};
  EXPECT_EQ(trel_potMask(want0, 0, has0, mask), 0);
}

TEST(PotFormat, MarksTheOwnClass) {
  char buffer[16];
  const int a[5] = {1, 0, 0, 0, 1};
  EXPECT_STREQ(trel_formatPots(a, 4, buffer), "[1,0,0,0,*]");
  const int b[5] = {0, 1, 1, 0, 0};
  EXPECT_STREQ(trel_formatPots(b, 1, buffer), "[0,*,1,0,0]");
  // A flag other than 1 counts as absent; an own class that is absent is 0.
  const int c[5] = {2, 0, 0, 0, 0};
  EXPECT_STREQ(trel_formatPots(c, 0, buffer), "[0,0,0,0,0]");
}
