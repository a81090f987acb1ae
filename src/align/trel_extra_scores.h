// Further scores of a finished alignment beside the G-, M- and T-scores (H,
// A, B and Q), each built on the G-score Gaussian of the pairs' squared CA
// distances, and a per-residue table of backbone torsion angles.
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;

// Backbone angles of an image, one entry per residue (radians). An angle
// that cannot be formed holds 2 pi for phi (first residue) and psi (last
// residue); the CA torsion of the first and last two residues and the
// carbonyl turn of the first and last residue hold 0.
struct _trel_torsion {
  float* phi;   // C(i-1), N(i), CA(i), C(i)
  float* psi;   // N(i), CA(i), C(i), N(i+1)
  float* ca;    // CA(i-1), CA(i), CA(i+1), CA(i+2)
  float* turn;  // angle between the C->O directions of residues i and i+1 (0..pi)
};

// G-sum of np squared distances over sqrt(n m); 0 when np, n or m is not positive.
float trel_HscoreAlign(int n, int m, int np, const double* d2);
// Pairs (qidx[k], tidx[k]) of CA arrays qpts and tpts, each scored on the sum
// of its own and its two diagonal neighbours' squared distances (its own
// alone at a chain end); normalised like the A-score, at most 1.
float trel_BscoreAlign(int n, int m, int np, const int* qidx, const int* tidx, const Point3D* qpts,
                       const Point3D* tpts);
// sqrt(2 n m / (n^2 + m^2)) times the G-sum over min(n, m), at most 1; 0 when
// np, n or m is not positive.
float zam_AscoreAlign(int n, int m, int np, const double* d2);
// np^2 / (n m (1 + (rmsd / 3)^2)); 0 when n or m is not positive.
float trel_QscoreAlign(int n, int m, int np, float rmsd);

// Frees what torsion holds, then fills it for the image's residues (arrays
// from the guarded allocator, released by trel_freeTorsion). A null image
// leaves it empty; a null torsion is ignored.
void trel_makeTorsion(const _pdb_image* image, _trel_torsion* torsion);
// Releases the four arrays and clears their pointers; null is ignored.
void trel_freeTorsion(_trel_torsion* torsion);
