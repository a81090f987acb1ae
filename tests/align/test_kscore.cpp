// K-score matrices: gap-open rules at chain ends and breaks, factor planes,
// window scores, the size and band rules, and the one-pass K-matrix set-up
// against a plain implementation of the scoring rules (std::exp, one term at
// a time) on random and real traces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

// Restores every parameter these tests change.
struct Params {
  int window = g_window, banded = g_banded;
  float filter = g_filter, rho = g_rho, eta = g_eta, alpha = g_alpha, beta = g_beta,
        gamma = g_gamma, kbias = gk_bias, gbias = gg_bias;
  float wt = w_trace, ws = w_spatial, wb = w_blosum, wc = w_cut;
  ~Params() {
    trel_setAlignWindow(window);
    g_banded = banded;
    g_filter = filter;
    g_rho = rho;
    g_eta = eta;
    g_alpha = alpha;
    g_beta = beta;
    g_gamma = gamma;
    gk_bias = kbias;
    gg_bias = gbias;
    trel_setAlignTrace(wt);
    trel_setAlignSpatial(ws);
    trel_setAlignBlosum(wb);
    trel_setAlignCut(wc);
  }
};

struct Buf {
  _trel_align_buf** bufs;
  Buf(int n, int m) : bufs(trel_allocAlignBuf(1, n, m)) {}
  ~Buf() { trel_freeAlignBuf(1, bufs); }
  _trel_align_buf* operator->() { return bufs[0]; }
  _trel_align_buf* get() { return bufs[0]; }
};

Point3Df rnd_pt(std::mt19937& g, float r) {
  std::uniform_real_distribution<float> u(-r, r);
  return Point3Df{u(g), u(g), u(g)};
}

// A random trace: letters, mostly A/B/C with some D, a break or two and
// neighbour points near a common shape so that the window scores spread
// over (0, 1] instead of all underflowing.
std::vector<_trel_seg> random_trace(int n, unsigned seed) {
  std::mt19937 g(seed);
  const char* letters = "ACDEFGHIKLMNPQRSTVWY";
  const char* sses = "AAABBBCCCD";
  std::vector<_trel_seg> seg(n);
  for (int i = 0; i < n; i++) {
    _trel_seg& s = seg[i];
    memset(&s, 0, sizeof s);
    s.code = letters[g() % 20];
    s.sse = sses[g() % 10];
    s.break_before = i == 0 || g() % 17 == 0;
    s.ncut = rnd_pt(g, 6);
    s.ccut = rnd_pt(g, 6);
    for (int p = 0; p < 8; p++) {
      const float d = 1.5f * (p / 2 + 1);
      Point3Df base{p % 2 ? -d : d, 0.5f * d, -d};
      Point3Df j = rnd_pt(g, 1.5f);
      s.t[p] = Point3Df{base.x + j.x, base.y + j.y, base.z + j.z};
      Point3Df k = rnd_pt(g, 1.5f);
      s.v[p] = Point3Df{base.x - k.x, base.y + k.y, base.z - 2.0f + k.z};
    }
  }
  for (int i = 0; i + 1 < n; i++) seg[i].break_after = seg[i + 1].break_before;
  if (n) seg[n - 1].break_after = 1;
  return seg;
}

std::vector<_trel_seg> real_trace(const std::string& rel) {
  std::vector<_trel_seg> out;
  _pdb_image* image = zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr);
  if (!image) return out;
  _trel_trace* trace = trel_makeTrace();
  trel_loadTrace(image, Point3D{0, 0, 0}, 0, 0, trace);
  out.assign(trace->seg, trace->seg + trace->n);
  trel_freeTrace(trace);
  zam_freePdb(image);
  return out;
}

// ---- Plain implementation of the scoring rules ----------------------------------

float d2(Point3Df a, Point3Df b) {
  float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}

int slot_of(int d) { return d > 0 ? 2 * (d - 1) : 2 * (-d - 1) + 1; }

// Window slots of a residue with r neighbours on one side: +1..+(W-r) then
// -1..-r (N-terminal end); the mirror for the C-terminal end.
std::vector<int> pattern(int W, int r, bool c_end) {
  std::vector<int> s;
  int sign = c_end ? -1 : 1;
  for (int d = 1; d <= W - r; d++) s.push_back(slot_of(sign * d));
  for (int d = 1; d <= r; d++) s.push_back(slot_of(-sign * d));
  return s;
}

float ref_pre(const _trel_seg& q, const _trel_seg& t) {
  if (q.sse == 'D') return 0;
  if ((q.sse == 'A' || q.sse == 'B' || q.sse == 'C') && t.sse == 'D') return 0;
  if (q.sse == 'A' && t.sse == 'A') return 4;
  return 1;
}

float ref_window(int i, int j, int n, int m, const Point3Df* q, const Point3Df* t,
                 const float* f, float pre) {
  const int W = g_window, imax = std::max(n - W - 1, 0), jmax = std::max(m - W - 1, 0);
  auto sum = [&](const std::vector<int>& slots) {
    float s = 0;
    for (int p : slots) s += d2(q[p], t[p]) * f[p];
    return s;
  };
  if (i >= W && j >= W) {
    if (i <= imax && j <= jmax) {
      std::vector<int> all;
      for (int p = 0; p < 2 * W; p++) all.push_back(p);
      return std::exp(pre * sum(all));
    }
    int k = W - std::max(i - imax, j - jmax);
    return std::exp(pre * 2 * sum(pattern(W, k, true)));
  }
  return std::exp(pre * 2 * sum(pattern(W, std::min(i, j), false)));
}

float ref_penalty(int i, int n, float rho, const _trel_seg* s) {
  if (i <= 0 || i >= n) return 0;
  if (!s) return rho * g_gamma;
  if (s[i - 1].break_after || s[i].break_before) return 0;
  char a = s[i - 1].sse, b = s[i].sse;
  if (a == 'D') return 0;
  if (a != 'A' && a != 'B' && a != 'C') return rho;
  if (b != 'A' && b != 'B' && b != 'C') return rho;
  if (a == 'A' && b == 'A') return rho * g_alpha;
  if (a == 'B' && b == 'B') return rho * g_beta;
  return rho * g_gamma;
}

struct RefK {
  std::vector<float> K, KF, GF, qopen, topen;
};

// The K-matrix set-up step by step: penalties, factor planes, a cleared K
// plane, then the terms in the order trace, BLOSUM62, spatial, cut.
RefK ref_setup(int n, int m, _trel_a_box box, const _trel_seg* q, const _trel_seg* t) {
  RefK r;
  const size_t P = (size_t)(n + 2) * (m + 2);
  r.K.assign(P, -7.0f);
  r.KF.assign(P, -7.0f);
  r.GF.assign(P, -7.0f);
  r.qopen.assign(n + 2, -7.0f);
  r.topen.assign(m + 2, -7.0f);
  for (int i = box.qfirst; i <= box.qlast + 2; i++) r.qopen[i] = ref_penalty(i, n, g_rho, q);
  for (int j = box.tfirst; j <= box.tlast + 2; j++) r.topen[j] = ref_penalty(j, m, g_rho, t);
  auto at = [&](int row, int col) { return (size_t)row * (m + 2) + col; };
  for (int a = box.qfirst; a <= box.qlast + 2; a++)
    for (int b = box.tfirst; b <= box.tlast + 2; b++) r.K[at(a, b)] = r.KF[at(a, b)] = r.GF[at(a, b)] = 0;
  const float bias = gk_bias == 0 ? 1.0f : gk_bias;
  for (int i = box.qfirst; i <= box.qlast; i++)
    for (int j = box.tfirst; j <= box.tlast; j++) {
      float f = 1;
      if (q && t) {
        if (bias > 0 && q[i].code == t[j].code) f = bias;
        else if (bias < 0) f = trel_getBlosum62G(q[i].code, t[j].code);
      }
      r.KF[at(i + 1, j + 1)] = f;
      r.GF[at(i + 1, j + 1)] = 1;
    }
  if (!q || !t) return r;
  float wt = g_trace, ws = g_spatial;
  if (n > 180 || m > 180 || n + m > 240) {
    wt = g_trace + g_spatial;
    ws = 0;
  }
  const long B = (long)((1.0 - (double)g_filter) * std::max(n, m)) + 1;
  std::vector<int> modes{1};
  if (g_blosum > 0) modes.push_back(0);
  if (g_spatial > 0) modes.push_back(2);
  if (g_cut > 0) modes.push_back(3);
  for (int mode : modes)
    for (int i = box.qfirst; i <= box.qlast; i++)
      for (int j = box.tfirst; j <= box.tlast; j++) {
        float add = 0;
        if (!g_banded || std::labs(i - j) < B) {
          if (mode == 0) add = trel_getBlosum62F(q[i].code, t[j].code) * g_blosum;
          if (mode == 1) add = ref_window(i, j, n, m, q[i].t, t[j].t, ca_factor, ref_pre(q[i], t[j])) * wt;
          if (mode == 2) add = ref_window(i, j, n, m, q[i].v, t[j].v, va_factor, ref_pre(q[i], t[j])) * ws;
          if (mode == 3)
            add = std::exp(gc_factor * (d2(q[i].ncut, t[j].ncut) + d2(q[i].ccut, t[j].ccut))) * g_cut;
        }
        r.K[at(i + 1, j + 1)] += add;
      }
  return r;
}

bool close(float a, float b) { return std::fabs(a - b) <= 1e-5f * std::max(std::fabs(a), std::fabs(b)) + 1e-30f; }

// Compares the buffer's planes over the box and its border with the plain set-up.
void expect_same(int n, int m, _trel_a_box box, _trel_align_buf* buf, const RefK& r) {
  int bad = 0;
  for (int a = box.qfirst; a <= box.qlast + 2; a++)
    for (int b = box.tfirst; b <= box.tlast + 2; b++) {
      size_t k = (size_t)a * (m + 2) + b;
      if (!close(buf->kplane[k], r.K[k]) && bad++ < 5)
        ADD_FAILURE() << "K cell (" << a << "," << b << ") " << buf->kplane[k] << " vs " << r.K[k];
      EXPECT_EQ(buf->kfactor[k], r.KF[k]);
      EXPECT_EQ(buf->gfactor[k], r.GF[k]);
    }
  EXPECT_EQ(bad, 0);
  for (int a = box.qfirst; a <= box.qlast + 2; a++) EXPECT_EQ(buf->qopen[a], r.qopen[a]) << a;
  for (int b = box.tfirst; b <= box.tlast + 2; b++) EXPECT_EQ(buf->topen[b], r.topen[b]) << b;
  (void)n;
}

}  // namespace

// ---- Gap penalties -------------------------------------------------------------

TEST(KPenalty, EndsBreaksAndSecondaryStructure) {
  Params keep;
  g_alpha = 2;
  g_beta = 1;
  g_gamma = 0.5f;
  const float rho = -0.1f;
  std::vector<_trel_seg> s(6);
  memset(s.data(), 0, s.size() * sizeof(_trel_seg));
  const char* letters = "AABBCD";
  for (int i = 0; i < 6; i++) s[i].sse = letters[i];
  // Chain ends.
  EXPECT_EQ(k_penalty(0, 6, rho, s.data()), 0.0f);
  EXPECT_EQ(k_penalty(6, 6, rho, s.data()), 0.0f);
  EXPECT_EQ(k_penalty(7, 6, rho, s.data()), 0.0f);
  EXPECT_EQ(k_penalty(-1, 6, rho, s.data()), 0.0f);
  // Helix-helix, helix-strand, strand-strand, strand-coil, coil-D.
  EXPECT_FLOAT_EQ(k_penalty(1, 6, rho, s.data()), -0.2f);
  EXPECT_FLOAT_EQ(k_penalty(2, 6, rho, s.data()), -0.05f);
  EXPECT_FLOAT_EQ(k_penalty(3, 6, rho, s.data()), -0.1f);
  EXPECT_FLOAT_EQ(k_penalty(4, 6, rho, s.data()), -0.05f);
  EXPECT_FLOAT_EQ(k_penalty(5, 6, rho, s.data()), rho);  // 'C' then 'D'
  // No records: rho * gamma inside the chain.
  EXPECT_FLOAT_EQ(k_penalty(3, 6, rho, nullptr), -0.05f);
  EXPECT_EQ(k_penalty(0, 6, rho, nullptr), 0.0f);
  // A 'D' before, or an unknown letter.
  s[1].sse = 'D';
  EXPECT_EQ(k_penalty(2, 6, rho, s.data()), 0.0f);
  s[1].sse = 'X';
  EXPECT_FLOAT_EQ(k_penalty(2, 6, rho, s.data()), rho);
  s[1].sse = 'A';
  // Chain breaks on either side of the gap.
  s[0].break_after = 1;
  EXPECT_EQ(k_penalty(1, 6, rho, s.data()), 0.0f);
  s[0].break_after = 0;
  s[1].break_before = 1;
  EXPECT_EQ(k_penalty(1, 6, rho, s.data()), 0.0f);
}

TEST(KPenalty, SetupFillsBoxAndBorder) {
  Params keep;
  Buf buf(10, 8);
  std::vector<_trel_seg> q = random_trace(10, 1), t = random_trace(8, 2);
  for (int i = 0; i < 12; i++) buf->qopen[i] = 99.0f;
  for (int j = 0; j < 10; j++) buf->topen[j] = 99.0f;
  _trel_a_box box{2, 5, 1, 4};
  setupKpenalty(10, 8, box, -0.3f, -0.4f, -0.05f, q.data(), t.data(), buf.get());
  EXPECT_EQ(buf->qeta, -0.05f);
  EXPECT_EQ(buf->teta, -0.05f);
  for (int r = 0; r < 12; r++) {
    if (r >= 2 && r <= 7)
      EXPECT_EQ(buf->qopen[r], k_penalty(r, 10, -0.3f, q.data())) << r;
    else
      EXPECT_EQ(buf->qopen[r], 99.0f) << r;
  }
  for (int c = 0; c < 10; c++) {
    if (c >= 1 && c <= 6)
      EXPECT_EQ(buf->topen[c], k_penalty(c, 8, -0.4f, t.data())) << c;
    else
      EXPECT_EQ(buf->topen[c], 99.0f) << c;
  }
}

// The set-up takes the letter rule from a table made per call: every pair of
// letters (odd ones included), breaks on either side, and no records at all
// give k_penalty's value to the bit.
TEST(KPenalty, SetupAgreesWithTheRuleForEveryLetterPair) {
  Params keep;
  g_alpha = 1.7f;
  g_beta = 0.9f;
  g_gamma = 0.45f;
  const char letters[] = {'A', 'B', 'C', 'D', 'X', 'a', '\0', ' '};
  const int kinds = int(sizeof letters);
  const int n = 2 * kinds * kinds + 3;
  std::vector<_trel_seg> s(n);
  memset(s.data(), 0, s.size() * sizeof(_trel_seg));
  for (int i = 0; i < n; i++) {
    const int pair = (i / 2) % (kinds * kinds);
    s[i].sse = letters[i % 2 == 0 ? pair / kinds : pair % kinds];
    s[i].break_before = i % 23 == 5;
    s[i].break_after = i % 19 == 7;
  }
  for (const float rho : {-0.3f, 0.25f, -0.0f}) {
    Buf buf(n, n);
    setupKpenalty(n, n, _trel_a_box{0, n - 1, 0, n - 1}, rho, rho * 2.0f, -0.05f, s.data(), nullptr,
                  buf.get());
    for (int i = 0; i <= n + 1; i++) {
      const float want = k_penalty(i, n, rho, s.data()), got = buf->qopen[i];
      ASSERT_EQ(std::memcmp(&want, &got, sizeof got), 0) << i << ": " << got << " vs " << want;
      const float want_t = k_penalty(i, n, rho * 2.0f, nullptr), got_t = buf->topen[i];
      ASSERT_EQ(std::memcmp(&want_t, &got_t, sizeof got_t), 0) << i;
    }
  }
}

// ---- Window scores ---------------------------------------------------------------

TEST(KWindow, PrefactorsAndExponential) {
  _trel_seg a{}, b{};
  auto pre = [&](char x, char y) {
    a.sse = x;
    b.sse = y;
    return seg_prefactor(&a, &b);
  };
  EXPECT_EQ(pre('A', 'A'), 4.0f);
  EXPECT_EQ(pre('A', 'B'), 1.0f);
  EXPECT_EQ(pre('C', 'A'), 1.0f);
  EXPECT_EQ(pre('D', 'A'), 0.0f);
  EXPECT_EQ(pre('B', 'D'), 0.0f);
  EXPECT_EQ(pre('X', 'D'), 1.0f);
  EXPECT_EQ(pre('X', 'A'), 1.0f);

  // seg_score_two against the library exponential over the whole range of
  // arguments the scores meet (down to underflow).
  for (float d = 0.0f; d < 40.0f; d += 0.37f) {
    Point3Df o{0, 0, 0}, p{d, 0, 0}, h{0, d / 2, 0};
    float f = -0.06f;
    float want = std::exp(f * (d * d + d * d / 4));
    float got = seg_score_two(f, o, o, p, h);
    EXPECT_NEAR(got, want, 2e-7f * want + 1e-37f) << d;
  }
  Point3Df o{0, 0, 0};
  EXPECT_EQ(seg_score_two(-1.0f, o, o, o, o), 1.0f);
  EXPECT_EQ(seg_score_two(-1.0f, o, o, Point3Df{1e3f, 0, 0}, o), 0.0f);
}

TEST(KWindow, PatternChoosesHalfWindowsNearChainEnds) {
  Params keep;
  trel_setAlignWindow(3);
  // Only slot 1 (i-1) differs, by 1 angstrom: the score shows whether the
  // window used that slot and whether it counted double.
  Point3Df q[8] = {}, t[8] = {};
  t[1] = Point3Df{1, 0, 0};
  float f[8] = {-0.1f, -0.2f, -0.3f, -0.4f, -0.5f, -0.6f, 0, 0};
  // Middle of both chains: the full window, slot 1 once.
  EXPECT_FLOAT_EQ(score_CA_pattern(5, 5, 10, 10, 1.0f, q, t, f), std::exp(-0.2f));
  // Helix pair: prefactor 4.
  EXPECT_FLOAT_EQ(score_CA_pattern(5, 5, 10, 10, 4.0f, q, t, f), std::exp(-0.8f));
  // Prefactor 0: exp(0) = 1.
  EXPECT_EQ(score_CA_pattern(5, 5, 10, 10, 0.0f, q, t, f), 1.0f);
  // Chain start with no N-side neighbour: slots 0, 2, 4 only.
  EXPECT_FLOAT_EQ(score_CA_pattern(0, 7, 10, 10, 1.0f, q, t, f), 1.0f);
  // One N-side neighbour: slots 0, 2, 1, counted double.
  EXPECT_FLOAT_EQ(score_CA_pattern(1, 7, 10, 10, 1.0f, q, t, f), std::exp(-0.4f));
  // Chain end with no C-side neighbour (k = 0): slots 1, 3, 5, double.
  EXPECT_FLOAT_EQ(score_CA_pattern(13, 5, 10, 10, 1.0f, q, t, f), std::exp(-0.4f));
  // Two C-side neighbours (k = 2): slots 1, 0, 2, double.
  t[1] = Point3Df{0, 0, 0};
  t[3] = Point3Df{1, 0, 0};
  EXPECT_FLOAT_EQ(score_CA_pattern(5, 12, 10, 11, 1.0f, q, t, f), 1.0f);
  t[5] = Point3Df{1, 0, 0};
  EXPECT_FLOAT_EQ(score_CA_pattern(12, 5, 10, 10, 1.0f, q, t, f), std::exp(-0.8f));
}

// ---- Planes ----------------------------------------------------------------------

TEST(KMatrix, NoTracesGivesZeroPlaneUnitFactorsAndGammaPenalties) {
  Params keep;
  Buf buf(9, 7);
  const int n = 9, m = 7;
  _trel_a_box box{0, n - 1, 0, m - 1};
  for (int64_t k = 0; k < buf->cells; k++) buf->kplane[k] = buf->kfactor[k] = buf->gfactor[k] = 5.0f;
  ASSERT_EQ(setupKmatrix(n, m, box, nullptr, nullptr, buf.get()), 1);
  for (int r = 0; r <= n + 1; r++)
    for (int c = 0; c <= m + 1; c++) {
      const size_t k = (size_t)r * (m + 2) + c;
      const bool inside = r >= 1 && r <= n && c >= 1 && c <= m;
      EXPECT_EQ(buf->kplane[k], 0.0f);
      EXPECT_EQ(buf->kfactor[k], inside ? 1.0f : 0.0f);
      EXPECT_EQ(buf->gfactor[k], inside ? 1.0f : 0.0f);
    }
  for (int r = 0; r <= n + 1; r++)
    EXPECT_FLOAT_EQ(buf->qopen[r], (r >= 1 && r < n) ? g_rho * g_gamma : 0.0f) << r;
  for (int c = 0; c <= m + 1; c++)
    EXPECT_FLOAT_EQ(buf->topen[c], (c >= 1 && c < m) ? g_rho * g_gamma : 0.0f) << c;
}

TEST(KMatrix, DQueryResidueScoresOneInWindowTerms) {
  Params keep;
  trel_setAlignWindow(3);
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  const int n = 20, m = 20;
  std::vector<_trel_seg> q = random_trace(n, 3), t = random_trace(m, 4);
  q[10].sse = 'D';
  Buf buf(n, m);
  ASSERT_EQ(setupKmatrix(n, m, _trel_a_box{0, n - 1, 0, m - 1}, q.data(), t.data(), buf.get()), 1);
  for (int j = 0; j < m; j++) EXPECT_FLOAT_EQ(buf->kplane[trel_cell(10, j, m)], 1.0f) << j;
}

TEST(KMatrix, LargePairScoresLocalGeometryOnly) {
  Params keep;
  trel_setAlignWindow(3);
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  const int n = 200, m = 50;
  std::vector<_trel_seg> q = random_trace(n, 5), t = random_trace(m, 6);
  Buf buf(n, m);
  _trel_a_box box{0, n - 1, 0, m - 1};
  trel_zeroBoxF(n, m, box, buf->kplane);
  loadKscores(n, m, box, 2, q.data(), t.data(), buf->kplane);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < m; j++) ASSERT_EQ(buf->kplane[trel_cell(i, j, m)], 0.0f);
  loadKscores(n, m, box, 1, q.data(), t.data(), buf->kplane);
  for (int i = 0; i < n; i += 7)
    for (int j = 0; j < m; j += 3) {
      float want = ref_window(i, j, n, m, q[i].t, t[j].t, ca_factor, ref_pre(q[i], t[j])) * 1.0f;
      EXPECT_TRUE(close(buf->kplane[trel_cell(i, j, m)], want)) << i << "," << j;
    }
}

// Pairs count as large, and lose the spatial term, beyond 180 residues on
// either side or 240 together; at 180 and 240 exactly they keep it.
TEST(KMatrix, LargePairLimitsAreExclusive) {
  Params keep;
  trel_setAlignWindow(3);
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  struct Size {
    int n, m;
    bool large;
  };
  for (Size s : {Size{180, 60, false}, Size{60, 180, false}, Size{181, 10, true}, Size{10, 181, true},
                 Size{120, 120, false}, Size{121, 120, true}, Size{120, 121, true}}) {
    std::vector<_trel_seg> q = random_trace(s.n, 11), t = random_trace(s.m, 12);
    Buf buf(s.n, s.m);
    _trel_a_box box{0, s.n - 1, 0, s.m - 1};
    trel_zeroBoxF(s.n, s.m, box, buf->kplane);
    loadKscores(s.n, s.m, box, 2, q.data(), t.data(), buf->kplane);
    bool spatial = false;
    for (int i = 0; i < s.n; i++)
      for (int j = 0; j < s.m; j++) spatial = spatial || buf->kplane[trel_cell(i, j, s.m)] != 0.0f;
    EXPECT_EQ(spatial, !s.large) << s.n << " x " << s.m;
  }
}

TEST(KMatrix, FullBandFilterKeepsOnlyTheDiagonal) {
  Params keep;
  trel_setAlignWindow(3);
  g_banded = 1;
  g_filter = 1.0f;
  const int n = 15, m = 12;
  std::vector<_trel_seg> q = random_trace(n, 7), t = random_trace(m, 8);
  Buf buf(n, m);
  ASSERT_EQ(setupKmatrix(n, m, _trel_a_box{0, n - 1, 0, m - 1}, q.data(), t.data(), buf.get()), 1);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < m; j++) {
      float k = buf->kplane[trel_cell(i, j, m)];
      if (i == j)
        EXPECT_GT(k, 0.0f);
      else
        EXPECT_EQ(k, 0.0f) << i << "," << j;
    }
}

TEST(KMatrix, BscoresBiasIdentityOrBlosum) {
  Params keep;
  const int n = 6, m = 5;
  std::vector<_trel_seg> q = random_trace(n, 9), t = random_trace(m, 10);
  q[2].code = t[3].code = 'W';
  Buf buf(n, m);
  _trel_a_box box{1, 4, 0, 3};
  loadBscores(n, m, box, 3.0f, 7.0f, q.data(), t.data(), buf.get());
  EXPECT_EQ(buf->kfactor[trel_cell(2, 3, m)], 3.0f);
  EXPECT_EQ(buf->gfactor[trel_cell(2, 3, m)], 1.0f);
  for (int i = 1; i <= 4; i++)
    for (int j = 0; j <= 3; j++)
      if (q[i].code != t[j].code) {
        EXPECT_EQ(buf->kfactor[trel_cell(i, j, m)], 1.0f);
      }
  // Border of the box is cleared.
  EXPECT_EQ(buf->kfactor[trel_cell(0, 0, m)], 0.0f);
  EXPECT_EQ(buf->kfactor[trel_cell(5, 4, m)], 0.0f);
  loadBscores(n, m, box, -1.0f, 0.0f, q.data(), t.data(), buf.get());
  for (int i = 1; i <= 4; i++)
    for (int j = 0; j <= 3; j++)
      EXPECT_EQ(buf->kfactor[trel_cell(i, j, m)], trel_getBlosum62G(q[i].code, t[j].code));
  loadBscores(n, m, box, 0.0f, 0.0f, q.data(), t.data(), buf.get());
  EXPECT_EQ(buf->kfactor[trel_cell(2, 3, m)], 1.0f);
}

TEST(KMatrix, BoxUtilitiesTouchBoxAndBorderOnly) {
  const int n = 5, m = 4;
  std::vector<float> f((n + 2) * (m + 2), 2.0f);
  std::vector<int> iv(f.size(), 3);
  std::vector<unsigned char> b(f.size(), 4);
  _trel_a_box box{1, 2, 1, 1};  // cells rows 1..4, columns 1..3
  biasHotTile(n, m, box, 1.5f, f.data());
  trel_zeroBoxI(n, m, box, iv.data());
  trel_clearMask(n, m, box, b.data());
  for (int r = 0; r < n + 2; r++)
    for (int c = 0; c < m + 2; c++) {
      bool in = r >= 1 && r <= 4 && c >= 1 && c <= 3;
      size_t k = (size_t)r * (m + 2) + c;
      EXPECT_EQ(f[k], in ? 3.0f : 2.0f);
      EXPECT_EQ(iv[k], in ? 0 : 3);
      EXPECT_EQ(b[k], in ? 0 : 4);
    }
  trel_zeroBoxF(n, m, box, f.data());
  EXPECT_EQ(f[(size_t)4 * (m + 2) + 3], 0.0f);
  EXPECT_EQ(f[(size_t)5 * (m + 2) + 3], 2.0f);
}

// The one-pass set-up against the plain one over windows, weights, biases,
// bands and boxes.
TEST(KMatrix, OnePassSetupMatchesPlainRules) {
  Params keep;
  struct Case {
    int window;
    float wt, ws, wb, wc, kbias;
    int banded;
    float filter;
    int n, m;
    _trel_a_box box;
  };
  const Case cases[] = {
      {3, 0.5f, 0.5f, 0, 0, 2, 0, 0, 60, 75, {0, 59, 0, 74}},
      {4, 0.5f, 0.5f, 0, 0, 0, 0, 0, 40, 33, {0, 39, 0, 32}},
      {1, 0.5f, 0.5f, 0, 0, 2, 0, 0, 30, 41, {0, 29, 0, 40}},
      {2, 0.3f, 0.4f, 0.2f, 0.1f, -1, 0, 0, 57, 38, {3, 50, 5, 30}},
      {3, 0.5f, 0.5f, 0, 0, 2, 1, 0.6f, 70, 90, {0, 69, 0, 89}},
      {3, 0.5f, 0.5f, 0, 0, 2, 0, 0, 190, 60, {0, 189, 0, 59}},
      {3, 0.5f, 0.5f, 0, 0, 2, 0, 0, 7, 3, {0, 6, 0, 2}},
      {4, 0.5f, 0.5f, 0, 0.3f, 2, 0, 0, 9, 5, {2, 2, 1, 1}},
  };
  unsigned seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE("window " + std::to_string(c.window) + ", " + std::to_string(c.n) + " x " +
                 std::to_string(c.m));
    trel_setAlignWindow(c.window);
    trel_setAlignTrace(c.wt);
    trel_setAlignSpatial(c.ws);
    trel_setAlignBlosum(c.wb);
    trel_setAlignCut(c.wc);
    gk_bias = c.kbias;
    g_banded = c.banded;
    g_filter = c.filter;
    std::vector<_trel_seg> q = random_trace(c.n, seed++), t = random_trace(c.m, seed++);
    Buf buf(c.n + 3, c.m + 1);
    ASSERT_EQ(setupKmatrix(c.n, c.m, c.box, q.data(), t.data(), buf.get()), 1);
    expect_same(c.n, c.m, c.box, buf.get(), ref_setup(c.n, c.m, c.box, q.data(), t.data()));

    // The K plane alone: the same K cells and penalties, factor planes untouched.
    Buf only(c.n, c.m);
    for (int64_t x = 0; x < only->cells; x++) only->kfactor[x] = only->gfactor[x] = 7.0f;
    ASSERT_EQ(trel_setupKplane(c.n, c.m, c.box, q.data(), t.data(), only.get()), 1);
    for (int r = c.box.qfirst; r <= c.box.qlast + 2; r++) {
      EXPECT_EQ(only->qopen[r], buf->qopen[r]);
      for (int col = c.box.tfirst; col <= c.box.tlast + 2; col++) {
        size_t x = (size_t)r * (c.m + 2) + col;
        ASSERT_EQ(only->kplane[x], buf->kplane[x]) << r << "," << col;
        ASSERT_EQ(only->kfactor[x], 7.0f);
        ASSERT_EQ(only->gfactor[x], 7.0f);
      }
    }

    // The step-by-step sequence through the exported loaders gives
    // the very same bits as the one-pass set-up.
    Buf seq(c.n, c.m);
    setupKpenalty(c.n, c.m, c.box, g_rho, g_rho, g_eta, q.data(), t.data(), seq.get());
    loadBscores(c.n, c.m, c.box, gk_bias, gg_bias, q.data(), t.data(), seq.get());
    trel_zeroBoxF(c.n, c.m, c.box, seq->kplane);
    loadKscores(c.n, c.m, c.box, 1, q.data(), t.data(), seq->kplane);
    if (g_blosum > 0) loadKscores(c.n, c.m, c.box, 0, q.data(), t.data(), seq->kplane);
    if (g_spatial > 0) loadKscores(c.n, c.m, c.box, 2, q.data(), t.data(), seq->kplane);
    if (g_cut > 0) loadKscores(c.n, c.m, c.box, 3, q.data(), t.data(), seq->kplane);
    for (int r = c.box.qfirst + 1; r <= c.box.qlast + 1; r++)
      for (int col = c.box.tfirst + 1; col <= c.box.tlast + 1; col++) {
        size_t k = (size_t)r * (c.m + 2) + col;
        ASSERT_EQ(seq->kplane[k], buf->kplane[k]) << r << "," << col;
      }
  }
}

TEST(KMatrix, RealTracesMatchPlainRules) {
  TREL_REQUIRE_SHARED_DATA();
  Params keep;
  trel_setAlignWindow(3);
  std::vector<_trel_seg> a = real_trace("freesasa/1ubq.pdb");
  std::vector<_trel_seg> b = real_trace("tm-align/5eep.pdb.gz");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  const int n = (int)a.size(), m = (int)b.size();
  for (float ws : {0.5f, 0.0f}) {
    trel_setAlignSpatial(ws);
    Buf buf(n, m);
    _trel_a_box box{0, n - 1, 0, m - 1};
    ASSERT_EQ(setupKmatrix(n, m, box, a.data(), b.data(), buf.get()), 1);
    expect_same(n, m, box, buf.get(), ref_setup(n, m, box, a.data(), b.data()));
  }
}

TEST(KMatrix, RefusesWhatDoesNotFitTheBuffer) {
  Params keep;
  auto heard = std::make_unique<testutil::Capture>();
  std::vector<_trel_seg> q = random_trace(12, 11), t = random_trace(10, 12);
  Buf buf(10, 10);
  buf->kplane[0] = 42.0f;
  EXPECT_EQ(setupKmatrix(12, 10, _trel_a_box{0, 11, 0, 9}, q.data(), t.data(), buf.get()), 0);
  EXPECT_EQ(buf->kplane[0], 42.0f);
  EXPECT_EQ(setupKmatrix(10, 10, _trel_a_box{0, 10, 0, 9}, q.data(), t.data(), buf.get()), 0);
  EXPECT_EQ(setupKmatrix(10, 10, _trel_a_box{0, 9, 0, 9}, q.data(), t.data(), nullptr), 0);
  const std::string all = heard->text;
  heard.reset();
  EXPECT_NE(all.find("12 x 10"), std::string::npos) << all;
  EXPECT_NE(all.find("box 0-10 x 0-9"), std::string::npos) << all;
}

// The K plane's window terms, row by row in vectors of cells, against
// score_CA_pattern cell by cell: the same bits for every window, every
// chain-end case (chains shorter than the window included), boxes off the
// origin, query letters outside A-D, with and without the spatial term.
TEST(KMatrix, VectorRowsMatchTheCellByCellWindowScores) {
  Params keep;
  trel_setAlignBlosum(0);
  trel_setAlignCut(0);
  g_banded = 0;
  struct Case {
    int n, m;
    _trel_a_box box;
  };
  const Case cases[] = {
      {60, 75, {0, 59, 0, 74}}, {40, 33, {0, 39, 0, 32}}, {57, 38, {3, 50, 5, 30}},
      {9, 5, {0, 8, 0, 4}},     {3, 7, {0, 2, 0, 6}},     {5, 2, {0, 4, 0, 1}},
      {1, 1, {0, 0, 0, 0}},     {20, 17, {18, 19, 0, 16}}, {31, 29, {0, 30, 13, 28}},
      // Runs of one to four vectors and more, along rows and columns.
      {23, 21, {0, 22, 0, 20}}, {27, 44, {0, 26, 0, 43}}, {70, 19, {0, 69, 0, 18}},
      {44, 12, {2, 41, 0, 11}},
  };
  unsigned seed = 900;
  for (int window = 1; window <= 4; window++)
    for (float ws : {0.5f, 0.0f})
      for (const Case& c : cases) {
        SCOPED_TRACE("window " + std::to_string(window) + ", spatial " + std::to_string(ws) +
                     ", " + std::to_string(c.n) + " x " + std::to_string(c.m));
        trel_setAlignWindow(window);
        trel_setAlignTrace(0.5f);
        trel_setAlignSpatial(ws);
        std::vector<_trel_seg> q = random_trace(c.n, seed++), t = random_trace(c.m, seed++);
        for (int i = 0; i < c.n; i += 7) q[i].sse = 'X';
        Buf buf(c.n, c.m);
        ASSERT_EQ(trel_setupKplane(c.n, c.m, c.box, q.data(), t.data(), buf.get()), 1);
        const int W = g_window;
        const int imax = std::max(c.n - W - 1, 0), jmax = std::max(c.m - W - 1, 0);
        for (int i = c.box.qfirst; i <= c.box.qlast; i++)
          for (int j = c.box.tfirst; j <= c.box.tlast; j++) {
            const float pre = seg_prefactor(&q[i], &t[j]);
            float want = 0.0f + score_CA_pattern(i, j, imax, jmax, pre, q[i].t, t[j].t, ca_factor) * g_trace;
            if (ws > 0.0f)
              want += score_CA_pattern(i, j, imax, jmax, pre, q[i].v, t[j].v, va_factor) * g_spatial;
            const float got = buf->kplane[(size_t)(i + 1) * (c.m + 2) + j + 1];
            ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << i << "," << j << ": " << got << " vs " << want;
          }
      }
}

// Window slots whose factor is 0 (slots +4 and -4 of the trace and spatial
// terms) are left out of the vector sums only where they add nothing: with
// ordinary points the cells keep their bits; a point far enough out to make
// a squared distance overflow (or a NaN) makes the cells it touches NaN, as
// the cell-by-cell score does.
TEST(KMatrix, ZeroFactorSlotsLeftOutOnlyWhereTheyAddNothing) {
  Params keep;
  trel_setAlignBlosum(0);
  trel_setAlignCut(0);
  g_banded = 0;
  trel_setAlignWindow(4);
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  ASSERT_EQ(ca_factor[6], 0.0f);
  ASSERT_EQ(va_factor[7], 0.0f);
  const float far = 3.0e19f, nan = std::nanf("");
  struct Odd {
    bool query;
    int residue, slot;
    bool spatial;
    float value;
  };
  const Odd odds[] = {
      {false, -1, 6, false, 0.0f},  // ordinary points only
      {false, 9, 6, false, 1.0e10f},  // large, but its squared distance stays finite
      {false, 9, 6, false, far},    {false, 20, 7, true, far},  {true, 11, 7, false, -far},
      {true, 0, 6, true, nan},      {false, 30, 7, false, nan},
  };
  const int n = 40, m = 33;
  unsigned seed = 4100;
  for (const Odd& odd : odds) {
    SCOPED_TRACE(std::string(odd.query ? "query" : "target") + " residue " +
                 std::to_string(odd.residue) + " slot " + std::to_string(odd.slot) + " value " +
                 std::to_string(odd.value));
    std::vector<_trel_seg> q = random_trace(n, seed++), t = random_trace(m, seed++);
    if (odd.residue >= 0) {
      _trel_seg& r = (odd.query ? q : t)[odd.residue];
      (odd.spatial ? r.v : r.t)[odd.slot].y = odd.value;
    }
    Buf buf(n, m);
    ASSERT_EQ(trel_setupKplane(n, m, _trel_a_box{0, n - 1, 0, m - 1}, q.data(), t.data(), buf.get()), 1);
    const int imax = n - 5, jmax = m - 5;
    int nans = 0;
    for (int i = 0; i < n; i++)
      for (int j = 0; j < m; j++) {
        const float pre = seg_prefactor(&q[i], &t[j]);
        float want = 0.0f + score_CA_pattern(i, j, imax, jmax, pre, q[i].t, t[j].t, ca_factor) * g_trace;
        want += score_CA_pattern(i, j, imax, jmax, pre, q[i].v, t[j].v, va_factor) * g_spatial;
        const float got = buf->kplane[(size_t)(i + 1) * (m + 2) + j + 1];
        if (std::isnan(want)) {
          nans++;
          ASSERT_TRUE(std::isnan(got)) << i << "," << j << ": " << got;
        } else {
          ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << i << "," << j << ": " << got << " vs " << want;
        }
      }
    const bool overflows = odd.value != odd.value || std::fabs(odd.value) > 1.0e19f;
    if (overflows)
      EXPECT_GT(nans, 0);
    else
      EXPECT_EQ(nans, 0);
  }
}
