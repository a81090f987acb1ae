// Tidying: far pairs split into gaps, gap regions regrouped, refit over the
// remaining pairs; inputs never change and nothing leaks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_tidy.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Builds an alignment from a pattern: 'P' pair, 'Q' query only, 'T' target
// only; residues are numbered on in column order on each side.
_trel_align* make_align(const std::string& pattern, float d2 = 1.0f) {
  auto* a = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  const int nc = (int)pattern.size();
  a->columns = static_cast<_trel_a_column*>(kget1B_0((int64_t)(nc + 1) * sizeof(_trel_a_column)));
  a->ncolumns = nc;
  a->tf = tf_identity();
  int q = 0, t = 0;
  for (int c = 0; c < nc; c++) {
    _trel_a_column& col = a->columns[c];
    col.qres = pattern[c] == 'T' ? -1 : q++;
    col.tres = pattern[c] == 'Q' ? -1 : t++;
    const bool pair = pattern[c] == 'P';
    col.score = col.kscore = col.gscore = pair ? 1.0f : 0.0f;
    col.d2 = pair ? d2 : -1.0f;
    col.mark = pair ? '*' : ' ';
    col.frag = 1;
    col.seg = 2;
  }
  return a;
}

std::string pattern_of(const _trel_align* a) {
  std::string s;
  for (int c = 0; c < a->ncolumns; c++) {
    const _trel_a_column& col = a->columns[c];
    s += col.qres >= 0 && col.tres >= 0 ? 'P' : col.qres >= 0 ? 'Q' : 'T';
  }
  return s;
}

}  // namespace

TEST(Tidy, BadContactsSplitOnlyPairsBeyondContact) {
  _trel_align* a = make_align("PPPP");
  a->columns[1].d2 = 49.0f;  // exactly 7 A: stays
  a->columns[2].d2 = 49.5f;  // beyond: split
  a->columns[3].d2 = 100.0f;
  _trel_align* b = trel_tidyBadContacts(4, 4, a, 7.0f);
  EXPECT_EQ(pattern_of(b), "PPQTQT");
  EXPECT_EQ(pattern_of(a), "PPPP");  // input unchanged
  const _trel_a_column& q = b->columns[2];
  const _trel_a_column& t = b->columns[3];
  EXPECT_EQ(q.qres, 2);
  EXPECT_EQ(q.tres, -1);
  EXPECT_EQ(t.qres, -1);
  EXPECT_EQ(t.tres, 2);
  for (const _trel_a_column* c : {&q, &t}) {
    EXPECT_EQ(c->mark, ' ');
    EXPECT_FLOAT_EQ(c->d2, -1.0f);
    EXPECT_FLOAT_EQ(c->score, 0.0f);
    EXPECT_FLOAT_EQ(c->kscore, 0.0f);
    EXPECT_FLOAT_EQ(c->gscore, 0.0f);
    EXPECT_EQ(c->seg, 2);  // fragment and segment numbers are kept
    EXPECT_EQ(c->frag, 1);
  }
  trel_freeAlign(a);
  trel_freeAlign(b);

  _trel_align* empty = make_align("");
  _trel_align* e2 = trel_tidyBadContacts(0, 0, empty, 7.0f);
  EXPECT_EQ(e2->ncolumns, 0);
  trel_freeAlign(empty);
  trel_freeAlign(e2);
  EXPECT_EQ(trel_tidyBadContacts(1, 1, nullptr, 7.0f), nullptr);
}

TEST(Tidy, GapFlipsRegroupRegions) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"PQTQP", "PQQTP"},      // two flips between pairs: query-only first
      {"PQTP", "PQTP"},        // one flip: left alone
      {"PTQP", "PTQP"},        // one flip the other way: left alone
      {"QTQTPP", "TTQQPP"},    // leading region: target-only first, always
      {"PPTQTQ", "PPQQTT"},    // trailing region: query-only first, always
      {"PTQTQP", "PQQTTP"},    // three flips
      {"QQTT", "QQTT"},        // no pair at all: unchanged
      {"", ""},
  };
  for (const Case& c : cases) {
    _trel_align* a = make_align(c.in);
    _trel_align* b = trel_tidyGapFlips(10, 10, a);
    EXPECT_EQ(pattern_of(b), c.out) << c.in;
    EXPECT_EQ(pattern_of(a), c.in);
    trel_freeAlign(a);
    trel_freeAlign(b);
  }
  // Regrouping keeps each group's order: the residues stay ascending.
  _trel_align* a = make_align("PQTQTQP");
  _trel_align* b = trel_tidyGapFlips(10, 10, a);
  ASSERT_EQ(pattern_of(b), "PQQQTTP");
  EXPECT_EQ(b->columns[1].qres, 1);
  EXPECT_EQ(b->columns[2].qres, 2);
  EXPECT_EQ(b->columns[3].qres, 3);
  EXPECT_EQ(b->columns[4].tres, 1);
  EXPECT_EQ(b->columns[5].tres, 2);
  trel_freeAlign(a);
  trel_freeAlign(b);
}

TEST(Tidy, FlipCountsAndPairSearch) {
  _trel_align* a = make_align("QPTQTPQ");
  EXPECT_EQ(countStaircaseFlips(2, 4, a), 2);
  EXPECT_EQ(countStaircaseFlips(2, 3, a), 1);
  EXPECT_EQ(countStaircaseFlips(3, 3, a), 0);
  EXPECT_EQ(countStaircaseFlips(4, 2, a), 0);
  EXPECT_EQ(findNextPair(0, a), 1);
  EXPECT_EQ(findNextPair(2, a), 5);
  EXPECT_EQ(findNextPair(6, a), -1);
  EXPECT_EQ(findNextPair(7, a), -1);
  EXPECT_EQ(findNextPair(-1, a), -1);
  EXPECT_EQ(findPrevPair(6, a), 5);
  EXPECT_EQ(findPrevPair(4, a), 1);
  EXPECT_EQ(findPrevPair(0, a), -1);
  EXPECT_EQ(findPrevPair(7, a), -1);
  trel_freeAlign(a);
}

TEST(Tidy, FitNeedsFourPairsAndRecoversTheMotion) {
  const int n = 6;
  _pdb_peptide* q = zam_allocPdbPep(n);
  _pdb_peptide* t = zam_allocPdbPep(n);
  const Point3D pts[n] = {{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}, {0, 3.8, 1}, {1, 2, 5}, {-2, 1, 3}};
  const Matrix3D move = tf_tftf(tf_rotz(0.7), tf_translate(pt_make(5, -3, 2)));
  for (int i = 0; i < n; i++) {
    q->ca[i] = pts[i];
    t->ca[i] = pt_tfpt(move, pts[i]);
  }
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);

  _trel_align* a = make_align("PPPQQQTTT");  // 3 pairs: superposition kept
  a->tf = tf_rotx(0.3);
  trel_tidyFit(a, q, t, trel_fitBuf(bufs[0]));
  const Matrix3D keep = tf_rotx(0.3);
  for (int k = 0; k < 12; k++) EXPECT_DOUBLE_EQ(a->tf.m[k], keep.m[k]);
  trel_freeAlign(a);

  a = make_align("PPPPP");  // 5 pairs: the fit maps the target onto the query
  trel_tidyFit(a, q, t, trel_fitBuf(bufs[0]));
  for (int i = 0; i < 5; i++) {
    const Point3D back = pt_tfpt(a->tf, t->ca[i]);
    EXPECT_NEAR(back.x, q->ca[i].x, 1e-6);
    EXPECT_NEAR(back.y, q->ca[i].y, 1e-6);
    EXPECT_NEAR(back.z, q->ca[i].z, 1e-6);
  }
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

TEST(Tidy, WholeTidyDropsFragmentsAndLeavesNothingBehind) {
  const int n = 8;
  _pdb_peptide* q = zam_allocPdbPep(n);
  _pdb_peptide* t = zam_allocPdbPep(n);
  for (int i = 0; i < n; i++) q->ca[i] = t->ca[i] = pt_make(3.8 * i, (i % 2) * 1.5, (i % 3) * 0.7);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  const int64_t before = zam_vm_total();
  _trel_align* a = make_align("PPQTQPPPT");
  a->frags = static_cast<_trel_a_frag*>(kget1B_0(20 * sizeof(_trel_a_frag)));
  a->nfrags = 1;
  a->columns[0].d2 = 90.0f;  // far: split at the start
  _trel_align* b = Trel_tidyAlign(n, n, a, 7.0f, q, t, bufs[0]);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->frags, nullptr);
  EXPECT_EQ(pattern_of(b), "TQPQQTPPPT");
  EXPECT_NE(a->frags, nullptr);
  EXPECT_EQ(pattern_of(a), "PPQTQPPPT");
  trel_freeAlign(a);
  trel_freeAlign(b);
  EXPECT_EQ(zam_vm_total(), before);
  EXPECT_EQ(Trel_tidyAlign(n, n, nullptr, 7.0f, q, t, bufs[0]), nullptr);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

TEST(Tidy, SingletonsClearTheirBox) {
  const int n = 10, m = 10;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  std::fill(buf->gplane, buf->gplane + buf->cells, 1.0f);
  // Close pairs at columns 0 and 8, a lone close-looking pair at column 4
  // surrounded by far pairs.
  _trel_align* a = make_align("PPPPPPPPP", 100.0f);
  a->columns[0].d2 = a->columns[8].d2 = a->columns[4].d2 = 1.0f;
  EXPECT_EQ(tidySingletons(n, m, 3.4f, a, buf), 1);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(4, 4, m)], -64.0f);
  // The chain ends are lone close pairs too; the far pairs between keep their cells.
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(0, 0, m)], -64.0f);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(8, 8, m)], -64.0f);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(2, 2, m)], 1.0f);
  EXPECT_FLOAT_EQ(buf->gplane[trel_cell(4, 5, m)], 1.0f);
  trel_freeAlign(a);
  a = make_align("PPPPPPPPP", 1.0f);  // all close: no singleton
  EXPECT_EQ(tidySingletons(n, m, 3.4f, a, buf), 0);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
}
