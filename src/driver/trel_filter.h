// Descriptor filters of the search: with filter methods 1 to 5 the targets
// are pre-scored by comparing shape descriptors (the tau coefficients of the
// query's potential class, both in their canonical frames) instead of their
// backbone traces: rotation invariants (1), the radial moments, each over
// the zeroth to its order (2), invariants of six canonical orientations of
// the query (3), and a search of the twist
// about the canonical z axis by FFT (4 at the origin, 5 over a list of
// separations along z). Each score is a similarity of at most 1.
//
// A target whose score cannot be had (no descriptors of the class, a vector
// of lower order, an empty or non-finite vector) is never ranked with a
// made-up or NaN score: it keeps the scores 0, is warned about by name and
// goes to the bottom of the ranking.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_thing;
struct _trel_options;
struct _FftPlan;

// The canonical orientations of a query: for each entry the transform given
// to a target whose best match is that entry, and the query's vector moved
// into it (or its invariants). Owns both arrays and every vector.
struct _trel_canon {
  int count;
  Matrix3D* tf;
  double** vec;
};

// Six base rotations (identity, pi about y, pi/2 and 3pi/2 about x, pi/2
// and 3pi/2 about y) times max(nd, 1) distances: entry 6d + o is tau turned
// by rotation o and, when nd >= 1, moved by distances[d] along z (in the
// class's scaled units); its transform undoes that motion (in angstroms).
// mode 2 keeps the rotation invariants of each moved vector, mode 1 those
// about z, any other mode the vector itself. sig is not read. Null, after a
// report, when N < 1, tau is null or a rotation or translation fails.
_trel_canon* trel_makeCanon(int N, int pot_class, int mode, int nd, const double* distances,
                            const double* sig, const double* tau);
// Null is ignored.
void trel_freeCanon(_trel_canon* canon);

// The separations searched by filter `method`: none but 0 for method 4,
// (k - D) step for k = 0..2D with D = (int)(range / step) for method 5,
// none for the others (nd = 0). distances holds at least 2D + 1 values.
int trel_filterDistances(int method, double range, double step, double* distances);

// One query prepared for a filter: its invariants, radial moments,
// canonical orientations and length, as the method needs.
struct _trel_filter {
  int method;
  int N;
  int pot_class;
  double* qinv;        // method 1: rotation invariants of the query
  double* qmom;        // method 2: radial moments q_k / q_0^k, k = 0..N
  _trel_canon* canon;  // methods 3 to 5
  double qmag;         // methods 4 and 5: the query vector's length
};

// The filter of method 1..5 for an order-N query vector tau of pot_class
// (nd distances for methods 4 and 5). Null, after a report, when the query
// vector is empty or not finite, or when the orientations cannot be made.
_trel_filter* trel_makeFilter(int method, int N, int pot_class, int nd, const double* distances,
                              const double* tau);
void trel_freeFilter(_trel_filter* filter);  // null is ignored

// Scratch of one thread for trel_filterScore (and its FFT plan).
struct _trel_filter_work {
  int N;
  double* a;       // one coefficient vector (or the radial moments)
  double* b;       // one more (the moment profile, or the Fourier series' sines)
  double* c;       // the Fourier series' cosines
  double* turn;    // the series at the plan's angles
  _FftPlan* plan;  // methods 4 and 5
};
// Null, after a report, when memory or the plan cannot be had.
_trel_filter_work* trel_makeFilterWork(const _trel_filter* filter);
void trel_freeFilterWork(_trel_filter_work* work);  // null is ignored

// The similarity of an order-N target vector tau to the filter's query,
// and in *transform (when given) the starting superposition of the target
// onto the query in canonical coordinates (the identity for methods 1 and
// 2). NaN when the score cannot be computed: an empty or non-finite vector.
double trel_filterScore(const _trel_filter* filter, const double* tau, _trel_filter_work* work,
                        Matrix3D* transform);

// The filter pass of one query over nt targets: jscore = similarity,
// wscore = similarity * sqrt(Lq Lt), kscore = 0, transforms = the starting
// superpositions, order sorted by the similarity in double (its weighted
// form when do_sort is 4, as wscore) with
// every target that could not be scored below all others, each named in a
// warning. Runs on worker threads when the options allow. Returns the
// number of targets scored.
int trel_filterPass(const _trel_thing* query, _trel_thing** targets, int nt,
                    const _trel_options* options, float* jscore, float* wscore, float* kscore,
                    Matrix3D* transforms, int* order);
