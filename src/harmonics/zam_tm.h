// z-translation matrices of coefficient vectors. Moving an expansion by R
// along z keeps m, so the map splits into one matrix per |m|; a packed
// matrix of order N (1..36) holds, for n = 1..N, n' = 1..n, l < n, l' < n',
// m = 0..min(l, l'), the element T^m(n l; n' l'), t3(N) doubles. Blocks with
// n' > n follow from T^m(n l; n' l') = (-1)^(l+l') T^m(n' l'; n l). Since n
// runs outermost, the first t3(N) elements of a higher-order matrix are the
// order-N matrix. Matrices come from the disk cache (zam_cache.h) or from a
// multi-precision series; distances are rounded first so that cached
// matrices are reused. A holder belongs to one thread.
#pragma once

#include <gmp.h>

#include "geometry/zam_transform.h"
#include "harmonics/zam_wigner.h"

// One basis type's matrix for the last distance asked.
struct _zam_tm {
  int N;          // order, 0 when empty
  double R;       // distance asked (0 when it rounded to zero)
  double R_used;  // |R| after rounding
  double* T;      // packed matrix, t3(N) doubles, owned
  mpf_t* M;       // multi-precision matrix, t3(N) floats, owned; only
                  // from translation method 2 (then T is null)
};

// The GTO (basis type 1) and ETO (any other type) holders.
struct ZamTm3_struct {
  _zam_tm gto;
  _zam_tm eto;
};

void tm_init(_zam_tm* h);
void tm_free(_zam_tm* h);
void zam_tm3_init(ZamTm3_struct* tm3);
void zam_tm3_free(ZamTm3_struct* tm3);

// Translation method: 1 the series (the default), 0 numerical radial
// quadrature, 2 multi-precision power-form matrices (neither rounded nor
// cached). Sets m when it is 0, 1 or 2; returns the previous method.
// Process-wide: set it before matrices are looked up on other threads.
int tm_mode(int m);

// Builds the index tables shared by every order (element counts, block
// positions, radial-block starts, l(l+1), parities, two-index and coupling
// counts) once per process under lock 6; "Done tm_tabulate() in ..." at
// debug level above 0. Every function here calls it first.
void tm_tabulate();
// Element count of an order-(i+1) matrix; 0 outside 0..35.
int tm3_dim(int i);
// Elements of a two-index (l, l') matrix of degree L: the sum over
// l = 0..L of (l+1)(l+2)/2; 0 outside 0..160.
int tm2_dim(int L);
// Coupling coefficients kept to degree L: the sum over l = 0..L, l' = 0..l
// of (l'+1)^2; 0 outside 0..160.
int ac_dim(int L);
// Block index table of order N (1..36), (N(N+1)/2)^2 ints: with
// p(n, l) = n(n-1)/2 + l, entry p(n, l) N(N+1)/2 + p(n', l') is the
// position of block (n l; n' l') at m = 0 for n' <= n, else 0. Shared and
// kept to the end of the process (do not free); null for another N.
const int* tm3_table(int N);
// Position of block (n l; n' l') (m = 0), with the pairs swapped when n < n'.
int tm3_index(int N, int n, int l, int np, int lp);
// 1 when n >= n', else (-1)^(l+l').
int tm3_sign(int N, int n, int l, int np, int lp);
// T^|m|(n l; n' l') of any block.
double tm3_value(int N, int n, int l, int np, int lp, int m, const double* T);
void tm3_ident(int N, double* T);
// In place: the matrix for the opposite distance (l + l' odd negated).
void tm3_neg(int N, double* T);
void tm3_neg_mpf(int N, mpf_t* T);
// out = A B in packed form, summed in long double.
void tm3_product(int N, const double* A, const double* B, double* out);
// Distance used for R: hundredths truncated from 100|R| + 0.05, the
// fraction kept at a multiple of 25 or taken to the nearest tenth (halves
// up). *I and *F receive the whole angstroms and the hundredths (F may be 100).
double tm_round(double R, int* I, int* F);

// Makes h hold the order-N matrix of the basis type (1 GTO, else ETO) at R,
// by the method in force: method 2 keeps a multi-precision matrix at the
// exact R (h->T null), method 0 a quadrature matrix at the exact R that
// never enters the cache.
// Returns 1, or 0 when N lies outside 1..36 or memory fails (h left empty).
int tm_get(int N, int type, _zam_tm* h, double R);
// tm_get on the holder of the type; its matrix (owned by tm3), null on
// failure and under method 2 (whose matrices are not packed doubles).
double* zam_tm3_get(int N, int type, ZamTm3_struct* tm3, double R);
// The holder's matrix into T; the identity for an empty holder, and for a
// multi-precision matrix (power form, not orthogonal), with an error.
void tm_copy(int N, const _zam_tm* h, double* T);

// Series matrices (zam_tm_series.cpp) at R >= 0, never rounded or cached.
void acc_init(int L);
// A(max(l, l'), min(l, l'), k, m) = sqrt((2l+1)(2l'+1)) <l 0; l' 0 | k 0>
// <l m; l' -m | k 0> of the coupling table; acc_init must cover the degree.
mpf_srcptr acc_value(int l, int lp, int k, int m);
void tm_gt3_ser(int N, double* T, double R);
void tm_et3_ser(int N, double* T, double R);
// The ETO matrix again, from the overlap integrals of the two centres in
// prolate spheroidal coordinates: polynomials in (xi, eta) from binomial
// powers, the Laguerre coefficients and the Legendre series, integrated
// with bk_beta over xi and exactly over eta. The same matrix as tm_et3_ser
// at R >= 0 (R < 0 the opposite direction, R = 0 the identity), while the
// alternating sums in long double hold: within 1e-9 up to order 8 at
// distances of 0.5 to 20 angstroms (t = 1), losing about a digit per order
// beyond. Prints "[n,n']" per block and the time taken. L is not consulted:
// the order fixes every degree.
void zam_calc_jr2(int N, int L, double* out, double R);

// One order-N block through the packed matrix; in and out must differ.
void tm3_apply(int N, const double* T, const double* in, double* out);
// Complex block (pairs of doubles): the real matrix acts on both parts.
void ztm3_apply(int N, const double* T, const double* in, double* out);
// Equivalent forms of the applies above. ztm3_apply_vec: nprop complex
// blocks in one sweep over the matrices the holders of their types hold
// already (no look-up; a holder at distance 0 holds the identity): 1, or 0
// with out untouched when a holder has no packed matrix of order N or
// above. tm3_apply_ref: tm3_apply gathered element by element from explicit
// offsets, a reference for the sweep. tm_apply_hexa: tm3_apply with the
// matrix and the blocks in long double.
int ztm3_apply_vec(int N, int nprop, const int* types, const ZamTm3_struct* tm3, const double* in, double* out);
void tm3_apply_ref(int N, const double* T, const double* in, double* out);
void tm_apply_hexa(int N, const long double* T, const long double* in, long double* out);
// One block through a holder: a multi-precision matrix through its power
// form (type 1 GTO, else ETO); else a copy when the holder is empty or at
// distance 0.
void tm3_mult(int N, int type, const _zam_tm* h, const double* in, double* out);
// One complex block through a holder, as tm3_mult; a multi-precision
// matrix is refused with an error and the block copied.
void ztm3_mult(int N, int type, const _zam_tm* h, const double* in, double* out);
// Translates nprop order-N blocks, block i with the matrix of types[i]
// (1 GTO, else ETO), by R along z. Returns 1, or 0 when a matrix could not
// be made (out then untouched).
int zam_tm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, const double* in, double* out,
                  double R);
int zam_ztm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, const double* in, double* out,
                   double R);
// Translates, then rotates by the Euler angles (a plain translation for the
// zero rotation).
int zam_trm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, ZamRm3_struct* rm3, const double* in,
                   Euler angles, double* out, double R);
