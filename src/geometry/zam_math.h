// Small dense linear algebra on flat arrays: n-vectors and n x n matrices of
// doubles in column order (element (i, j) at j n + i), an extended-precision
// ("h") family for the normal equations, inverse and weighted least squares,
// symmetric eigen solvers (QL, Jacobi) with sorting, rotation-to-axis and
// Euler conversions, and printing. n < 1 does nothing; value functions give 0.
#pragma once

#include "geometry/zam_quat.h"
#include "geometry/zam_transform.h"

// ---- vectors ----
void vec_scale(int n, const double* in, double* out, double s);  // out = s in
int val_x_vec(int n, const double* in, double* out, double s);   // as vec_scale; returns n
void vec_add(int n, const double* a, const double* b, double* out, double s);  // a + s b
void vec_accum(int n, const double* in, double* acc);            // acc += in
void vec_copy(int n, const double* in, double* out);
int vec_p_vec(int n, const double* a, const double* b, double* out);  // a + b; returns n
void vec_m_vec(int n, const double* a, const double* b, double* out); // a - b
void vec_cross3(const double* a, const double* b, double* out);
double vec_mag(int n, const double* v);  // 0 unless the sum of squares is positive
double row_x_col(int n, const double* a, const double* b);
long double hrow_x_col(int n, const long double* a, const long double* b);
void col_x_row(int n, const double* a, const double* b, double* out);  // (i, j) = a_i b_j
void hcol_x_row(int n, const long double* a, const long double* b, long double* out);

// ---- matrices (column order) ----
void mat_x_col(int n, const double* A, const double* x, double* y);
void hmat_x_col(int n, const long double* A, const long double* x, long double* y);
void mat_x_mat(int n, const double* X, const double* Y, double* Z);
void hmat_x_mat(int n, const long double* X, const long double* Y, long double* Z);
// As mat_x_mat; from n = 51 on through a transposed copy of X (plain heap).
void mat_x_mat2(int n, const double* X, const double* Y, double* Z);
void mat_ident(int n, double* A);
void hmat_ident(int n, long double* A);
double mat_trace(int n, const double* A);
long double hmat_trace(int n, const long double* A);
void mat_transpose(int n, const double* A, double* B);
void hmat_transpose(int n, const long double* A, long double* B);
// B = inverse of A by Gauss-Jordan elimination with partial pivoting; A is
// destroyed. Returns 1, or 0 for a singular A: then B is all zeros and the
// fault is reported through zam_err.
int mat_inverse(int n, double* A, double* B);
int hmat_inverse(int n, long double* A, long double* B);
// Weighted linear least squares: m equations y_k = sum_i X[k n + i] c_i with
// weights w_k, solved through the normal equations in extended precision.
// Returns 1, or 0 (reported, c zeroed) when the normal matrix is singular.
int mat_lsq(int m, int n, const double* y, const double* X, const double* w, double* c);
int hmat_lsq(int m, int n, const double* y, const double* X, const double* w, long double* c);

// ---- symmetric eigen solvers ----
// Absolute tolerance of the QL and Jacobi solvers (1e-16 at start). Set at
// start-up if at all: it is process-wide and read without a lock.
extern double deigen_tol;
void zam_eigen_tol(double tol);
// Eigenvalues d (unsorted, in diagonal order) and eigenvectors V (vector k at
// V[k n .. k n + n - 1]) of the symmetric A, which is left unchanged.
// Warns through zam_wrn when an eigenvalue does not settle in 20 iterations.
void mat_eigen_ql(int n, const double* A, double* V, double* d);
// The same with the eigenvectors written over A.
void mat_eigen_qlip(int n, double* A, double* d);
// The same by Jacobi rotations (at most 3n sweeps); A comes back unchanged.
void mat_eigen_jr(int n, double* A, double* V, double* d);
// Sorted copies: by |d| (signed_order 0) or by d, largest first unless
// ascending; output k gets the eigenvalue and whole eigenvector of its rank.
void mat_eigen_sort(int n, int signed_order, int ascending, const double* V_in,
                    const double* d_in, double* V_out, double* d_out);

// ---- rotations and angles ----
// Rotation angle of the 3 x 3 column-order rotation R; its unit axis to axis.
double rot_to_axis(const double* R, double* axis);
// z-y-z Euler angles of the 3 x 3 column-order rotation R.
void rot_to_angles(const double* R, double* alpha, double* beta, double* gamma);
// a reduced into [0, p) for p > 0.
double mod_angle(double a, double p);

// 1 when the two rotations agree within tol (radians) in axis and angle.
int degenerate_axes(double tol, AxisAngle r1, AxisAngle r2);
int degenerate_rotn(double tol, Euler e1, Euler e2);

// Reorders a 3-D float array of dims_in (d0, d1, d2; d2 fastest) into
// dims_out = (d2, d0, d1): element (i, j, z) goes to (z, i, j).
void mat_cycle_3d(const int dims_in[3], int dims_out[3], const float* in, float* out);

// Print through zam_msg: the title, then the values.
void vec_print(int n, const double* v, const char* title);
void mat_print(int n, const double* A, const char* title);
