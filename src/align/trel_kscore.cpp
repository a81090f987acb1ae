#include "align/trel_kscore.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "align/trel_blosum62.h"
#include "align/trel_globals.h"
#include "runtime/zam_log.h"

namespace {

// Four floats at a time through the compiler's generic vectors: SSE2 on every
// x86-64 machine, wider units when the build targets them, and no intrinsics.
typedef float v4f __attribute__((vector_size(16)));
typedef int v4i __attribute__((vector_size(16)));

inline v4f splat(float x) { return v4f{x, x, x, x}; }
inline v4f load4(const float* p) {
  v4f v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, v4f v) { memcpy(p, &v, sizeof v); }

// Single-precision exponential (Cody-Waite reduction by ln 2, degree-6
// polynomial; within 2 ulp of expf). Written once for one float and once for
// four with the very same operations, so that a cell scores alike whichever
// path computes it, and so that the four-wide form vectorises. Arguments below
// the smallest normal exponent give 0; NaN stays NaN.
constexpr float kExpLo = -87.3365447f;
constexpr float kExpHi = 88.3762626f;
constexpr float kLog2e = 1.44269504088896341f;
constexpr float kLn2Hi = 0.693359375f;
constexpr float kLn2Lo = -2.12194440e-4f;
constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
constexpr float kP0 = 1.9875691500e-4f, kP1 = 1.3981999507e-3f, kP2 = 8.3334519073e-3f,
                kP3 = 4.1665795894e-2f, kP4 = 1.6666665459e-1f, kP5 = 5.0000001201e-1f;

inline float exp_1(float x) {
  float xc = x < kExpLo ? kExpLo : x;
  xc = xc > kExpHi ? kExpHi : xc;
  float fn = (xc * kLog2e + kRound) - kRound;
  float r = xc - fn * kLn2Hi;
  r = r - fn * kLn2Lo;
  float y = kP0;
  y = y * r + kP1;
  y = y * r + kP2;
  y = y * r + kP3;
  y = y * r + kP4;
  y = y * r + kP5;
  y = y * (r * r) + r + 1.0f;
  int bits = (static_cast<int>(fn) + 127) << 23;
  float scale;
  memcpy(&scale, &bits, sizeof scale);
  float e = y * scale;
  e = x < kExpLo ? 0.0f : e;
  return x != x ? x : e;
}

inline v4f exp_4(v4f x) {
  const v4f lo = splat(kExpLo), hi = splat(kExpHi);
  v4f xc = x < lo ? lo : x;
  xc = xc > hi ? hi : xc;
  v4f fn = (xc * splat(kLog2e) + splat(kRound)) - splat(kRound);
  v4f r = xc - fn * splat(kLn2Hi);
  r = r - fn * splat(kLn2Lo);
  v4f y = splat(kP0);
  y = y * r + splat(kP1);
  y = y * r + splat(kP2);
  y = y * r + splat(kP3);
  y = y * r + splat(kP4);
  y = y * r + splat(kP5);
  y = y * (r * r) + r + splat(1.0f);
  v4i bits = (__builtin_convertvector(fn, v4i) + 127) << 23;
  v4f e = y * (v4f)bits;  // a cast between vector types keeps the bits
  e = x < lo ? splat(0.0f) : e;
  return x != x ? x : e;
}

float window_sum(const int* slots, int count, const Point3Df* q, const Point3Df* t,
                 const float* factor) {
  float s = 0.0f;
  for (int w = 0; w < count; w++) {
    int p = slots[w];
    s += d2_ptfptf_inline(q[p], t[p]) * factor[p];
  }
  return s;
}

// Per-thread scratch of the K-plane loaders: the target's neighbour points
// split by slot and axis (so that four target residues load as one vector),
// the target-side prefactors and one row of each window term. It grows to
// the longest target seen and is never shrunk, so scoring does not allocate.
struct Scratch {
  std::vector<float> pts[2];  // [set][(slot * 3 + axis) * stride + j]
  std::vector<float> preA;    // prefactor against a helix query residue
  std::vector<float> preBC;   // against a strand or coil query residue
  std::vector<float> row[2];  // window scores of the current row, by set
  std::vector<char> codes;    // target residue letters
  int stride = 0;
};
thread_local Scratch scratch;

// One K-plane fill: the chains, the box, the weights of the four terms and
// the target laid out for the vector loop.
struct Kfill {
  int n, m, W, imax, jmax;
  _trel_a_box box;
  const _trel_seg* q;
  const _trel_seg* t;
  bool banded;
  int64_t band;
  float wt, ws;  // trace and spatial weights after the size rule
  Scratch& s = scratch;

  Kfill(int n_, int m_, _trel_a_box b, const _trel_seg* q_, const _trel_seg* t_)
      : n(n_), m(m_), box(b), q(q_), t(t_) {
    W = std::clamp(g_window, 1, 4);
    imax = std::max(n - W - 1, 0);
    jmax = std::max(m - W - 1, 0);
    banded = g_banded != 0;
    band = static_cast<int64_t>((1.0 - static_cast<double>(g_filter)) * std::max(n, m)) + 1;
    wt = g_trace;
    ws = g_spatial;
    if (n > 180 || m > 180 || n + m > 240) {  // large pairs score local geometry only
      wt = g_trace + g_spatial;
      ws = 0.0f;
    }
  }

  bool in_band(int i, int j) const { return !banded || std::llabs((int64_t)i - j) < band; }

  // Lays out the target residues of the box (plus vector padding) by slot and axis.
  void prepare(bool want_t, bool want_v) {
    int width = box.tlast - box.tfirst + 1;
    if (width < 1) return;
    int stride = ((m + 3) & ~3) + 4;
    s.stride = stride;
    for (int set = 0; set < 2; set++) {
      if (!(set == 0 ? want_t : want_v)) continue;
      std::vector<float>& a = s.pts[set];
      size_t need = (size_t)2 * W * 3 * stride;
      if (a.size() < need) a.resize(need);
      for (int p = 0; p < 2 * W; p++) {
        float* x = &a[(size_t)(p * 3 + 0) * stride];
        float* y = &a[(size_t)(p * 3 + 1) * stride];
        float* z = &a[(size_t)(p * 3 + 2) * stride];
        for (int j = box.tfirst; j <= box.tlast; j++) {
          const Point3Df& v = set == 0 ? t[j].t[p] : t[j].v[p];
          x[j] = v.x;
          y[j] = v.y;
          z[j] = v.z;
        }
        for (int j = box.tlast + 1; j < stride; j++) x[j] = y[j] = z[j] = 0.0f;
      }
      s.row[set].resize((size_t)stride + 4);
    }
    if (s.preA.size() < (size_t)stride) {
      s.preA.resize(stride);
      s.preBC.resize(stride);
    }
    if (s.codes.size() < (size_t)stride) s.codes.resize(stride);
    for (int j = box.tfirst; j <= box.tlast; j++) {
      s.codes[j] = t[j].code;
      char c = t[j].sse;
      s.preBC[j] = c == 'D' ? 0.0f : 1.0f;
      s.preA[j] = c == 'D' ? 0.0f : (c == 'A' ? 4.0f : 1.0f);
    }
    for (int j = box.tlast + 1; j < stride; j++) s.preA[j] = s.preBC[j] = 0.0f;
  }

  // Window scores of query residue i against the target residues of the box
  // into s.row[set][j]: set 0 the trace term (t points), 1 the spatial term (v
  // points). The middle of the row runs four cells at a time.
  void window_row(int set, int i) {
    float* out = s.row[set].data();
    const float* factor = set == 0 ? ca_factor : va_factor;
    const Point3Df* qp = set == 0 ? q[i].t : q[i].v;
    int ja = box.tfirst, jb = box.tfirst - 1;  // vector range ja..jb
    if (i >= W && i <= imax) {
      ja = std::max(W, box.tfirst);
      jb = std::min(jmax, box.tlast);
    }
    if (ja <= jb) {
      const char qc = q[i].sse;
      const float* pre = nullptr;
      v4f pre_const = splat(1.0f);
      if (qc == 'D')
        pre_const = splat(0.0f);
      else if (qc == 'A')
        pre = s.preA.data();
      else if (qc == 'B' || qc == 'C')
        pre = s.preBC.data();
      const float* base = s.pts[set].data();
      const int stride = s.stride;
      const int np = 2 * W;
      v4f qx[8], qy[8], qz[8], f[8];
      for (int p = 0; p < np; p++) {
        qx[p] = splat(qp[p].x);
        qy[p] = splat(qp[p].y);
        qz[p] = splat(qp[p].z);
        f[p] = splat(factor[p]);
      }
      for (int j = ja; j <= jb; j += 4) {
        v4f sum = splat(0.0f);
        for (int p = 0; p < np; p++) {
          const float* a = base + (size_t)p * 3 * stride + j;
          v4f dx = qx[p] - load4(a);
          v4f dy = qy[p] - load4(a + stride);
          v4f dz = qz[p] - load4(a + 2 * stride);
          v4f d2 = dx * dx + dy * dy + dz * dz;
          sum = sum + d2 * f[p];
        }
        v4f pv = pre ? load4(pre + j) : pre_const;
        store4(out + j, exp_4(pv * sum));
      }
    }
    // Rows and columns near the chain ends: scalar, overwriting any lanes
    // that the vector loop ran past jb.
    auto edge = [&](int from, int to) {
      for (int j = from; j <= to; j++) {
        const Point3Df* tp = set == 0 ? t[j].t : t[j].v;
        out[j] = score_CA_pattern(i, j, imax, jmax, seg_prefactor(&q[i], &t[j]), qp, tp, factor);
      }
    };
    if (ja <= jb) {
      edge(box.tfirst, ja - 1);
      edge(jb + 1, box.tlast);
    } else {
      edge(box.tfirst, box.tlast);
    }
  }

  float blosum(int i, int j) const {
    return trel_getBlosum62F((unsigned char)q[i].code, (unsigned char)t[j].code);
  }
  float cut(int i, int j) const {
    return seg_score_two(gc_factor, q[i].ncut, q[i].ccut, t[j].ncut, t[j].ccut);
  }
};

inline int64_t cell(int r, int c, int m) { return (int64_t)r * (m + 2) + c; }

template <class T, class F>
void over_box(int m, _trel_a_box box, T* plane, F f) {
  if (!plane) return;
  for (int r = std::max(box.qfirst, 0); r <= box.qlast + 2; r++) {
    T* row = plane + cell(r, 0, m);
    for (int c = std::max(box.tfirst, 0); c <= box.tlast + 2; c++) f(row[c]);
  }
}

// The K-matrix set-up; without factors the K-factor and G-factor planes are
// left alone (the score-only pass never reads them, and skipping them takes
// two of the three plane writes per cell off the pre-scoring).
int fill_kplane(int n, int m, _trel_a_box box, const _trel_seg* qseg, const _trel_seg* tseg,
                _trel_align_buf* buf, bool factors, const char* who) {
  trel_alignInitialise();
  if (!trel_boxFits(n, m, box, buf, who)) return 0;
  setupKpenalty(n, m, box, g_rho, g_rho, g_eta, qseg, tseg, buf);

  // One pass over the box and its border does what the factor loader, the
  // clearing of the K plane and the term loaders would do one after another;
  // the terms are added in the same order (trace, BLOSUM62, spatial, cut),
  // so every cell gets the same value.
  const bool traces = qseg && tseg;
  const float b = gk_bias == 0.0f ? 1.0f : gk_bias;
  Kfill k(n, m, box, qseg, tseg);
  const bool do_blosum = traces && g_blosum > 0.0f;
  const bool do_spatial = traces && g_spatial > 0.0f && k.ws != 0.0f;
  const bool do_cut = traces && g_cut > 0.0f;
  if (traces) k.prepare(true, do_spatial);

  for (int r = box.qfirst; r <= box.qlast + 2; r++) {
    float* K = buf->kplane + cell(r, 0, m);
    float* kf = buf->kfactor + cell(r, 0, m);
    float* gf = buf->gfactor + cell(r, 0, m);
    const int i = r - 1;
    if (r == box.qfirst || r == box.qlast + 2) {
      for (int c = box.tfirst; c <= box.tlast + 2; c++) K[c] = 0.0f;
      if (factors)
        for (int c = box.tfirst; c <= box.tlast + 2; c++) kf[c] = gf[c] = 0.0f;
      continue;
    }
    K[box.tfirst] = K[box.tlast + 2] = 0.0f;
    if (factors) {
      kf[box.tfirst] = gf[box.tfirst] = 0.0f;
      kf[box.tlast + 2] = gf[box.tlast + 2] = 0.0f;
    }
    if (!traces) {
      for (int j = box.tfirst; j <= box.tlast; j++) K[j + 1] = 0.0f;
      if (factors)
        for (int j = box.tfirst; j <= box.tlast; j++) kf[j + 1] = gf[j + 1] = 1.0f;
      continue;
    }
    k.window_row(0, i);
    if (do_spatial) k.window_row(1, i);
    const float* w1 = k.s.row[0].data();
    const float* w2 = do_spatial ? k.s.row[1].data() : nullptr;
    const char* codes = k.s.codes.data();
    const char qc = qseg[i].code;
    const int j0 = box.tfirst, j1 = box.tlast;
    float* Kr = K + 1;  // Kr[j] is the cell of target residue j
    float* kfr = kf + 1;
    float* gfr = gf + 1;
    // Factor planes: identity bias or BLOSUM62 similarity.
    if (factors) {
      if (b > 0.0f) {
        for (int j = j0; j <= j1; j++) kfr[j] = codes[j] == qc ? b : 1.0f;
      } else {
        for (int j = j0; j <= j1; j++)
          kfr[j] = trel_getBlosum62G((unsigned char)qc, (unsigned char)codes[j]);
      }
      for (int j = j0; j <= j1; j++) gfr[j] = 1.0f;
    }
    // Terms in the loaders' order: trace, BLOSUM62, spatial, cut.
    const float wt = k.wt, ws = k.ws;
    if (!do_blosum && !do_cut) {
      if (do_spatial) {
        for (int j = j0; j <= j1; j++) Kr[j] = (0.0f + w1[j] * wt) + w2[j] * ws;
      } else {
        for (int j = j0; j <= j1; j++) Kr[j] = 0.0f + w1[j] * wt;
      }
    } else {
      for (int j = j0; j <= j1; j++) {
        float v = 0.0f + w1[j] * wt;
        if (do_blosum) v += k.blosum(i, j) * g_blosum;
        if (do_spatial) v += w2[j] * ws;
        if (do_cut) v += k.cut(i, j) * g_cut;
        Kr[j] = v;
      }
    }
    // Cells off the band get no term at all.
    if (k.banded) {
      for (int j = j0; j <= j1; j++)
        if (!k.in_band(i, j)) Kr[j] = 0.0f;
    }
  }
  return 1;
}

}  // namespace

int trel_boxFits(int n, int m, _trel_a_box box, const _trel_align_buf* buf, const char* who) {
  if (!trel_alignBufFits(buf, n, m)) return 0;
  if (box.qfirst < 0 || box.tfirst < 0 || box.qlast > n - 1 || box.tlast > m - 1 ||
      box.qfirst > box.qlast + 1 || box.tfirst > box.tlast + 1) {
    zam_err("%s(): box %d-%d x %d-%d lies outside a %d x %d residue matrix.\n", who, box.qfirst,
            box.qlast, box.tfirst, box.tlast, n, m);
    return 0;
  }
  return 1;
}

float seg_prefactor(const _trel_seg* q, const _trel_seg* t) {
  if (q->sse == 'D') return 0.0f;
  if ((q->sse == 'A' || q->sse == 'B' || q->sse == 'C') && t->sse == 'D') return 0.0f;
  if (q->sse == 'A' && t->sse == 'A') return 4.0f;
  return 1.0f;
}

float seg_score_two(float f, Point3Df a1, Point3Df a2, Point3Df b1, Point3Df b2) {
  return exp_1(f * (d2_ptfptf_inline(a1, b1) + d2_ptfptf_inline(a2, b2)));
}

float score_CA_middle(float pre, const Point3Df* q, const Point3Df* t, const float* factor) {
  static const int all[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  return exp_1(pre * window_sum(all, 2 * std::clamp(g_window, 1, 4), q, t, factor));
}

float score_CA_left(int k, float pre, const Point3Df* q, const Point3Df* t, const float* factor) {
  float s = window_sum(n_pattern[k], std::clamp(g_window, 1, 4), q, t, factor);
  return exp_1(pre * (2.0f * s));
}

float score_CA_right(int k, float pre, const Point3Df* q, const Point3Df* t, const float* factor) {
  float s = window_sum(c_pattern[k], std::clamp(g_window, 1, 4), q, t, factor);
  return exp_1(pre * (2.0f * s));
}

float score_CA_pattern(int i, int j, int imax, int jmax, float pre, const Point3Df* q,
                       const Point3Df* t, const float* factor) {
  const int W = std::clamp(g_window, 1, 4);
  if (i >= W && j >= W) {
    if (i <= imax && j <= jmax) return score_CA_middle(pre, q, t, factor);
    return score_CA_right(W - std::max(i - imax, j - jmax), pre, q, t, factor);
  }
  return score_CA_left(std::min(i, j), pre, q, t, factor);
}

float k_penalty(int i, int n, float rho, const _trel_seg* seg) {
  if (i <= 0 || i >= n) return 0.0f;
  if (!seg) return rho * g_gamma;
  if (seg[i - 1].break_after || seg[i].break_before) return 0.0f;
  const char a = seg[i - 1].sse, b = seg[i].sse;
  switch (a) {
    case 'A':
      return b == 'A' ? rho * g_alpha : (b == 'B' || b == 'C') ? rho * g_gamma : rho;
    case 'B':
      return b == 'B' ? rho * g_beta : (b == 'A' || b == 'C') ? rho * g_gamma : rho;
    case 'C':
      return (b == 'A' || b == 'B' || b == 'C') ? rho * g_gamma : rho;
    case 'D':
      return 0.0f;
    default:
      return rho;
  }
}

void setupKpenalty(int n, int m, _trel_a_box box, float rho_q, float rho_t, float eta,
                   const _trel_seg* qseg, const _trel_seg* tseg, _trel_align_buf* buf) {
  if (!trel_boxFits(n, m, box, buf, "setupKpenalty")) return;
  buf->qeta = eta;
  buf->teta = eta;
  for (int r = box.qfirst; r <= box.qlast + 2; r++) buf->qopen[r] = k_penalty(r, n, rho_q, qseg);
  for (int c = box.tfirst; c <= box.tlast + 2; c++) buf->topen[c] = k_penalty(c, m, rho_t, tseg);
}

void setupMpenalty(int, int, _trel_a_box, float, float, float, const _trel_seg*, const _trel_seg*,
                   _trel_align_buf*) {}

void setupGpenalty(int, int, _trel_a_box, float, float, float, const _trel_seg*, const _trel_seg*,
                   _trel_align_buf*) {}

void loadBscores(int n, int m, _trel_a_box box, float kbias, float gbias, const _trel_seg* qseg,
                 const _trel_seg* tseg, _trel_align_buf* buf) {
  (void)gbias;  // the G-factor plane stays 1 over the box
  if (!trel_boxFits(n, m, box, buf, "loadBscores")) return;
  trel_zeroBoxF(n, m, box, buf->kfactor);
  trel_zeroBoxF(n, m, box, buf->gfactor);
  const float b = kbias == 0.0f ? 1.0f : kbias;
  for (int i = box.qfirst; i <= box.qlast; i++) {
    float* kf = buf->kfactor + cell(i + 1, 1, m);
    float* gf = buf->gfactor + cell(i + 1, 1, m);
    for (int j = box.tfirst; j <= box.tlast; j++) {
      float f = 1.0f;
      if (qseg && tseg) {
        if (b > 0.0f && qseg[i].code == tseg[j].code)
          f = b;
        else if (b < 0.0f)
          f = trel_getBlosum62G((unsigned char)qseg[i].code, (unsigned char)tseg[j].code);
      }
      kf[j] = f;
      gf[j] = 1.0f;
    }
  }
}

void loadKscores(int n, int m, _trel_a_box box, int mode, const _trel_seg* qseg,
                 const _trel_seg* tseg, float* K) {
  if (!qseg || !tseg || !K || mode < 0 || mode > 3) return;
  if (box.qfirst < 0 || box.tfirst < 0 || box.qlast > n - 1 || box.tlast > m - 1) {
    zam_err("loadKscores(): box %d-%d x %d-%d lies outside a %d x %d residue matrix.\n",
            box.qfirst, box.qlast, box.tfirst, box.tlast, n, m);
    return;
  }
  Kfill k(n, m, box, qseg, tseg);
  if (mode == 1 || mode == 2) k.prepare(mode == 1, mode == 2);
  const float weight = mode == 0 ? g_blosum : mode == 1 ? k.wt : mode == 2 ? k.ws : g_cut;
  for (int i = box.qfirst; i <= box.qlast; i++) {
    if (mode == 1 || mode == 2) k.window_row(mode - 1, i);
    const float* w = mode == 1 || mode == 2 ? k.s.row[mode - 1].data() : nullptr;
    float* row = K + cell(i + 1, 1, m);
    for (int j = box.tfirst; j <= box.tlast; j++) {
      float term = 0.0f;
      if (k.in_band(i, j)) {
        float v = mode == 0 ? k.blosum(i, j) : mode == 3 ? k.cut(i, j) : w[j];
        term = v * weight;
      }
      row[j] += term;
    }
  }
}

int setupKmatrix(int n, int m, _trel_a_box box, const _trel_seg* qseg, const _trel_seg* tseg,
                 _trel_align_buf* buf) {
  return fill_kplane(n, m, box, qseg, tseg, buf, true, "setupKmatrix");
}

int trel_setupKplane(int n, int m, _trel_a_box box, const _trel_seg* qseg, const _trel_seg* tseg,
                     _trel_align_buf* buf) {
  return fill_kplane(n, m, box, qseg, tseg, buf, false, "trel_setupKplane");
}

void trel_zeroBoxF(int, int m, _trel_a_box box, float* plane) {
  over_box(m, box, plane, [](float& x) { x = 0.0f; });
}

void trel_zeroBoxI(int, int m, _trel_a_box box, int* plane) {
  over_box(m, box, plane, [](int& x) { x = 0; });
}

void trel_clearMask(int, int m, _trel_a_box box, unsigned char* plane) {
  over_box(m, box, plane, [](unsigned char& x) { x = 0; });
}

void biasHotTile(int, int m, _trel_a_box box, float factor, float* plane) {
  over_box(m, box, plane, [factor](float& x) { x *= factor; });
}
