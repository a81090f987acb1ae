// Second refinement of a rigid superposition beside the live rigid fit:
// G-score planes with per-row candidate lists built around an alignment,
// re-alignment cycles that keep the best F-score, a re-alignment under a CA
// threshold, and a bounded BFGS search over six rigid-body parameters that
// maximises the G-score sum. One thread, the caller's buffer; the box's
// factor planes must have been set up (setupKmatrix) before any re-alignment.
#pragma once

#include "align/trel_align.h"
#include "geometry/zam_transform.h"

struct _pdb_peptide;

// Objective context of one rigid-body optimisation (zero-filled per run).
struct _trel_opt_context {
  int nq;         // query length
  int nt;         // target length
  int evals;      // objective evaluations so far
  _trel_a_box box;
  Matrix3D base;  // transform the parameter vector is composed after
  _pdb_peptide* qpep;
  _pdb_peptide* tpep;
  _trel_align_buf* buf;
};

// Rigid-body parameters (alpha, beta, gamma in radians, z-y-z; then x, y, z
// in angstroms) as a transform: the rotation first, then the translation.
// n is not read.
Matrix3D tf_makeBFGS(int n, const double* x);

// Fills the buffer's G, distance and candidate planes over the box under
// transform T and returns the G-score sum. A null alignment scans the whole
// box (candidates: cells closer than cut - 0.05); with an alignment only a
// band of `window` residues around its pairs is computed (every computed
// cell is a candidate; G values below 0 are not summed). Cells beyond the
// cut hold fill. Debug line above 1.
float loadGscores(int nq, int nt, _trel_a_box box, const _trel_align* a, int window,
                  _pdb_peptide* qpep, _pdb_peptide* tpep, Matrix3D T, float cut, float fill,
                  _trel_align_buf* buf);
// Recomputes the G-scores (no smoothing, no cut) of the listed candidates
// under T; returns their sum. Debug line above 1.
float refreshGscores(int nq, int nt, _trel_a_box box, _pdb_peptide* qpep, _pdb_peptide* tpep,
                     Matrix3D T, _trel_align_buf* buf);
// Objective of the minimiser: minus the refreshed G-score sum under
// base then tf_makeBFGS(n, x); counts the evaluation. context is a
// _trel_opt_context; iteration is not read.
double doTargetScore(int n, double* x, void* context, int iteration);

// Re-alignment cycles on the G plane around the current alignment, refitting
// after each (or keeping a fixed superposition, see trel_fixedSoln), while the
// F-score rises, at most maxcycles times. Returns a new alignment owned by
// the caller (a copy of a when nothing improves, null for a null a); a is not
// changed. Debug lines above 0 and 1.
_trel_align* alignRigidSoln(int nq, int nt, _trel_a_box box, int maxcycles, _pdb_peptide* qpep,
                            _pdb_peptide* tpep, const _trel_align* a, float cut, float match,
                            float fill, _trel_align_buf* buf);
// One re-alignment around a under CA threshold `threshold` (fill -1); the
// new alignment (owned by the caller) carries a's transform. Null for a null
// a or when the box does not fit the buffer (reported). Debug line above 0.
_trel_align* finaliseRigidSoln(int nq, int nt, _trel_a_box box, _pdb_peptide* qpep,
                               _pdb_peptide* tpep, float threshold, const _trel_align* a,
                               _trel_align_buf* buf);
// BFGS refinement of a's transform (at most 8 degrees about the first and
// third Euler axes, 4 about the second, half an angstrom along each axis)
// followed by a re-alignment of the whole box. Returns a new alignment owned
// by the caller: the re-alignment when its G-score beats a's, else a copy of
// a (null for a null a). Prints its progress unless the debug level is
// negative.
_trel_align* optimiseRigidSoln(int nq, int nt, _trel_a_box box, const _trel_align* a,
                               _pdb_peptide* qpep, _pdb_peptide* tpep, float cut, float match,
                               _trel_align_buf* buf);
// The transform of the same refinement, returned whether or not it raises the
// G-score; a itself is not changed (its scores under the new transform are
// taken on a copy). a's transform for a null a. Prints as above.
Matrix3D optimiseRigidMatrix(int nq, int nt, _trel_a_box box, const _trel_align* a,
                             _pdb_peptide* qpep, _pdb_peptide* tpep, float cut, float match,
                             _trel_align_buf* buf);
// Caps the fit weights of the columns: a weight above 0.9 becomes 0.25.
void resetWeights(_trel_align* a);

// The fixed-superposition flag of an alignment (kept in its first spare int):
// re-alignment cycles keep the transform of a flagged alignment.
inline int trel_fixedSoln(const _trel_align* a) { return a ? a->spare[0] : 0; }
inline void trel_setFixedSoln(_trel_align* a, int on) {
  if (a) a->spare[0] = on ? 1 : 0;
}
