#include "align/trel_kscore.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "align/trel_blosum62.h"
#include "align/trel_globals.h"
#include "geometry/zam_fastexp.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

// Several floats at a time through the compiler's generic vectors, with no
// intrinsics: four (SSE2, on every x86-64 machine) or, where the processor
// has AVX2, eight. Both widths run the very same operations lane by lane
// (no fused multiply-add is enabled), so a cell gets the same bits either way.
typedef float v4f __attribute__((vector_size(16)));
typedef int v4i __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef int v8i __attribute__((vector_size(32)));
typedef float v16f __attribute__((vector_size(64)));
typedef int v16i __attribute__((vector_size(64)));

template <class V>
struct Lanes;
template <>
struct Lanes<v4f> {
  typedef v4i Int;
  static constexpr int count = 4;
};
template <>
struct Lanes<v8f> {
  typedef v8i Int;
  static constexpr int count = 8;
};
template <>
struct Lanes<v16f> {
  typedef v16i Int;
  static constexpr int count = 16;
};

// Lanes a vector loop may run past the last cell it was asked for.
constexpr int kMaxLanes = 16;

// The fast exponential of one score (zam_fastexp), 0 below the smallest
// normal result; NaN stays NaN. The vector loops use expv below, which does
// the same lane by lane, so that a cell scores alike whichever path computes it.
inline float exp_1(float x) {
  float e = x;
  zam_fastexp<float, int>(&e);
  e = x < kFastExpLo ? 0.0f : e;
  return x != x ? x : e;
}

// ---- Vector window scores ----------------------------------------------------------
// The helpers take vectors by reference: an eight-float vector passed by
// value outside AVX code would make GCC warn about its calling convention,
// though every helper is inlined into the two span runners below.

// x in every lane. x minus a zero vector is x exactly (the sign of a zero
// too) and compiles to one broadcast, where filling lane by lane would not.
template <class V>
[[gnu::always_inline]] inline void splat(V& v, float x) {
  v = x - V{};
}

template <class V>
[[gnu::always_inline]] inline void loadv(V& v, const float* p) {
  memcpy(&v, p, sizeof v);
}

// x[k] = exp_1 of every lane of x[k], k < N.
template <class V, int N>
[[gnu::always_inline]] inline void expv(V* x) {
  V arg[N], lo, zero;
  splat(lo, kFastExpLo);
  splat(zero, 0.0f);
  for (int k = 0; k < N; k++) arg[k] = x[k];
  zam_fastexp<V, typename Lanes<V>::Int, N>(x);
  for (int k = 0; k < N; k++) {
    const V e = arg[k] < lo ? zero : x[k];
    x[k] = arg[k] != arg[k] ? arg[k] : e;
  }
}

// One run of cells j0..j1 of a row that share a slot list: the query
// residue's points and factors of the slots (in summing order), the target
// points by slot and axis (at[w], rows stride apart), the prefactors (pre,
// or the constant same) and whether the half window counts double.
struct SpanJob {
  float* out;
  const float* pre;
  float same;
  int j0, j1, count, stride;
  bool half;
  float qx[8], qy[8], qz[8], f[8];
  const float* at[8];

  // Takes the slots slots[0..n-1] that are not dropped, in that order: the
  // point and factor of each, and its three coordinate rows (x, y, z) of
  // `cells` cells each, from base + 3 * cells * slot on.
  void addSlots(const int* slots, int n, const bool* dropped, const Point3Df* pts,
                const float* factor, const float* base, int cells) {
    for (int w = 0; w < n; w++) {
      const int p = slots[w];
      if (dropped[p]) continue;
      const int u = count++;
      qx[u] = pts[p].x;
      qy[u] = pts[p].y;
      qz[u] = pts[p].z;
      f[u] = factor[p];
      at[u] = base + (size_t)p * 3 * cells;
    }
  }
};

// The broadcast query point and factor of every slot, with the constants.
template <class V>
struct SpanVectors {
  V qx[8], qy[8], qz[8], f[8];
  V same, two, zero;
};

// N vectors of cells from j on, one after another through every step.
template <class V, bool Column, int N>
[[gnu::always_inline]] inline void spanCells(const SpanJob& a, const SpanVectors<V>& b, int j) {
  constexpr int L = Lanes<V>::count;
  const int stride = a.stride;
  V sum[N];
  for (int k = 0; k < N; k++) sum[k] = b.zero;
  for (int w = 0; w < a.count; w++)
    for (int k = 0; k < N; k++) {
      const float* p = a.at[w] + j + k * L;
      V tx, ty, tz;
      loadv(tx, p);
      loadv(ty, p + stride);
      loadv(tz, p + 2 * stride);
      V dx = Column ? tx - b.qx[w] : b.qx[w] - tx;
      V dy = Column ? ty - b.qy[w] : b.qy[w] - ty;
      V dz = Column ? tz - b.qz[w] : b.qz[w] - tz;
      V d2 = dx * dx + dy * dy + dz * dz;
      sum[k] = sum[k] + d2 * b.f[w];
    }
  V e[N];
  for (int k = 0; k < N; k++) {
    V pv = b.same;
    if (a.pre) loadv(pv, a.pre + j + k * L);
    e[k] = a.half ? pv * (b.two * sum[k]) : pv * sum[k];
  }
  expv<V, N>(e);
  for (int k = 0; k < N; k++) memcpy(a.out + j + k * L, &e[k], sizeof e[k]);
}

// out[j] = exp(pre[j] * sum over w of d2(q_w, t_w[j]) * f_w), the sum doubled
// for half windows: score_CA_middle, score_CA_left and score_CA_right, up to
// four vectors of cells side by side (each holding cells of the run), as
// one vector alone would leave the processor waiting on the exponential's
// chain of dependent steps. Lanes past j1 (fewer than kMaxLanes) are written
// too. Along a column of the plane (Column) the roles swap: the fixed point
// is the target residue's and the rows of points are the query residues',
// and each difference is taken query minus target as in window_sum.
template <class V, bool Column>
[[gnu::always_inline]] inline void runSpan(const SpanJob& a) {
  constexpr int L = Lanes<V>::count;
  SpanVectors<V> b;
  for (int w = 0; w < a.count; w++) {
    splat(b.qx[w], a.qx[w]);
    splat(b.qy[w], a.qy[w]);
    splat(b.qz[w], a.qz[w]);
    splat(b.f[w], a.f[w]);
  }
  splat(b.same, a.same);
  splat(b.two, 2.0f);
  splat(b.zero, 0.0f);
  int j = a.j0;
  for (; j + 3 * L <= a.j1; j += 4 * L) spanCells<V, Column, 4>(a, b, j);
  const int rest = j <= a.j1 ? (a.j1 - j) / L + 1 : 0;  // 0 to 3 vectors left
  if (rest == 3)
    spanCells<V, Column, 3>(a, b, j);
  else if (rest == 2)
    spanCells<V, Column, 2>(a, b, j);
  else if (rest == 1)
    spanCells<V, Column, 1>(a, b, j);
}

template <bool Column>
void runSpan4(const SpanJob& a) {
  runSpan<v4f, Column>(a);
}

template <bool Column>
__attribute__((target("avx2"))) void runSpan8(const SpanJob& a) {
  runSpan<v8f, Column>(a);
}

template <bool Column>
__attribute__((target("avx512f"))) void runSpan16(const SpanJob& a) {
  runSpan<v16f, Column>(a);
}

template <bool Column>
void runSpanAny(const SpanJob& a) {
  if (zam_cpu_avx512())
    runSpan16<Column>(a);
  else if (zam_cpu_avx2())
    runSpan8<Column>(a);
  else
    runSpan4<Column>(a);
}

// K[j] = 0 + w[j] * wt for j = j0..j1 (the trace term alone), a vector at a
// time where the processor has AVX-512; the same two steps per cell.
template <class V>
[[gnu::always_inline]] inline void weighRun(float* K, const float* w, float wt, int j0, int j1) {
  constexpr int L = Lanes<V>::count;
  V vw, zero;
  splat(vw, wt);
  splat(zero, 0.0f);
  int j = j0;
  for (; j + L - 1 <= j1; j += L) {
    V a;
    loadv(a, w + j);
    const V r = zero + a * vw;
    memcpy(K + j, &r, sizeof r);
  }
  for (; j <= j1; j++) K[j] = 0.0f + w[j] * wt;
}

__attribute__((target("avx512f"))) void weighRun16(float* K, const float* w, float wt, int j0, int j1) {
  weighRun<v16f>(K, w, wt, j0, j1);
}

void weighRunAny(float* K, const float* w, float wt, int j0, int j1) {
  if (zam_cpu_avx512())
    weighRun16(K, w, wt, j0, j1);
  else
    for (int j = j0; j <= j1; j++) K[j] = 0.0f + w[j] * wt;
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
// split by slot and axis (so that consecutive target residues load as one vector),
// the target-side prefactors and one row of each window term. It grows to
// the longest target seen and is never shrunk, so scoring does not allocate.
struct Scratch {
  std::vector<float> pts[2];  // [set][(slot * 3 + axis) * stride + j]
  std::vector<float> preA;    // prefactor against a helix query residue
  std::vector<float> preBC;   // against a strand or coil query residue
  std::vector<float> row[2];  // window scores of the current row, by set
  std::vector<char> codes;    // target residue letters
  int stride = 0;
  // The query residues of the box laid out the same way, for the columns.
  std::vector<float> qpts[2];  // [set][(slot * 3 + axis) * qstride + i]
  std::vector<float> qpre[3];  // query prefactors against a target 'D', 'A', other
  std::vector<float> cols[2];  // [set][column * qstride + i]: edge column scores
  int qstride = 0;
  int left = 0;                // edge columns box.tfirst..box.tfirst+left-1
  int right_first = 0;         // and right_first..box.tlast
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
  // drop[set][p]: slot p of the term is left out of every window sum of the
  // box, as it adds exactly nothing there: its factor is 0 and every point
  // of the slot in the box lies within 2^62 of the origin, so each squared
  // distance is finite (below 2^128) and its product with the factor is a
  // zero; a zero added to a running sum that starts at +0 (and so is never
  // -0) leaves the sum's bits as they were.
  bool drop[2][8] = {};
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

  // Whether slot p of records from..to has every coordinate within 2^62 of
  // 0 (a NaN is not).
  static bool bounded(int set, int p, const _trel_seg* seg, int from, int to) {
    constexpr float kFar = 0x1p62f;
    bool ok = true;
    for (int k = from; k <= to; k++) {
      const Point3Df& v = set == 0 ? seg[k].t[p] : seg[k].v[p];
      // Bitwise, not short-circuit: three tests and no branch per record.
      ok &= static_cast<int>(std::fabs(v.x) <= kFar) & static_cast<int>(std::fabs(v.y) <= kFar) &
            static_cast<int>(std::fabs(v.z) <= kFar);
    }
    return ok;
  }

  void find_drops(int set) {
    const float* factor = set == 0 ? ca_factor : va_factor;
    for (int p = 0; p < 8; p++)
      drop[set][p] = p < 2 * W && factor[p] == 0.0f &&
                     bounded(set, p, q, box.qfirst, box.qlast) &&
                     bounded(set, p, t, box.tfirst, box.tlast);
  }

  // Lays out the target residues of the box (plus vector padding) by slot and axis.
  void prepare(bool want_t, bool want_v) {
    int width = box.tlast - box.tfirst + 1;
    if (width < 1) return;
    int stride = ((m + kMaxLanes - 1) & ~(kMaxLanes - 1)) + kMaxLanes;
    s.stride = stride;
    const int np = 2 * W;
    for (int set = 0; set < 2; set++) {
      if (!(set == 0 ? want_t : want_v)) continue;
      find_drops(set);
      std::vector<float>& a = s.pts[set];
      size_t need = (size_t)np * 3 * stride;
      if (a.size() < need) a.resize(need);
      // Row slot * 3 + axis of the layout is float slot * 3 + axis of the
      // record's points: the rows of the slots that are summed, then record
      // by record (each is read once, in order), row by row.
      int rows[24], nrows = 0;
      for (int p = 0; p < np; p++)
        if (!drop[set][p])
          for (int k = 0; k < 3; k++) rows[nrows++] = p * 3 + k;
      float* out = a.data();
      for (int j = box.tfirst; j <= box.tlast; j++) {
        // All eight points, a constant size the compiler copies inline.
        float v[24];
        memcpy(v, set == 0 ? t[j].t : t[j].v, sizeof v);
        if (nrows == 3 * np) {
          for (int k = 0; k < 3 * np; k++) out[(size_t)k * stride + j] = v[k];
        } else {
          for (int r = 0; r < nrows; r++) out[(size_t)rows[r] * stride + j] = v[rows[r]];
        }
      }
      for (int r = 0; r < nrows; r++)
        std::fill(out + (size_t)rows[r] * stride + box.tlast + 1,
                  out + (size_t)(rows[r] + 1) * stride, 0.0f);
      s.row[set].resize((size_t)stride + kMaxLanes);
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
    columns(want_t, want_v);
  }

  // Edge columns: the cells within W of a target end that take a half
  // window do so by their column alone (score_CA_left with n_pattern[j] for
  // j < W, score_CA_right with c_pattern[W - (j - jmax)] for j > jmax), so
  // those columns are scored whole, a vector of query residues at a time;
  // window_row picks its cells from them.
  void columns(bool want_t, bool want_v) {
    const int j0 = box.tfirst, j1 = box.tlast, i0 = box.qfirst, i1 = box.qlast;
    s.left = std::max(std::min(W - 1, j1) - j0 + 1, 0);
    s.right_first = std::max({jmax + 1, W, j0});
    const int count = s.left + std::max(j1 - s.right_first + 1, 0);
    if (count == 0 || i0 > i1) return;
    const int qs = ((n + kMaxLanes - 1) & ~(kMaxLanes - 1)) + kMaxLanes;
    s.qstride = qs;
    for (std::vector<float>& a : s.qpre)
      if (a.size() < (size_t)qs) a.resize(qs);
    for (int i = 0; i < qs; i++) {
      const char c = i >= i0 && i <= i1 ? q[i].sse : 'D';
      const bool abc = c == 'A' || c == 'B' || c == 'C';
      s.qpre[0][i] = c == 'D' || abc ? 0.0f : 1.0f;
      s.qpre[1][i] = c == 'D' ? 0.0f : (c == 'A' ? 4.0f : 1.0f);
      s.qpre[2][i] = c == 'D' ? 0.0f : 1.0f;
    }
    for (int set = 0; set < 2; set++) {
      if (!(set == 0 ? want_t : want_v)) continue;
      std::vector<float>& a = s.qpts[set];
      const size_t need = (size_t)2 * W * 3 * qs;
      if (a.size() < need) a.resize(need);
      for (int p = 0; p < 2 * W; p++) {
        if (drop[set][p]) continue;
        float* x = &a[(size_t)(p * 3 + 0) * qs];
        float* y = &a[(size_t)(p * 3 + 1) * qs];
        float* z = &a[(size_t)(p * 3 + 2) * qs];
        for (int i = i0; i <= i1; i++) {
          const Point3Df& v = set == 0 ? q[i].t[p] : q[i].v[p];
          x[i] = v.x;
          y[i] = v.y;
          z[i] = v.z;
        }
        for (int i = i1 + 1; i < qs; i++) x[i] = y[i] = z[i] = 0.0f;
      }
      if (s.cols[set].size() < (size_t)count * qs + kMaxLanes)
        s.cols[set].resize((size_t)count * qs + kMaxLanes);
      const float* factor = set == 0 ? ca_factor : va_factor;
      for (int c = 0; c < count; c++) {
        const int j = c < s.left ? j0 + c : s.right_first + (c - s.left);
        const int* slots = c < s.left ? n_pattern[j] : c_pattern[W - (j - jmax)];
        const Point3Df* tp = set == 0 ? t[j].t : t[j].v;
        const char tc = t[j].sse;
        SpanJob job;
        job.out = s.cols[set].data() + (size_t)c * qs;
        job.pre = s.qpre[tc == 'D' ? 0 : tc == 'A' ? 1 : 2].data();
        job.same = 0.0f;
        job.j0 = i0;
        job.j1 = i1;
        job.count = 0;
        job.stride = qs;
        job.half = true;
        job.addSlots(slots, W, drop[set], tp, factor, a.data(), qs);
        runSpanAny<true>(job);
      }
    }
  }

  // The edge-column score of cell (i, j) of a term.
  float edge(int set, int i, int j) const {
    const int c = j < s.right_first ? j - box.tfirst : s.left + (j - s.right_first);
    return s.cols[set][(size_t)c * s.qstride + i];
  }

  // Prefactors of query residue i against the target row: a per-target
  // array, or null with the constant in *same (seg_prefactor's values).
  const float* prefactors(int i, float* same) const {
    const char qc = q[i].sse;
    *same = qc == 'D' ? 0.0f : 1.0f;
    if (qc == 'A') return s.preA.data();
    if (qc == 'B' || qc == 'C') return s.preBC.data();
    return nullptr;
  }

  // Window scores of cells j0..j1 of query residue i that share one slot
  // list (slots[0..count-1], summed in that order), four cells at a time;
  // half windows count double. Lanes past j1 are written too: the row has
  // room for them, and the cells right of a span are scored after it.
  void span(int set, int i, int j0, int j1, const int* slots, int count, bool half) {
    if (j0 > j1) return;
    const float* factor = set == 0 ? ca_factor : va_factor;
    const Point3Df* qp = set == 0 ? q[i].t : q[i].v;
    const float* base = s.pts[set].data();
    SpanJob a;
    a.out = s.row[set].data();
    a.pre = prefactors(i, &a.same);
    a.j0 = j0;
    a.j1 = j1;
    a.count = 0;
    a.stride = s.stride;
    a.half = half;
    a.addSlots(slots, count, drop[set], qp, factor, base, s.stride);
    runSpanAny<false>(a);
  }

  // Cells of row i near the target's ends, from the edge columns; after the
  // row's run, whose last vector may have run over them.
  void singles(int set, int i, const int* cells, int count) {
    float* out = s.row[set].data();
    for (int c = 0; c < count; c++) out[cells[c]] = edge(set, i, cells[c]);
  }

  // Window scores of query residue i against the target residues of the box
  // into s.row[set][j]: set 0 the trace term (t points), 1 the spatial term (v
  // points). Each cell takes the window score_CA_pattern gives it: the full
  // window inside, half windows by the distance from the nearer chain end.
  // Along a row the half window changes only near the target's ends, so
  // the row splits into one run of a single slot list, scored a vector at a
  // time, and at most 2W cells at the ends, taken from the edge columns.
  void window_row(int set, int i) {
    static const int all[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const int j0 = box.tfirst, j1 = box.tlast;
    int cells[8];
    int count = 0;
    if (i < W) {
      // min(i, j) picks the N-end half window.
      for (int j = j0; j <= std::min(i - 1, j1); j++) cells[count++] = j;
      span(set, i, std::max(i, j0), j1, n_pattern[i], W, true);
      singles(set, i, cells, count);
      return;
    }
    for (int j = j0; j <= std::min(W - 1, j1); j++) cells[count++] = j;
    // Columns W.. up to `last` share the row's window; beyond it the
    // target's C end sets the half window.
    const int d = i - imax;
    const int last = d <= 0 ? jmax : jmax + d;
    if (d <= 0)
      span(set, i, std::max(W, j0), std::min(last, j1), all, 2 * W, false);
    else
      span(set, i, std::max(W, j0), std::min(last, j1), c_pattern[W - d], W, true);
    for (int j = std::max({last + 1, W, j0}); j <= j1; j++) cells[count++] = j;
    singles(set, i, cells, count);
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
  // After the target's records have been read for the layout: the gap
  // penalties read them again, from the cache.
  setupKpenalty(n, m, box, g_rho, g_rho, g_eta, qseg, tseg, buf);

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
        weighRunAny(Kr, w1, wt, j0, j1);
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

// Gap-open penalty between residues with letters a and b inside a chain
// (no break between them): k_penalty's rule by letters.
float letter_penalty(char a, char b, float rho) {
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

// Letter class of the penalty table: A, B, C, D, anything else.
constexpr int kClasses = 5;
inline int letter_class(char c) {
  return c == 'A' ? 0 : c == 'B' ? 1 : c == 'C' ? 2 : c == 'D' ? 3 : 4;
}

// out[i] = k_penalty(i, n, rho, seg) for i = first..last, the letter rule
// looked up in a table of its values made once (the same products, so the
// same bits).
void fill_penalties(int first, int last, int n, float rho, const _trel_seg* seg, float* out) {
  if (!seg) {
    for (int i = first; i <= last; i++) out[i] = k_penalty(i, n, rho, seg);
    return;
  }
  static const char kLetter[kClasses] = {'A', 'B', 'C', 'D', 'X'};
  float table[kClasses][kClasses];
  for (int a = 0; a < kClasses; a++)
    for (int b = 0; b < kClasses; b++) table[a][b] = letter_penalty(kLetter[a], kLetter[b], rho);
  for (int i = first; i <= last; i++) {
    if (i <= 0 || i >= n || seg[i - 1].break_after || seg[i].break_before) {
      out[i] = 0.0f;
      continue;
    }
    out[i] = table[letter_class(seg[i - 1].sse)][letter_class(seg[i].sse)];
  }
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
  return letter_penalty(seg[i - 1].sse, seg[i].sse, rho);
}

void setupKpenalty(int n, int m, _trel_a_box box, float rho_q, float rho_t, float eta,
                   const _trel_seg* qseg, const _trel_seg* tseg, _trel_align_buf* buf) {
  if (!trel_boxFits(n, m, box, buf, "setupKpenalty")) return;
  buf->qeta = eta;
  buf->teta = eta;
  fill_penalties(box.qfirst, box.qlast + 2, n, rho_q, qseg, buf->qopen);
  fill_penalties(box.tfirst, box.tlast + 2, m, rho_t, tseg, buf->topen);
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
