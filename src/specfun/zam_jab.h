// Jacobi polynomials P_n^(a,b)(t) and the radial functions of the
// polar-Fourier expansions built on them:
//   p_nl(r) = N_nl x^l / (1+x^2)^(l+2) P_(n-l-1)^(l+3/2, l+1/2)(t),
// x = r/s, t = (x^2-1)/(x^2+1), orthonormal with weight r^2 for the radial
// scale s. Exact factorial ratios come from the symbolic products of
// zam_fac, gamma values from its gam.
//
// Radial packing: n = 1..N, l = 0..n-1 at slot n(n-1)/2 + l.
//
// Everything may run on many threads at once: pnl_all_bar keeps its work
// buffer per thread. The scale is process-wide and meant for set-up, before
// threads start.
#pragma once

// ---- scale ----
void pnl_factor(double s);  // radial scale s (0.5 until set)
double pnl_scale();

// ---- radial functions ----
// N_nl = sqrt((4n+2) (n-l-1)! (n+l+1)! / ((1/2)_(n+1) (1/2)_n) / (pi s^3));
// 0 when there is no such function (l < 0 or n <= l).
double pnl_norm(int n, int l);
// p_nl(r), normalised, by the series in powers of (t-1); 0 for n <= l. The
// series cancels near r = 0 (t = -1) as n grows (about 1e-9 of N_nl at
// n = 12); pnl_all_bar does not.
double pnl(int n, int l, double r);
// out[n(n-1)/2 + l] = x^l/(1+x^2)^(l+2) P_(n-l-1)^(l+3/2, l+1/2)(t) for all
// n <= N, l < n, without the N_nl factor; the polynomials by their upward
// recurrence. Any N >= 1.
void pnl_all_bar(int N, double* out, double r);
// Radial potential factors of the normalised p_nl at r (r <= 0.001 taken as
// 0.001), for every n <= N, l < n:
//   r^(-l-1) integral_0^r p_nl r'^(l+2) dr' + r^l integral_r^inf p_nl r'^(1-l) dr',
// so that p_nl Y_lm has the potential 4 pi/(2l+1) times this times Y_lm.
// Both integrals by Gauss-Legendre rules in r' = s tan(phi), exact to
// rounding for these integrands; any N >= 1.
void dnl_all_bar(int N, double r, double* out);

// ---- the polynomials P_k^(l+3/2, l+1/2)(t) of the radial functions ----
// By the explicit two-sided series, each coefficient an exact symbolic
// product; 0 for k < 0.
double pkl_ser(int k, int l, double t);
// The same by the series in powers of (t-1).
double pkl_ser_shift(int k, int l, double t);
// out[k] for k = 0..K by the three-term recurrence (nothing for K < 0).
void pkl_all_vec(int K, int l, double* out, double t);

// ---- general Jacobi polynomials, a, b > -1 ----
// 1/sqrt(h_n), h_n = 2^(a+b+1) Gamma(n+a+1) Gamma(n+b+1) /
// ((2n+a+b+1) n! Gamma(n+a+b+1)), the norm of P_n^(a,b) with weight
// (1-t)^a (1+t)^b on [-1, 1].
double pab_norm(int n, double a, double b);
// P_n^(a,b)(t) with t clamped to [-1, 1]; 0 for n < 0. pab_reference by the
// explicit two-sided series (gam and fac at every term), pab_shift by the
// series in powers of (t-1) (gam at every term), pab by that series with
// running products. Their rounding error follows the sum of the terms'
// magnitudes: for the powers of (t-1) it grows like 6^n near t = -1, for
// the two-sided series like 2^n inside the interval.
double pab_reference(int n, double a, double b, double t);
double pab_shift(int n, double a, double b, double t);
double pab(int n, double a, double b, double t);
// pab_norm(n, a, b) pab(n, a, b, t): the orthonormal Jacobi function.
double jab(int n, double a, double b, double t);
