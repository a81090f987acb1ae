// Spherical Bessel functions of the first kind j_l(x) in double and in GMP
// floats, the reverse Bessel polynomials theta_n(x) with the related k_n, and
// the coefficient table of the finite form of j_l. Everything is reentrant;
// every table belongs to the caller. Nothing here changes GMP's default
// precision: the multi-precision forms work at the precision of the floats
// they are given (256 bits after mp_setup) and widen only their own
// temporaries.
#pragma once

#include <gmp.h>

// ---- j_l(x) ----
// out[l] = j_l(x) for l = 0..L as doubles, from mp_jlr_down at the default
// precision (the GMP work array is freed).
void jlr_all(int L, double* out, double x);
// f[l] = j_l(x) for l = 0..L (L+1 initialised floats): every l by its power
// series for x <= 5; above, j_L and j_(L-1) by the series and the rest by the
// downward recurrence.
void mp_jlr_down(int L, mpf_t* f, double x);
// f = j_l(x) by the power series, to f's precision for any x: the partial
// sums carry about |x| log2(e) guard bits against the cancellation of the
// terms, which grow to about e^|x| before they fall. 0 for l < 0.
void mp_jlr_ser(int l, mpf_ptr f, double x);
// mp_jlr_ser at the default precision, as a double; jlr is the same.
double jlr_ser_mp(int l, double x);
double jlr(int l, double x);
// j_l(x) by the power series in double, summed until a term falls below
// 1e-12 of the sum; for |x| up to a few units (the terms cancel beyond) and
// l <= 143 (the (1/2)_(l+1) table of rfac2).
double jlr_ser(int l, double x);
// out[l] = j_l(x), l = 0..L, by the upward recurrence from sin x and cos x in
// double; x = 0 gives 1, 0, 0, ... Accurate only for l up to about x.
void jlr_vec(int L, double* out, double x);
// The same recurrence in GMP floats from the series values of j_0 and j_1,
// each value rounded to double as it is formed.
void jlr_up_mp(int L, double* out, double x);

// ---- reverse Bessel polynomials ----
// sqrt(pi/(2x)) sum over k = 0..n of (n+k)!/(k!(n-k)!) (2x)^(-k), x > 0: the
// modified spherical Bessel function k_n(x) without its factor e^(-x).
double knr(int n, double x);
// theta_n(x) = sum over k = 0..n of (n+k)!/(k!(n-k)!) x^(n-k)/2^k; 0 for n < 0.
double rnr(int n, double x);
// theta_0..theta_N by theta_l = (2l-1) theta_(l-1) + x^2 theta_(l-2), in
// double or long double (N+1 values; nothing for N < 0).
void rnr_all(int N, double* out, double x);
void hrnr_all(int N, long double* out, long double x);
// out[n] = theta_n(x)/(2^n n!) for n = 0..N <= 325, in long double, every
// coefficient an exact symbolic product.
void hrnr_all_bar(int N, long double x, long double* out);

// ---- finite form of j_l ----
// A new table (kfree) of (L+1)(L+2)/2 long doubles, entry l(l+1)/2 + j for
// l = 0..L <= 325 and j = 0..l:
//   sum over i = ceil((l+j)/2)..l of s (2i)!/(2^l i! (l-i)! (2i-l-j)!),
// s = (-1)^(i + floor((l+j)/2)), which is (-1)^(l + floor((l+j)/2)) times
// (l+j)!/(2^j j! (l-j)!), so that
//   j_l(x) = sum over j of entry(l, j) f_(l-j)(x) / x^(j+1),
// f_m = sin for even m and cos for odd m. Null for L < 0 or when memory runs
// out.
long double* clj_jlr(int L);
