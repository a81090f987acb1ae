// Score functions of superposed alignments: G, F, M and T scores, fragment
// scoring windows, the G/M pass, the factor-plane boost and the final markup,
// on hand-built alignments with known distances.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb_pep.h"

namespace {

// An alignment of the given columns (pairs q, t; -1 for gaps) with fragment
// room for 64 records; fragment 0 spans all columns.
_trel_align* makeAlign(const std::vector<std::pair<int, int>>& cols) {
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->ncolumns = (int)cols.size();
  a->columns = (_trel_a_column*)kget1B_0(sizeof(_trel_a_column) * (cols.size() + 1));
  a->frags = (_trel_a_frag*)kget1B_0(sizeof(_trel_a_frag) * 64);
  for (size_t j = 0; j < cols.size(); j++) {
    _trel_a_column& c = a->columns[j];
    c.qres = cols[j].first;
    c.tres = cols[j].second;
    c.score = 1.0f;
    c.d2 = -1.0f;
    c.mark = (c.qres >= 0 && c.tres >= 0) ? '*' : ' ';
  }
  a->frags[0].first = 0;
  a->frags[0].last = a->ncolumns - 1;
  a->tf = tf_identity();
  return a;
}

// Peptide of n residues with CA i at (3.8 i, 0, 0) shifted by off.
_pdb_peptide* line(int n, Point3D off = {0, 0, 0}) {
  _pdb_peptide* p = zam_allocPdbPep(n);
  for (int i = 0; i < n; i++) {
    p->ca[i] = {3.8 * i + off.x, off.y, off.z};
    p->code[i] = 'A';
  }
  return p;
}

}  // namespace

TEST(Scores, GaussianAndSinglePrecisionDistance) {
  EXPECT_FLOAT_EQ(getGscore(0.0f), 1.0f);
  EXPECT_NEAR(getGscore(4.0f), std::exp(4.0 * gb_factor), 1e-6);
  EXPECT_NEAR(gb_factor, -0.127551f, 1e-6);
  // Each difference rounded to float before squaring.
  Point3D a{0.1, 0.2, 0.3}, b{1.1, 2.2, 3.3};
  float dx = (float)(a.x - b.x), dy = (float)(a.y - b.y), dz = (float)(a.z - b.z);
  EXPECT_EQ(d2_ptpt_inline(a, b), (double)(dx * dx + dy * dy + dz * dz));
  EXPECT_NEAR(makeFscore(15, 2.0f, 0.0f), 4.0f, 1e-6);  // 2 * 16^(1/4)
  EXPECT_NEAR(makeFscore(0, 3.0f, 0.0f), 3.0f, 1e-6);
}

TEST(Scores, TscoreUsesFixedD0UpToNineteenResidues) {
  double d2[1] = {1.0};
  double d19 = 0.168, d20 = 1.24 * std::cbrt(20.0) - 1.8;
  EXPECT_NEAR(trel_TscoreAlign(19, 40, 1, d2), 1.0 / (1.0 + 1.0 / (d19 * d19)) / 19.0, 1e-7);
  EXPECT_NEAR(trel_TscoreAlign(40, 20, 1, d2), 1.0 / (1.0 + 1.0 / (d20 * d20)) / 20.0, 1e-7);
  std::vector<double> zero(30, 0.0);
  EXPECT_NEAR(trel_TscoreAlign(30, 30, 30, zero.data()), 1.0, 1e-6);
  EXPECT_EQ(trel_TscoreAlign(30, 30, 0, zero.data()), 0.0f);
  // Empty chains: L is taken as 1, nothing is divided by 0.
  EXPECT_NEAR(trel_TscoreAlign(0, 0, 1, zero.data()), 1.0, 1e-6);
}

TEST(Scores, MscoreCountsOnlyPairsAboveHalfGaussian) {
  double at0[1] = {0.0};
  EXPECT_EQ(trel_MscoreAlign(1, 1, 1, at0), 1.0f);  // exactly 1
  EXPECT_FLOAT_EQ(trel_MscoreAlign(4, 10, 1, at0), 0.25f);
  // exp(d2 go/4) = 1/2 at d2 = 4 ln2 / -go: beyond it nothing is added.
  double far[1] = {4.0 * std::log(2.0) / -go_factor * 1.01};
  EXPECT_EQ(trel_MscoreAlign(5, 5, 1, far), 0.0f);
  double near[1] = {4.0};
  float x = (float)(4.0 * go_factor * 0.25);
  EXPECT_NEAR(trel_MscoreAlign(2, 3, 1, near), (2.0f * std::exp(x) - 1.0f) / 2.0f, 1e-6);
  EXPECT_EQ(trel_MscoreAlign(5, 5, 0, at0), 0.0f);
  EXPECT_EQ(trel_MscoreAlign(0, 5, 1, at0), 0.0f);  // no NaN from an empty chain
}

TEST(Scores, ScoreFragmentWindowsAndSeedRecords) {
  const int n = 30;
  std::vector<std::pair<int, int>> cols;
  for (int i = 0; i < n; i++) cols.push_back({i, i});
  _trel_align* a = makeAlign(cols);
  a->nfrags = 30;  // records 1..30, each one column of kind 2
  for (int k = 1; k <= 30; k++) a->frags[k] = {k - 1, k - 1, 2, 0, 1, 1, 1, {0, 0, 0}, tf_identity()};
  _pdb_peptide* q = line(n);
  _pdb_peptide* t = line(n);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_fit_buf fb = trel_fitBuf(bufs[0]);
  float G = -1, R = -1;
  int nm = scoreFragment(n, n, 10, -1, a, q, t, tf_identity(), 12.0f, 3.4f, &G, &R, fb);
  EXPECT_EQ(nm, 13);
  EXPECT_FLOAT_EQ(G, 13.0f);
  EXPECT_EQ(R, 0.0f);
  for (int j = 0; j < n; j++) {
    bool scored = j >= 3 && j <= 15;  // records 4..16
    EXPECT_EQ(a->columns[j].d2, scored ? 0.0f : -1.0f) << "column " << j;
  }
  // f = 0 takes records 0..nf-1, but record 0 is of kind 0; f < 0 takes 1..nf-1.
  EXPECT_EQ(scoreFragment(n, n, 0, -1, a, q, t, tf_identity(), 12.0f, 3.4f, &G, &R, fb), 29);
  EXPECT_EQ(scoreFragment(n, n, -1, -1, a, q, t, tf_identity(), 12.0f, 3.4f, &G, &R, fb), 29);
  EXPECT_EQ(a->columns[29].d2, -1.0f);  // the last record is never scored
  // Shifted by 2 A: matched within 3.4, RMS 2; shifted by 5 A: in range, not matched.
  Matrix3D shift = tf_v({0, 2, 0});
  nm = scoreFragment(n, n, -1, -1, a, q, t, shift, 12.0f, 3.4f, &G, &R, fb);
  EXPECT_EQ(nm, 29);
  EXPECT_NEAR(R, 2.0f, 1e-5);
  EXPECT_NEAR(G, 29 * getGscore(4.0f), 1e-4);
  nm = scoreFragment(n, n, -1, -1, a, q, t, tf_v({0, 5, 0}), 12.0f, 3.4f, &G, &R, fb);
  EXPECT_EQ(nm, 0);
  EXPECT_EQ(G, 0.0f);
  EXPECT_EQ(R, 0.0f);
  EXPECT_NEAR(a->columns[5].gscore, getGscore(25.0f), 1e-6);
  // Out of range (> 12 A): distance written, G value kept.
  a->columns[5].gscore = 7.0f;
  scoreFragment(n, n, -1, -1, a, q, t, tf_v({0, 13, 0}), 12.0f, 3.4f, &G, &R, fb);
  EXPECT_EQ(a->columns[5].gscore, 7.0f);
  EXPECT_NEAR(a->columns[5].d2, 169.0f, 1e-3);
  trel_freeAlign(a);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
  trel_freeAlignBuf(1, bufs);
}

TEST(Scores, GMscoreWithoutClosePairs) {
  _trel_align* a = makeAlign({{0, 0}, {1, -1}, {2, 1}, {-1, 2}});
  _pdb_peptide* q = line(3);
  _pdb_peptide* t = line(3, {0, 5, 0});
  float G = trel_GMscoreAlign(a, 12.0f, 3.4f, q, t, tf_identity());
  EXPECT_EQ(G, 0.0f);
  EXPECT_FLOAT_EQ(a->rmsd_matched, 99.99f);
  EXPECT_FLOAT_EQ(a->rmsd_aligned, 99.99f);
  EXPECT_EQ(a->nmatched, 0);
  EXPECT_EQ(a->naligned, 2);
  EXPECT_NEAR(a->columns[0].gscore, getGscore(25.0f), 1e-6);
  EXPECT_NEAR(a->columns[2].d2, 3.8 * 3.8 + 25.0, 1e-3);
  // Under the shift back every pair is close.
  G = trel_GMscoreAlign(a, 12.0f, 3.4f, q, t, tf_v({0, -5, 0}));
  EXPECT_EQ(a->nmatched, 1);  // only column 0 pairs equal residues
  EXPECT_GT(G, 0.99f);
  trel_freeAlign(a);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

TEST(Scores, BiasScoreMatrixBoostsAndRestores) {
  const int n = 8;
  std::vector<std::pair<int, int>> cols;
  for (int i = 0; i < n; i++) cols.push_back({i, i});
  _trel_align* a = makeAlign(cols);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  int64_t P = (int64_t)(n + 2) * (n + 2);
  for (int64_t c = 0; c < P; c++) buf->kfactor[c] = buf->gfactor[c] = 1.0f;
  a->nfrags = 1;  // fewer than 2 fragments: nothing happens
  a->frags[1] = {0, 7, 2, 0, 8, 8, 8, {0, 0, 0}, tf_identity()};
  biasScoreMatrix(n, n, a, 2.0f, 4.0f, buf);
  for (int64_t c = 0; c < P; c++) ASSERT_EQ(buf->gfactor[c], 1.0f);
  a->nfrags = 2;
  a->frags[1] = {0, 3, 2, 0, 4, 4, 4, {0, 0, 0}, tf_identity()};
  a->frags[2] = {4, 7, 2, 0, 4, 4, 4, {0, 0, 0}, tf_identity()};  // the last: not boosted
  biasScoreMatrix(n, n, a, 1.0f, 4.0f, buf);
  for (int i = 0; i < n; i++) {
    EXPECT_EQ(buf->gfactor[trel_cell(i, i, n)], i < 4 ? 4.0f : 1.0f);
    EXPECT_EQ(buf->kfactor[trel_cell(i, i, n)], 1.0f);
  }
  EXPECT_EQ(buf->gfactor[trel_cell(0, 1, n)], 1.0f);
  biasScoreMatrix(n, n, a, 0.0f, 0.25f, buf);
  for (int64_t c = 0; c < P; c++) ASSERT_EQ(buf->gfactor[c], 1.0f);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
}

TEST(Scores, FinalMarkupClassifiesPairsAndTotals) {
  const int n = 6;
  // Query AAAAAA; target letters differ at residue 1 and 4.
  std::vector<_trel_seg> qs(n), ts(n);
  for (int i = 0; i < n; i++) qs[i].code = ts[i].code = 'A';
  ts[1].code = ts[4].code = 'G';
  _trel_align* a = makeAlign({{0, 0}, {1, 1}, {2, -1}, {3, 3}, {4, 4}, {-1, 2}, {5, 5}});
  _pdb_peptide* q = line(n);
  _pdb_peptide* t = line(n);
  t->ca[3].y = 9.0;  // far identical pair
  t->ca[4].y = 8.0;  // far different pair
  t->ca[5].y = 1.0;  // close identical pair at 1 A
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  for (int i = 0; i < n + 2; i++) buf->qsegs[i] = buf->tsegs[i] = 0;
  for (int i = 0; i < n; i++) buf->kplane[trel_cell(i, i, n)] = 0.5f;
  // A pair column takes the target residue's number (even 0); a query gap
  // column keeps the query residue's.
  buf->qsegs[0] = buf->qsegs[1] = 1;
  buf->qsegs[2] = 2;
  buf->qsegs[5] = 3;
  buf->tsegs[5] = 1;
  markupAlignFit(n, n, a, qs.data(), ts.data(), q, t, 7.0f, buf);
  EXPECT_STREQ(std::string({a->columns[0].mark, a->columns[1].mark, a->columns[3].mark,
                            a->columns[4].mark, a->columns[6].mark})
                   .c_str(),
               "@*#$@");
  EXPECT_EQ(a->columns[2].d2, -1.0f);
  EXPECT_EQ(a->columns[2].kscore, 0.0f);
  EXPECT_EQ(a->columns[0].seg, 0);
  EXPECT_EQ(a->columns[2].seg, 2);
  EXPECT_EQ(a->columns[6].seg, 1);
  EXPECT_EQ(a->naligned, 5);
  EXPECT_EQ(a->nmatched, 3);
  EXPECT_EQ(a->nidentity, 3);
  EXPECT_EQ(a->nid_matched, 2);
  EXPECT_EQ(a->nid_unmatched, 1);
  EXPECT_EQ(a->nother_matched, 1);
  EXPECT_EQ(a->nother_unmatched, 1);
  EXPECT_EQ(a->nanchor, 1);
  EXPECT_EQ(a->nsegments, 2);
  EXPECT_EQ(a->ncover, 7);
  EXPECT_FLOAT_EQ(a->kscore, 2.5f);
  EXPECT_FLOAT_EQ(a->max_dist, 9.0f);
  EXPECT_FLOAT_EQ(a->contact, 7.0f);
  EXPECT_NEAR(a->rmsd_aligned, std::sqrt((81.0 + 64.0 + 1.0) / 5.0), 1e-5);
  EXPECT_NEAR(a->rmsd_matched, std::sqrt(1.0 / 3.0), 1e-5);
  EXPECT_NEAR(a->rmsd_anchor, 1.0, 1e-5);
  EXPECT_NEAR(a->gscore, 2.0 + getGscore(1.0f) + getGscore(81.0f) + getGscore(64.0f), 1e-5);
  std::vector<double> d2 = {0, 0, 81, 64, 1};
  EXPECT_FLOAT_EQ(a->tscore, trel_TscoreAlign(n, n, 5, d2.data()));
  EXPECT_FLOAT_EQ(a->mscore, trel_MscoreAlign(n, n, 5, d2.data()));
  trel_freeAlign(a);

  // Identical coordinates: RMSD 0, T-score 1, max distance -1.
  a = makeAlign({{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}});
  markupAlignFit(n, n, a, qs.data(), qs.data(), q, q, 7.0f, buf);
  EXPECT_EQ(a->rmsd_aligned, 0.0f);
  EXPECT_NEAR(a->tscore, 1.0f, 1e-6);
  EXPECT_EQ(a->max_dist, -1.0f);
  EXPECT_EQ(a->nid_matched, 6);
  trel_freeAlign(a);

  // No pairs at all: zero scores, span 1, no NaN.
  a = makeAlign({{0, -1}, {-1, 0}});
  markupAlignFit(n, n, a, qs.data(), ts.data(), q, t, 7.0f, buf);
  EXPECT_EQ(a->naligned, 0);
  EXPECT_EQ(a->ncover, 1);
  EXPECT_EQ(a->max_dist, -1.0f);
  EXPECT_EQ(a->tscore, 0.0f);
  EXPECT_EQ(a->mscore, 0.0f);
  EXPECT_EQ(a->rmsd_aligned, 0.0f);
  EXPECT_EQ(a->rmsd_matched, 0.0f);
  trel_freeAlign(a);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
  trel_freeAlignBuf(1, bufs);
}
