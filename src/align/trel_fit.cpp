// Rigid fitting of alignments: weighted least-squares fits over fragments,
// fragment scoring, rigid refinement cycles on the G-score plane, the G, F,
// M and T scores, the final markup and the factor-plane boost.
#include "align/trel_fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include "align/trel_blosum62.h"
#include "align/trel_dp.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "geometry/zam_fastexp.h"
#include "geometry/zam_qcp.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Sentinel RMSD when a score pass has nothing to measure.
constexpr float kNoRmsd = 99.99f;

bool isPair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// The transformed-target scratch lives in the second third of the fit
// buffer's target points, clear of the fit points (at most min(n, m) pairs)
// and large enough for m points. Null when the buffer has no such room.
Point3D* transformedPoints(const _trel_fit_buf& fb) {
  int third = fb.size / 3;
  return (fb.tpts && third > 0) ? fb.tpts + third : nullptr;
}

// Fragment record k exists (0..nfrags) and has columns inside the alignment.
bool fragOk(const _trel_align* a, int k) {
  return a && a->frags && a->columns && k >= 0 && k <= a->nfrags;
}

// Sets the G-plane cells of the frame around the box to 0: the cell rows of
// the residues before q0 and after q1 and the cell columns of the residues
// before t0 and after t1, over the box extent with its border.
void zeroFrame(int m, _trel_a_box box, float* plane) {
  const int rows[2] = {box.qfirst, box.qlast + 2};
  const int cols[2] = {box.tfirst, box.tlast + 2};
  const int64_t w = m + 2;
  for (int r : rows)
    for (int c = box.tfirst; c <= box.tlast + 2; c++) plane[(int64_t)r * w + c] = 0.0f;
  for (int c : cols)
    for (int r = box.qfirst; r <= box.qlast + 2; r++) plane[(int64_t)r * w + c] = 0.0f;
}

// Lanes through the compiler's generic vectors: four (SSE2 on every x86-64
// machine, NEON on arm64; no intrinsics) or eight (AVX2 code, chosen at run
// time). Every lane does the scalar arithmetic of its cell, so both widths
// give the same bits.
template <int N>
struct Lanes;
template <>
struct Lanes<4> {
  typedef float F __attribute__((vector_size(16)));
  typedef int I __attribute__((vector_size(16)));
  typedef double D __attribute__((vector_size(32)));
};
template <>
struct Lanes<8> {
  typedef float F __attribute__((vector_size(32)));
  typedef int I __attribute__((vector_size(32)));
  typedef double D __attribute__((vector_size(64)));
};

// (Vectors go in and out by reference: a 32-byte vector by value would
// change the calling convention of the non-AVX code.)
template <class V>
inline void splat(V& v, float x) {
  for (unsigned k = 0; k < sizeof(V) / sizeof(float); k++) v[k] = x;
}
template <class V, class T>
inline void load(V& v, const T* p) {
  memcpy(&v, p, sizeof v);
}
template <class V, class T>
inline void store(T* p, const V& v) {
  memcpy(p, &v, sizeof v);
}
inline bool anyLane(const Lanes<4>::I& v) {
#ifdef __SSE2__
  return _mm_movemask_ps((__m128)v) != 0;
#else
  return (v[0] | v[1] | v[2] | v[3]) != 0;
#endif
}
#ifdef __x86_64__
// Inlined only into the AVX2 code below.
__attribute__((target("avx2"))) inline bool anyLane(const Lanes<8>::I& v) {
  return _mm256_movemask_ps((__m256)v) != 0;
}
#endif
template <class I>
inline int laneSum(const I& v) {
  int sum = 0;
  for (unsigned k = 0; k < sizeof(I) / sizeof(int); k++) sum += v[k];
  return sum;
}

// Squared distances of query CA (qx, qy, qz) to the transformed target points
// t0..t1 (coordinates in tx, ty, tz) into Dr (indexed by target residue), as
// d2_ptpt_inline computes them: differences in double rounded to float.
template <int N>
void distanceRow(int t0, int t1, double qx, double qy, double qz, const double* tx,
                 const double* ty, const double* tz, float* Dr) {
  using F = typename Lanes<N>::F;
  using D = typename Lanes<N>::D;
  int j = t0;
  D vx, vy, vz;
  for (int k = 0; k < N; k++) vx[k] = qx, vy[k] = qy, vz[k] = qz;
  for (; j + N - 1 <= t1; j += N) {
    D px, py, pz;
    load(px, tx + j);
    load(py, ty + j);
    load(pz, tz + j);
    const F dx = __builtin_convertvector(px - vx, F);
    const F dy = __builtin_convertvector(py - vy, F);
    const F dz = __builtin_convertvector(pz - vz, F);
    const F d2 = dx * dx + dy * dy + dz * dz;
    store(Dr + j, d2);
  }
  for (; j <= t1; j++) {
    const float dx = (float)(tx[j] - qx), dy = (float)(ty[j] - qy), dz = (float)(tz[j] - qz);
    Dr[j] = dx * dx + dy * dy + dz * dz;
  }
}

// One cell of the G plane, the plain way; the vector row below must agree.
inline float gCell(float d2, float arg, float d2max, float outside) {
  return d2 < d2max ? getGscore(arg) : outside;
}

// G row of query residue i over t0..t1 from the distance rows Dp (i-1), Dr
// (i) and Dn (i+1), all indexed by target residue; Dp and Dn are read only
// when the row is inside the box. Returns the number of cells within d2max.
template <int N>
int gRow(int t0, int t1, bool edgeRow, const float* Dp, const float* Dr, const float* Dn,
         float d2max, float outside, float* Gr) {
  using F = typename Lanes<N>::F;
  using I = typename Lanes<N>::I;
  int count = 0;
  auto plain = [&](int j) {
    const float d2 = Dr[j];
    const bool edge = edgeRow || j == t0 || j == t1;
    // Smooth along the diagonal so that an isolated close pair does not pull
    // the realignment off a well-fitting run.
    const float arg = edge ? d2 : (2.0f * d2 + Dn[j + 1] + Dp[j - 1]) * 0.25f;
    count += d2 < d2max;
    Gr[j] = gCell(d2, arg, d2max, outside);
  };
  if (t1 - t0 < 2) {
    for (int j = t0; j <= t1; j++) plain(j);
    return count;
  }
  // An edge row takes its cells unsmoothed, all of them; an inner row
  // smooths all but its first and last cell.
  if (!edgeRow) plain(t0);
  F gb, vmax, vout, lo, hi, two, quarter;
  splat(gb, gb_factor);
  splat(vmax, d2max);
  splat(vout, outside);
  splat(lo, kDoExpLo);
  splat(hi, kDoExpHi);
  splat(two, 2.0f);
  splat(quarter, 0.25f);
  I within_n{}, redo{};
  int j = edgeRow ? t0 : t0 + 1;
  const int jlast = edgeRow ? t1 : t1 - 1;
  for (; j + N - 1 <= jlast; j += N) {
    F d2, dn, dp;
    load(d2, Dr + j);
    const I within = d2 < vmax;
    if (!anyLane(within)) {
      // Most cells of a box are beyond the range: no exponential for them.
      store(Gr + j, vout);
      continue;
    }
    F arg = d2;
    if (!edgeRow) {
      load(dn, Dn + j + 1);
      load(dp, Dp + j - 1);
      arg = (two * d2 + dn + dp) * quarter;
    }
    F x = arg * gb;
    // Lanes outside the fast range need no clamping: a lane beyond the
    // range is either not stored or makes the whole row be redone.
    const I inRange = (x >= lo) & (x <= hi);
    redo |= within & ~inRange;
    within_n -= within;
    zam_fastexp<F, I>(&x);
    const F g = within ? x : vout;
    store(Gr + j, g);
  }
  count += laneSum(within_n);
  for (; j <= t1; j++) plain(j);
  if (anyLane(redo)) {
    // An argument outside the fast range (a far neighbour): the row again
    // cell by cell.
    count = 0;
    for (int k = t0; k <= t1; k++) plain(k);
  }
  return count;
}

// Fills the distance and G planes of the box under the transformed target
// points (tx, ty, tz: coordinates by target residue); returns the number of
// pairs within d2max. Each distance row is made just before the G row that
// first needs it, so the three rows read by the smoothing stay in cache.
template <int N>
int fillGplane(int m, _trel_a_box box, const Point3D* qca, const double* tx, const double* ty,
               const double* tz, float d2max, float outside, _trel_align_buf* buf) {
  float* D = buf->dplane;
  float* G = buf->gplane;
  const int q0 = box.qfirst, q1 = box.qlast, t0 = box.tfirst, t1 = box.tlast;
  auto row = [&](float* plane, int i) { return plane + trel_cell(i, 0, m); };
  auto dist = [&](int i) {
    distanceRow<N>(t0, t1, qca[i].x, qca[i].y, qca[i].z, tx, ty, tz, row(D, i));
  };
  int count = 0;
  if (q0 <= q1) dist(q0);
  for (int i = q0; i <= q1; i++) {
    if (i + 1 <= q1) dist(i + 1);
    const bool edgeRow = i == q0 || i == q1;
    count += gRow<N>(t0, t1, edgeRow, edgeRow ? nullptr : row(D, i - 1), row(D, i),
                     edgeRow ? nullptr : row(D, i + 1), d2max, outside, row(G, i));
  }
  return count;
}

__attribute__((flatten)) int fillGplane4(int m, _trel_a_box box, const Point3D* qca, const double* tx, const double* ty,
                const double* tz, float d2max, float outside, _trel_align_buf* buf) {
  return fillGplane<4>(m, box, qca, tx, ty, tz, d2max, outside, buf);
}

#ifdef __x86_64__
// The same fill eight lanes wide in AVX2 code (no FMA: the products and sums
// round as in the four-lane code).
__attribute__((target("avx2"), flatten)) int fillGplane8(int m, _trel_a_box box,
                                                         const Point3D* qca, const double* tx,
                                                         const double* ty, const double* tz,
                                                         float d2max, float outside,
                                                         _trel_align_buf* buf) {
  return fillGplane<8>(m, box, qca, tx, ty, tz, d2max, outside, buf);
}
#endif

int fillGplaneAny(int m, _trel_a_box box, const Point3D* qca, const double* tx, const double* ty,
                  const double* tz, float d2max, float outside, _trel_align_buf* buf) {
#ifdef __x86_64__
  if (zam_cpu_avx2()) return fillGplane8(m, box, qca, tx, ty, tz, d2max, outside, buf);
#endif
  return fillGplane4(m, box, qca, tx, ty, tz, d2max, outside, buf);
}

// An alignment without columns carrying M: what rigid fitting hands back when
// it cannot run, so that its callers always get a record.
_trel_align* emptyAlign(Matrix3D M) {
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->columns = (_trel_a_column*)kget1B_0(sizeof(_trel_a_column));
  a->frags = (_trel_a_frag*)kget1B_0(sizeof(_trel_a_frag));
  a->frags[0].last = -1;
  a->frags[0].tf = tf_identity();
  a->ncover = 1;
  a->max_dist = -1.0f;
  a->tf = M;
  return a;
}

}  // namespace

// ---- Superposition -----------------------------------------------------------

Matrix3D trel_fitPts(int n, Point3D* a, Point3D* b) {
  return g_qcp ? tf_fitQCP(n, a, b) : tf_fitPts(n, a, b);
}

Matrix3D trel_fitPtsWts(int n, Point3D* a, Point3D* b, double* w) {
  return g_qcp ? tf_fitQCPwts(n, a, b, w) : tf_fitPtsWts(n, a, b, w);
}

Matrix3D fitFragment(int k, int /*last*/, _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                     _trel_fit_buf fb) {
  if (!fragOk(a, k) || !qpep || !tpep || !fb.qpts || !fb.tpts || !fb.wts) return tf_identity();
  const _trel_a_frag& f = a->frags[k];
  int first = std::max(f.first, 0), last = std::min(f.last, a->ncolumns - 1);
  int count = 0;
  for (int j = first; j <= last && count < fb.size; j++) {
    const _trel_a_column& c = a->columns[j];
    if (!isPair(c) || c.score == 0.0f) continue;
    fb.qpts[count] = qpep->ca[c.qres];
    fb.tpts[count] = tpep->ca[c.tres];
    fb.wts[count] = c.score;
    count++;
  }
  if (count < 4) return tf_identity();
  return trel_fitPtsWts(count, fb.tpts, fb.qpts, fb.wts);
}

// ---- Fragment scores ---------------------------------------------------------

float scoreOneFrag(int /*extra*/, int k, Matrix3D M, _trel_align* a, float range2, float match2,
                   _pdb_peptide* qpep, _pdb_peptide* tpep, int* count, _trel_fit_buf fb) {
  int nm = 0;
  float sum = 0.0f;
  if (fragOk(a, k) && qpep && tpep) {
    Point3D* xp = transformedPoints(fb);
    const _trel_a_frag& f = a->frags[k];
    int first = std::max(f.first, 0), last = std::min(f.last, a->ncolumns - 1);
    for (int j = first; j <= last; j++) {
      _trel_a_column& c = a->columns[j];
      if (!isPair(c)) continue;
      Point3D p = pt_tfpt(M, tpep->ca[c.tres]);
      if (xp) xp[c.tres] = p;
      float d2 = (float)d2_ptpt(p, qpep->ca[c.qres]);
      c.d2 = d2;
      if (d2 < range2) {
        float g = getGscore(d2);
        sum += g;
        c.gscore = g;
        if (d2 < match2) nm++;
      }
    }
  }
  if (count) *count = nm;
  return sum;
}

int scoreFragment(int /*n*/, int /*m*/, int f, int /*last*/, _trel_align* a, _pdb_peptide* qpep,
                  _pdb_peptide* tpep, Matrix3D M, float range, float match, float* G, float* R,
                  _trel_fit_buf fb) {
  float gsum = 0.0f;
  int total = 0;
  double d2sum = 0.0;
  if (a && a->frags && a->columns) {
    int nf = a->nfrags;
    int lo, hi;
    if (f == 0) {
      lo = 0;
      hi = nf - 1;
    } else if (f < 0) {
      lo = 1;
      hi = nf - 1;
    } else {
      lo = std::max(f - 6, 1);
      hi = std::min(lo + 12, nf - 1);
    }
    float range2 = range * range, match2 = match * match;
    for (int k = lo; k <= hi; k++) {
      const _trel_a_frag& fr = a->frags[k];
      if (fr.kind != 1 && fr.kind != 2) continue;
      int cnt = 0;
      gsum += scoreOneFrag(0, k, M, a, range2, match2, qpep, tpep, &cnt, fb);
      total += cnt;
      // The counted pairs are those of this record now holding d2 < match2.
      int first = std::max(fr.first, 0), lastc = std::min(fr.last, a->ncolumns - 1);
      for (int j = first; j <= lastc; j++) {
        const _trel_a_column& c = a->columns[j];
        if (isPair(c) && c.d2 < range2 && c.d2 < match2) d2sum += c.d2;
      }
    }
  }
  if (total > 0) {
    if (G) *G = gsum;
    if (R) *R = (float)std::sqrt(d2sum / total);
  } else {
    if (G) *G = 0.0f;
    if (R) *R = 0.0f;
  }
  return total;
}

// ---- Rigid refinement --------------------------------------------------------

_trel_align* alignRigidBox(int n, int m, _trel_a_box box, int cycles, _pdb_peptide* qpep,
                           _pdb_peptide* tpep, Matrix3D M, float range, float match, float outside,
                           _trel_align_buf* buf) {
  // A negative count would leave the caller without an alignment; one pass
  // under the given superposition is the nearest meaningful request.
  if (cycles < 0) cycles = 0;
  if (!qpep || !tpep || !trel_boxFits(n, m, box, buf, "alignRigidBox")) return emptyAlign(M);
  double r = (double)range - 0.05;
  float d2max = (float)(r * r);
  _trel_fit_buf fb = trel_fitBuf(buf);
  std::vector<Point3D> own;
  Point3D* xp = transformedPoints(fb);
  if (!xp) {
    own.resize(std::max(m, 1));
    xp = own.data();
  }
  // The transformed target by coordinate, so that the distance rows run four
  // targets at a time.
  std::vector<double> soa(3 * (size_t)std::max(m, 1) + 8);
  double* tx = soa.data();
  double* ty = tx + m;
  double* tz = ty + m;
  // Only the best pass so far is kept (the first of equal G-scores): the
  // others go back at once, so that the heap reuses their blocks.
  _trel_align* best = nullptr;
  for (int c = 0; c <= cycles; c++) {
    zeroFrame(m, box, buf->gplane);
    tf_pts(m, xp, tpep->ca, M);
    for (int j = 0; j < m; j++) {
      tx[j] = xp[j].x;
      ty[j] = xp[j].y;
      tz[j] = xp[j].z;
    }
    int count = fillGplaneAny(m, box, qpep->ca, tx, ty, tz, d2max, outside, buf);
    if (zam_debug > 2) zam_msg("alignRigidBox: %d pairs within distance range (%.4f)\n", count, range);
    _trel_align* a = trel_alignGbox(n, m, box, buf);
    if (!a) a = emptyAlign(M);
    a->tf = cycles > 0 ? fitFragment(0, -1, a, qpep, tpep, fb) : M;
    float G = trel_GMscoreAlign(a, range, match, qpep, tpep, a->tf);
    a->gscore = G;
    a->fscore = makeFscore(a->nmatched, G, 0.0f);
    if (zam_debug > 1)
      zam_msg("Cycle %d, F-score = %.5f, G-score = %.5f, RMSD = %.4f (nm=%d)\n", c, a->fscore, G,
              a->rmsd_matched, a->nmatched);
    M = a->tf;
    best = trel_keepBetterG(best, a);
  }
  return best;
}

_trel_align* trel_keepBetterG(_trel_align* best, _trel_align* a) {
  if (!best || a->gscore > best->gscore) {
    trel_freeAlign(best);
    return a;
  }
  trel_freeAlign(a);
  return best;
}

// ---- Scores ------------------------------------------------------------------

float trel_GMscoreAlign(_trel_align* a, float range, float match, _pdb_peptide* qpep,
                        _pdb_peptide* tpep, Matrix3D M) {
  if (!a) return 0.0f;
  // Local lists rather than the peptides' scratch doubles: one query peptide
  // is shared by every worker thread of a search.
  std::vector<double> all, close;
  all.reserve(a->ncolumns);
  int nq = 0, nt = 0;
  float G = 0.0f;
  double range2 = (double)range * range, match2 = (double)match * match;
  for (int j = 0; j < a->ncolumns; j++) {
    _trel_a_column& c = a->columns[j];
    if (c.qres >= 0) nq++;
    if (c.tres >= 0) nt++;
    if (!isPair(c) || !qpep || !tpep) continue;
    double d2 = d2_ptpt(qpep->ca[c.qres], pt_tfpt(M, tpep->ca[c.tres]));
    all.push_back(d2);
    c.d2 = (float)d2;
    c.gscore = 0.0f;
    if (d2 < range2) {
      float g = getGscore((float)d2);
      c.gscore = g;
      if (d2 < match2) {
        G += g;
        close.push_back(d2);
      }
    }
  }
  a->rmsd_aligned = kNoRmsd;
  a->rmsd_matched = close.empty() ? kNoRmsd : (float)rms_d2pts((int)close.size(), close.data());
  a->gscore = G;
  a->mscore = trel_MscoreAlign(nq, nt, (int)all.size(), all.data());
  a->tscore = 0.0f;
  a->nmatched = (int)close.size();
  a->naligned = (int)all.size();
  return G;
}

float makeFscore(int nm, float G, float /*extra*/) {
  return G * (float)std::sqrt(std::sqrt((double)nm + 1.0));
}

float trel_MscoreAlign(int n, int m, int np, double* d2) {
  int L = std::min(n, m);
  if (np <= 0 || !d2 || L <= 0) return 0.0f;
  float sum = 0.0f;
  for (int k = 0; k < np; k++) {
    float x = (float)(d2[k] * (double)go_factor * 0.25);
    // Only pairs whose Gaussian exceeds one half contribute.
    float term = std::max(2.0f * do_exp(x), 1.0f) - 1.0f;
    sum += term;
  }
  return sum / (float)L;
}

float trel_TscoreAlign(int n, int m, int np, double* d2) {
  int L = std::max(std::min(n, m), 1);
  double d0 = L > 19 ? 1.24 * std::cbrt((double)L) - 1.8 : 0.168;
  double d02 = d0 * d0;
  double sum = 0.0;
  for (int k = 0; k < np && d2; k++) sum += 1.0 / (1.0 + d2[k] / d02);
  return (float)(sum / L);
}

float getGscore(float d2) { return do_exp(d2 * gb_factor); }

float getMscore(float d2) { return do_exp(d2 * go_factor); }

double d2_ptpt_inline(Point3D a, Point3D b) {
  float dx = (float)(a.x - b.x), dy = (float)(a.y - b.y), dz = (float)(a.z - b.z);
  float s = dx * dx + dy * dy + dz * dz;
  return s;
}

// ---- Factor planes and final markup -----------------------------------------

void biasScoreMatrix(int /*n*/, int m, _trel_align* a, float kf, float gf, _trel_align_buf* buf) {
  if (!a || !a->frags || !a->columns || !buf || a->nfrags < 2) return;
  for (int k = 1; k <= a->nfrags - 1; k++) {
    const _trel_a_frag& f = a->frags[k];
    int first = std::max(f.first, 0), last = std::min(f.last, a->ncolumns - 1);
    for (int j = first; j <= last; j++) {
      const _trel_a_column& c = a->columns[j];
      if (!isPair(c)) continue;
      int64_t cell = trel_cell(c.qres, c.tres, m);
      if (kf != 0.0f) buf->kfactor[cell] *= kf;
      if (gf != 0.0f) buf->gfactor[cell] *= gf;
    }
  }
}

void markupAlignFit(int n, int m, _trel_align* a, _trel_seg* qseg, _trel_seg* tseg,
                    _pdb_peptide* qpep, _pdb_peptide* tpep, float contact, _trel_align_buf* buf) {
  if (!a || !buf || !qpep || !tpep) return;
  a->naligned = a->nmatched = a->nidentity = a->nanchor = 0;
  a->nid_matched = a->nid_unmatched = a->nother_matched = a->nother_unmatched = 0;
  int nall = 0, nclose = 0, nanchor = 0;
  int segmax = 0, firstpair = -1, lastpair = -1;
  double d2big = 0.0, ksum = 0.0, gsum = 0.0;
  double c2 = (double)contact * contact;
  for (int j = 0; j < a->ncolumns; j++) {
    _trel_a_column& c = a->columns[j];
    if (c.qres >= 0) c.seg = buf->qsegs[c.qres];
    if (c.tres >= 0) c.seg = buf->tsegs[c.tres];
    segmax = std::max(segmax, c.seg);
    if (!isPair(c)) {
      c.kscore = 0.0f;
      c.gscore = 0.0f;
      c.d2 = -1.0f;
      continue;
    }
    if (firstpair < 0) firstpair = j;
    lastpair = j;
    Point3D p = pt_tfpt(a->tf, tpep->ca[c.tres]);
    double d2 = d2_ptpt(qpep->ca[c.qres], p);
    buf->d2_all[nall++] = d2;
    d2big = std::max(d2big, d2);
    float g = getGscore((float)d2);
    c.kscore = buf->kplane[trel_cell(c.qres, c.tres, m)];
    ksum += c.kscore;
    c.gscore = g;
    gsum += g;
    c.d2 = (float)d2;
    if (c.seg == 1) buf->d2_anchor[nanchor++] = d2;
    char qc = qseg ? qseg[c.qres].code : qpep->code[c.qres];
    char tc = tseg ? tseg[c.tres].code : tpep->code[c.tres];
    bool same = qc == tc;
    if (d2 > c2) {
      if (same) {
        c.mark = '#';
        a->nid_unmatched++;
      } else {
        c.mark = '$';
        a->nother_unmatched++;
      }
    } else {
      buf->d2_close[nclose++] = d2;
      if (same) {
        c.mark = '@';
        a->nid_matched++;
      } else {
        c.mark = '*';
        a->nother_matched++;
      }
    }
  }
  a->max_dist = d2big > 0.0 ? (float)std::sqrt(d2big) : -1.0f;
  a->contact = contact;
  if (nall > 0) {
    a->kscore = (float)ksum;
    a->gscore = (float)gsum;
    a->mscore = trel_MscoreAlign(n, m, nall, buf->d2_all);
    a->tscore = trel_TscoreAlign(n, m, nall, buf->d2_all);
    a->rmsd_aligned = (float)rms_d2pts(nall, buf->d2_all);
  } else {
    a->kscore = a->gscore = a->mscore = a->tscore = a->rmsd_aligned = 0.0f;
  }
  a->rmsd_matched = nclose > 0 ? (float)rms_d2pts(nclose, buf->d2_close) : 0.0f;
  a->rmsd_anchor = nanchor > 0 ? (float)rms_d2pts(nanchor, buf->d2_anchor) : 0.0f;
  a->nsegments = segmax;
  a->nidentity = a->nid_matched + a->nid_unmatched;
  a->naligned = nall;
  a->nmatched = nclose;
  a->nanchor = nanchor;
  a->ncover = firstpair >= 0 ? lastpair - firstpair + 1 : 1;
}
