// Agglomerative clustering on hand-made distance matrices whose trees were
// worked out by hand for every linkage rule: the merge heights show through
// the groups of cuts just below and at each height.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/log_capture.h"
#include "driver/zam_cluster.h"
#include "runtime/zam_system.h"

namespace {

using Groups = std::vector<int>;

Groups cut(int method, int n, const std::vector<double>& d, double threshold, int* count = nullptr,
           char** labels = nullptr) {
  Groups g(n, -7);
  const int c = zam_clusterAgg(method, n, labels, d.data(), g.data(), threshold);
  if (count) *count = c;
  return g;
}

// Four items: 0 and 1 at 1, then 2 joins them, then 3. The tree is the same
// under every rule; the heights of the second merge and of the root are not:
//   rule                 second merge              root
//   pair average         (2+4)/2 = 3               (8+10)/2 = 9
//   group average        3                         (2*8+10)/3 = 26/3
//   unweighted centroid  3-1/4 = 2.75              (2*7.75+10)/3 - 2*2.75/9 = 71/9
//   weighted centroid    (2+4-1/2)/2 = 2.75        (7.75+10-2.75/2)/2 = 8.1875
//   single linkage       2                         7
//   complete linkage     4                         10
//   Wards                (2*2+2*4-1)/3 = 11/3      (3*31/3 + 2*10 - 11/3)/4 = 71/6
const std::vector<double> kFour = {0, 1, 2, 9,  //
                                   1, 0, 4, 7,  //
                                   2, 4, 0, 10, //
                                   9, 7, 10, 0};

struct Heights {
  int method;
  double second;
  double root;
};

TEST(Cluster, EveryLinkageRuleGivesItsHandComputedHeights) {
  const Heights rules[] = {{0, 3.0, 9.0},       {1, 3.0, 26.0 / 3.0}, {2, 2.75, 71.0 / 9.0},
                           {3, 2.75, 8.1875},   {4, 2.0, 7.0},        {5, 4.0, 10.0},
                           {6, 11.0 / 3.0, 71.0 / 6.0}};
  const double e = 1e-9;
  for (const Heights& h : rules) {
    SCOPED_TRACE(zam_clusterName(h.method));
    int count = 0;
    EXPECT_EQ(cut(h.method, 4, kFour, 1.0 - e, &count), (Groups{1, 2, 3, 4}));
    EXPECT_EQ(count, 4);
    EXPECT_EQ(cut(h.method, 4, kFour, 1.0), (Groups{1, 1, 2, 3}));
    EXPECT_EQ(cut(h.method, 4, kFour, h.second - e), (Groups{1, 1, 2, 3}));
    EXPECT_EQ(cut(h.method, 4, kFour, h.second + e, &count), (Groups{1, 1, 1, 2}));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(cut(h.method, 4, kFour, h.root - e), (Groups{1, 1, 1, 2}));
    EXPECT_EQ(cut(h.method, 4, kFour, h.root + e, &count), (Groups{1, 1, 1, 1}));
    EXPECT_EQ(count, 1);
  }
  // A number outside 0..6 is pair average.
  EXPECT_EQ(cut(9, 4, kFour, 9.0 - e), (Groups{1, 1, 1, 2}));
  EXPECT_EQ(cut(-1, 4, kFour, 9.0 + e), (Groups{1, 1, 1, 1}));
  EXPECT_STREQ(zam_clusterName(42), "pair average");
  EXPECT_STREQ(zam_clusterName(6), "Wards");
}

// Group numbers follow the first item of each group, wherever the merges
// happened: items 0 and 3 close, 1 and 2 close, the two pairs far apart.
TEST(Cluster, GroupsAreNumberedByTheirFirstItem) {
  const std::vector<double> d = {0, 5, 5, 0.2,  //
                                 5, 0, 0.1, 5,  //
                                 5, 0.1, 0, 5,  //
                                 0.2, 5, 5, 0};
  int count = 0;
  EXPECT_EQ(cut(0, 4, d, 0.7, &count), (Groups{1, 2, 2, 1}));
  EXPECT_EQ(count, 2);
  // Two items: one group at 0.5, two at 0.8 under the threshold 0.7.
  EXPECT_EQ(cut(0, 2, {0, 0.5, 0.5, 0}, 0.7, &count), (Groups{1, 1}));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(cut(0, 2, {0, 0.8, 0.8, 0}, 0.7, &count), (Groups{1, 2}));
  EXPECT_EQ(count, 2);
}

TEST(Cluster, TiesJoinTheFirstPairMetAndOddInputsStayWellFormed) {
  // All distances equal: the first merge joins items 1 and 0.
  const std::vector<double> equal = {0, 1, 1, 1, 0, 1, 1, 1, 0};
  const int saved = zam_debug;
  zam_debug = 3;
  std::string text;
  {
    testutil::Capture log;
    cut(0, 3, equal, 0.5);
    text = log.text;
  }
  zam_debug = saved;
  EXPECT_NE(text.find("3 1\nL 1 \nL 0 \n"), std::string::npos) << text;
  EXPECT_NE(text.find("4 1\nC 3 \nL 2 \n"), std::string::npos) << text;

  // One item is one group of one; none is no group.
  int count = -1;
  EXPECT_EQ(cut(0, 1, {0.0}, 0.7, &count), (Groups{1}));
  EXPECT_EQ(count, 1);
  Groups none;
  EXPECT_EQ(zam_clusterAgg(0, 0, nullptr, nullptr, none.data(), 0.7), 0);

  // Distances that are not numbers still give a whole tree (every merge has
  // two real children) and groups from 1.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> bad = {0, nan, nan, nan, 0, nan, nan, nan, 0};
  EXPECT_EQ(cut(0, 3, bad, 0.7, &count), (Groups{1, 2, 3}));
  EXPECT_EQ(count, 3);
}

TEST(Cluster, RefusesAMatrixLargerThanTheMachine) {
  // A million items would need 8e12 bytes for the work matrix: refused
  // before anything is read or allocated, the groups left as they were.
  testutil::Capture log;
  int g = -7;
  EXPECT_EQ(zam_clusterAgg(0, 1000000, nullptr, nullptr, &g, 0.7), -1);
  EXPECT_EQ(g, -7);
  EXPECT_TRUE(log.has("Clustering 1000000 items needs")) << log.text;
  EXPECT_DOUBLE_EQ(zam_clusterBytes(3), 200.0);
}

}  // namespace
