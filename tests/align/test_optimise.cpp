// Rigid-solution optimiser: G-score planes and candidate lists on small
// hand-placed chains, the parameter box of the search, and the refinements
// on real pairs (two trypsins, ubiquitin against a moved copy), which never
// lower the G-score.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_anchor.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_optimise.h"
#include "align/trel_trace.h"
#include "common/chains.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

struct Pep {
  _pdb_peptide* p;
  explicit Pep(int n) : p(zam_allocPdbPep(n)) {}
  ~Pep() { zam_freePdbPep(p); }
};

struct Bufs {
  _trel_align_buf** b;
  Bufs(int n, int m) : b(trel_allocAlignBuf(1, n, m)) {}
  ~Bufs() { trel_freeAlignBuf(1, b); }
  _trel_align_buf* operator*() const { return b[0]; }
};

// A hand-made alignment of the given pairs (one column each).
_trel_align* pairsAlign(const std::vector<std::pair<int, int>>& pairs) {
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->ncolumns = (int)pairs.size();
  a->columns = (_trel_a_column*)kget1B_0(sizeof(_trel_a_column) * (pairs.size() + 1));
  for (size_t k = 0; k < pairs.size(); k++) {
    a->columns[k].qres = pairs[k].first;
    a->columns[k].tres = pairs[k].second;
    a->columns[k].score = 1.0f;
  }
  a->tf = tf_identity();
  return a;
}

// Candidate list of query row i.
std::vector<int> candidates(_trel_align_buf* buf, int i, int m) {
  std::vector<int> out;
  const int* row = buf->iplane + (int64_t)(i + 1) * (m + 2);
  for (int k = 0; k <= m && row[k] >= 0; k++) out.push_back(row[k]);
  return out;
}

using testutil::Chain;

// Rotation angle of a transform, degrees.
double turnDegrees(const Matrix3D& T) {
  double c = (T.m[0] + T.m[5] + T.m[10] - 1.0) / 2.0;
  return rad2deg(std::acos(std::max(-1.0, std::min(1.0, c))));
}

}  // namespace

TEST(LoadGscores, WholeBoxSmoothsInsideTheChainsOnly) {
  // Three query residues on a line and a target drifting off by 1, 2, 3 A.
  Pep q(3), t(3);
  for (int i = 0; i < 3; i++) {
    q.p->ca[i] = {3.8 * i, 0, 0};
    t.p->ca[i] = {3.8 * i, (double)(i + 1), 0};
  }
  Bufs b(3, 3);
  _trel_align_buf* buf = *b;
  _trel_a_box box{0, 2, 0, 2};
  float sum = loadGscores(3, 3, box, nullptr, 3, q.p, t.p, tf_identity(), 20.0f, -1.0f, buf);
  // Chain ends on their own distance, the middle cell on the diagonal mean.
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(0, 0, 3)], getGscore(1.0f));
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(2, 2, 3)], getGscore(9.0f));
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(1, 1, 3)], getGscore((2 * 4.0f + 9.0f + 1.0f) / 4));
  EXPECT_FLOAT_EQ(buf->dplane[trel_cell(1, 1, 3)], 4.0f);
  float want = 0.0f;
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(candidates(buf, i, 3), (std::vector<int>{0, 1, 2}));
    for (int j = 0; j < 3; j++) want += buf->gplane[trel_cell(i, j, 3)];
  }
  EXPECT_FLOAT_EQ(sum, want);
  // Refreshing drops the smoothing.
  float s2 = refreshGscores(3, 3, box, q.p, t.p, tf_identity(), buf);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(1, 1, 3)], getGscore(4.0f));
  EXPECT_GT(s2, 0.0f);

  // A cut of 0.05 or less keeps nothing: every cell holds the fill.
  for (float cut : {0.05f, 0.0f}) {
    EXPECT_EQ(loadGscores(3, 3, box, nullptr, 3, q.p, t.p, tf_identity(), cut, -0.5f, buf), 0.0f);
    for (int i = 0; i < 3; i++) {
      EXPECT_TRUE(candidates(buf, i, 3).empty());
      for (int j = 0; j < 3; j++) EXPECT_EQ(buf->gplane[trel_cell(i, j, 3)], -0.5f);
    }
  }
  // A cut of 2.05 (squared cut-off 4) keeps only the first pair.
  loadGscores(3, 3, box, nullptr, 3, q.p, t.p, tf_identity(), 2.05f, -1.0f, buf);
  EXPECT_EQ(candidates(buf, 0, 3), std::vector<int>{0});
  EXPECT_TRUE(candidates(buf, 1, 3).empty());
}

TEST(LoadGscores, BandAroundAnAlignment) {
  const int n = 20;
  Pep q(n), t(n);
  for (int i = 0; i < n; i++) q.p->ca[i] = t.p->ca[i] = {3.8 * i, 0, 0};
  Bufs b(n, n);
  _trel_align_buf* buf = *b;
  std::vector<std::pair<int, int>> diag;
  for (int i = 0; i < n; i++) diag.push_back({i, i});
  _trel_align* a = pairsAlign(diag);
  _trel_a_box box{0, n - 1, 0, n - 1};
  // Cut 8: pairs beyond hold the fill -1, listed but not summed.
  float sum = loadGscores(n, n, box, a, 3, q.p, t.p, tf_identity(), 8.0f, -1.0f, buf);
  // Each stop opens residues (previous - 3) .. (this + 3): the band reaches
  // 7 off the diagonal.
  std::vector<int> row0 = candidates(buf, 0, n);
  EXPECT_EQ(row0, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(candidates(buf, 10, n).front(), 3);
  EXPECT_EQ(candidates(buf, 10, n).back(), 17);
  // The diagonal sits at distance 0 and is still a candidate.
  EXPECT_EQ(buf->dplane[trel_cell(5, 5, n)], 0.0f);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(5, 5, n)], 1.0f);
  // Off the band nothing was computed.
  EXPECT_EQ(buf->gplane[trel_cell(0, 12, n)], 0.0f);
  // Cells 0, 1 and 2 residues off the diagonal lie within 8 A; the rest hold -1.
  EXPECT_EQ(buf->gplane[trel_cell(0, 3, n)], -1.0f);
  float want = 0.0f;
  for (int i = 0; i < n; i++)
    for (int j : candidates(buf, i, n))
      if (buf->gplane[trel_cell(i, j, n)] >= 0.0f) want += buf->gplane[trel_cell(i, j, n)];
  EXPECT_FLOAT_EQ(sum, want);
  EXPECT_GT(sum, (float)n);

  // The objective: minus the refreshed sum under the base, counted.
  _trel_opt_context ctx{};
  ctx.nq = ctx.nt = n;
  ctx.box = box;
  ctx.base = tf_identity();
  ctx.qpep = q.p;
  ctx.tpep = t.p;
  ctx.buf = buf;
  double x[6] = {0, 0, 0, 0, 0, 0};
  double f0 = doTargetScore(6, x, &ctx, 0);
  x[3] = 0.5;
  double f1 = doTargetScore(6, x, &ctx, 1);
  EXPECT_EQ(ctx.evals, 2);
  EXPECT_LT(f0, f1);  // the exact overlay scores best
  trel_freeAlign(a);
}

TEST(Optimiser, ParameterVectorAndWeights) {
  double x[6] = {0, 0, 0, 1, 2, 3};
  Matrix3D T = tf_makeBFGS(6, x);
  Point3D p = pt_tfpt(T, {1, 1, 1});
  EXPECT_DOUBLE_EQ(p.x, 2.0);
  EXPECT_DOUBLE_EQ(p.y, 3.0);
  EXPECT_DOUBLE_EQ(p.z, 4.0);
  // Rotation first, then translation.
  double r[6] = {M_PI / 2, 0, 0, 1, 0, 0};
  p = pt_tfpt(tf_makeBFGS(6, r), {1, 0, 0});
  EXPECT_NEAR(p.x, 1.0, 1e-12);
  EXPECT_NEAR(p.y, 1.0, 1e-12);

  _trel_align* a = pairsAlign({{0, 0}, {1, 1}, {2, 2}});
  a->columns[0].score = 0.95f;
  a->columns[1].score = 0.9f;
  a->columns[2].score = 3.0f;
  resetWeights(a);
  EXPECT_EQ(a->columns[0].score, 0.25f);
  EXPECT_EQ(a->columns[1].score, 0.9f);
  EXPECT_EQ(a->columns[2].score, 0.25f);
  resetWeights(nullptr);
  trel_freeAlign(a);
  EXPECT_EQ(alignRigidSoln(3, 3, {0, 2, 0, 2}, 1, nullptr, nullptr, nullptr, 8, 3.4f, 0, nullptr),
            nullptr);
  EXPECT_EQ(optimiseRigidSoln(3, 3, {0, 2, 0, 2}, nullptr, nullptr, nullptr, 8, 3.4f, nullptr),
            nullptr);
}

namespace {

struct RealPair : ::testing::Test {
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    trel_setAlignWindow(3);
  }
};

// The anchor of a real pair with its buffer set up.
struct PairSetup {
  int n = 0, m = 0;
  _trel_align_buf** bufs = nullptr;
  _trel_a_box box{};
  _trel_align* anchor = nullptr;
  void make(Chain& q, Chain& t) {
    n = q.n;
    m = t.n;
    bufs = trel_allocAlignBuf(1, n, m);
    box = {0, n - 1, 0, m - 1};
    for (int i = 0; i < n + 2; i++) bufs[0]->qsegs[i] = 0;
    for (int i = 0; i < m + 2; i++) bufs[0]->tsegs[i] = 0;
    ASSERT_EQ(setupKmatrix(n, m, box, q.trace->seg, t.trace->seg, bufs[0]), 1);
    anchor = findAnchorGlobal(n, m, box, 0, 1, 4, q.trace->seg, t.trace->seg, q.pep, t.pep, 12.0f,
                              3.4f, bufs[0]);
    ASSERT_NE(anchor, nullptr);
    trel_GMscoreAlign(anchor, 12.0f, 3.4f, q.pep, t.pep, anchor->tf);
    anchor->fscore = makeFscore(anchor->nmatched, anchor->gscore, 0.0f);
  }
  ~PairSetup() {
    trel_freeAlign(anchor);
    trel_freeAlignBuf(1, bufs);
  }
};

void expectSameAlign(const _trel_align* a, const _trel_align* b) {
  ASSERT_EQ(a->ncolumns, b->ncolumns);
  EXPECT_EQ(a->gscore, b->gscore);
  EXPECT_EQ(a->fscore, b->fscore);
  EXPECT_EQ(a->nmatched, b->nmatched);
  for (int k = 0; k < 12; k++) EXPECT_EQ(a->tf.m[k], b->tf.m[k]);
  for (int j = 0; j < a->ncolumns; j++) {
    EXPECT_EQ(a->columns[j].qres, b->columns[j].qres);
    EXPECT_EQ(a->columns[j].tres, b->columns[j].tres);
  }
}

}  // namespace

TEST_F(RealPair, OptimiserNeverLowersTheGscoreOfTwoTrypsins) {
  Chain q, t;
  ASSERT_TRUE(q.load("theseus-examples/trypsins/1A0J_A.pdb.gz"));
  ASSERT_TRUE(t.load("theseus-examples/trypsins/1AO5_A.pdb.gz"));
  int64_t before = zam_vm_total();
  {
    PairSetup s;
    s.make(q, t);
    _trel_align_buf* buf = s.bufs[0];
    _trel_align* o = optimiseRigidSoln(s.n, s.m, s.box, s.anchor, q.pep, t.pep, 12.0f, 3.4f, buf);
    ASSERT_NE(o, nullptr);
    EXPECT_GE(o->gscore, s.anchor->gscore);
    EXPECT_NE(o, s.anchor);
    trel_freeAlign(o);

    // A start knocked off by a few degrees and half an angstrom is pulled back.
    _trel_align* off = trel_copyAlign(s.n, s.m, s.anchor);
    off->tf = tf_tftf(off->tf, tf_tftf(tf_rotz(deg2rad(3.0)), tf_v({0.4, -0.3, 0.2})));
    off->gscore = trel_GMscoreAlign(off, 12.0f, 3.4f, q.pep, t.pep, off->tf);
    o = optimiseRigidSoln(s.n, s.m, s.box, off, q.pep, t.pep, 12.0f, 3.4f, buf);
    EXPECT_GT(o->gscore, off->gscore);
    trel_freeAlign(o);
    // The matrix form finds the same transform and leaves its input alone.
    float g_before = off->gscore;
    Matrix3D tf_before = off->tf;
    Matrix3D M = optimiseRigidMatrix(s.n, s.m, s.box, off, q.pep, t.pep, 12.0f, 3.4f, buf);
    EXPECT_EQ(off->gscore, g_before);
    for (int k = 0; k < 12; k++) EXPECT_EQ(off->tf.m[k], tf_before.m[k]);
    // The search stays inside its box: at most 8 + 4 + 8 degrees of turn and
    // half an angstrom along each axis after the start transform.
    Matrix3D X = tf_tftf(tf_inverse(off->tf), M);
    EXPECT_LE(turnDegrees(X), 20.0 + 1e-6);
    EXPECT_LE(std::fabs(X.m[3]), 0.5 + 1e-9);
    EXPECT_LE(std::fabs(X.m[7]), 0.5 + 1e-9);
    EXPECT_LE(std::fabs(X.m[11]), 0.5 + 1e-9);
    trel_freeAlign(off);

    // Re-alignment cycles keep the best F-score.
    _trel_align* r = alignRigidSoln(s.n, s.m, s.box, 4, q.pep, t.pep, s.anchor, 12.0f, 3.4f, 0.0f, buf);
    ASSERT_NE(r, nullptr);
    EXPECT_GE(r->fscore, s.anchor->fscore);
    trel_freeAlign(r);
    // From a start without F-score one cycle re-aligns once; a fixed
    // superposition is kept through it.
    _trel_align* fixed = trel_copyAlign(s.n, s.m, s.anchor);
    fixed->tf = tf_tftf(fixed->tf, tf_rotz(deg2rad(2.0)));
    fixed->fscore = 0.0f;
    trel_setFixedSoln(fixed, 1);
    r = alignRigidSoln(s.n, s.m, s.box, 1, q.pep, t.pep, fixed, 12.0f, 3.4f, 0.0f, buf);
    EXPECT_GT(r->fscore, 0.0f);
    EXPECT_EQ(trel_fixedSoln(r), 1);
    for (int k = 0; k < 12; k++) EXPECT_EQ(r->tf.m[k], fixed->tf.m[k]);
    trel_freeAlign(r);
    // Without the flag the cycle refits.
    trel_setFixedSoln(fixed, 0);
    r = alignRigidSoln(s.n, s.m, s.box, 1, q.pep, t.pep, fixed, 12.0f, 3.4f, 0.0f, buf);
    EXPECT_GT(r->fscore, 0.0f);
    EXPECT_EQ(trel_fixedSoln(r), 0);
    EXPECT_GT(std::fabs(r->tf.m[3] - fixed->tf.m[3]), 1e-6);
    trel_freeAlign(r);
    trel_freeAlign(fixed);

    // Thresholded re-alignment: the given transform, pairs under threshold.
    _trel_align* f = finaliseRigidSoln(s.n, s.m, s.box, q.pep, t.pep, 4.0f, s.anchor, buf);
    ASSERT_NE(f, nullptr);
    for (int k = 0; k < 12; k++) EXPECT_EQ(f->tf.m[k], s.anchor->tf.m[k]);
    int close = 0;
    for (int j = 0; j < f->ncolumns; j++) {
      const _trel_a_column& c = f->columns[j];
      if (c.qres < 0 || c.tres < 0 || c.gscore <= 0.0f) continue;
      EXPECT_LT(d2_ptpt(q.pep->ca[c.qres], pt_tfpt(f->tf, t.pep->ca[c.tres])), 16.0) << j;
      close++;
    }
    EXPECT_GT(close, 150);
    trel_freeAlign(f);
  }
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(RealPair, UbiquitinAgainstAMovedCopy) {
  Matrix3D T = tf_tftf(tf_tftf(tf_rotx(0.7), tf_rotz(-1.3)), tf_v({12.0, -5.0, 30.0}));
  Chain q, t;
  ASSERT_TRUE(
              q.load("python3-prody-tests/pdb1ubi.pdb"));
  ASSERT_TRUE(
              t.load("python3-prody-tests/pdb1ubi.pdb", &T));
  int64_t before = zam_vm_total();
  {
    PairSetup s;
    s.make(q, t);
    _trel_align_buf* buf = s.bufs[0];
    // Knock the exact answer off and let the optimiser bring it back.
    _trel_align* off = trel_copyAlign(s.n, s.m, s.anchor);
    off->tf = tf_tftf(off->tf, tf_tftf(tf_roty(deg2rad(4.0)), tf_v({-0.3, 0.3, 0.3})));
    off->gscore = trel_GMscoreAlign(off, 12.0f, 3.4f, q.pep, t.pep, off->tf);
    _trel_align* o = optimiseRigidSoln(s.n, s.m, s.box, off, q.pep, t.pep, 12.0f, 3.4f, buf);
    EXPECT_GT(o->gscore, off->gscore);
    EXPECT_LE(o->gscore, (float)s.n + 1e-3f);
    trel_freeAlign(o);
    // At the exact answer there is nothing to gain: the copy comes back.
    o = optimiseRigidSoln(s.n, s.m, s.box, s.anchor, q.pep, t.pep, 12.0f, 3.4f, buf);
    EXPECT_GE(o->gscore, s.anchor->gscore);
    trel_freeAlign(o);

    // One cycle that cannot beat the F-score returns a plain copy.
    _trel_align* hi = trel_copyAlign(s.n, s.m, off);
    hi->fscore = 1e6f;
    _trel_align* r = alignRigidSoln(s.n, s.m, s.box, 1, q.pep, t.pep, hi, 12.0f, 3.4f, 0.0f, buf);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r, hi);
    expectSameAlign(r, hi);
    trel_freeAlign(r);
    trel_freeAlign(hi);
    trel_freeAlign(off);
  }
  EXPECT_EQ(zam_vm_total(), before);
}
