// Hot fragments and their masks, the tile thread pool against the serial
// tiles (bit for bit with 1, 2 and 4 threads), weighted-pair counts, the
// tight register-shift refit and box scoring.
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
#include "align/trel_hot.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/chains.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

struct Pep {
  _pdb_peptide* p;
  explicit Pep(int n) : p(zam_allocPdbPep(n)) {}
  ~Pep() { zam_freePdbPep(p); }
};

struct Frag {
  int first, last, kind;
};

// A hand-made alignment: one column per pair ({q, -1} and {-1, t} for gaps)
// and fragment records 1..k as given (record 0 spans everything).
_trel_align* makeAlign(const std::vector<std::pair<int, int>>& cols, const std::vector<Frag>& frags) {
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->ncolumns = (int)cols.size();
  a->columns = (_trel_a_column*)kget1B_0(sizeof(_trel_a_column) * (cols.size() + 1));
  for (size_t k = 0; k < cols.size(); k++) {
    a->columns[k].qres = cols[k].first;
    a->columns[k].tres = cols[k].second;
    a->columns[k].score = 1.0f;
    a->columns[k].gscore = 1.0f;
  }
  a->nfrags = (int)frags.size();
  a->frags = (_trel_a_frag*)kget1B_0(sizeof(_trel_a_frag) * (frags.size() + 1));
  a->frags[0].first = 0;
  a->frags[0].last = a->ncolumns - 1;
  for (size_t k = 0; k < frags.size(); k++) {
    a->frags[k + 1].first = frags[k].first;
    a->frags[k + 1].last = frags[k].last;
    a->frags[k + 1].kind = frags[k].kind;
  }
  a->tf = tf_identity();
  return a;
}

std::vector<std::pair<int, int>> diagonal(int n) {
  std::vector<std::pair<int, int>> d;
  for (int i = 0; i < n; i++) d.push_back({i, i});
  return d;
}

// Collects the messages of a scope.
std::string& g_heard = testutil::Messages::said();
// Messages in g_heard (log_capture.h) at the given debug level while it lives.
struct Listen : testutil::Messages {
  int level;
  explicit Listen(int debug) : level(zam_debug) {
    zam_debug = debug;
  }
  ~Listen() { zam_debug = level; }
};

}  // namespace

TEST(HotFragments, ThreeClosePairsMakeAFragmentHot) {
  const int n = 16;
  Pep q(n), t(n);
  for (int i = 0; i < n; i++) q.p->ca[i] = t.p->ca[i] = {3.8 * i, 0, 0};
  // Fragment 1 (kind 2): only two pairs close, however close. Fragment 2
  // (kind 2): three close pairs. Fragment 3 (kind 1): all close but not kind 2.
  for (int i : {2, 3, 4, 5}) t.p->ca[i].y = 50.0;
  _trel_align* a = makeAlign(diagonal(n), {{0, 5, 2}, {6, 9, 2}, {10, 12, 1}, {13, 15, 0}});
  a->frags[3].reserved = 7;  // kept: not a kind-2 record
  setHotFragments(a, tf_identity(), 3.0f, q.p, t.p);
  EXPECT_EQ(a->frags[1].reserved, 0);
  EXPECT_EQ(a->frags[2].reserved, 1);
  EXPECT_EQ(a->frags[3].reserved, 7);
  EXPECT_EQ(a->frags[4].reserved, 0);

  // Marks and biases visit records 0..k-1: record 4 is never visited.
  a->frags[3].reserved = 0;
  a->frags[4].reserved = 1;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, n);
  _trel_align_buf* buf = bufs[0];
  markHotFragments(n, n, 9, a, buf);
  for (int i = 0; i < n; i++) {
    bool hot = i >= 6 && i <= 9;
    EXPECT_EQ(buf->mask1[trel_cell(i, i, n)], hot ? 9 : 0) << i;
  }
  std::vector<float> plane((n + 2) * (n + 2), 2.0f);
  biasHotFragments(n, n, a, 0.5f, plane.data());
  EXPECT_EQ(plane[trel_cell(7, 7, n)], 1.0f);
  EXPECT_EQ(plane[trel_cell(14, 14, n)], 2.0f);
  EXPECT_EQ(plane[trel_cell(7, 8, n)], 2.0f);

  // Strike marks: records 1..k-1 only.
  a->frags[1].extra[0] = 1;
  a->frags[4].extra[0] = 1;
  strikeOutKmatrix(n, n, a, plane.data());
  EXPECT_EQ(plane[trel_cell(0, 0, n)], 0.0f);
  EXPECT_EQ(plane[trel_cell(5, 5, n)], 0.0f);
  EXPECT_EQ(plane[trel_cell(6, 6, n)], 1.0f);
  EXPECT_EQ(plane[trel_cell(14, 14, n)], 2.0f);
  // Fewer than two fragments: nothing.
  int k = a->nfrags;
  a->nfrags = 1;
  plane[trel_cell(1, 1, n)] = 3.0f;
  strikeOutKmatrix(n, n, a, plane.data());
  EXPECT_EQ(plane[trel_cell(1, 1, n)], 3.0f);
  a->nfrags = k;
  trel_freeAlignBuf(1, bufs);
  trel_freeAlign(a);
}

TEST(HotFragments, GmaskOpensTheBoxAwayFromHotPairs) {
  const int n = 30;
  std::vector<unsigned char> mask((n + 2) * (n + 2), 0);
  _trel_a_box box{0, n - 1, 0, n - 1};
  _trel_align* a = makeAlign(diagonal(n), {{0, 9, 2}, {10, 29, 2}});
  trel_setGmask(n, n, box, a, mask.data());
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) ASSERT_EQ(mask[trel_cell(i, j, n)], 1) << i << "," << j;

  // One hot pair (10, 10) in record 1 closes its 9 x 9 neighbourhood.
  std::fill(mask.begin(), mask.end(), 0);
  _trel_align* b = makeAlign({{10, 10}, {12, -1}}, {{0, 0, 2}, {1, 1, 0}});
  b->frags[1].reserved = 1;
  b->frags[2].reserved = 1;  // the last record is not visited
  trel_setGmask(n, n, {5, 25, 5, 25}, b, mask.data());
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      bool near = std::abs(i - 10) <= 4 && std::abs(j - 10) <= 4;
      bool inbox = i >= 5 && i <= 25 && j >= 5 && j <= 25;
      int want = inbox ? (near ? 0 : 1) : (near ? 1 : 0);
      ASSERT_EQ(mask[trel_cell(i, j, n)], want) << i << "," << j;
    }
  // A pair at the chain start clips at residue 0.
  std::fill(mask.begin(), mask.end(), 0);
  b->columns[0].qres = b->columns[0].tres = 1;
  trel_setGmask(n, n, {29, 29, 29, 29}, b, mask.data());
  EXPECT_EQ(mask[trel_cell(0, 0, n)], 1);
  EXPECT_EQ(mask[trel_cell(5, 5, n)], 1);
  EXPECT_EQ(mask[trel_cell(6, 5, n)], 0);
  trel_freeAlign(a);
  trel_freeAlign(b);
}

TEST(TightFit, CountsAndShiftedFits) {
  _trel_align* a = makeAlign({{0, 0}, {1, -1}, {2, 1}, {3, 2}, {-1, 3}, {4, 4}}, {{0, 3, 0}, {4, 5, 0}});
  a->columns[2].score = 0.0f;
  EXPECT_EQ(zam_countAlignPep(0, 0, 0, a), 3);
  EXPECT_EQ(zam_countAlignPep(0, 0, -2, a), 3);
  EXPECT_EQ(zam_countAlignPep(7, 7, 1, a), 2);
  EXPECT_EQ(zam_countAlignPep(0, 0, 2, a), 1);
  EXPECT_EQ(zam_countAlignPep(0, 0, 3, a), 0);
  trel_freeAlign(a);

  // Four pairs, shift +1: the last shifted residue falls off the target.
  const int n = 6;
  Pep q(n), t(n);
  for (int i = 0; i < n; i++) {
    q.p->ca[i] = {3.8 * i, std::sin(1.3 * i) * 2, std::cos(0.7 * i) * 3};
    t.p->ca[i] = {q.p->ca[i].x + 10, q.p->ca[i].y, q.p->ca[i].z};  // moved copy
  }
  _trel_align* b = makeAlign({{2, 2}, {3, 3}, {4, 4}, {5, 5}}, {{0, 3, 2}});
  std::vector<Point3D> qp(24), tp(24);
  std::vector<double> w(24);
  _trel_fit_buf fb{qp.data(), tp.data(), w.data(), 24};
  Matrix3D M0 = fitTight(n, 0, 3, 0, b, q.p, t.p, fb);
  EXPECT_NEAR(M0.m[3], -10.0, 1e-6);
  // Three usable pairs with shift +1: the identity.
  Matrix3D Mp = fitTight(n, 0, 3, 1, b, q.p, t.p, fb);
  for (int k = 0; k < 12; k++) EXPECT_EQ(Mp.m[k], tf_identity().m[k]);
  // The tight score: CA G-score counted twice without CB atoms; with CB
  // atoms the CB pair takes the second place.
  EXPECT_NEAR(scoreTight(n, 0, 3, 0, M0, b, q.p, t.p, fb), 8.0f, 1e-4);
  for (int i = 0; i < n; i++) {
    q.p->cb[i] = {q.p->ca[i].x, q.p->ca[i].y + 1.5, q.p->ca[i].z};
    t.p->cb[i] = {t.p->ca[i].x, t.p->ca[i].y - 1.5, t.p->ca[i].z};  // the other face
  }
  EXPECT_NEAR(scoreTight(n, 0, 3, 0, M0, b, q.p, t.p, fb), 4.0f + 4 * getGscore(9.0f), 1e-4);
  trel_freeAlign(b);
}

TEST(TightFit, RegisterShiftNeedsMoreThanTheBias) {
  // A tight core of 5 columns (bias 0.4 x 5 = 2) holding only 3 pairs, so
  // every fit is the identity and the scores are exact: residues are far
  // apart everywhere but where placed, and a coincident pair scores 2.
  const int n = 6;
  Pep q(n), t(n);
  for (int i = 0; i < n; i++) {
    q.p->ca[i] = {0, 0, 100.0 * i};
    t.p->ca[i] = {0, 500, 100.0 * i};
  }
  _trel_align* a =
      makeAlign({{0, -1}, {1, 1}, {2, 2}, {3, -1}, {-1, 3}, {4, 4}, {5, -1}}, {{0, 6, 0}});
  a->columns[0].gscore = a->columns[6].gscore = 0.1f;
  std::vector<Point3D> qp(30), tp(30);
  std::vector<double> w(30);
  _trel_fit_buf fb{qp.data(), tp.data(), w.data(), 30};
  // Shift -1 pairs query 1 with target 0: a gain of exactly the bias stays.
  t.p->ca[0] = q.p->ca[1];
  {
    Listen l(2);
    Matrix3D M = fitFragmentTight(n, 1, a, q.p, t.p, fb);
    EXPECT_NE(g_heard.find("Frag   1 Beta-scoring: G0 =    0.000, GP =    0.000, GM =    2.000 (tight=5)"),
              std::string::npos)
        << g_heard;
    EXPECT_EQ(g_heard.find("shift"), std::string::npos) << g_heard;
    for (int k = 0; k < 12; k++) EXPECT_EQ(M.m[k], tf_identity().m[k]);
  }
  // One more pair near under shift -1 passes the bias.
  t.p->ca[1] = {1, 0, 200.0};
  {
    Listen l(2);
    fitFragmentTight(n, 1, a, q.p, t.p, fb);
    EXPECT_NE(g_heard.find("Frag 1 Beta-scoring => shift -1 of 5 residues."), std::string::npos)
        << g_heard;
  }
  // Shift +1 wins when its gain is the larger one.
  t.p->ca[0] = {0, 500, 0};
  t.p->ca[1] = {0, 500, 100};
  t.p->ca[2] = q.p->ca[1];
  t.p->ca[3] = {1, 0, 200.0};
  {
    Listen l(2);
    fitFragmentTight(n, 1, a, q.p, t.p, fb);
    EXPECT_NE(g_heard.find("shift +1 of 5 residues."), std::string::npos) << g_heard;
  }
  // A core of two columns falls back to the ordinary fit, silently.
  a->columns[3].gscore = a->columns[4].gscore = a->columns[5].gscore = 0.3f;
  {
    Listen l(2);
    Matrix3D M = fitFragmentTight(n, 1, a, q.p, t.p, fb);
    Matrix3D F = fitFragment(1, -1, a, q.p, t.p, fb);
    for (int k = 0; k < 12; k++) EXPECT_EQ(M.m[k], F.m[k]);
    EXPECT_TRUE(g_heard.empty()) << g_heard;
  }
  trel_freeAlign(a);
}

TEST(TightFit, MisregisteredIrregularRunIsShiftedBack) {
  // An irregular chain aligned one residue out of register: shift -1 puts
  // every pair on itself.
  const int n = 12;
  Pep q(n);
  for (int i = 0; i < n; i++) q.p->ca[i] = {3.0 * i, 4.0 * std::sin(2.1 * i), 3.0 * std::cos(1.7 * i * i)};
  std::vector<std::pair<int, int>> cols;
  for (int i = 0; i + 1 < n; i++) cols.push_back({i, i + 1});
  _trel_align* a = makeAlign(cols, {{0, (int)cols.size() - 1, 2}});
  std::vector<Point3D> qp(42), tp(42);
  std::vector<double> w(42);
  _trel_fit_buf fb{qp.data(), tp.data(), w.data(), 42};
  Listen l(2);
  Matrix3D M = fitFragmentTight(n, 1, a, q.p, q.p, fb);
  EXPECT_NE(g_heard.find("shift -1 of 11 residues."), std::string::npos) << g_heard;
  for (int i = 0; i < n; i++) EXPECT_LT(d2_ptpt(pt_tfpt(M, q.p->ca[i]), q.p->ca[i]), 1e-6);
  trel_freeAlign(a);
}

TEST(BoxScore, PairsInsideTheBoxAndTheCut) {
  const int n = 8;
  Pep q(n), t(n);
  for (int i = 0; i < n; i++) {
    q.p->ca[i] = {3.8 * i, 0, 0};
    t.p->ca[i] = {3.8 * i, 0.5 * i, 0};  // pair i at distance i/2
  }
  _trel_align* a = makeAlign(diagonal(n), {{0, n - 1, 2}});
  a->columns[1].score = 0.0f;  // unweighted: left alone
  std::vector<Point3D> qp(30), tp(30);
  std::vector<double> w(30);
  _trel_fit_buf fb{qp.data(), tp.data(), w.data(), 30};
  float G = -1, R = -1;
  // Box 0..6 x 0..6, cut 2.9 (pairs 0..5), close 1.5 (pairs 0, 2, 3).
  int c = scoreFragmentBox(n, n, {0, 6, 0, 6}, a, q.p, t.p, tf_identity(), 2.9f, 1.5f, &G, &R, fb);
  EXPECT_EQ(c, 3);
  float want = 0.0f;
  for (int i : {0, 2, 3, 4, 5}) want += getGscore(0.25f * i * i);
  EXPECT_FLOAT_EQ(G, want);
  EXPECT_NEAR(R, std::sqrt((0.0 + 1.0 + 2.25) / 3.0), 1e-6);
  EXPECT_FLOAT_EQ(a->columns[4].gscore, getGscore(4.0f));
  EXPECT_FLOAT_EQ(a->columns[4].d2, 4.0f);
  EXPECT_EQ(a->columns[1].gscore, 1.0f);
  EXPECT_EQ(a->columns[6].gscore, 1.0f);  // beyond the cut
  EXPECT_EQ(a->columns[7].gscore, 1.0f);  // outside the box
  // Pairs within the cut but none close: count 0 and G 0, columns updated.
  a->columns[4].gscore = 1.0f;
  c = scoreFragmentBox(n, n, {4, 5, 4, 5}, a, q.p, t.p, tf_identity(), 2.9f, 1.0f, &G, &R, fb);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(G, 0.0f);
  EXPECT_EQ(R, 0.0f);
  EXPECT_FLOAT_EQ(a->columns[4].gscore, getGscore(4.0f));
  trel_freeAlign(a);
}

namespace {

using testutil::Chain;

void expectIdentical(const _trel_align* a, const _trel_align* b, int tile) {
  ASSERT_EQ(a == nullptr, b == nullptr) << "tile " << tile;
  if (!a) return;
  ASSERT_EQ(a->ncolumns, b->ncolumns) << "tile " << tile;
  ASSERT_EQ(a->nfrags, b->nfrags) << "tile " << tile;
  EXPECT_EQ(a->naligned, b->naligned);
  EXPECT_EQ(a->nmatched, b->nmatched);
  EXPECT_EQ(a->ncover, b->ncover);
  const float fa[] = {a->kscore, a->gscore, a->fscore, a->mscore, a->tscore, a->rmsd_aligned, a->rmsd_matched};
  const float fb[] = {b->kscore, b->gscore, b->fscore, b->mscore, b->tscore, b->rmsd_aligned, b->rmsd_matched};
  for (int k = 0; k < 7; k++) EXPECT_EQ(std::memcmp(&fa[k], &fb[k], sizeof(float)), 0) << "tile " << tile;
  EXPECT_EQ(std::memcmp(a->tf.m, b->tf.m, sizeof(a->tf.m)), 0) << "tile " << tile;
  for (int j = 0; j < a->ncolumns; j++) {
    const _trel_a_column &x = a->columns[j], &y = b->columns[j];
    ASSERT_TRUE(x.qres == y.qres && x.tres == y.tres && x.frag == y.frag && x.seg == y.seg &&
                std::memcmp(&x.score, &y.score, 4) == 0 && std::memcmp(&x.kscore, &y.kscore, 4) == 0 &&
                std::memcmp(&x.gscore, &y.gscore, 4) == 0 && std::memcmp(&x.d2, &y.d2, 4) == 0 &&
                x.mark == y.mark)
        << "tile " << tile << " column " << j;
  }
  for (int k = 0; k <= a->nfrags; k++)
    EXPECT_EQ(std::memcmp(&a->frags[k], &b->frags[k], sizeof(_trel_a_frag)), 0) << "tile " << tile;
}

}  // namespace

TEST(TilePool, ThreadedTilesMatchTheSerialTilesBitForBit) {
  TREL_REQUIRE_SHARED_DATA();
  trel_setAlignWindow(3);
  zam_thread_setup(4);
  Chain q, t;
  ASSERT_TRUE(q.load("theseus-examples/trypsins/1A0J_A.pdb.gz"));
  ASSERT_TRUE(t.load("theseus-examples/trypsins/1AO5_A.pdb.gz"));
  const int n = q.n, m = t.n;
  _trel_a_box box{0, n - 1, 0, m - 1};
  int64_t before = zam_vm_total();
  {
    const int T = 100, cycles = 2;
    const float range = 12.0f, match = 3.4f;
    _trel_a_box* tiles = nullptr;
    const int ntiles = trel_makeTiles(box, T, &tiles);
    ASSERT_GT(ntiles, 4);
    _trel_align_buf** bufs = trel_allocAlignBuf(4, n, m);
    for (int w = 0; w < 4; w++)
      ASSERT_EQ(setupKmatrix(n, m, box, q.trace->seg, t.trace->seg, bufs[w]), 1);

    std::vector<_trel_align*> serial(ntiles);
    for (int k = 0; k < ntiles; k++)
      serial[k] = doAnchorOneTile(n, m, tiles[k], cycles, q.trace->seg, t.trace->seg, q.pep, t.pep,
                                  range, match, bufs[0]);

    for (int threads : {1, 2, 4}) {
      std::vector<_trel_align*> results(ntiles, nullptr);
      _trel_tile_tally tally{threads, 0, TREL_TILE_MAILBOX, threads, 0.0};
      std::vector<_trel_tile_job> jobs(threads);
      const int per = (ntiles + threads - 1) / threads;
      for (int w = 0; w < threads; w++)
        jobs[w] = _trel_tile_job{&tally, w * per, std::min(ntiles, (w + 1) * per) - 1,
                                 results.data(), n, m, tiles, cycles, q.trace->seg, t.trace->seg,
                                 q.pep, t.pep, range, match, bufs[w]};
      zam_thread_start(136, 1, trel_tile_consumer, &tally);
      // Workers are started joinable and joined after the collector, so that
      // none of them still runs when the test (and the process) ends.
      for (int w = 0; w < threads; w++) zam_thread_start(w, 1, trel_run_tile_thread, &jobs[w]);
      zam_thread_join(136);
      for (int w = 0; w < threads; w++) zam_thread_join(w);
      EXPECT_EQ(tally.remaining, 0);
      EXPECT_EQ(tally.count, ntiles) << threads << " threads";
      for (int k = 0; k < ntiles; k++) {
        expectIdentical(serial[k], results[k], k);
        trel_freeAlign(results[k]);
      }
    }
    // The serial search picks the best of the same tiles.
    _trel_align* best = doAnchorTiles(n, m, box, T, 0, 1, cycles, q.trace->seg, t.trace->seg, q.pep,
                                      t.pep, range, match, bufs[0]);
    int pick = -1;
    for (int k = 0; k < ntiles; k++)
      if (serial[k] && (pick < 0 || serial[k]->gscore > serial[pick]->gscore)) pick = k;
    ASSERT_GE(pick, 0);
    expectIdentical(serial[pick], best, pick);
    trel_freeAlign(best);
    for (_trel_align* a : serial) trel_freeAlign(a);
    kfree(tiles);
    trel_freeAlignBuf(4, bufs);
  }
  EXPECT_EQ(zam_vm_total(), before);
}
