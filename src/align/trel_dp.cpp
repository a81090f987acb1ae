#include "align/trel_dp.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

// Cells that no path may come from.
constexpr float kForbidden = -99999.0f;

// Traceback steps between a prefetch and its use.
constexpr int kAhead = 6;

// Direction codes of the box fill: the step (0 diagonal, 1 query gap, 2
// target gap) in the low bits, and kEbeatsF when the cell's query-gap state
// is above its target-gap state (the gap a refused diagonal pair turns into).
constexpr unsigned char kStep = 3;
constexpr unsigned char kEbeatsF = 4;

inline int64_t cell(int r, int c, int m) { return (int64_t)r * (m + 2) + c; }

#ifdef __SSE2__
// One group of four cells c..c+3 of the match and query-gap states (see
// fill_row): stores H and E, returns H and, in dir, the four direction codes
// as 32-bit lanes.
template <bool HasB, bool Free>
inline __m128 cells4(int c, const float* Hp, const float* Ep, const float* Fp, float* H, float* E,
                     const float* S, const float* B, const float* tpen, __m128 veE, __m128i& dir) {
  const __m128 hd = _mm_loadu_ps(Hp + c - 1), ed = _mm_loadu_ps(Ep + c - 1),
               fd = _mm_loadu_ps(Fp + c - 1);
  const __m128 from_e = _mm_cmplt_ps(fd, ed);  // ties go to the target-gap state
  // maxps(a, b) is a > b ? a : b lane by lane, the scalar choices exactly.
  const __m128 g = _mm_max_ps(ed, fd);
  const __m128 sb = HasB ? _mm_mul_ps(_mm_loadu_ps(S + c), _mm_loadu_ps(B + c)) : _mm_loadu_ps(S + c);
  const __m128 diag = _mm_cmpgt_ps(hd, g);  // ties go to the gap state
  const __m128 h = _mm_add_ps(sb, _mm_max_ps(hd, g));
  _mm_storeu_ps(H + c, h);
  // 1 or 2 from the gap states, 0 on the diagonal.
  dir = _mm_andnot_si128(_mm_castps_si128(diag),
                         _mm_add_epi32(_mm_castps_si128(from_e), _mm_set1_epi32(2)));
  if (Free) {
    _mm_storeu_ps(E + c, _mm_max_ps(_mm_loadu_ps(Ep + c), _mm_loadu_ps(Hp + c)));
  } else {
    const __m128 eo = _mm_add_ps(_mm_loadu_ps(tpen + c), _mm_loadu_ps(Hp + c)),
                 ee = _mm_add_ps(_mm_loadu_ps(Ep + c), veE);
    _mm_storeu_ps(E + c, _mm_max_ps(ee, eo));
  }
  return h;
}

// Running maximum across the four lanes, lane 0 first.
inline __m128 prefixMax(__m128 v) {
  v = _mm_max_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 1, 0, 0)), v);
  return _mm_max_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 0, 0)), v);
}

// Lanes (a3, b0, b1, b2): the four H values left of the cells of b.
inline __m128 shiftIn(__m128 a, __m128 b) {
  const __m128 t = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 3, 3));
  return _mm_shuffle_ps(t, b, _MM_SHUFFLE(2, 1, 2, 0));
}

inline __m128 lane3(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)); }
#endif

// Eight or sixteen cells at a time through the compiler's generic vectors,
// where the processor has AVX2 or AVX-512: the same steps as cells4 and
// gapRun below, lane for lane, so a cell gets the same bits at any width.
typedef float v8f __attribute__((vector_size(32)));
typedef int v8i __attribute__((vector_size(32)));
typedef unsigned char v8b __attribute__((vector_size(8)));
typedef float v16f __attribute__((vector_size(64)));
typedef int v16i __attribute__((vector_size(64)));
typedef unsigned char v16b __attribute__((vector_size(16)));

template <class V>
struct Wide;
template <>
struct Wide<v8f> {
  typedef v8i Int;
  typedef v8b Bytes;
  static constexpr int count = 8;
};
template <>
struct Wide<v16f> {
  typedef v16i Int;
  typedef v16b Bytes;
  static constexpr int count = 16;
};

// The helpers take and give vectors by reference: a vector passed by value
// outside AVX code would make GCC warn about its calling convention, though
// every helper is inlined into the two row functions below.

// maxps: a > b ? a : b lane by lane.
template <class V>
[[gnu::always_inline]] inline void vmax(V& out, const V& a, const V& b) {
  out = a > b ? a : b;
}

template <class V>
[[gnu::always_inline]] inline void vload(V& v, const float* p) {
  memcpy(&v, p, sizeof v);
}

// x in every lane (x minus zero is x exactly, and one broadcast).
template <class V>
[[gnu::always_inline]] inline void vsplat(V& v, float x) {
  v = x - V{};
}

// Lanes are moved by __builtin_shufflevector, which GCC (from 12) and Clang
// both take, with the lane numbers as constants made from the lane list K.

// Lane k of out is lane k - s of v (lane 0 for k < s).
template <class V, int S, int... K>
[[gnu::always_inline]] inline void shiftUpLanes(V& out, const V& v, std::integer_sequence<int, K...>) {
  out = __builtin_shufflevector(v, v, (K < S ? 0 : K - S)...);
}
template <class V, int S>
[[gnu::always_inline]] inline void shiftUp(V& out, const V& v) {
  shiftUpLanes<V, S>(out, v, std::make_integer_sequence<int, Wide<V>::count>{});
}

// The top lane of v in every lane of out.
template <class V, int... K>
[[gnu::always_inline]] inline void topLanes(V& out, const V& v, std::integer_sequence<int, K...>) {
  out = __builtin_shufflevector(v, v, (K - K + Wide<V>::count - 1)...);
}

// p = max(p, p moved up S lanes): one step of the running maximum.
template <class V, int S>
[[gnu::always_inline]] inline void maxStep(V& p) {
  V moved;
  shiftUp<V, S>(moved, p);
  vmax(p, moved, p);
}

// Columns c..c1 of one row (see fill_row) as many whole vectors as fit: H,
// E and directions, and with `fused` the target-gap state as a running
// maximum carried in *f. Returns the first column left.
template <class V, bool HasB, bool Free>
[[gnu::always_inline]] inline int fill_wide(int c, int c1, const float* Hp, const float* Ep,
                                           const float* Fp, float* H, float* E, float* F,
                                           const float* S, const float* B, unsigned char* D,
                                           const float* tpen, float qpen_r, float eE, bool fused,
                                           float* f) {
  typedef typename Wide<V>::Int I;
  typedef typename Wide<V>::Bytes Bytes;
  constexpr int L = Wide<V>::count;
  V veE, vq, carry;
  vsplat(veE, eE);
  vsplat(vq, qpen_r);
  vsplat(carry, *f);  // F left of the next vector, in every lane
  float hleft = H[c - 1];  // H left of the next vector
  for (; c + L - 1 <= c1; c += L) {
    V hd, ed, fd, g, hg, sb, h, e;
    vload(hd, Hp + c - 1);
    vload(ed, Ep + c - 1);
    vload(fd, Fp + c - 1);
    const I from_e = fd < ed;  // ties go to the target-gap state
    vmax(g, ed, fd);
    vload(sb, S + c);
    if (HasB) {
      V b;
      vload(b, B + c);
      sb = sb * b;
    }
    const I diag = hd > g;  // ties go to the gap state
    vmax(hg, hd, g);
    h = sb + hg;
    memcpy(H + c, &h, sizeof h);
    // 1 or 2 from the gap states, 0 on the diagonal.
    const I dir = ~diag & (from_e + 2);
    const Bytes bytes = __builtin_convertvector(dir, Bytes);
    memcpy(D + c, &bytes, sizeof bytes);
    V eu, hu;
    vload(eu, Ep + c);
    vload(hu, Hp + c);
    if (Free) {
      vmax(e, eu, hu);
    } else {
      V tp;
      vload(tp, tpen + c);
      const V eo = tp + hu, ee = eu + veE;
      vmax(e, ee, eo);
    }
    memcpy(E + c, &e, sizeof e);
    if (fused) {
      // H left of each cell: the previous vector's top lane, then h moved up one.
      V p;
      shiftUp<V, 1>(p, h);
      p[0] = hleft;
      if (!Free) p = vq + p;
      // Running maximum across the lanes, lane 0 first.
      maxStep<V, 1>(p);
      maxStep<V, 2>(p);
      maxStep<V, 4>(p);
      if constexpr (L == 16) maxStep<V, 8>(p);
      V out, top;
      topLanes(top, p, std::make_integer_sequence<int, L>{});
      vmax(out, carry, p);
      memcpy(F + c, &out, sizeof out);
      vmax(carry, carry, top);
    }
    hleft = h[L - 1];
  }
  *f = carry[0];
  return c;
}


template <bool HasB, bool Free>
__attribute__((target("avx2"))) int fill_row8(int c, int c1, const float* Hp, const float* Ep,
                                              const float* Fp, float* H, float* E, float* F,
                                              const float* S, const float* B, unsigned char* D,
                                              const float* tpen, float qpen_r, float eE,
                                              bool fused, float* f) {
  return fill_wide<v8f, HasB, Free>(c, c1, Hp, Ep, Fp, H, E, F, S, B, D, tpen, qpen_r, eE, fused, f);
}

template <bool HasB, bool Free>
__attribute__((target("avx512f,avx512bw"))) int fill_row16(int c, int c1, const float* Hp,
                                                           const float* Ep, const float* Fp,
                                                           float* H, float* E, float* F,
                                                           const float* S, const float* B,
                                                           unsigned char* D, const float* tpen,
                                                           float qpen_r, float eE, bool fused,
                                                           float* f) {
  return fill_wide<v16f, HasB, Free>(c, c1, Hp, Ep, Fp, H, E, F, S, B, D, tpen, qpen_r, eE, fused, f);
}

// One row r of the fill over columns c0+1..c1. Hp, Ep, Fp hold row r-1; H,
// E, F row r with its border cell c0 already set; S and B (when HasB) are
// row r of the score and factor planes, D row r of the directions. All
// arrays are indexed by cell column. eE and eF are the extension penalties
// of the query-gap and target-gap states, qpen_r the gap-open penalty of the
// row. The match and query-gap states depend only on the row above, so they
// run sixteen cells a step with the directions packed to bytes. Without a
// target-gap extension penalty the target-gap state is a running maximum
// along the row (adding a zero changes no float but the sign of a zero,
// which no comparison sees), taken in the same pass from the H values just
// made; otherwise it is a scalar scan after the row. Free marks a fill
// without gap penalties (zero gap-open arrays and extensions): the additions
// of zero are left out, which again changes only signs of zeros.
template <bool HasB, bool Free>
void fill_row(int c0, int c1, const float* Hp, const float* Ep, const float* Fp, float* H, float* E,
              float* F, const float* S, const float* B, unsigned char* D, const float* tpen,
              float qpen_r, float eE, float eF) {
  int c = c0 + 1;
  float f = F[c0];
  const bool fused = Free || eF == 0.0f;
  if (zam_cpu_avx512())
    c = fill_row16<HasB, Free>(c, c1, Hp, Ep, Fp, H, E, F, S, B, D, tpen, qpen_r, eE, fused, &f);
  else if (zam_cpu_avx2())
    c = fill_row8<HasB, Free>(c, c1, Hp, Ep, Fp, H, E, F, S, B, D, tpen, qpen_r, eE, fused, &f);
#ifdef __SSE2__
  const __m128 veE = _mm_set1_ps(eE), vq = _mm_set1_ps(qpen_r);
  __m128 hprev = _mm_set1_ps(H[c - 1]);  // lane 3: H left of the next group
  __m128 carry = _mm_set1_ps(f);      // F left of the next group, in every lane
  // The target-gap state of one group from its H values; the carry chain
  // costs one maximum per group.
  auto gapRun = [&](__m128 h, int at) {
    const __m128 left = shiftIn(hprev, h);
    const __m128 p = prefixMax(Free ? left : _mm_add_ps(vq, left));
    hprev = h;
    _mm_storeu_ps(F + at, _mm_max_ps(carry, p));
    carry = _mm_max_ps(carry, lane3(p));
  };
  for (; c + 15 <= c1; c += 16) {
    __m128i d0, d1, d2, d3;
    const __m128 h0 = cells4<HasB, Free>(c, Hp, Ep, Fp, H, E, S, B, tpen, veE, d0);
    const __m128 h1 = cells4<HasB, Free>(c + 4, Hp, Ep, Fp, H, E, S, B, tpen, veE, d1);
    const __m128 h2 = cells4<HasB, Free>(c + 8, Hp, Ep, Fp, H, E, S, B, tpen, veE, d2);
    const __m128 h3 = cells4<HasB, Free>(c + 12, Hp, Ep, Fp, H, E, S, B, tpen, veE, d3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(D + c),
                     _mm_packus_epi16(_mm_packs_epi32(d0, d1), _mm_packs_epi32(d2, d3)));
    if (fused) {
      gapRun(h0, c);
      gapRun(h1, c + 4);
      gapRun(h2, c + 8);
      gapRun(h3, c + 12);
    }
  }
  for (; c + 3 <= c1; c += 4) {
    __m128i d0;
    const __m128 h0 = cells4<HasB, Free>(c, Hp, Ep, Fp, H, E, S, B, tpen, veE, d0);
    const __m128i z = _mm_setzero_si128();
    const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(d0, z), z));
    memcpy(D + c, &bytes, 4);
    if (fused) gapRun(h0, c);
  }
  f = _mm_cvtss_f32(carry);
#endif
  const int cv = c;  // first cell the vector loops left
  for (; c <= c1; c++) {
    const float hd = Hp[c - 1], ed = Ep[c - 1], fd = Fp[c - 1];
    const bool from_e = fd < ed;  // ties go to the target-gap state
    const float g = from_e ? ed : fd;
    const float sb = HasB ? S[c] * B[c] : S[c];
    const bool diag = hd > g;  // ties go to the gap state
    H[c] = sb + (diag ? hd : g);
    D[c] = diag ? 0 : (from_e ? 1 : 2);
    E[c] = std::max(tpen[c] + Hp[c], Ep[c] + eE);
  }
  if (fused) {
    for (c = cv; c <= c1; c++) {
      f = std::max(qpen_r + H[c - 1], f);
      F[c] = f;
    }
  } else {
    f = F[c0];
    for (c = c0 + 1; c <= c1; c++) {
      f = std::max(qpen_r + H[c - 1], f + eF);
      F[c] = f;
    }
  }
}

// Adds kEbeatsF to the direction codes of cells c..c1 of a filled row.
void markGapLead(int c, int c1, const float* E, const float* F, unsigned char* D) {
#ifdef __SSE2__
  const __m128i bit = _mm_set1_epi8((char)kEbeatsF);
  for (; c + 15 <= c1; c += 16) {
    const __m128i m0 = _mm_castps_si128(_mm_cmplt_ps(_mm_loadu_ps(F + c), _mm_loadu_ps(E + c)));
    const __m128i m1 = _mm_castps_si128(_mm_cmplt_ps(_mm_loadu_ps(F + c + 4), _mm_loadu_ps(E + c + 4)));
    const __m128i m2 = _mm_castps_si128(_mm_cmplt_ps(_mm_loadu_ps(F + c + 8), _mm_loadu_ps(E + c + 8)));
    const __m128i m3 = _mm_castps_si128(_mm_cmplt_ps(_mm_loadu_ps(F + c + 12), _mm_loadu_ps(E + c + 12)));
    // All-ones lanes pack to -1 bytes, zero lanes to 0.
    const __m128i lead = _mm_packs_epi16(_mm_packs_epi32(m0, m1), _mm_packs_epi32(m2, m3));
    __m128i* at = reinterpret_cast<__m128i*>(D + c);
    _mm_storeu_si128(at, _mm_or_si128(_mm_loadu_si128(at), _mm_and_si128(lead, bit)));
  }
#endif
  for (; c <= c1; c++)
    if (F[c] < E[c]) D[c] |= kEbeatsF;
}

// Writes one column record field by field (a record built in a temporary and
// copied stalls on the partial stores). The mark goes out with the three
// padding bytes after it as zeros, so the records copy out clean.
inline void putColumn(_trel_a_column* col, int qres, int tres, float s, float d2, char mark) {
  col->qres = qres;
  col->tres = tres;
  col->frag = 0;
  col->seg = 0;
  col->score = col->kscore = col->gscore = s;
  col->d2 = d2;
  const char tail[4] = {mark, 0, 0, 0};
  static_assert(sizeof(_trel_a_column) == offsetof(_trel_a_column, mark) + sizeof tail);
  memcpy(reinterpret_cast<char*>(col) + offsetof(_trel_a_column, mark), tail, sizeof tail);
}

}  // namespace

_trel_align* trel_alignKbox(int n, int m, _trel_a_box box, _trel_align_buf* buf) {
  if (!buf) return trel_alignBox(n, m, box, 1, 4, g_min_kscore, nullptr, nullptr, buf);
  return trel_alignBox(n, m, box, 1, 4, g_min_kscore, buf->kplane, buf->kfactor, buf);
}

_trel_align* trel_alignGbox(int n, int m, _trel_a_box box, _trel_align_buf* buf) {
  if (!buf) return trel_alignBox(n, m, box, 0, 3, g_min_gscore, nullptr, nullptr, buf);
  return trel_alignBox(n, m, box, 0, 3, g_min_gscore, buf->gplane, buf->gfactor, buf);
}

_trel_align* trel_alignBox(int n, int m, _trel_a_box box, int penalties, int fraglen,
                           float floor, const float* S, const float* B, _trel_align_buf* buf) {
  if (!trel_doTheDP(n, m, box, penalties, S, B, buf)) return nullptr;
  return trel_realignBox(n, m, box, fraglen, floor, S, buf);
}

int trel_doTheDP(int n, int m, _trel_a_box box, int penalties, const float* S, const float* B,
                 _trel_align_buf* buf) {
  if (!trel_boxFits(n, m, box, buf, "trel_doTheDP")) return 0;
  if (!S) {
    zam_err("trel_doTheDP(): no score plane.\n");
    return 0;
  }
  const float* qpen = penalties ? buf->qopen : buf->zero;
  const float* tpen = penalties ? buf->topen : buf->zero;
  const float e = penalties ? buf->qeta : 0.0f;
  const int r0 = box.qfirst, c0 = box.tfirst, r1 = box.qlast + 2, c1 = box.tlast + 2;
  // The states of a row depend only on the row above: they live in two rows
  // of the H, E and F arrays (row r in slot r & 1, indexed by cell column).
  // The traceback needs of them only which gap state leads at a cell whose
  // diagonal pair it refuses; that bit (kEbeatsF) joins the direction code.
  const int64_t w = (int64_t)m + 2;
  auto slot = [&](float* plane, int r) { return plane + (r & 1) * w; };
  {
    float* H = slot(buf->hplane, r0);
    float* E = slot(buf->eplane, r0);
    float* F = slot(buf->fplane, r0);
    F[c0] = kForbidden;
    for (int c = c0; c <= c1; c++) E[c] = kForbidden;
    H[c0] = 0.0f;
    for (int c = c0 + 1; c <= c1; c++) {
      H[c] = qpen[r0] + (float)(c - c0 - 1) * e;
      F[c] = H[c];
    }
  }
  for (int r = r0 + 1; r <= r1; r++) {
    float* H = slot(buf->hplane, r);
    float* E = slot(buf->eplane, r);
    float* F = slot(buf->fplane, r);
    F[c0] = kForbidden;
    H[c0] = tpen[c0] + (float)(r - r0 - 1) * e;
    E[c0] = H[c0];
    const int64_t here = cell(r, 0, m);
    unsigned char* D = buf->dir + here;
    auto row = [&](auto fill) {
      fill(c0, c1, slot(buf->hplane, r - 1), slot(buf->eplane, r - 1), slot(buf->fplane, r - 1), H,
           E, F, S + here, B ? B + here : nullptr, D, tpen, qpen[r], e, e);
    };
    if (B)
      penalties ? row(fill_row<true, false>) : row(fill_row<true, true>);
    else
      penalties ? row(fill_row<false, false>) : row(fill_row<false, true>);
    markGapLead(c0 + 1, c1, E, F, D);
  }
  return 1;
}

_trel_align* trel_realignBox(int n, int m, _trel_a_box box, int fraglen, float floor,
                             const float* S, _trel_align_buf* buf) {
  if (!trel_boxFits(n, m, box, buf, "trel_realignBox")) return nullptr;
  if (!S) {
    zam_err("trel_realignBox(): no score plane.\n");
    return nullptr;
  }
  // The records come out end first; they fill the column scratch from its
  // top down, so that they end up in column order. The path flags are left
  // to the fragment pass, which sets all of them from the columns; the span
  // comes from the first and last pair met.
  const int room = buf->nmax + buf->mmax + 4;
  _trel_a_column* const top = buf->columns + room;
  _trel_a_column* out = top;
  int r = box.qlast + 1, c = box.tlast + 1, npairs = 0, first = -1, last = -1;
  float total = 0.0f;
  while (r > box.qfirst && c > box.tfirst) {
    // Every step lands on another row of the planes: fetch the cells a few
    // diagonal steps ahead, where the path mostly runs.
    const int ra = std::max(r - kAhead, 0), ca = std::max(c - kAhead, 0);
    __builtin_prefetch(buf->dir + cell(ra + 1, ca + 1, m));
    __builtin_prefetch(S + cell(ra, ca, m));
    __builtin_prefetch(buf->dplane + cell(ra, ca, m));
    const int code = buf->dir[cell(r + 1, c + 1, m)];
    int d = code & kStep;
    if (d == 0) {
      const float s = S[cell(r, c, m)];
      if (s >= 0.0f) {
        last = (int)(top - out);
        if (first < 0) first = last;
        putColumn(--out, r - 1, c - 1, s, buf->dplane[cell(r, c, m)], '*');
        total += s;
        npairs++;
        r--;
        c--;
        continue;
      }
      if (zam_debug > 0) {
        const double d2 = buf->dplane[cell(r, c, m)];
        zam_wrn("Fixing negative score for pair=(%d,%d), distance=%.2f\n", r - 1, c - 1,
                d2 > 0.0 ? std::sqrt(d2) : 0.0);
      }
      d = (code & kEbeatsF) ? 1 : 2;
    }
    if (d == 1) {
      putColumn(--out, r - 1, -1, 0.0f, -1.0f, ' ');
      r--;
    } else {
      putColumn(--out, -1, c - 1, 0.0f, -1.0f, ' ');
      c--;
    }
  }
  for (; r > box.qfirst; r--) putColumn(--out, r - 1, -1, 0.0f, -1.0f, ' ');
  for (; c > box.tfirst; c--) putColumn(--out, -1, c - 1, 0.0f, -1.0f, ' ');
  const int nrec = (int)(top - out);

  auto* align = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  align->columns =
      static_cast<_trel_a_column*>(kget1B_0((int64_t)std::max(nrec, 1) * sizeof(_trel_a_column)));
  if (nrec > 0) memcpy(align->columns, out, (size_t)nrec * sizeof(_trel_a_column));
  align->ncolumns = nrec;
  align->naligned = npairs;
  align->nmatched = npairs;
  align->ncover = first < 0 ? 1 : last - first + 1;
  align->kscore = total;
  align->gscore = total;
  align->tf = tf_identity();
  // Fragments never outnumber the columns: room for one a column, the whole
  // alignment's record and one more (the anchor pass rewrites them in place).
  align->frags =
      static_cast<_trel_a_frag*>(kget1B_0(((int64_t)nrec + 2) * (int64_t)sizeof(_trel_a_frag)));
  makeFragments(align, fraglen, floor, buf->path);
  return align;
}

void makeFragments(_trel_align* align, int fraglen, float floor, int16_t* flags) {
  (void)fraglen;  // fragments are runs of at least 2 columns whatever the caller asks
  if (!align || !flags) return;
  const int nc = align->ncolumns;
  _trel_a_column* cols = align->columns;

  int qf = -1, ql = -1, tf = -1, tl = -1;
  for (int k = 0; k < nc; k++) {
    _trel_a_column& col = cols[k];
    if (col.qres >= 0) {
      if (qf < 0) qf = col.qres;
      ql = col.qres;
    }
    if (col.tres >= 0) {
      if (tf < 0) tf = col.tres;
      tl = col.tres;
    }
    col.frag = 0;
    flags[k] = (col.seg == 0 && col.qres >= 0 && col.tres >= 0 &&
                (col.kscore > floor || col.gscore > floor))
                   ? 1
                   : 0;
  }
  if (!align->frags) return;

  _trel_a_frag& whole = align->frags[0];
  whole = _trel_a_frag{};
  whole.first = 0;
  whole.last = nc - 1;
  whole.qcount = qf < 0 ? 0 : ql - qf + 1;
  whole.tcount = tf < 0 ? 0 : tl - tf + 1;
  whole.npairs = align->nmatched;
  whole.tf = tf_identity();

  // A flagged run of one column is no fragment of its own.
  for (int k = 0; k < nc;) {
    int e = k;
    while (e < nc && flags[e] == flags[k]) e++;
    if (flags[k] == 1 && e - k < 2) flags[k] = 0;
    k = e;
  }
  int nf = 0;
  for (int k = 0; k < nc;) {
    int e = k, qc = 0, tc = 0, pc = 0;
    while (e < nc && flags[e] == flags[k]) {
      const _trel_a_column& col = cols[e];
      qc += col.qres >= 0;
      tc += col.tres >= 0;
      pc += col.qres >= 0 && col.tres >= 0;
      e++;
    }
    nf++;
    _trel_a_frag& fr = align->frags[nf];
    fr = _trel_a_frag{};
    fr.first = k;
    fr.last = e - 1;
    fr.qcount = qc;
    fr.tcount = tc;
    fr.npairs = pc;
    fr.kind = (pc >= 4 && pc == qc && pc == tc) ? 2 : (pc == 3 && pc == qc && pc == tc) ? 1 : 0;
    fr.tf = tf_identity();
    for (int x = k; x < e; x++) cols[x].frag = nf;
    k = e;
  }
  align->nfrags = nf;
}

_trel_dp_score trel_scoreDP(int n, int m, int penalties, const float* S, _trel_align_buf* buf) {
  _trel_dp_score out{0, 0, 1, 0.0f};
  if (!trel_alignBufFits(buf, n, m)) return out;
  if (!S) {
    zam_err("trel_scoreDP(): no score plane.\n");
    return out;
  }
  const float* qpen = penalties ? buf->qopen : buf->zero;
  const float* tpen = penalties ? buf->topen : buf->zero;
  const float eE = penalties ? buf->teta : 0.0f;  // query-gap state: target extension
  const float eF = penalties ? buf->qeta : 0.0f;  // target-gap state: query extension
  const int64_t w = m + 2;

  // Two rows of each state, kept in the first rows of the H, E and F planes:
  // the whole matrix needs only the row above, so the states stay in cache.
  float* Hr[2] = {buf->hplane, buf->hplane + w};
  float* Er[2] = {buf->eplane, buf->eplane + w};
  float* Fr[2] = {buf->fplane, buf->fplane + w};
  Hr[0][0] = 0.0f;
  Er[0][0] = kForbidden;
  Fr[0][0] = kForbidden;
  for (int c = 1; c <= m + 1; c++) {
    Hr[0][c] = qpen[0] + (float)(c - 1) * eF;
    Er[0][c] = kForbidden;
    Fr[0][c] = Hr[0][c];
  }
  for (int r = 1; r <= n + 1; r++) {
    const int up = (r - 1) & 1, here = r & 1;
    float* H = Hr[here];
    float* E = Er[here];
    float* F = Fr[here];
    H[0] = tpen[0] + (float)(r - 1) * eE;
    E[0] = H[0];
    F[0] = kForbidden;
    (penalties ? fill_row<false, false> : fill_row<false, true>)(
        0, m + 1, Hr[up], Er[up], Fr[up], H, E, F, S + r * w, nullptr, buf->dir + r * w, tpen,
        qpen[r], eE, eF);
  }

  int r = n, c = m, steps = 0, first = -1, last = -1, pairs = 0;
  float score = 0.0f;
  while (r > 0 && c > 0) {
    const int d = buf->dir[(r + 1) * w + c + 1];
    if (d == 1) {
      buf->path[steps] = 0;
      r--;
    } else if (d == 2) {
      buf->path[steps] = 0;
      c--;
    } else {
      score += S[r * w + c];
      buf->path[steps] = 1;
      if (first < 0) first = steps;
      last = steps;
      pairs++;
      r--;
      c--;
    }
    steps++;
  }
  out.steps = steps;
  out.aligned = pairs;
  out.span = first < 0 ? 1 : last - first + 1;
  out.score = score;
  return out;
}

_trel_align* trel_alignAll(int n, int m, int penalties, int fraglen, float floor, const float* S,
                           const float* B, _trel_align_buf* buf) {
  return trel_alignBox(n, m, _trel_a_box{0, n - 1, 0, m - 1}, penalties, fraglen, floor, S, B,
                       buf);
}
