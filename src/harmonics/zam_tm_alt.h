// Other ways to z-translation matrices than the series (zam_tm.h), selected
// by tm_mode: method 2 builds multi-precision matrices that act on the
// power form of a block (each (l, m) component's radial polynomial
// coefficients) and are neither rounded nor cached; method 0 integrates the
// radial functions' Fourier transforms against spherical Bessel functions
// on a logarithmic grid. Beside them: extended-precision builders, the
// spherical form for expansions of radial (l = 0) functions, whole-distance
// wrappers, cache filling and the order limit. Matrices of every method are
// in the packed layout of zam_tm.h.
//
// Power form of an order-N block: with the conversion table h(n, l, j),
// j = 0..n-1-l, the power coefficient j of component (l, m) is
// sum over n of h(n, l, j) a(n, l, m), stored where (n = l+1+j, l, m) is in
// the block; a matrix entry V^m(j l; j' l') is stored where (n l; n' l')
// would be. GTO: h = (-1)^(n-1-l-j) sqrt((n-1-l)! (1/2)_n / 2) /
// (j! (n-1-l-j)! (1/2)_(l+1+j)); ETO: h = (2n+1) sqrt((n-1-l)! /
// (2 (n+l+1)!)) (-1)^j (n+l+1+j)! / (j! (n-1-l-j)! (1/2)_(l+2+j)).
// The series matrix is T(n l; n' l') = sum over j, j' of h(n, l, j)
// h(n', l', j') V(j l; j' l'). Orders 1..36.
#pragma once

#include <gmp.h>

// ---- method 2: multi-precision power-form matrices ----
// New multi-precision matrices (t3(N) floats; yib_mpf_free(M, tm3_dim(N-1)))
// for the signed distance R as the look-up holds them (elements with l + l'
// odd negated when R > 0). Print "Translation matrix V[..]" / "W[..]".
mpf_t* tv_gt3(int N, double R);
mpf_t* tw_et3(int N, double R);
// The same in the series direction at the scaled distance x >= 0 (GTO
// x = R / (2 sqrt(h)), ETO x = R t / 2): V(j l; j' l') = sum over k of the
// coupling terms times D(k, (l+l'-k)/2 + j + j') of mp_dkj (GTO), or
// e^(-x) Dn(k, (l+l'-k)/2, l+l'+2+j+j') of mp_dkjn (ETO).
mpf_t* ts_gt3(int N, double x);
mpf_t* ts_et3(int N, double x);
// One real block through a method-2 matrix: to power form, through M, back,
// rounded to doubles. in and out may not overlap.
void tv3_apply(int N, const mpf_t* M, const double* in, double* out);
void tw3_apply(int N, const mpf_t* M, const double* in, double* out);
// out(n' l' m) = sum over (n, l) of T^|m|(n l; n' l') in(n l m), all in
// multi-precision floats (blocks of anlm_size(N) initialised floats).
void tm3_apply_mpf(int N, const mpf_t* T, const mpf_t* in, mpf_t* out);
// The conversion tables (n <= 36), built once under the coupling lock; the
// conversions call them. Blocks of anlm_size(N) initialised floats.
void hnlj_init();
void cnlj_init();
void anlm_to_ajlm_gt3(int N, const mpf_t* in, mpf_t* out);
void ajlm_to_anlm_gt3(int N, const mpf_t* in, mpf_t* out);
void anlm_to_ajlm_et3(int N, const mpf_t* in, mpf_t* out);
void ajlm_to_anlm_et3(int N, const mpf_t* in, mpf_t* out);
// The backward GTO conversion in long double, its table from exact
// factorial products.
void ajlm_to_anlm_gt3_bar(int N, const long double* in, long double* out);

// ---- spherical form: expansions of radial (l = 0) GTO functions ----
// The power-form matrix from the l = 0 components to every (n, l), m = 0,
// over (n, l, k) triples: entry (n(n-1)/2 + l) N + k is
// (-1)^l sqrt(2l+1) D(l, n-1-l+k) (k the input power index). New array of
// N N(N+1)/2 floats; tv3_gt3_ss at the signed R (odd l negated when R > 0,
// tm3_ss_neg).
mpf_t* ts_gt3_ss(int N, double x);
mpf_t* tv3_gt3_ss(int N, double R);
void tm3_ss_neg(int N, mpf_t* S);
// l = 0 components of a GTO block to their N power coefficients, and a
// power-form block back to a GTO block.
void spherical_anlm_to_ajlm_gto(int N, const mpf_t* in, mpf_t* out);
void spherical_ajlm_to_anlm_gto(int N, const mpf_t* in, mpf_t* out);
// N power coefficients through S into a power-form block (m = 0 entries;
// the rest zero).
void spherical_tm_apply_mpf_power(int N, const mpf_t* S, const mpf_t* in, mpf_t* out);
// A GTO block's l = 0 part translated: conversions and S in one call, on
// multi-precision blocks; tv3_ss_apply on doubles.
void spherical_tm_apply_mpf(int N, const mpf_t* S, const mpf_t* in, mpf_t* out);
void tv3_ss_apply(int N, const mpf_t* S, const double* in, double* out);

// ---- method 0: radial quadrature ----
// The packed matrix (series direction, R >= 0) from 200 logarithmic points;
// print "Done %d K[..]" / "Done %d J[..]". Range (default scales): GTO
// elements hold to 1e-9 up to order 16, at distances up to 50 (orders 1 to
// 5), 20 (order 12), 4 (order 16); ETO elements to 1e-4 up to order 7 and
// R = 20. A call beyond warns once per routine (tz_gt3, tu_gt3 likewise).
void tm_gt3_num(int N, double* T, double R);
void tm_et3_num(int N, double* T, double R);
// sum over k of the coupling terms of element (l, l', m) times j_k(x): the
// angular kernel of the quadrature at one grid point.
double tlm_jlr(int l, int lp, int m, double x);

// ---- extended-precision builders ----
// Distance tables B and D of zam_mp.h in long double at x; new arrays
// (kfree) with their element count in *count.
long double* bkj_integrals(int N, double x, int* count);
long double* dkj_integrals(int N, double x, int* count);
// New packed matrices for the signed distance R as the look-up holds them:
// the GTO and ETO matrices in double by power series in long double
// (messages "Translation matrix K[..]" and "T[..]"); the GTO matrix in long
// double by power series or by quadrature; and the same with the terms of
// k = 0 alone. Long-double matrices come from kget1B (kfree).
double* tm_gt3_power(int N, double R);
double* tm_et3_power(int N, double R);
long double* tz_gt3_power(int N, double R);
long double* tz_gt3(int N, double R);
long double* tu_gt3_power(int N, double R);
long double* tu_gt3(int N, double R);
// One complex block (pairs of doubles) through a long-double matrix.
void tz3_apply(int N, const long double* T, const double* in, double* out);

// ---- whole distances, cache filling, order limit ----
// New packed matrix (kfree) for the whole distance nearest |R|, read from
// or written to the cache as (I, 0) when it is on; flipped for R >= 0.
double* tm_gt3(int N, double R);
double* tm_et3(int N, double R);
// Writes the GTO and ETO cache files of order N for 1..Rmax angstroms and
// the fractions 0.1..0.9, 0.25 and 0.75 by the series. Returns 0 (with an
// error) when the cache is off, else 1.
int tm3_make(int N, int Rmax);
// The highest order for this machine's memory, computed once: 25 below
// 65 MB, 36 above 120 MB, else 30.
int tm3_top();
