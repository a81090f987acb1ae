// Multi-precision side of the special functions, on GMP floats and rationals:
// the one-time set-up (GMP's default float precision fixed at 256 bits, a
// prime table to 1600), products of factorials and powers kept as prime
// exponents of the integers 0..1600 and evaluated exactly, the distance
// series tables of the translation-matrix series, and the Clebsch-Gordan
// coefficient by the Racah formula as a reference value.
#pragma once

#include <gmp.h>

#include <cstdint>

// Runs the one-time set-up unless it has run: sets GMP's default float
// precision to 256 bits and builds the prime table, under plain lock 6 (do
// not call while holding it). Every operation below that needs the set-up
// runs it itself; concurrent first callers all wait for the finished table.
void mp_setup();
// Runs the set-up if needed and returns 256. The argument is ignored: the
// precision is fixed for the whole run.
int mp_bits(int bits);
// Runs the set-up if needed and returns GMP's version, "major.minor.patch".
const char* mp_version();

// A product of factorials and integer powers over the integers 0..1600: the
// value is the product over k of k^exps[k]. Owned by the caller; made by
// mp_init, released by mp_free. In every operation a sign of -1 divides by
// the factor, any other value multiplies. Out-of-range arguments are
// reported through zam_err and leave the record unchanged.
struct mp_t_struct {
  int max;    // highest index that may hold a non-zero exponent
  int* exps;  // 1601 exponents, entry k the power of k
};

void mp_init(mp_t_struct* p);  // exps = 1601 zeroed ints
void mp_free(mp_t_struct* p);  // frees exps (null accepted), resets the record
void mp_fac(mp_t_struct* p, int sign, int n);          // n!, 0 <= n <= 1600
void mp_fall(mp_t_struct* p, int sign, int n, int m);  // n(n-1)...(n-m+1)
void mp_rise(mp_t_struct* p, int sign, int n, int m);  // n(n+1)...(n+m-1)
void mp_rise2(mp_t_struct* p, int sign, int n);        // (1/2)_n
void mp_pow(mp_t_struct* p, int sign, int k, int e);   // k^e, 0 <= k <= 1600
// Evaluate the product into f (at f's precision) or exactly into the
// canonical rational q, and empty the record for the next product.
void mpf_ans(mp_t_struct* p, mpf_ptr f);
void mpq_ans(mp_t_struct* p, mpq_ptr q);

// Distance series tables of order N at the argument x. Each writes its
// dimensions into the int out-arguments and returns a new GMP-float table
// (yib_mpf_get) that the caller frees with yib_mpf_free(table, *count).
// D: rows k = 0..2N-2, columns j = 0..2N-2, D[k][j] = x^k e^(-x^2) j!
// L_j^(k+1/2)(x^2) at k*cols + j; cols = 2N-1.
mpf_t* mp_dkj(int N, double x, int* cols, int* count);
// B: rows k = 0..2N-2, columns j = 0..3N-2, x^k j! L_j^(k+1/2)(x^2); cols = 3N-1.
mpf_t* mp_bkj(int N, double x, int* cols, int* count);
// G: rows k = 0..2N, columns j = 0..N, as B; cols = N+1.
mpf_t* mp_gkj(int N, double x, int* cols, int* count);
// Dn, the exponential-type table: p = 0..2N, n = 0..N-1, q = 0..2N, element
// at p*s2 + n*s1 + q; s1 = 2N+1, s2 = N(2N+1).
mpf_t* mp_dkjn(int N, double x, int* s1, int* s2, int* count);
// D and Dn as new arrays of doubles (kget1D; release with kfree).
double* dkj_mp(int N, int* cols, double x);
double* dkjn_mp(int N, int* s1, int* s2, double x);

// Clebsch-Gordan coefficient <j1 m1 j2 m2 | j3 m3> (integer angular momenta,
// Condon-Shortley phase) by the Racah formula in GMP floats; 0 outside the
// selection rules.
void mp_wcc(int j1, int j2, int j3, int m1, int m2, int m3, mpf_ptr f);
double wcc_mp(int j1, int j2, int j3, int m1, int m2, int m3);
// H[m + t] = <j1 m j2 -m | j3 0> for m = t down to -t, t = min(j1, j2):
// blocks of s values, each started from the Racah formula and continued by
// the downward recursion. H holds 2t+1 initialised floats.
void mp_wcc_stride(int j1, int j2, int j3, int s, mpf_t* H);
void mp_wcc_all(int j1, int j2, int j3, mpf_t* H);  // s = 64
// <l1 l2 l2 -l2 | l3 0> of every triple to L with even l1+l2+l3, in triple
// order, into H (yib_j1j2j3_dim(L, 1) floats), each printed beside the Racah
// value through zam_msg. A self-test.
void mp_wcc_roll(int L, mpf_t* H);
