// ROC curves and AUC on hand-computed rankings, family marks of a ranking,
// weighted sums and the ".kroc" / ".kauc" files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "common/things.h"
#include "driver/zam_roc.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_thing.h"

namespace {

float auc_of(const std::vector<int>& tp) {
  _zam_roc* roc = zam_makeROC((int)tp.size(), tp.data());
  const float auc = zam_aucROC(roc);
  zam_freeROC(roc);
  return auc;
}

using testutil::Things;

}  // namespace

TEST(Roc, PerfectInvertedAndMixedRankings) {
  EXPECT_FLOAT_EQ(auc_of({1, 1, 0, 0}), 1.0f);
  EXPECT_FLOAT_EQ(auc_of({0, 0, 1, 1}), 0.0f);
  // Each positive counts the negatives ranked below it: (2 + 1) / 4.
  EXPECT_FLOAT_EQ(auc_of({1, 0, 1, 0}), 0.75f);
  EXPECT_FLOAT_EQ(auc_of({0, 1, 0, 1}), 0.25f);
  // Two negatives first and one positive last.
  EXPECT_FLOAT_EQ(auc_of({0, 0, 1}), 0.0f);
  // A single negative: last is perfect, first is the worst ranking, and in
  // the middle half the positives beat it.
  EXPECT_FLOAT_EQ(auc_of({1, 1, 0}), 1.0f);
  EXPECT_FLOAT_EQ(auc_of({0, 1, 1}), 0.0f);
  EXPECT_FLOAT_EQ(auc_of({1, 0, 1}), 0.5f);
  // Every item positive, nothing ranked; no positive at all finds nothing.
  EXPECT_FLOAT_EQ(auc_of({1, 1, 1}), 1.0f);
  EXPECT_FLOAT_EQ(auc_of({}), 1.0f);
  EXPECT_FLOAT_EQ(auc_of({0, 0, 0}), 0.0f);
  EXPECT_FLOAT_EQ(auc_of({0}), 0.0f);
}

TEST(Roc, NoPositiveGivesAZeroCurve) {
  const std::vector<int> tp = {0, 0, 0};
  _zam_roc* roc = zam_makeROC(3, tp.data());
  EXPECT_EQ(roc->npos, 0);
  float x[4], y[4], a[4];
  EXPECT_EQ(zam_sampleROC(roc, 4, x, y, a), 3);
  for (int i = 0; i < 4; i++) {
    EXPECT_FLOAT_EQ(y[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(a[i], 0.0f) << i;
  }
  EXPECT_FLOAT_EQ(x[3], 1.0f);
  zam_freeROC(roc);
}

TEST(Roc, CurvePointsMergeOnlyBeforeTheFirstNegative) {
  const std::vector<int> tp = {1, 0, 1, 0};
  _zam_roc* roc = zam_makeROC(4, tp.data());
  ASSERT_EQ(roc->npoints, 4);
  EXPECT_EQ(roc->npos, 2);
  EXPECT_EQ(roc->nneg, 2);
  const float x[] = {0.0f, 0.5f, 0.5f, 1.0f}, y[] = {0.5f, 0.5f, 1.0f, 1.0f};
  for (int j = 0; j < 4; j++) {
    EXPECT_FLOAT_EQ(roc->fpr[j], x[j]) << j;
    EXPECT_FLOAT_EQ(roc->tpr[j], y[j]) << j;
  }
  // Sampled at 0, 1/4, 2/4 and 1.
  float sx[4], sy[4], sa[4];
  EXPECT_EQ(zam_sampleROC(roc, 4, sx, sy, sa), 3);
  const float wx[] = {0.0f, 0.25f, 0.5f, 1.0f}, wy[] = {0.5f, 0.5f, 1.0f, 1.0f};
  const float wa[] = {0.125f, 0.1875f, 0.25f, 0.25f};
  for (int i = 0; i < 4; i++) {
    EXPECT_FLOAT_EQ(sx[i], wx[i]) << i;
    EXPECT_FLOAT_EQ(sy[i], wy[i]) << i;
    EXPECT_FLOAT_EQ(sa[i], wa[i]) << i;
  }
  zam_freeROC(roc);
  zam_freeROC(nullptr);
}

TEST(Roc, SampledPerfectCurveAndTooFewSamples) {
  const std::vector<int> tp = {1, 1};
  _zam_roc* roc = zam_makeROC(2, tp.data());
  EXPECT_EQ(roc->npoints, 2);
  float x[2], y[2], a[2];
  EXPECT_EQ(zam_sampleROC(roc, 1, x, y, a), 1);  // m < 2 samples twice
  EXPECT_FLOAT_EQ(x[0], 0.0f);
  EXPECT_FLOAT_EQ(x[1], 1.0f);
  EXPECT_FLOAT_EQ(y[0], 1.0f);
  EXPECT_FLOAT_EQ(y[1], 1.0f);
  EXPECT_FLOAT_EQ(a[0], 0.5f);
  EXPECT_FLOAT_EQ(a[1], 0.5f);
  zam_freeROC(roc);
}

TEST(Roc, FamilyMarksOfARanking) {
  Things q, t;
  q.add("query", 1, 10, 8, 10);
  t.add("a", 1, 10, 8, 10);
  t.add("b", 2, 40, 50, 10);
  t.add("c", 1, 10, 8, 10);
  t.add("d", 1, 10, 8, -1);  // matches by the wildcard, not counted as equal
  const int order[] = {1, 0, 3, 2};  // ranks: c, d, a, b
  int tpcode[4];
  EXPECT_EQ(trel_countCathCodes(q.list[0]->tag->code, 4, t.list.data()), 2);
  EXPECT_EQ(trel_setupROC(q.list[0], t.list.data(), 4, order, tpcode), 2);
  EXPECT_EQ(std::vector<int>(tpcode, tpcode + 4), (std::vector<int>{1, 1, 1, 0}));

  // An unclassified query takes the family of its best target (b here).
  Things u;
  u.add("unknown", 0, -1, 0, 0);
  const int order_b[] = {0, 2, 3, 1};
  EXPECT_EQ(trel_setupROC(u.list[0], t.list.data(), 4, order_b, tpcode), 1);
  EXPECT_EQ(std::vector<int>(tpcode, tpcode + 4), (std::vector<int>{1, 0, 0, 0}));

  // Every target in the family: all marked.
  Things same;
  same.add("x", 3, 1, 1, 1);
  same.add("y", 3, 1, 1, 1);
  const int order2[] = {0, 1};
  EXPECT_EQ(trel_setupROC(same.list[0], same.list.data(), 2, order2, tpcode), 2);
  EXPECT_EQ(tpcode[0] + tpcode[1], 2);
}

TEST(Roc, WeightedSums) {
  float sum_auc = 0.0f, sx[2] = {0, 0}, sy[2] = {0, 0}, sa[2] = {0, 0};
  const float x[] = {0.0f, 1.0f}, y[] = {0.5f, 1.0f}, a[] = {0.25f, 0.5f};
  trel_addROC(2, 0.5f, 0.8f, &sum_auc, x, y, a, sx, sy, sa);
  trel_addROC(2, 0.5f, 0.4f, &sum_auc, x, y, a, sx, sy, sa);
  EXPECT_FLOAT_EQ(sum_auc, 0.6f);
  EXPECT_FLOAT_EQ(sx[1], 1.0f);
  EXPECT_FLOAT_EQ(sy[0], 0.5f);
  EXPECT_FLOAT_EQ(sa[1], 0.5f);
}

TEST(Roc, RocAndAucFiles) {
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const float x[] = {0.0f, 1.0f}, y[] = {1.0f, 1.0f}, a[] = {0.5f, 0.5f};
  ASSERT_EQ(trel_writeROC(folder.c_str(), "1abc", "_flex", 7, 3, 1, 0.9f, x, y, a), 1);
  const std::string rule = "#============================\n";
  EXPECT_EQ(testutil::read_file(folder + "1abc_flex.kroc"),
            rule +
                "#query      =  1abc\n#targets    =  7\n#positives  =  3\n#points     =  1\n"
                "#AUC   5!   =  0.000000\n#AUC  10!   =  0.000000\n#AUC 100!   =  0.500000\n"
                "#\n#  X=FPR     Y=TPR     AUC\n" + rule + "#\n"
                " 0.000000  1.000000  0.500000\n");

  Things q;
  q.add("q1", 1, 1, 1, 1);
  q.add("q2", 1, 1, 1, 2);
  const float auc[] = {1.0f, 0.5f};
  ASSERT_EQ(trel_writeAUC(folder.c_str(), "aggregate", "", 2, q.list.data(), auc, 1), 1);
  EXPECT_EQ(testutil::read_file(folder + "aggregate.kauc"),
            "#  No. queries: 2\n#  Average AUC: 0.75000\n#  Total   AUC: 1.50000\n"
            "#  AUC     QUERY\n 1.000000  q1\n 0.500000  q2\n#  No positive: 1\n");
  // The aggregate curve counts the queries without a positive target on a
  // line after the data: the header and rows keep their line numbers.
  ASSERT_EQ(trel_writeROC(folder.c_str(), "aggregate", "", 7, 2, 1, 0.9f, x, y, a, 1), 1);
  EXPECT_EQ(testutil::read_file(folder + "aggregate.kroc"),
            rule +
                "#query      =  aggregate\n#targets    =  7\n#positives  =  2\n#points     =  1\n"
                "#AUC   5!   =  0.000000\n#AUC  10!   =  0.000000\n#AUC 100!   =  0.500000\n"
                "#\n#  X=FPR     Y=TPR     AUC\n" + rule + "#\n"
                " 0.000000  1.000000  0.500000\n#nopositives=  1\n");

  testutil::Capture cap;
  EXPECT_EQ(trel_writeROC((folder + "nowhere/").c_str(), "1abc", "", 7, 3, 1, 0.9f, x, y, a), 0);
  EXPECT_TRUE(cap.has("nowhere/1abc.kroc")) << cap.text;
}
