// Trace building: local frames, chain breaks, cut points and neighbour points
// of every residue of a structure image, then the secondary structure and,
// when asked, the per-slot statistics of the neighbour points.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "align/trel_backbone.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Structures whose trace build reported chain breaks (any thread).
std::atomic<int> break_files{0};

// Consecutive CA atoms further apart than 5.7 A are a chain break.
constexpr double kBreak2 = 32.49;
// A CB this close (squared) to the coordinate origin was never read.
constexpr double kNoCb2 = 0.001;
// Residues tested by the cut searches, and the fallback reach.
constexpr int kCutReach = 30;
// Half-width of the local centre-of-mass window.
constexpr int kLcmHalf = 15;
// Candidates of a cut search whose heights are worked out together.
constexpr int kCutBlock = 8;
// Doubles of one residue's slot points kept for the statistics: T, P and V
// points of the eight slots.
constexpr int kStatDoubles = 3 * 8 * 3;

constexpr double kPi = 3.14159265358979323846;

// Ideal CB of a residue in its own frame (glycine and missing CB).
constexpr Point3D kIdealCb{-0.71, 1.13, 0.49};

// ---- Frames ------------------------------------------------------------------
// The residue frame of the geometry layer (tf_origin_negz_posx), written out
// here with the very same operations in the same order so that the compiler
// can inline the chain of small transforms; every element comes out with the
// same bits as the geometry layer's.

Matrix3D rotation(double m0, double m1, double m2, double m4, double m5, double m6, double m8,
                  double m9, double m10) {
  return Matrix3D{{m0, m1, m2, 0.0, m4, m5, m6, 0.0, m8, m9, m10, 0.0}};
}

Matrix3D rotz(double angle) {
  double s, c;
  sincos(angle, &s, &c);
  return rotation(c, -s, 0.0, s, c, 0.0, 0.0, 0.0, 1.0);
}

Matrix3D roty(double angle) {
  double s, c;
  sincos(angle, &s, &c);
  return rotation(c, 0.0, s, 0.0, 1.0, 0.0, -s, 0.0, c);
}

Matrix3D shift(Point3D v) {
  Matrix3D t = rotation(1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0);
  t.m[3] = v.x;
  t.m[7] = v.y;
  t.m[11] = v.z;
  return t;
}

// Turn about z that brings q to azimuth 0; none for a q on the z axis.
Matrix3D turnToPosx(Point3D q) {
  const double rho = std::sqrt(q.x * q.x + q.y * q.y);
  if (!(rho > 1e-10 * std::fabs(q.z))) return rotz(-0.0);
  const double a = std::acos(clamp_cos(q.x / rho));
  return rotz(q.y >= 0.0 ? -a : -(2.0 * kPi - a));
}

// Residue frames: ca to the origin, c onto -z, n into the half plane y = 0,
// x >= 0; the identity for the residues marked 'D'. Worked out in three
// passes over the residues (polar angles, the frame up to the last turn,
// the turn), so that the library calls of one residue need not wait for
// the previous residue's and run side by side in the processor. polar
// and toN are scratch of n entries.
void residueFrames(const _pdb_peptide* pep, int n, PolarPoint* polar, Point3D* toN,
                   Matrix3D* frames) {
  for (int i = 0; i < n; i++)
    if (pep->sse[i] != 'D') polar[i] = pp_pt(v_sub(pep->c[i], pep->ca[i]));
  for (int i = 0; i < n; i++) {
    if (pep->sse[i] == 'D') continue;
    const PolarPoint& p = polar[i];
    frames[i] = tf_tftf(tf_tftf(shift(v_neg(pep->ca[i])), rotz(-p.phi)), roty(kPi - p.theta));
    toN[i] = pt_tfpt(frames[i], pep->n[i]);
  }
  for (int i = 0; i < n; i++)
    frames[i] = pep->sse[i] == 'D' ? tf_identity() : tf_tftf(frames[i], turnToPosx(toN[i]));
}

// ---- Vector helpers with the geometry layer's arithmetic ----------------------

// Height (z) of p moved by frame: the z of pt_tfpt.
inline double heightOf(const Matrix3D& f, double x, double y, double z) {
  return f.m[8] * x + f.m[9] * y + f.m[10] * z + f.m[11];
}

// ---- Per-thread scratch --------------------------------------------------------

// Peptide arrays, frames, cut-search tables and statistics points of the
// trace being built. Each thread keeps its own, grown to the longest chain it
// has traced, so a build allocates only the records it hands back.
struct Scratch {
  std::vector<Point3D> ca, n, c, o, cb;
  std::vector<double> val;
  std::vector<char> code, sse;
  std::vector<Matrix3D> frames;
  std::vector<PolarPoint> polar;   // frame passes: polar angles of C from CA
  std::vector<Point3D> toN;        // and N in the frame before its last turn
  std::vector<double> kx, ky, kz;  // CA of the residues not marked 'D', in order
  std::vector<int> kres;           // their residue numbers
  std::vector<int> below;          // below[i]: such residues before residue i (n + 1 entries)
  std::vector<double> stat;        // kStatDoubles per residue

  // A peptide view of n entries per array for zam_loadPdbPep: the atom
  // arrays zero-filled (an atom the image lacks stays at the origin); the
  // letters are all written by the loader and the values are never used.
  _pdb_peptide peptide(int len) {
    const size_t m = static_cast<size_t>(len);
    for (std::vector<Point3D>* a : {&ca, &n, &c, &o, &cb}) {
      if (a->size() < m) a->resize(m);
      std::fill(a->begin(), a->begin() + len, Point3D{0.0, 0.0, 0.0});
    }
    if (val.size() < m) val.resize(m);
    if (code.size() < m) code.resize(m);
    if (sse.size() < m) sse.resize(m);
    return _pdb_peptide{ca.data(), n.data(), c.data(), o.data(), cb.data(), val.data(),
                        code.data(), sse.data()};
  }
};
thread_local Scratch scratch;

// Points side by side in the lanes of a vector: two (v2d) or, where the
// processor has AVX2, four (v4d). Every step below is the Point3D step of
// the geometry layer done lane by lane, with the same operations in the
// same order (no fused multiply-add is enabled), so every lane gets the
// same bits whatever the width.
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));

template <class V>
struct Lanes3 {
  V x, y, z;
};

template <class V>
constexpr int laneCount = static_cast<int>(sizeof(V) / sizeof(double));

template <class V>
inline void splat(V& v, double x) {
  V t{};
  for (int k = 0; k < laneCount<V>; k++) t[k] = x;
  v = t;
}

// Puts p into lane k.
template <class V>
inline void setLane(Lanes3<V>& v, int k, Point3D p) {
  v.x[k] = p.x;
  v.y[k] = p.y;
  v.z[k] = p.z;
}

template <class V>
inline Point3D laneOf(const Lanes3<V>& v, int k) {
  return Point3D{v.x[k], v.y[k], v.z[k]};
}

template <class V>
inline Point3Df laneOfF(const Lanes3<V>& v, int k) {
  return Point3Df{static_cast<float>(v.x[k]), static_cast<float>(v.y[k]),
                  static_cast<float>(v.z[k])};
}

template <class V>
inline Lanes3<V> add(const Lanes3<V>& a, const Lanes3<V>& b) {
  return Lanes3<V>{a.x + b.x, a.y + b.y, a.z + b.z};
}
template <class V>
inline Lanes3<V> sub(const Lanes3<V>& a, const Lanes3<V>& b) {
  return Lanes3<V>{a.x - b.x, a.y - b.y, a.z - b.z};
}

template <class V>
inline Lanes3<V> cross(const Lanes3<V>& a, const Lanes3<V>& b) {
  return Lanes3<V>{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// pt_tfpt on every lane.
template <class V>
inline Lanes3<V> moveLanes(const Matrix3D& t, const Lanes3<V>& p) {
  V m[12];
  for (int k = 0; k < 12; k++) splat(m[k], t.m[k]);
  return Lanes3<V>{m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
                   m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                   m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

// Square roots of every lane; correctly rounded either way, so the vector
// instructions give the bits of std::sqrt.
inline void sqrtLanes(v2d& x) {
#ifdef __SSE2__
  x = reinterpret_cast<v2d>(_mm_sqrt_pd(reinterpret_cast<__m128d>(x)));
#else
  x = v2d{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

__attribute__((target("avx2"))) inline void sqrtLanes(v4d& x) {
  x = reinterpret_cast<v4d>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x)));
}

// v_magv on every lane of v[0..N-1]: the unit vector (zero for a lane
// without length) times the lane's length in len[k], in place. The N
// vectors go through each step one after another, so that their chains of
// dependent steps (square root, then quotient) overlap in the processor. A
// length of 1 gives v_unit: the product with 1 keeps every value.
template <class V, int N>
inline void magv(Lanes3<V>* v, const V* len) {
  V zero, one, l[N], s[N];
  splat(zero, 0.0);
  splat(one, 1.0);
  for (int k = 0; k < N; k++) l[k] = v[k].x * v[k].x + v[k].y * v[k].y + v[k].z * v[k].z;
  for (int k = 0; k < N; k++) sqrtLanes(l[k]);
  for (int k = 0; k < N; k++) s[k] = one / l[k];
  for (int k = 0; k < N; k++) {
    const auto some = l[k] > zero;
    const Lanes3<V> u{some ? s[k] * v[k].x : zero, some ? s[k] * v[k].y : zero,
                      some ? s[k] * v[k].z : zero};
    v[k] = Lanes3<V>{len[k] * u.x, len[k] * u.y, len[k] * u.z};
  }
}

// The atoms of one residue that the neighbour points use, moved by a frame.
struct Atoms3 {
  Point3D ca, n, c;
};

inline Atoms3 residueAtoms(const _pdb_peptide* pep, int i, const Matrix3D& frame) {
  return Atoms3{pt_tfpt(frame, pep->ca[i]), pt_tfpt(frame, pep->n[i]), pt_tfpt(frame, pep->c[i])};
}

// Cut searches over the residues not marked 'D' (get_ncut and get_ccut on
// the packed table): the heights of a block of candidates are worked out
// together, then read nearest first.
struct CutTable {
  const double* x;
  const double* y;
  const double* z;
  const int* res;
  const int* below;
  int count;

  // Nearest residue before i, within kCutReach candidates, with height < 0.
  int ncut(int i, const Matrix3D& f) const {
    const int lo = std::max(below[i] - kCutReach, 0);
    double h[kCutBlock];
    for (int top = below[i]; top > lo; top -= kCutBlock) {
      const int first = std::max(top - kCutBlock, lo);
      const int cnt = top - first;
      for (int k = 0; k < cnt; k++) h[k] = heightOf(f, x[first + k], y[first + k], z[first + k]);
      for (int k = cnt - 1; k >= 0; k--)
        if (h[k] < 0.0) return res[first + k];
    }
    return -1;
  }

  // Nearest residue after i, within kCutReach candidates, with height > 0.
  int ccut(int i, int n, const Matrix3D& f) const {
    if (i >= n - 1) return -1;
    const int from = below[i + 1];
    const int hi = std::min(from + kCutReach, count);
    double h[kCutBlock];
    for (int first = from; first < hi; first += kCutBlock) {
      const int cnt = std::min(kCutBlock, hi - first);
      for (int k = 0; k < cnt; k++) h[k] = heightOf(f, x[first + k], y[first + k], z[first + k]);
      for (int k = 0; k < cnt; k++)
        if (h[k] > 0.0) return res[first + k];
    }
    return -1;
  }
};

// A cut point before magv: the chosen CA flattened into the frame's x-y
// plane when the search found one, else the fallback CA as it stands.
inline Point3D cutBase(int found, int fallback, const Matrix3D& frame, const _pdb_peptide* pep) {
  Point3D p = pt_tfpt(frame, pep->ca[found >= 0 ? found : fallback]);
  if (found >= 0) p.z = 0.0;
  return p;
}

void logStats(const char* label, const Point3D* mean, const Point3D* sd) {
  for (int s = 0; s < 8; s++)
    zam_log("%s%2.2d = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", label,
            s + 1, mean[s].x, mean[s].y, mean[s].z, sd[s].x, sd[s].y, sd[s].z, mag_vector(sd[s]));
}

// Slot statistics from the points of n residues (kStatDoubles each: T, P, V
// by slot) and their sums, added up residue by residue in order as
// pt_average adds them. The spreads are summed in order too, as pt_stddev
// adds them; the series are summed side by side.
void slotStats(int n, const double* pts, const double* sum, _trel_trace_stats* st) {
  double mean[kStatDoubles];
  const double inv = 1.0 / n;
  for (int k = 0; k < kStatDoubles; k++) mean[k] = inv * sum[k];
  double dev[kStatDoubles] = {};
  if (n > 1) {
    for (int i = 0; i < n; i++) {
      const double* row = pts + static_cast<size_t>(i) * kStatDoubles;
      for (int k = 0; k < kStatDoubles; k++) {
        const double d = row[k] - mean[k];
        dev[k] += d * d;
      }
    }
  }
  Point3D* means[3] = {st->t_mean, st->p_mean, st->v_mean};
  Point3D* sds[3] = {st->t_sd, st->p_sd, st->v_sd};
  for (int kind = 0; kind < 3; kind++)
    for (int s = 0; s < 8; s++) {
      const int k = (kind * 8 + s) * 3;
      st->count[s] = n;
      means[kind][s] = Point3D{mean[k], mean[k + 1], mean[k + 2]};
      if (n > 1)
        sds[kind][s] = Point3D{std::sqrt(dev[k] / n), std::sqrt(dev[k + 1] / n),
                               std::sqrt(dev[k + 2] / n)};
    }
}

// What the per-residue pass reads, and where it writes: the records, and
// with statistics the slot points (kStatDoubles per residue) and their sums.
struct Residues {
  const _pdb_peptide* pep;
  const Matrix3D* frames;
  CutTable cuts;
  Atoms3 head[4], tail[4];  // stand-ins for the neighbours beyond each end
  Point3D centre;
  int n;
  double lambda, equator;
  double* stat;  // null without statistics
  double* statSum;
  _trel_seg* seg;
};

// Cut points, neighbour points and axis of every residue, with the slot
// points of the statistics; the neighbour points of L = laneCount<V>
// slots at a time.
template <class V>
void buildResidues(const Residues& b) {
  constexpr int L = laneCount<V>;
  const _pdb_peptide* pep = b.pep;
  const int n = b.n;
  const double lambda = b.lambda, equator = b.equator;
  const Atoms3* head = b.head;
  const Atoms3* tail = b.tail;
  for (int i = 0; i < n; i++) {
    const Matrix3D& f = b.frames[i];
    _trel_seg& r = b.seg[i];
    const Point3D c = pt_tfpt(f, b.centre);

    // The N-side and C-side cut points before scaling (below, g_equator long).
    const Point3D ncut = cutBase(b.cuts.ncut(i, f), std::min(i + kCutReach, n - 1), f, pep);
    const Point3D ccut = cutBase(b.cuts.ccut(i, n, f), std::max(i - kCutReach, 0), f, pep);

    if (zam_debug >= 3) {
      const Atoms3 own = residueAtoms(pep, i, f);
      const Point3D o = pt_tfpt(f, pep->o[i]), cb = pt_tfpt(f, pep->cb[i]);
      zam_log("Segment = %d, code = %c\n", i, r.code);
      zam_log("CA = [%8.4f, %8.4f, %8.4f]\n", own.ca.x, own.ca.y, own.ca.z);
      zam_log("N  = [%8.4f, %8.4f, %8.4f]\n", own.n.x, own.n.y, own.n.z);
      zam_log("C  = [%8.4f, %8.4f, %8.4f]\n", own.c.x, own.c.y, own.c.z);
      zam_log("O  = [%8.4f, %8.4f, %8.4f]\n", o.x, o.y, o.z);
      zam_log("CB = [%8.4f, %8.4f, %8.4f]\n", cb.x, cb.y, cb.z);
    }

    // T, P and V points of the slots: the neighbour's CA, a point g_equator
    // from its C across the peptide plane (statistics only), and its CA
    // moved g_lambda toward the centre. Lane k of group g holds slot
    // s = gL + k: the neighbour d = gL/2 + k/2 + 1 residues ahead (even k) or
    // behind (odd k); a neighbour beyond the chain's end is its stand-in.
    double* row = b.stat ? b.stat + static_cast<size_t>(i) * kStatDoubles : nullptr;
    Lanes3<V> centreV{};
    splat(centreV.x, c.x);
    splat(centreV.y, c.y);
    splat(centreV.z, c.z);
    constexpr int G = 8 / L;            // vectors of neighbour slots
    constexpr int E = (3 + L - 1) / L;  // vectors of cut points and axis
    Lanes3<V> ca[G], cn[G], cc[G];
    for (int g = 0; g < G; g++) {
      ca[g] = cn[g] = cc[g] = Lanes3<V>{};
      for (int k = 0; k < L; k++) {
        const int d = g * L / 2 + k / 2 + 1;
        const int j = k % 2 == 0 ? std::min(i + d, n - 1) : std::max(i - d, 0);
        setLane(ca[g], k, pep->ca[j]);
        setLane(cn[g], k, pep->n[j]);
        setLane(cc[g], k, pep->c[j]);
      }
      ca[g] = moveLanes(f, ca[g]);
      cn[g] = moveLanes(f, cn[g]);
      cc[g] = moveLanes(f, cc[g]);
      for (int k = 0; k < L; k++) {
        const int d = g * L / 2 + k / 2 + 1;
        if (k % 2 == 0 ? i + d < n : i - d >= 0) continue;
        const Atoms3& a = k % 2 == 0 ? tail[d - 1] : head[d - 1];
        setLane(ca[g], k, a.ca);
        setLane(cn[g], k, a.n);
        setLane(cc[g], k, a.c);
      }
    }
    // Scaled side by side: the steps toward the centre (V) of every group,
    Lanes3<V> scaled[2 * G + E];
    V len[2 * G + E];
    for (int g = 0; g < G; g++) {
      scaled[g] = sub(centreV, ca[g]);
      splat(len[g], lambda);
    }
    // the E vectors of the cut points (g_equator long) and the axis from
    // CA(i-2) to CA(i+2) (slots 2 and 3; near the ends the stand-ins taken by
    // the residue's distance from the end) of unit length, in lanes 0, 1
    // and 2 of the E (the axis fills the rest),
    const Point3D ax = i + 2 < n ? laneOf(ca[2 / L], 2 % L) : tail[i - n + 2].ca;
    const Point3D bx = i >= 2 ? laneOf(ca[3 / L], 3 % L) : head[1 - i].ca;
    const Point3D axis = v_sub(ax, bx);
    for (int e = 0; e < E; e++) {
      Lanes3<V> pts{};
      V lens{};
      for (int k = 0; k < L; k++) {
        const int lane = e * L + k;
        setLane(pts, k, lane == 0 ? ncut : lane == 1 ? ccut : axis);
        lens[k] = lane < 2 ? equator : 1.0;
      }
      scaled[G + e] = pts;
      len[G + e] = lens;
    }
    // and with statistics the normals across the peptide planes (P).
    if (row) {
      for (int g = 0; g < G; g++) {
        scaled[G + E + g] = cross(sub(cn[g], cc[g]), cross(cc[g], ca[g]));
        splat(len[G + E + g], equator);
      }
      magv<V, 2 * G + E>(scaled, len);
    } else {
      magv<V, G + E>(scaled, len);
    }
    r.ncut = laneOfF(scaled[G], 0);
    r.ccut = laneOfF(scaled[G], 1);
    r.axis = laneOfF(scaled[G + 2 / L], 2 % L);
    for (int g = 0; g < G; g++) {
      const Lanes3<V> v = add(ca[g], scaled[g]);
      const int s0 = g * L;
      for (int k = 0; k < L; k++) {
        r.t[s0 + k] = laneOfF(ca[g], k);
        r.v[s0 + k] = laneOfF(v, k);
      }
      if (row) {
        const Lanes3<V> p = add(cc[g], scaled[G + E + g]);
        const Lanes3<V>* pts[3] = {&ca[g], &p, &v};
        for (int kind = 0; kind < 3; kind++)
          for (int k = 0; k < L; k++) {
            double* out = row + (kind * 8 + s0 + k) * 3;
            out[0] = pts[kind]->x[k];
            out[1] = pts[kind]->y[k];
            out[2] = pts[kind]->z[k];
          }
      }
    }
    if (row)
      for (int k = 0; k < kStatDoubles; k++) b.statSum[k] += row[k];
  }
}

void buildNarrow(const Residues& b) { buildResidues<v2d>(b); }

// slotStats in AVX2 code: its loops over the series run four at a time.
__attribute__((target("avx2"), flatten)) void slotStatsWide(int n, const double* pts,
                                                            const double* sum,
                                                            _trel_trace_stats* st) {
  slotStats(n, pts, sum, st);
}

// The same pass four lanes wide, everything inlined into AVX2 code.
__attribute__((target("avx2"), flatten)) void buildWide(const Residues& b) {
  buildResidues<v4d>(b);
}


}  // namespace

void trel_loadTrace(_pdb_image* image, Point3D centre, int stats, int warn, _trel_trace* trace) {
  if (!trace) return;
  trel_wipeTrace(trace);
  if (!image || image->nres <= 0 || !image->residues) return;
  const int n = image->nres;
  trace->n = n;
  // Every field of every record is written below (the break marks first), so
  // the records are not cleared beforehand.
  trace->seg = static_cast<_trel_seg*>(zam_vm_get_pooled(static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(_trel_seg))));
  _trel_seg* seg = trace->seg;
  Scratch& sc = scratch;

  // Frames; incomplete residues become an ideal residue at the origin.
  _pdb_peptide view = sc.peptide(n);
  _pdb_peptide* pep = &view;
  zam_loadPdbPep(image, pep);
  if (sc.frames.size() < static_cast<size_t>(n)) sc.frames.resize(n);
  Matrix3D* frames = sc.frames.data();
  for (int i = 0; i < n; i++) {
    if (pep->sse[i] != 'D') continue;
    // The ideal strand residue of the backbone builder, at the origin.
    pep->ca[i] = pt_beta_0_ca;
    pep->n[i] = pt_beta_0_n;
    pep->c[i] = pt_beta_0_c;
    pep->o[i] = pt_beta_0_o;
  }
  if (sc.polar.size() < static_cast<size_t>(n)) sc.polar.resize(n);
  if (sc.toN.size() < static_cast<size_t>(n)) sc.toN.resize(n);
  residueFrames(pep, n, sc.polar.data(), sc.toN.data(), frames);

  for (int i = 0; i < n; i++) {
    seg[i].code = pep->code[i];
    seg[i].sse = pep->sse[i];
    seg[i].break_before = 0;
    seg[i].break_after = 0;
    if (pep->code[i] == 'G' || square_vector(pep->cb[i]) < kNoCb2)
      pep->cb[i] = pt_tfpt(tf_inverse(frames[i]), kIdealCb);
  }

  // The cut searches look at residues not marked 'D' only: pack their CA.
  for (std::vector<double>* a : {&sc.kx, &sc.ky, &sc.kz})
    if (a->size() < static_cast<size_t>(n)) a->resize(n);
  if (sc.kres.size() < static_cast<size_t>(n)) sc.kres.resize(n);
  if (sc.below.size() < static_cast<size_t>(n) + 1) sc.below.resize(static_cast<size_t>(n) + 1);
  int packed = 0;
  for (int i = 0; i < n; i++) {
    sc.below[i] = packed;
    if (pep->sse[i] == 'D') continue;
    sc.kx[packed] = pep->ca[i].x;
    sc.ky[packed] = pep->ca[i].y;
    sc.kz[packed] = pep->ca[i].z;
    sc.kres[packed] = i;
    packed++;
  }
  sc.below[n] = packed;
  const CutTable cuts{sc.kx.data(), sc.ky.data(), sc.kz.data(), sc.kres.data(), sc.below.data(),
                      packed};

  // Stand-ins for the neighbours beyond each end: the first residue as seen
  // from residues 1..4, the last as seen from residues n-2..n-5.
  Atoms3 head[4], tail[4];
  for (int j = 0; j < 4; j++) {
    head[j] = residueAtoms(pep, 0, frames[std::min(j + 1, n - 1)]);
    tail[j] = residueAtoms(pep, n - 1, frames[std::max(n - 2 - j, 0)]);
  }

  seg[0].break_before = 1;
  seg[n - 1].break_after = 1;
  for (int i = 1; i < n; i++) {
    if (d2_ptpt(pep->ca[i - 1], pep->ca[i]) <= kBreak2) continue;
    seg[i].break_before = 1;
    seg[i - 1].break_after = 1;
  }
  if (warn && trel_logChainBreaks(image, trace)) trel_countChainBreakFile();

  // Slot points of every residue, kept for the statistics.
  double* stat = nullptr;
  double statSum[kStatDoubles] = {};
  if (stats) {
    const size_t need = static_cast<size_t>(n) * kStatDoubles;
    if (sc.stat.size() < need) sc.stat.resize(need);
    stat = sc.stat.data();
  }
  const Residues all{pep,  frames, cuts, {head[0], head[1], head[2], head[3]},
                     {tail[0], tail[1], tail[2], tail[3]}, centre, n, g_lambda, g_equator,
                     stat, statSum, seg};
  if (zam_cpu_avx2())
    buildWide(all);
  else
    buildNarrow(all);

  assignTraceSSEs(image, pep, frames, trace);

  if (stats) {
    _trel_trace_stats* st = static_cast<_trel_trace_stats*>(kget1B_pooled_0(sizeof(_trel_trace_stats)));
    trace->stats = st;
    if (zam_cpu_avx2())
      slotStatsWide(n, stat, statSum, st);
    else
      slotStats(n, stat, statSum, st);
    if (zam_debug >= 3) {
      logStats("T", st->t_mean, st->t_sd);
      zam_log("\n");
      logStats("P", st->p_mean, st->p_sd);
      zam_log("\n");
      logStats("V", st->v_mean, st->v_sd);
    }
  }
}

int get_ncut(int i, int n, int /*limit*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i > n) return -1;
  int tested = 0;
  for (int j = i - 1; j >= 0 && tested < kCutReach; j--) {
    if (pep->sse[j] == 'D') continue;
    tested++;
    if (pt_tfpt(frame, pep->ca[j]).z < 0.0) return j;
  }
  return -1;
}

int get_ccut(int i, int n, int /*limit*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i >= n - 1) return -1;
  int tested = 0;
  for (int j = std::max(i + 1, 0); j < n && tested < kCutReach; j++) {
    if (pep->sse[j] == 'D') continue;
    tested++;
    if (pt_tfpt(frame, pep->ca[j]).z > 0.0) return j;
  }
  return -1;
}

Point3D get_lcm(int i, int n, int /*width*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i - kLcmHalf < 0 || i + kLcmHalf >= n) return pt_zero();
  Point3D sum = pt_zero();
  int used = 0;
  for (int j = i - kLcmHalf; j <= i + kLcmHalf; j++) {
    if (pep->sse[j] == 'D') continue;
    sum = v_add(sum, pep->ca[j]);
    used++;
  }
  if (used == 0) return pt_zero();
  return pt_tfpt(frame, v_scale(sum, 1.0 / used));
}

bool trel_logChainBreaks(const _pdb_image* image, const _trel_trace* trace) {
  if (!image || !trace || !trace->seg || trace->n != image->nres) return false;
  bool broken = false;
  for (int i = 1; i < trace->n; i++) {
    if (!trace->seg[i].break_before) continue;
    // Into the log only: a search of thousands of targets would bury its
    // tables under them. The run counts the files (trel_chainBreakFiles).
    const _pdb_residue& a = image->residues[i - 1];
    const _pdb_residue& b = image->residues[i];
    zam_log("*Warning* Chain break %s:%s-%s <--> %s:%s-%s in file %s\n", a.chain, a.code, a.resnum, b.chain,
            b.code, b.resnum, image->name ? image->name : "");
    broken = true;
  }
  return broken;
}

void trel_countChainBreakFile() { break_files.fetch_add(1); }

int trel_chainBreakFiles() { return break_files.load(); }
