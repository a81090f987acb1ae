// Least-squares superposition of paired point lists and RMS deviations.
// Every fit returns T with T(p) = R (p - c1) + c2 mapping the first list onto
// the second, R a proper rotation: the QCP method (Newton on the quaternion
// characteristic polynomial, no allocation) or the eigenvector method
// (Kabsch, with flat, linear and mirror-image sets handled). No fit fails:
// n < 1 gives the identity and degenerate geometry a defined rotation.
#pragma once

#include "geometry/zam_geom.h"
#include "geometry/zam_transform.h"

// QCP fit. A perfect fit of collinear or coincident points, where the
// polynomial has no usable simple root, falls back to the eigenvector fit.
Matrix3D tf_fitQCP(int n, const Point3D* first, const Point3D* second);
// Weighted QCP fit: centres, inner products and E0 all weighted; all-zero
// weights give the identity rotation about the plain means.
Matrix3D tf_fitQCPwts(int n, const Point3D* first, const Point3D* second, const double* w);
// Eigenvector (Kabsch) fit; an improper best rotation is corrected to the
// best proper one.
Matrix3D tf_fitPts(int n, const Point3D* first, const Point3D* second);
// Weighted eigenvector fit; all-zero weights as for tf_fitQCPwts.
Matrix3D tf_fitPtsWts(int n, const Point3D* first, const Point3D* second, const double* w);
// Rotation about the origin only, no handedness test; prints its eigen
// decomposition through mat_print and vec_print (a diagnostic).
Matrix3D tf_fitRot(int n, const Point3D* first, const Point3D* second);
// Diagnostic fits of harmonic coefficient triples (m = +1, -1, 0 as x, y, z)
// of orders l = 1..L, or of n = 2..N and l = 1..n-1; they print the pairs and
// summed distances before and after, and return the moving-to-fixed rotation.
Matrix3D tf_fitAlm(int L, const double* moving, const double* fixed);
Matrix3D tf_fitAnlm(int N, const double* moving, const double* fixed);

// sqrt(sum |a_i - b_i|^2 / n); 0 for n < 1.
double rms_pts(int n, const Point3D* a, const Point3D* b);
// sqrt(sum d2_i / n); 0 for n < 1.
double rms_d2pts(int n, const double* d2);
// out_i = T(in_i); out may be in.
void tf_pts(int n, Point3D* out, const Point3D* in, Matrix3D T);
// sqrt(sum |T(a_i) - b_i|^2 / n); 0 for n < 1.
double rms_tf_pts(int n, const Point3D* a, const Point3D* b, Matrix3D T);

// Least-squares plane through the points, its normal pointing away from the
// reference point's side; prints its working (a diagnostic).
Plane pl_pts_pt(int n, const Point3D* points, Point3D reference);
// Docking coordinates of a ligand transform: distance r and the Euler angles
// (beta1, gamma1) of its direction and (alpha2, beta2, gamma2) of its turn.
void polar_ligand_tf(double* r, double* b1, double* g1, double* a2, double* b2, double* g2,
                     Matrix3D T);
