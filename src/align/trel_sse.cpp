// Secondary-structure assignment of a trace from CA geometry: each residue's
// nearest neighbours are scored against ideal helix and strand templates, the
// letters are smoothed, helix and strand runs are numbered, and every residue
// gets pointers toward the next and the previous helix or strand.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "geometry/zam_frame.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Score thresholds of the helix and strand letters.
constexpr float kHelixMin = 0.2f;
constexpr float kStrandMin = 0.1f;

// Ideal CA positions of residues i-4..i+4 in the frame of residue i.
constexpr Point3Df kAlpha[9] = {
    {3.193f, 2.460f, 4.714f},    {1.980f, 4.342f, 1.643f},   {4.662f, 2.682f, -0.478f},
    {3.634f, -0.734f, 0.832f},   {0.0f, 0.0f, 0.0f},         {0.980f, 1.050f, -3.519f},
    {2.964f, -2.161f, -3.962f},  {-0.015f, -4.207f, -2.787f}, {-2.273f, -2.398f, -5.250f}};
constexpr Point3Df kThree10[9] = {
    {6.430f, 1.750f, 5.441f},    {2.853f, 2.611f, 4.553f},   {4.145f, 2.798f, 1.001f},
    {3.540f, -0.938f, 0.955f},   {0.0f, 0.0f, 0.0f},         {1.350f, 0.096f, -3.535f},
    {0.649f, -3.624f, -3.532f},  {-2.852f, -2.612f, -4.555f}, {-1.446f, -2.608f, -8.070f}};
constexpr Point3Df kPi[9] = {
    {0.932f, 3.340f, 1.693f},    {2.312f, 4.144f, -1.738f},  {5.165f, 1.655f, -1.708f},
    {3.627f, -0.819f, 0.707f},   {0.0f, 0.0f, 0.0f},         {0.468f, 1.268f, -3.535f},
    {3.604f, -0.692f, -4.344f},  {3.018f, -3.559f, -1.942f}, {-0.757f, -3.322f, -1.814f}};
constexpr Point3Df kStrand[9] = {
    {8.267f, 0.448f, 10.761f},   {7.487f, -0.225f, 7.103f},  {4.128f, 0.227f, 5.385f},
    {3.288f, -0.665f, 1.788f},   {0.0f, 0.0f, 0.0f},         {-0.924f, -1.098f, -3.519f},
    {-4.116f, -0.236f, -5.393f}, {-5.146f, -1.522f, -8.818f}, {-8.221f, -0.482f, -10.794f}};

// Template row of each neighbour slot (+1, -1, +2, -2, +3, -3, +4, -4).
constexpr int g_pattern[8] = {5, 3, 6, 2, 7, 1, 8, 0};

// Letters A/B/C from the two scores, then the strand and coil gap passes.
void assignLetters(int n, const float* helix, const float* strand, _trel_seg* seg) {
  for (int k = 0; k < n; k++) {
    if (seg[k].sse == 'D') continue;
    seg[k].sse = 'C';
    if (helix[k] > strand[k] && helix[k] > kHelixMin) seg[k].sse = 'A';
    if (strand[k] > helix[k] && strand[k] > kStrandMin) seg[k].sse = 'B';
  }
  // Each step sees the letters the previous steps changed.
  for (int k = 1; k < n - 1; k++) {
    const char s = seg[k].sse;
    if (s != 'D' && s != 'B' && seg[k - 1].sse == 'B' && seg[k + 1].sse == 'B') seg[k].sse = 'B';
  }
  for (int k = 1; k < n - 1; k++) {
    const char s = seg[k].sse;
    if (s != 'D' && s != 'C' && seg[k - 1].sse == 'C' && seg[k + 1].sse == 'C') seg[k].sse = 'C';
  }
}

// Run numbers: 1, 2, 3, ... for each maximal run of 'A' and of 'B', 0 elsewhere.
void numberRuns(int n, const _trel_seg* seg, int* run) {
  char current = 0;
  int counter = 0, number = 0;
  for (int k = 0; k < n; k++) {
    const char s = seg[k].sse;
    if (s != current) {
      number = (s == 'A' || s == 'B') ? ++counter : 0;
      current = s;
    }
    run[k] = number;
  }
}

// v_magv with the geometry layer's arithmetic on two vectors side by side:
// unit(v) times len, the zero vector for a zero v, lane by lane with the
// very same operations (the vector square root is correctly rounded, as
// std::sqrt is).
typedef double v2d __attribute__((vector_size(16)));

inline void magv2(Point3D a, Point3D b, double len, Point3D* ma, Point3D* mb) {
  const v2d x{a.x, b.x}, y{a.y, b.y}, z{a.z, b.z};
  const v2d l2 = x * x + y * y + z * z;
#ifdef __SSE2__
  const v2d l = reinterpret_cast<v2d>(_mm_sqrt_pd(reinterpret_cast<__m128d>(l2)));
#else
  const v2d l{std::sqrt(l2[0]), std::sqrt(l2[1])};
#endif
  const v2d zero{0.0, 0.0}, k{len, len};
  const v2d s = v2d{1.0, 1.0} / l;
  const auto some = l > zero;
  const v2d ux = some ? s * x : zero, uy = some ? s * y : zero, uz = some ? s * z : zero;
  const v2d mx = k * ux, my = k * uy, mz = k * uz;
  *ma = Point3D{mx[0], my[0], mz[0]};
  *mb = Point3D{mx[1], my[1], mz[1]};
}

struct Fragment {
  int first, last, next, prev;
};

// Neighbouring helix or strand fragment of f in direction step (+1 or -1),
// wrapping around the chain and stepping over at most two coil fragments;
// a coil fragment is its own neighbour.
int neighbourFragment(int f, int step, const std::vector<Fragment>& frags, const int* run) {
  const int count = static_cast<int>(frags.size());
  if (run[frags[f].first] == 0) return f;
  int g = f;
  for (int k = 0; k < 3; k++) {
    g = ((g + step) % count + count) % count;
    if (run[frags[g].first] != 0) break;
  }
  return g;
}

// Per-thread work arrays of the assignment, grown to the longest trace the
// thread has seen, so that assigning allocates nothing once warm.
struct Scratch {
  std::vector<float> helix, strand;
  std::vector<int> run;
  std::vector<Fragment> frags;
  std::vector<Point3D> centroid;
};
thread_local Scratch scratch;

template <class T>
T* atLeast(std::vector<T>& v, int n) {
  if (v.size() < static_cast<size_t>(n)) v.resize(static_cast<size_t>(n));
  return v.data();
}

}  // namespace

void scoreTheoreticalTrace(const _trel_trace* trace, int w, const Point3Df* tmpl, float* out) {
  if (!trace || !trace->seg || !tmpl || !out) return;
  // A window beyond four neighbours a side would read past the eight slots.
  const int slots = 2 * std::max(0, std::min(w, 4));
  for (int k = 0; k < trace->n; k++) {
    const _trel_seg& r = trace->seg[k];
    float sum = 0.0f;
    for (int s = 0; s < slots; s++) {
      const Point3Df& a = r.t[s];
      const Point3Df& b = tmpl[g_pattern[s]];
      const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
      sum += dx * dx + dy * dy + dz * dz;
    }
    out[k] = expf(gb_factor * sum);
  }
}

void trel_scoreTraceAlpha(const _trel_trace* trace, int w, float* out) {
  scoreTheoreticalTrace(trace, w, kAlpha, out);
}

void trel_scoreTraceBeta(const _trel_trace* trace, int w, float* out) {
  scoreTheoreticalTrace(trace, w, kStrand, out);
}

void trel_scoreTrace310(const _trel_trace* trace, int w, float* out) {
  scoreTheoreticalTrace(trace, w, kThree10, out);
}

void trel_scoreTracePi(const _trel_trace* trace, int w, float* out) {
  scoreTheoreticalTrace(trace, w, kPi, out);
}

void assignTraceSSEs(_pdb_image* image, const _pdb_peptide* pep, const Matrix3D* frames,
                     _trel_trace* trace) {
  if (!trace || !trace->seg || trace->n <= 0 || !pep || !frames) return;
  const int n = trace->n;
  _trel_seg* seg = trace->seg;

  Scratch& sc = scratch;
  float* helix = atLeast(sc.helix, n);
  float* strand = atLeast(sc.strand, n);
  trel_scoreTraceAlpha(trace, 2, helix);
  trel_scoreTraceBeta(trace, 2, strand);
  assignLetters(n, helix, strand, seg);

  for (int k = 0; k < n; k++) {
    seg[k].sse_score = Point3Df{helix[k], strand[k], std::max(0.0f, 1.0f - helix[k] - strand[k])};
    if (image && k < image->nres) {
      image->residues[k].sse[0] = seg[k].sse;
      image->residues[k].sse[1] = '\0';
    }
  }

  int* run = atLeast(sc.run, n);
  numberRuns(n, seg, run);

  std::vector<Fragment>& frags = sc.frags;
  frags.clear();
  for (int k = 0; k < n;) {
    const int len = zam_spani(run, k, n);
    frags.push_back(Fragment{k, k + len - 1, 0, 0});
    k += len;
  }
  const int nfrag = static_cast<int>(frags.size());
  Point3D* centroid = atLeast(sc.centroid, nfrag);
  for (int f = 0; f < nfrag; f++) {
    centroid[f] = pt_zero();
    if (run[frags[f].first] != 0)
      centroid[f] = pt_average(frags[f].last - frags[f].first + 1, pep->ca + frags[f].first);
    if (zam_debug >= 3)
      zam_log("Frag %d -> [%.3f,%.3f,%.3f]\n", f, centroid[f].x, centroid[f].y, centroid[f].z);
  }
  for (int f = 0; f < nfrag; f++) {
    frags[f].next = neighbourFragment(f, 1, frags, run);
    frags[f].prev = neighbourFragment(f, -1, frags, run);
  }

  const double lambda = g_lambda;
  for (const Fragment& fr : frags) {
    for (int k = fr.first; k <= fr.last; k++) {
      Point3D next, prev;
      magv2(pt_tfpt(frames[k], centroid[fr.next]), pt_tfpt(frames[k], centroid[fr.prev]), lambda,
            &next, &prev);
      seg[k].next_sse = ptf_pt(next);
      seg[k].prev_sse = ptf_pt(prev);
    }
  }

  if (zam_debug >= 3)
    for (const Fragment& fr : frags)
      for (int k = fr.first; k <= fr.last; k++)
        zam_log("%5d Alpha = %9.4f, Beta = %9.4f, SSE = %c, ID = %d, Next = %d\n", k + 1,
                helix[k], strand[k], seg[k].sse, run[k], run[frags[fr.next].first]);
}

int trel_makeTraceModel(const char* prefix, const _pdb_image* image, int selection, int residue) {
  if (!image || image->nres <= 0) return 0;
  if (residue != -1 && (residue < 0 || residue >= image->nres)) return 0;
  int written = 0;
  _pdb_peptide* pep = zam_makePdbPep(image);
  const int first = residue == -1 ? 0 : residue;
  const int last = residue == -1 ? image->nres - 1 : residue;
  for (int k = first; k <= last; k++) {
    const Matrix3D f = tf_origin_negz_posx(pep->ca[k], pep->c[k], pep->n[k]);
    const std::string name = std::string(prefix ? prefix : "") + (image->name ? image->name : "") +
                             "_" + std::to_string(k + 1) + ".pdb";
    written += zam_writePdb(name.c_str(), image, -1, 0, selection, 0, 1, f);
  }
  zam_freePdbPep(pep);
  return written;
}
