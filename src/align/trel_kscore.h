// K-score matrices: the per-position gap-open penalties of query and target,
// the K-factor and G-factor planes and the K plane of a box, scored from two
// chains' trace records without any superposition (local CA geometry, centre
// directions, BLOSUM62 and cut points); plus box utilities over score planes.
// Everything works on the caller's buffer and reads the alignment parameters
// without locks, so threads may build K matrices in their own buffers at once.
#pragma once

#include "align/trel_align.h"
#include "align/trel_trace.h"

// Squared distance of two single-precision points, summed in float.
inline float d2_ptfptf_inline(Point3Df a, Point3Df b) {
  float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}

// 1 when the box lies inside an n x m matrix and buf was made for at least n
// and m residues; otherwise reports with zam_err (naming who) and returns 0.
int trel_boxFits(int n, int m, _trel_a_box box, const _trel_align_buf* buf, const char* who);

// ---- Window scores of one residue pair ------------------------------------------
// q and t are the eight neighbour points of a query and a target record,
// factor the eight Gaussian factors of the term (ca_factor or va_factor).

// Weight of the window score: 0 when the query residue has no usable backbone
// ('D'), 0 for a helix/strand/coil query residue against a 'D' target, 4 for
// two helix residues, else 1.
float seg_prefactor(const _trel_seg* q, const _trel_seg* t);
// exp(f (d2(a1, b1) + d2(a2, b2))).
float seg_score_two(float f, Point3Df a1, Point3Df a2, Point3Df b1, Point3Df b2);
// Full window: exp(pre * sum over the 2W slots of d2 * factor).
float score_CA_middle(float pre, const Point3Df* q, const Point3Df* t, const float* factor);
// Half windows near the chain start (n_pattern row k) and end (c_pattern row
// k); the half window counts double.
float score_CA_left(int k, float pre, const Point3Df* q, const Point3Df* t, const float* factor);
float score_CA_right(int k, float pre, const Point3Df* q, const Point3Df* t, const float* factor);
// The window score of pair (i, j) given the window limits imax and jmax.
float score_CA_pattern(int i, int j, int imax, int jmax, float pre, const Point3Df* q,
                       const Point3Df* t, const float* factor);

// ---- Gap penalties ---------------------------------------------------------------

// Penalty (negative or 0) for opening a gap between residues i-1 and i of a
// chain of n residues; seg may be null (then rho * g_gamma inside the chain).
float k_penalty(int i, int n, float rho, const _trel_seg* seg);
// Sets the buffer's gap-extension penalties to eta and the gap-open arrays
// over the box and its border (cell rows qfirst..qlast+2, columns
// tfirst..tlast+2). Refuses (with a report) a box or lengths that do not fit.
void setupKpenalty(int n, int m, _trel_a_box box, float rho_q, float rho_t, float eta,
                   const _trel_seg* qseg, const _trel_seg* tseg, _trel_align_buf* buf);
// M-score and G-score penalty set-ups: they do nothing.
void setupMpenalty(int n, int m, _trel_a_box box, float rho_q, float rho_t, float eta,
                   const _trel_seg* qseg, const _trel_seg* tseg, _trel_align_buf* buf);
void setupGpenalty(int n, int m, _trel_a_box box, float rho_q, float rho_t, float eta,
                   const _trel_seg* qseg, const _trel_seg* tseg, _trel_align_buf* buf);

// ---- Planes ------------------------------------------------------------------------

// K-factor and G-factor planes of the box: 0 on the border, 1 inside; with
// both traces a K-factor of kbias (1 when kbias is 0) for equal residue
// letters when kbias > 0, or the BLOSUM62 G-table value when kbias < 0. gbias
// does not enter the G-factor plane. Refuses what does not fit (report).
void loadBscores(int n, int m, _trel_a_box box, float kbias, float gbias, const _trel_seg* qseg,
                 const _trel_seg* tseg, _trel_align_buf* buf);
// Adds one K-score term to the box cells of K (a plane with rows of m+2
// cells): mode 0 BLOSUM62, 1 trace geometry, 2 centre directions, 3 cut
// points, each times its weight; with banding, cells far from the diagonal
// get 0. Both traces must be present (nothing happens otherwise).
void loadKscores(int n, int m, _trel_a_box box, int mode, const _trel_seg* qseg,
                 const _trel_seg* tseg, float* K);
// The K-matrix set-up of a box: window tables, gap penalties (g_rho, g_eta),
// factor planes, a cleared K plane and, with both traces, the weighted terms
// in one pass over the box. Returns 1, or 0 (with a report, nothing written)
// when the box or the lengths do not fit the buffer.
int setupKmatrix(int n, int m, _trel_a_box box, const _trel_seg* qseg, const _trel_seg* tseg,
                 _trel_align_buf* buf);
// setupKmatrix for callers that score with the K plane alone (the trace
// pre-scoring): the same gap penalties and K plane, the factor planes left
// untouched.
int trel_setupKplane(int n, int m, _trel_a_box box, const _trel_seg* qseg, const _trel_seg* tseg,
                     _trel_align_buf* buf);

// ---- Box utilities over the box and its border -----------------------------------
// Each touches cell rows qfirst..qlast+2 and columns tfirst..tlast+2 of a
// plane with rows of m+2 cells; the caller guarantees the plane is that big.

void trel_zeroBoxF(int n, int m, _trel_a_box box, float* plane);
void trel_zeroBoxI(int n, int m, _trel_a_box box, int* plane);
void trel_clearMask(int n, int m, _trel_a_box box, unsigned char* plane);
// Multiplies the cells by factor.
void biasHotTile(int n, int m, _trel_a_box box, float factor, float* plane);
