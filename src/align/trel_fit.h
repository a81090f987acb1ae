// Rigid-body core of the aligner and the scores that judge a superposition:
// least-squares fits of alignment fragments, rigid refinement cycles on the
// G-score plane, fragment scoring, the G, F, M and T scores, the final markup
// that fills an alignment's per-column values and totals, and the boost of
// the factor planes along an alignment. The target is always the moving set.
#pragma once

#include "align/trel_align.h"
#include "geometry/zam_transform.h"

struct _pdb_peptide;
struct _trel_seg;

// Superposition mapping a onto b (unweighted / weighted): QCP when g_qcp is
// on, else the eigenvector fit. Fewer than one point gives the identity.
Matrix3D trel_fitPts(int n, Point3D* a, Point3D* b);
Matrix3D trel_fitPtsWts(int n, Point3D* a, Point3D* b, double* w);

// Weighted fit of the target onto the query over the pairs of fragment record
// k whose DP score is non-zero (record 0 spans the whole alignment); identity
// with fewer than 4 such pairs. last is not read. Uses the fit buffer.
Matrix3D fitFragment(int k, int last, _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                     _trel_fit_buf fb);
// G-score sum of the pairs of fragment k under M within range2 (squared);
// writes each pair's squared distance and (within range2) its G value;
// *count gets the pairs within match2. extra is not read.
float scoreOneFrag(int extra, int k, Matrix3D M, _trel_align* a, float range2, float match2,
                   _pdb_peptide* qpep, _pdb_peptide* tpep, int* count, _trel_fit_buf fb);
// Scores the fragment records of kind 1 or 2 chosen by f (0: records
// 0..nf-1, < 0: 1..nf-1, > 0: a window of 13 around f) under M; *G gets the
// G-score sum and *R the RMS distance of the matched pairs (both 0 when none
// matched). Returns the matched-pair count. last is not read.
int scoreFragment(int n, int m, int f, int last, _trel_align* a, _pdb_peptide* qpep,
                  _pdb_peptide* tpep, Matrix3D M, float range, float match, float* G, float* R,
                  _trel_fit_buf fb);
// Rigid refinement: cycles+1 rounds of G-plane fill under the current
// superposition, G-score box alignment and (when cycles > 0) weighted refit;
// returns the round with the highest G-score as a new alignment owned by the
// caller (never null; cycles below 0 count as 0). Rewrites the buffer's G
// and distance planes over the box and its frame. Debug lines above 1 and 2.
_trel_align* alignRigidBox(int n, int m, _trel_a_box box, int cycles, _pdb_peptide* qpep,
                           _pdb_peptide* tpep, Matrix3D M, float range, float match, float outside,
                           _trel_align_buf* buf);
// Of best (may be null) and a, the one with the higher G-score, best on a
// tie; the other is freed.
_trel_align* trel_keepBetterG(_trel_align* best, _trel_align* a);
// G-score of a under M over pairs within match (G values set within range),
// filling its column distances, G-, M-score, close RMSD (99.99 when no pair
// is close), RMSD 99.99, T-score 0, close-pair and pair counts. Returns G.
float trel_GMscoreAlign(_trel_align* a, float range, float match, _pdb_peptide* qpep,
                        _pdb_peptide* tpep, Matrix3D M);
// G (nm + 1)^(1/4); extra is not read.
float makeFscore(int nm, float G, float extra);
// M- and T-scores of np squared distances for chains of n and m residues
// (0 when np <= 0).
float trel_MscoreAlign(int n, int m, int np, double* d2);
float trel_TscoreAlign(int n, int m, int np, double* d2);
// exp(d2 gb_factor) in single precision.
float getGscore(float d2);
// exp(d2 go_factor) in single precision: the M-score Gaussian.
float getMscore(float d2);
// Squared distance computed in single precision, returned as a double.
double d2_ptpt_inline(Point3D a, Point3D b);
// Multiplies the K-factor (by kf, when non-zero) and G-factor (by gf, when
// non-zero) cells of the pairs of fragment records 1..nf-1.
void biasScoreMatrix(int n, int m, _trel_align* a, float kf, float gf, _trel_align_buf* buf);
// Final markup of a superposed alignment: segment numbers from the buffer's
// per-residue arrays, per-column K, G, squared distance and symbol, and all
// header totals, with contact distance contact. Fills a in place.
void markupAlignFit(int n, int m, _trel_align* a, _trel_seg* qseg, _trel_seg* tseg,
                    _pdb_peptide* qpep, _pdb_peptide* tpep, float contact, _trel_align_buf* buf);
