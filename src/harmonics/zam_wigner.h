// Wigner rotation matrices and the rotation of coefficient vectors. A
// rotation Q = Rz(alpha) Ry(beta) Rz(gamma) (the Euler angles of tf_euler)
// mixes, for each (n, l), only the 2l+1 coefficients of that run, through the
// orthogonal real matrix R^l; applied to a vector it turns the expansion of
// f(r) into that of f(Q^-1 r). Small-d matrices d^l_mj(beta) come from a
// three-term recurrence along each row, degrees 0..160.
//
// Packed matrices of degrees 0..L: block l holds (2l+1)^2 doubles row by row
// (rows and columns -l..l) and starts at the sum of (2k+1)^2 over k < l.
// Nothing here shares state between threads: dljm keeps its last matrix per
// thread, and each ZamRm3_struct belongs to its caller.
#pragma once

#include "geometry/zam_transform.h"

// One rotation's work record: the d-matrix of the degree last loaded (rows m,
// columns j, both -lmax..lmax) and the centred tables cos(m alpha),
// sin(m alpha), cos(m gamma), sin(m gamma), m = -160..160.
struct _dl {
  int lmax;          // largest degree it was made for
  int stride;        // 2 lmax + 1
  double* d;         // d^l_mj at (m + lmax) stride + j + lmax
  double* row;       // one row, centred at lmax
  double* cos_alpha;
  double* sin_alpha;
  double* cos_gamma;
  double* sin_gamma;
};

// The caller's rotation cache: order N (matrices for degrees 0..N-1), the
// angles they were made for, and the packed matrices (null for none or for
// the zero rotation).
struct ZamRm3_struct {
  int N;
  Euler e;
  double* R;
};

// Doubles in the packed matrices of degrees 0..L.
int rlm_size(int L);

// New record with zeroed tables (null when memory fails); dl_delete frees it
// whole (null accepted).
_dl* dl_create(int L);
void dl_delete(_dl* dl);
// Row m >= 0 of d^l(beta): writes row[j] for j = m..l and j = -l..-m (row
// points at j = 0). Within 1e-6 of beta = 0 or +-pi the whole row -l..l.
void dlmj_r(int l, int m, double beta, double* row);
// Loads the whole d-matrix of degree l <= dl->lmax; a negative l does nothing.
void dl_load_beta(_dl* dl, int l, double beta);
// R^l_ab from the loaded d-matrix and the angle tables.
double dl_jm(const _dl* dl, int a, int b);
// New packed array of R^l, l = 0..L (release with zam_vm_free; null when
// memory fails).
double* rlmj_er(int L, Euler e);
// Packed d^l(beta), l = 0..L, into out (rlm_size(L) doubles).
void dljm_all(int L, double* out, double beta);
// One element d^l_mj(beta); the calling thread keeps the last matrix, so
// calls at the same l and beta are look-ups.
double dljm(int l, int m, int j, double beta);
// d^l_mj(beta) by the explicit factorial sum (l <= 85).
double dljm0(int l, int m, int j, double beta);
// out = R in for one order-N vector, R packed for degrees 0..N-1; in and out
// must differ.
void anlm_rm_mult(int N, const double* R, const double* in, double* out);

// ---- single elements and whole shells by elements ----
// R^l_ab(alpha, beta, gamma), with d from dljm.
double eljm(int l, int a, int b, double alpha, double beta, double gamma);
// y_lm in the rotated frame: the sum over k of eljm(l, k, m) ylm(l, k).
double ylm_euler(int l, int m, double theta, double phi, double alpha, double beta, double gamma);
// Rotates a single-shell vector (slots l(l+1)+m, l = 0..L); in and out must differ.
void alm_rotate(int L, const double* in, double* out, double alpha, double beta, double gamma);
// Rotates both indices of a (L+1)^2 x (L+1)^2 array (row (l, a), column
// (k, b), row-major): out(la, kb) = sum R^l_ac R^k_bd in(lc, kd). The
// matrices are kept per thread for the last order and angles.
void almkj_rotate(int L, const double* in, double* out, double alpha, double beta, double gamma);
// Sum of R^l_aa over a = -l..l, and over a = -k..k.
double eljm_trace(int l, double alpha, double beta, double gamma);
double eljm_subtrace(int l, int k, double alpha, double beta, double gamma);
// Angle (from the trace of R^1) and unit axis of the 3 x 3 block a, b = -1..1
// of degree l >= 1, in the order of a: out[0] the angle, out[1..3] the axis.
void eljm_axis(double* out, int l, double alpha, double beta, double gamma);
// Rotates one order-N vector (N < 1 taken as 1) with matrices of elements
// kept per thread for the last angles; anlm_rotate does nvec vectors.
void anlm_do_rotate(int N, double alpha, double beta, double gamma, const double* in, double* out);
void anlm_rotate(int N, int nvec, const double* in, double* out, double alpha, double beta, double gamma);
// d^l_mj(pi/2), from per-thread tables grown to the highest degree asked.
double delta_ljm(int l, int m, int j);
// d^l_mj(beta) as a Fourier sum over the pi/2 tables.
double dljm1(int l, int m, int j, double beta);

// Rotation cache records (no lock: each caller owns its own).
void zam_rm3_init(ZamRm3_struct* rec);
void zam_rm3_free(ZamRm3_struct* rec);
// The packed R^l, l = 0..N-1, for the angles: reused when the order and the
// angles are those held, else rebuilt. Null for the zero rotation (and when
// memory fails, which is reported).
const double* zam_rm3_get(int N, ZamRm3_struct* rec, Euler e);
// Rotates nprop consecutive order-N vectors from in to out (a copy for the
// zero rotation); in and out must differ. Returns 1, or 0 when the matrices
// could not be made (reported; out untouched).
int zam_rm3_apply(int N, int nprop, ZamRm3_struct* rec, const double* in, double* out, Euler e);
