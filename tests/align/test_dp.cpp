// Box dynamic programming: hand-worked boxes (one pair, diagonals, gaps for
// negative pairs), the fragment pass, border rows with and without penalties,
// and the fill and score-only passes against a plain full-plane
// implementation of the recurrences.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_dp.h"
#include "align/trel_globals.h"
#include "common/log_capture.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

struct Buf {
  _trel_align_buf** bufs;
  Buf(int n, int m) : bufs(trel_allocAlignBuf(1, n, m)) {}
  ~Buf() { trel_freeAlignBuf(1, bufs); }
  _trel_align_buf* operator->() { return bufs[0]; }
  _trel_align_buf* get() { return bufs[0]; }
};

struct Align {
  _trel_align* a;
  explicit Align(_trel_align* p) : a(p) {}
  ~Align() { trel_freeAlign(a); }
  _trel_align* operator->() { return a; }
};

using testutil::Capture;

// A plane laid out for n x m filled with v, with given cells set.
std::vector<float> plane(int n, int m, float v) { return std::vector<float>((size_t)(n + 2) * (m + 2), v); }
size_t at(int r, int c, int m) { return (size_t)r * (m + 2) + c; }

// Gap-free, penalty-free set-up of a buffer's gap arrays and distances.
void no_penalties(_trel_align_buf* b) {
  b->qeta = b->teta = 0.0f;
  for (int i = 0; i < b->nmax + 2; i++) b->qopen[i] = 0.0f;
  for (int j = 0; j < b->mmax + 2; j++) b->topen[j] = 0.0f;
  for (int64_t k = 0; k < b->cells; k++) b->dplane[k] = 0.0f;
}

// ---- Plain recurrences over full planes ----------------------------------------

struct RefPlanes {
  std::vector<float> H, E, F;
  std::vector<unsigned char> D;
};

RefPlanes ref_fill(int n, int m, _trel_a_box box, const float* qpen, const float* tpen, float e,
                   const float* S, const float* B) {
  RefPlanes p;
  const size_t P = (size_t)(n + 2) * (m + 2);
  p.H.assign(P, 0);
  p.E.assign(P, 0);
  p.F.assign(P, 0);
  p.D.assign(P, 9);
  const int r0 = box.qfirst, c0 = box.tfirst, r1 = box.qlast + 2, c1 = box.tlast + 2;
  auto H = [&](int r, int c) -> float& { return p.H[at(r, c, m)]; };
  auto E = [&](int r, int c) -> float& { return p.E[at(r, c, m)]; };
  auto F = [&](int r, int c) -> float& { return p.F[at(r, c, m)]; };
  for (int r = r0; r <= r1; r++) F(r, c0) = -99999;
  for (int c = c0; c <= c1; c++) E(r0, c) = -99999;
  H(r0, c0) = 0;
  for (int r = r0 + 1; r <= r1; r++) H(r, c0) = tpen[c0] + (r - r0 - 1) * e;
  for (int c = c0 + 1; c <= c1; c++) H(r0, c) = qpen[r0] + (c - c0 - 1) * e;
  for (int r = r0 + 1; r <= r1; r++) E(r, c0) = H(r, c0);
  for (int c = c0 + 1; c <= c1; c++) F(r0, c) = H(r0, c);
  for (int r = r0 + 1; r <= r1; r++)
    for (int c = c0 + 1; c <= c1; c++) {
      float g = std::max(E(r - 1, c - 1), F(r - 1, c - 1));
      int d = F(r - 1, c - 1) < E(r - 1, c - 1) ? 1 : 2;
      float sb = B ? S[at(r, c, m)] * B[at(r, c, m)] : S[at(r, c, m)];
      if (H(r - 1, c - 1) > g) {
        H(r, c) = sb + H(r - 1, c - 1);
        d = 0;
      } else {
        H(r, c) = sb + g;
      }
      E(r, c) = std::max(tpen[c] + H(r - 1, c), E(r - 1, c) + e);
      F(r, c) = std::max(qpen[r] + H(r, c - 1), F(r, c - 1) + e);
      if (F(r, c) < E(r, c)) d |= 4;  // the gap a refused diagonal pair takes
      p.D[at(r, c, m)] = (unsigned char)d;
    }
  return p;
}

_trel_dp_score ref_score(int n, int m, const float* qpen, const float* tpen, float e, const float* S) {
  RefPlanes p = ref_fill(n, m, _trel_a_box{0, n - 1, 0, m - 1}, qpen, tpen, e, S, nullptr);
  int r = n, c = m, steps = 0, first = -1, last = -1, pairs = 0;
  float score = 0;
  while (r > 0 && c > 0) {
    int d = p.D[at(r + 1, c + 1, m)] & 3;
    if (d == 1) {
      r--;
    } else if (d == 2) {
      c--;
    } else {
      score += S[at(r, c, m)];
      if (first < 0) first = steps;
      last = steps;
      pairs++;
      r--;
      c--;
    }
    steps++;
  }
  return _trel_dp_score{steps, pairs, first < 0 ? 1 : last - first + 1, score};
}

}  // namespace

// ---- Hand-worked boxes -----------------------------------------------------------

TEST(BoxDP, OnePairBox) {
  Buf buf(1, 1);
  no_penalties(buf.get());
  std::vector<float> S = plane(1, 1, 0.0f);
  S[at(1, 1, 1)] = 0.7f;
  Align a(trel_alignBox(1, 1, _trel_a_box{0, 0, 0, 0}, 0, 4, 0.05f, S.data(), nullptr, buf.get()));
  ASSERT_NE(a.a, nullptr);
  ASSERT_EQ(a->ncolumns, 1);
  EXPECT_EQ(a->columns[0].qres, 0);
  EXPECT_EQ(a->columns[0].tres, 0);
  EXPECT_EQ(a->columns[0].mark, '*');
  EXPECT_FLOAT_EQ(a->columns[0].score, 0.7f);
  EXPECT_FLOAT_EQ(a->columns[0].kscore, 0.7f);
  EXPECT_FLOAT_EQ(a->columns[0].gscore, 0.7f);
  EXPECT_EQ(a->naligned, 1);
  EXPECT_EQ(a->nmatched, 1);
  EXPECT_EQ(a->ncover, 1);
  EXPECT_FLOAT_EQ(a->kscore, 0.7f);
  EXPECT_FLOAT_EQ(a->gscore, 0.7f);
  // A lone pair is no fragment: one unflagged run.
  EXPECT_EQ(a->nfrags, 1);
  EXPECT_EQ(a->frags[1].kind, 0);

  S[at(1, 1, 1)] = -0.5f;
  Align b(trel_alignBox(1, 1, _trel_a_box{0, 0, 0, 0}, 0, 4, 0.05f, S.data(), nullptr, buf.get()));
  ASSERT_EQ(b->ncolumns, 2);
  EXPECT_EQ(b->columns[0].qres, 0);
  EXPECT_EQ(b->columns[0].tres, -1);
  EXPECT_EQ(b->columns[1].qres, -1);
  EXPECT_EQ(b->columns[1].tres, 0);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(b->columns[k].mark, ' ');
    EXPECT_EQ(b->columns[k].d2, -1.0f);
    EXPECT_EQ(b->columns[k].score, 0.0f);
  }
  EXPECT_EQ(b->naligned, 0);
  EXPECT_EQ(b->nmatched, 0);
  EXPECT_EQ(b->ncover, 1);
  EXPECT_EQ(b->kscore, 0.0f);
}

TEST(BoxDP, DiagonalBoxGivesOneFragment) {
  for (int len : {2, 3, 4, 7}) {
    SCOPED_TRACE(len);
    // The box sits inside a larger matrix: residues 2.. of the query against 1.. of the target.
    const int n = len + 4, m = len + 3;
    _trel_a_box box{2, 2 + len - 1, 1, 1 + len - 1};
    Buf buf(n, m);
    no_penalties(buf.get());
    std::vector<float> S = plane(n, m, 0.0f), B = plane(n, m, 1.0f);
    for (int k = 0; k < len; k++) {
      S[at(box.qfirst + k + 1, box.tfirst + k + 1, m)] = 1.0f;
      buf->dplane[at(box.qfirst + k + 1, box.tfirst + k + 1, m)] = 0.25f * k;
    }
    Align a(trel_alignBox(n, m, box, 0, 4, 0.05f, S.data(), B.data(), buf.get()));
    ASSERT_EQ(a->ncolumns, len);
    for (int k = 0; k < len; k++) {
      EXPECT_EQ(a->columns[k].qres, box.qfirst + k);
      EXPECT_EQ(a->columns[k].tres, box.tfirst + k);
      EXPECT_EQ(a->columns[k].mark, '*');
      EXPECT_EQ(a->columns[k].d2, 0.25f * k);
      EXPECT_EQ(a->columns[k].frag, 1);
      EXPECT_EQ(a->columns[k].seg, 0);
    }
    EXPECT_EQ(a->naligned, len);
    EXPECT_EQ(a->ncover, len);
    EXPECT_FLOAT_EQ(a->kscore, (float)len);
    ASSERT_EQ(a->nfrags, 1);
    EXPECT_EQ(a->frags[0].first, 0);
    EXPECT_EQ(a->frags[0].last, len - 1);
    EXPECT_EQ(a->frags[0].qcount, len);
    EXPECT_EQ(a->frags[0].npairs, len);
    EXPECT_EQ(a->frags[1].first, 0);
    EXPECT_EQ(a->frags[1].last, len - 1);
    EXPECT_EQ(a->frags[1].npairs, len);
    EXPECT_EQ(a->frags[1].kind, len >= 4 ? 2 : len == 3 ? 1 : 0);
    EXPECT_EQ(a->frags[1].tf.m[0], 1.0);
    EXPECT_EQ(a->tf.m[5], 1.0);
  }
}

TEST(BoxDP, BorderRowsWithAndWithoutPenalties) {
  const int n = 4, m = 5;
  Buf buf(n, m);
  std::vector<float> S = plane(n, m, 0.1f);
  for (int i = 0; i < n + 2; i++) buf->qopen[i] = -0.3f;
  for (int j = 0; j < m + 2; j++) buf->topen[j] = -0.2f;
  buf->qeta = buf->teta = -0.5f;
  _trel_a_box box{1, 2, 1, 3};
  // The states of the box's last two rows (3 and 4) stay in their slots.
  auto row = [&](float* plane, int r) { return plane + (r & 1) * (m + 2); };
  ASSERT_EQ(trel_doTheDP(n, m, box, 0, S.data(), nullptr, buf.get()), 1);
  for (int r = 3; r <= 4; r++) EXPECT_EQ(row(buf->hplane, r)[1], 0.0f);
  ASSERT_EQ(trel_doTheDP(n, m, box, 1, S.data(), nullptr, buf.get()), 1);
  for (int r = 3; r <= 4; r++) {
    EXPECT_FLOAT_EQ(row(buf->hplane, r)[1], -0.2f - 0.5f * (r - 2));
    EXPECT_EQ(row(buf->eplane, r)[1], row(buf->hplane, r)[1]);
    EXPECT_EQ(row(buf->fplane, r)[1], -99999.0f);
  }
}

TEST(BoxDP, NoAlignedPair) {
  const int n = 3, m = 3;
  Buf buf(n, m);
  no_penalties(buf.get());
  std::vector<float> S = plane(n, m, -1.0f);
  Align a(trel_alignBox(n, m, _trel_a_box{0, 2, 0, 2}, 0, 4, 0.05f, S.data(), nullptr, buf.get()));
  EXPECT_EQ(a->ncolumns, 6);
  EXPECT_EQ(a->naligned, 0);
  EXPECT_EQ(a->nmatched, 0);
  EXPECT_EQ(a->ncover, 1);
  EXPECT_EQ(a->nfrags, 1);
  // Every residue appears once, in order on each side.
  int q = 0, t = 0;
  for (int k = 0; k < a->ncolumns; k++) {
    if (a->columns[k].qres >= 0) {
      EXPECT_EQ(a->columns[k].qres, q++);
    }
    if (a->columns[k].tres >= 0) {
      EXPECT_EQ(a->columns[k].tres, t++);
    }
  }
  EXPECT_EQ(q, 3);
  EXPECT_EQ(t, 3);
}

TEST(BoxDP, NegativePairOnThePathBecomesAGapWithAWarning) {
  // Costly gaps force the path through the negative first pair.
  const int n = 2, m = 2;
  Buf buf(n, m);
  for (int i = 0; i < 4; i++) buf->qopen[i] = buf->topen[i] = -5.0f;
  buf->qeta = buf->teta = -1.0f;
  for (int64_t k = 0; k < buf->cells; k++) buf->dplane[k] = 9.0f;
  std::vector<float> S = plane(n, m, 0.0f);
  S[at(1, 1, m)] = -0.1f;
  S[at(2, 2, m)] = 1.0f;
  const int keep = zam_debug;
  zam_debug = 1;
  Capture said;
  Align a(trel_alignBox(n, m, _trel_a_box{0, 1, 0, 1}, 1, 4, 0.05f, S.data(), nullptr, buf.get()));
  zam_debug = keep;
  EXPECT_NE(said.text.find("Fixing negative score for pair=(0,0), distance=3.00"), std::string::npos)
      << said.text;
  EXPECT_EQ(a->naligned, 1);
  bool pair11 = false;
  for (int k = 0; k < a->ncolumns; k++) {
    EXPECT_FALSE(a->columns[k].qres == 0 && a->columns[k].tres == 0);
    pair11 |= a->columns[k].qres == 1 && a->columns[k].tres == 1;
  }
  EXPECT_TRUE(pair11);
  EXPECT_EQ(a->ncolumns, 3);
}

TEST(BoxDP, RefusesWhatDoesNotFit) {
  Buf buf(5, 5);
  std::vector<float> S = plane(6, 5, 0.0f);
  Capture said;
  EXPECT_EQ(trel_alignBox(6, 5, _trel_a_box{0, 5, 0, 4}, 0, 4, 0.05f, S.data(), nullptr, buf.get()),
            nullptr);
  EXPECT_EQ(trel_alignBox(5, 5, _trel_a_box{0, 4, 2, 5}, 0, 4, 0.05f, S.data(), nullptr, buf.get()),
            nullptr);
  _trel_dp_score s = trel_scoreDP(5, 7, 1, S.data(), buf.get());
  EXPECT_EQ(s.steps, 0);
  EXPECT_EQ(s.span, 1);
  EXPECT_EQ(s.score, 0.0f);
  EXPECT_NE(said.text.find("cannot hold a 6 x 5"), std::string::npos) << said.text;
  EXPECT_NE(said.text.find("box 0-4 x 2-5"), std::string::npos) << said.text;
  EXPECT_NE(said.text.find("cannot hold a 5 x 7"), std::string::npos) << said.text;
}

// ---- Fragment pass -------------------------------------------------------------------

TEST(Fragments, RunsKindsAndLonePairs) {
  // P = pair scoring 1, G = gap, p = pair scoring below the floor, s = pair in a segment.
  const std::string shape = "PGPGPPPPGpPPPsPP";
  const int nc = (int)shape.size();
  _trel_align* a = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  a->columns = static_cast<_trel_a_column*>(kget1B_0(nc * sizeof(_trel_a_column)));
  a->frags = static_cast<_trel_a_frag*>(kget1B_0((nc + 2) * sizeof(_trel_a_frag)));
  a->ncolumns = nc;
  a->nmatched = 11;
  int q = 3, t = 10;
  for (int k = 0; k < nc; k++) {
    _trel_a_column& c = a->columns[k];
    c.qres = q++;
    c.tres = shape[k] == 'G' ? -1 : t++;
    c.kscore = c.gscore = shape[k] == 'p' ? 0.01f : 1.0f;
    c.seg = shape[k] == 's' ? 2 : 0;
    c.frag = 77;
  }
  std::vector<int16_t> flags(nc, 5);
  makeFragments(a, 4, 0.05f, flags.data());
  // Flags 1010111100111011 -> lone ones cleared -> 0000111100111011.
  const std::string want = "0000111100111011";
  for (int k = 0; k < nc; k++) EXPECT_EQ(flags[k], want[k] - '0') << k;
  ASSERT_EQ(a->nfrags, 6);
  EXPECT_EQ(a->frags[0].qcount, nc);
  EXPECT_EQ(a->frags[0].tcount, t - 1 - 10 + 1);
  EXPECT_EQ(a->frags[0].npairs, 11);
  struct Run { int first, last, qc, tc, pc, kind; };
  const Run runs[] = {{0, 3, 4, 2, 2, 0}, {4, 7, 4, 4, 4, 2}, {8, 9, 2, 1, 1, 0},
                      {10, 12, 3, 3, 3, 1}, {13, 13, 1, 1, 1, 0}, {14, 15, 2, 2, 2, 0}};
  for (int f = 1; f <= 6; f++) {
    const Run& r = runs[f - 1];
    SCOPED_TRACE(f);
    EXPECT_EQ(a->frags[f].first, r.first);
    EXPECT_EQ(a->frags[f].last, r.last);
    EXPECT_EQ(a->frags[f].qcount, r.qc);
    EXPECT_EQ(a->frags[f].tcount, r.tc);
    EXPECT_EQ(a->frags[f].npairs, r.pc);
    EXPECT_EQ(a->frags[f].kind, r.kind);
    for (int k = r.first; k <= r.last; k++) EXPECT_EQ(a->columns[k].frag, f);
  }
  trel_freeAlign(a);
}

// ---- Fill and score-only passes against the plain recurrences ------------------------

TEST(BoxDP, FillMatchesPlainRecurrences) {
  std::mt19937 g(7);
  std::uniform_real_distribution<float> u(-0.4f, 1.0f), pen(-0.6f, 0.0f);
  for (int trial = 0; trial < 12; trial++) {
    const int n = 1 + g() % 40, m = 1 + g() % 40;
    int qf = g() % n, tf = g() % m;
    _trel_a_box box{qf, qf + (int)(g() % (n - qf)), tf, tf + (int)(g() % (m - tf))};
    Buf buf(n + 2, m + 5);
    std::vector<float> S = plane(n, m, 0.0f), B = plane(n, m, 0.0f);
    for (auto& x : S) x = u(g);
    for (auto& x : B) x = 0.5f + u(g);
    for (int i = 0; i < n + 2; i++) buf->qopen[i] = pen(g);
    for (int j = 0; j < m + 2; j++) buf->topen[j] = pen(g);
    buf->qeta = buf->teta = trial % 2 ? -0.05f : -0.0f;
    const int penalties = trial % 3 != 0;
    const bool withB = trial % 4 != 1;
    ASSERT_EQ(trel_doTheDP(n, m, box, penalties, S.data(), withB ? B.data() : nullptr, buf.get()), 1);
    std::vector<float> zero(n + m + 4, 0.0f);
    RefPlanes p = ref_fill(n, m, box, penalties ? buf->qopen : zero.data(),
                           penalties ? buf->topen : zero.data(), penalties ? buf->qeta : 0.0f,
                           S.data(), withB ? B.data() : nullptr);
    // Every direction code; the states of the last two rows, which the
    // fill leaves in their slots (row r at (r & 1)(m + 2)).
    const int r1 = box.qlast + 2;
    for (int r = box.qfirst; r <= r1; r++)
      for (int c = box.tfirst; c <= box.tlast + 2; c++) {
        size_t k = at(r, c, m);
        if (r > box.qfirst && c > box.tfirst) {
          ASSERT_EQ(buf->dir[k], p.D[k]) << trial << ": " << r << "," << c;
        }
        if (r < r1 - 1) continue;
        const size_t s = (size_t)(r & 1) * (m + 2) + c;
        ASSERT_EQ(buf->hplane[s], p.H[k]) << trial << ": " << r << "," << c;
        ASSERT_EQ(buf->eplane[s], p.E[k]) << trial << ": " << r << "," << c;
        ASSERT_EQ(buf->fplane[s], p.F[k]) << trial << ": " << r << "," << c;
      }
  }
}

TEST(ScoreDP, MatchesPlainRecurrencesBitForBit) {
  std::mt19937 g(11);
  std::uniform_real_distribution<float> u(-0.3f, 1.0f), pen(-0.6f, 0.0f);
  const int sizes[][2] = {{0, 0}, {0, 5}, {4, 0}, {1, 1}, {7, 3}, {33, 65}, {120, 97}, {5, 200}};
  for (auto& sz : sizes) {
    const int n = sz[0], m = sz[1];
    SCOPED_TRACE(std::to_string(n) + " x " + std::to_string(m));
    Buf buf(n + 1, m + 2);
    std::vector<float> S = plane(n, m, 0.0f);
    for (int r = 1; r <= n; r++)
      for (int c = 1; c <= m; c++) S[at(r, c, m)] = u(g);
    for (int i = 0; i < n + 2; i++) buf->qopen[i] = (i == 0 || i >= n) ? 0.0f : pen(g);
    for (int j = 0; j < m + 2; j++) buf->topen[j] = (j == 0 || j >= m) ? 0.0f : pen(g);
    for (float e : {-0.0f, -0.07f}) {
      buf->qeta = buf->teta = e;
      _trel_dp_score got = trel_scoreDP(n, m, 1, S.data(), buf.get());
      _trel_dp_score want = ref_score(n, m, buf->qopen, buf->topen, e, S.data());
      EXPECT_EQ(got.steps, want.steps);
      EXPECT_EQ(got.aligned, want.aligned);
      EXPECT_EQ(got.span, want.span);
      EXPECT_EQ(got.score, want.score);
    }
    std::vector<float> zero(n + m + 4, 0.0f);
    _trel_dp_score got = trel_scoreDP(n, m, 0, S.data(), buf.get());
    _trel_dp_score want = ref_score(n, m, zero.data(), zero.data(), 0.0f, S.data());
    EXPECT_EQ(got.steps, want.steps);
    EXPECT_EQ(got.score, want.score);
  }
}

TEST(ScoreDP, DiagonalHandCase) {
  const int n = 5, m = 5;
  Buf buf(n, m);
  no_penalties(buf.get());
  for (int i = 0; i < n + 2; i++) buf->qopen[i] = buf->topen[i] = -1.0f;
  std::vector<float> S = plane(n, m, 0.0f);
  for (int k = 1; k <= 5; k++) S[at(k, k, m)] = 0.5f;
  S[at(2, 2, m)] = -0.25f;  // gaps round it cost more: the score-only pass adds it
  _trel_dp_score s = trel_scoreDP(n, m, 1, S.data(), buf.get());
  EXPECT_EQ(s.steps, 5);
  EXPECT_EQ(s.aligned, 5);
  EXPECT_EQ(s.span, 5);
  EXPECT_FLOAT_EQ(s.score, 1.75f);
}

TEST(BoxDP, KAndGBoxesUseTheirPlanesAndFloors) {
  const int n = 5, m = 5;
  Buf buf(n, m);
  no_penalties(buf.get());
  for (int64_t k = 0; k < buf->cells; k++) {
    buf->kplane[k] = buf->gplane[k] = 0.0f;
    buf->kfactor[k] = buf->gfactor[k] = 1.0f;
  }
  // The middle pair scores 0.08: above the K floor (0.05), below the G floor (0.1).
  const float diag[5] = {0.5f, 0.5f, 0.08f, 0.5f, 0.5f};
  for (int k = 1; k <= 5; k++) buf->kplane[at(k, k, m)] = buf->gplane[at(k, k, m)] = diag[k - 1];
  buf->gfactor[at(3, 3, m)] = 10.0f;  // the factor weighs the fill, not the column score
  const _trel_a_box box{0, 4, 0, 4};
  Align k(trel_alignKbox(n, m, box, buf.get()));
  Align g(trel_alignGbox(n, m, box, buf.get()));
  ASSERT_EQ(k->naligned, 5);
  ASSERT_EQ(g->naligned, 5);
  EXPECT_EQ(k->nfrags, 1);
  EXPECT_EQ(k->frags[1].kind, 2);
  ASSERT_EQ(g->nfrags, 3);
  EXPECT_EQ(g->frags[1].last, 1);
  EXPECT_EQ(g->frags[2].first, 2);
  EXPECT_EQ(g->frags[2].last, 2);
  EXPECT_EQ(g->columns[2].frag, 2);
  EXPECT_FLOAT_EQ(g->columns[2].gscore, 0.08f);
  EXPECT_FLOAT_EQ(g->gscore, 2.08f);
}
