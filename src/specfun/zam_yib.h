// Exact Clebsch-Gordan coefficients <j1 m1 j2 m2 | j3 m3> (integer angular
// momenta, Condon-Shortley phase, j2 <= j1): per coupling triple an integer
// start value G0 and an exact rational C02 seed a three-term ladder over
// (m1, m2) at fixed m3 that runs in GMP integers, the normalisation carried
// as a GMP rational; each coefficient becomes a float only at the end.
// Everything is reentrant: all storage belongs to the caller.
//
// Triple order (the index of every per-triple table): j1 = 0..J, then
// j2 = 0..j1, then j3 = j1-j2..j1+j2, all ascending. With the parity flag
// (any non-zero int) only triples with even j1+j2+j3 are stored.
#pragma once

#include <gmp.h>

#include <cstdint>

// The m3 range of a triple.
struct _m3ranges {
  int lo;     // lowest m3, max(-(j1+j2), -j3)
  int split;  // j1-j2: up to it ladders start at m2 = -j2, above it at m1 = j1
  int above;  // j3-(j1-j2), the count of m3 values above the split
  int hi;     // highest m3, j3
};

// The ladder of one triple at one m3: the points (m1, m2) with m1+m2 = m3,
// |m1| <= j1, |m2| <= j2, m1 falling and m2 rising; m2_last-m2_first+1 points.
struct _m12ranges {
  int m1_first;  // top of the ladder
  int m1_last;
  int m2_first;
  int m2_last;
};

_m3ranges m3ranges(int j1, int j2, int j3);
// As m3ranges, and writes the m3 range to work on into first and last:
// code 10000 lowest..j3, 10001 lowest..0, 10002 0..j3, another negative c
// max(c, lowest)..0, another c >= 0 0..min(c, j3) (code 0: m3 = 0 alone).
_m3ranges setup_m3ranges(int j1, int j2, int j3, int code, int* first, int* last);
_m12ranges m12ranges(int j1, int j2, int j3, int m3, _m3ranges r3);

// Arrays of n GMP floats (0, at the default precision: 256 bits, as these
// run the multi-precision set-up first), rationals (0/1) or integers (0),
// from the guarded allocator. n < 1 gives the bare block. The free forms
// clear the n elements and release the block; null is ignored.
mpf_t* yib_mpf_get(int64_t n);
mpq_t* yib_mpq_get(int64_t n);
mpz_t* yib_mpz_get(int64_t n);
void yib_mpf_free(mpf_t* a, int64_t n);
void yib_mpq_free(mpq_t* a, int64_t n);
void yib_mpz_free(mpz_t* a, int64_t n);
void yib_mpf_zero(mpf_t* a, int64_t n);
void yib_mpq_zero(mpq_t* a, int64_t n);
void yib_mpz_zero(mpz_t* a, int64_t n);

// Number of triples to J: (J+1)(J+2)(2J+3)/6, fewer with the parity flag.
int64_t yib_j1j2j3_dim(int J, int parity);
// Ladder points at one m3 over all triples to J whose m3 range holds it.
int64_t yib_m3_count(int J, int m3, int parity);
// Pairs (m1, m2), m1+m2 = m3, |m1| <= j1, |m2| <= j2, over all triples to J.
int64_t yib_m1m2_count(int J, int m3, int parity);
// Ladder points over all triples to J and all their m3.
int64_t yib_m1m2m3_count(int J, int parity);

// G0 and C02 of every triple to J in triple order, into caller arrays of
// yib_j1j2j3_dim(J, parity) elements. C02 is <j1 j2 j2 -j2 | j3 0>^2.
void yib_g0_mpz(int J, int parity, mpz_t* G0);
void yib_c02_mpq(int J, int parity, mpq_t* C02);

// Runs the ladder of the triple at the m3 of r12. Z, Q and V are indexed by
// L + m2 (L >= j2); the caller seeds Z[L + m2_first] and Q[L + m2_first]
// (at m3 = 0: G0 and C02/G0^2). tz holds at least 9 scratch integers, tq at
// least one scratch rational. Fills Z, Q and V (the coefficients, Z sqrt(Q))
// over the ladder only and returns its number of points.
int64_t yib_ladder_m1m2_mpq(int L, int j1, int j2, int j3, _m12ranges r12, mpz_t* tz, mpq_t* tq, mpz_t* Z,
                            mpq_t* Q, long double* V);
// The ladder's last step: V from Z and Q for m2 = b..m, then the mirror half
// m+1..e of a symmetric ladder. Returns e - b + 1.
int64_t yib_scale_m1m2_mpq(int L, int j1, int j2, int j3, int b, int m, int e, mpz_t* Z, mpq_t* Q, long double* V);
// f = sign(z) sqrt(z^2 q) at f's precision; tz and tq are scratch.
void yib_result_mpf(mpz_srcptr z, mpq_srcptr q, mpz_ptr tz, mpq_ptr tq, mpf_ptr f);
