// The Clebsch-Gordan machinery of zam_yib.h in further number types: long
// double, 64-bit integers and GMP integers with long-double norms, GMP floats,
// and square-root forms that keep the coefficients normalised. Seed tables,
// the first points of the ladders of every m3 of a triple ("tops"), ladders
// over (m1, m2) at one m3, ladders from row to row over m3, a reference table
// by the Racah formula and the error measure of the comparison drivers.
// Reentrant unless said: all storage belongs to the caller.
//
// Long-double arrays hold one value per 16-byte slot. Ladder arrays are
// indexed by L + m2 as in zam_yib.h; top arrays by 2L + m3. A plane holds all
// m3 of a triple: 4L+1 rows of 2L+1 elements, the row of m3 at 2L + m3 and
// m2 at L + m2 within it, so that the row of m3 = 0 is a ladder array.
// Values are Z sqrt(Q) (Z unnormalised, Q the squared norm), Z sqrt(c Q) for
// the members that take a scale c (the square of the coefficient at the
// first point), or the coefficient itself in the square-root members (Q 1).
// GMP values become long doubles through a double mantissa and a binary
// exponent, so that no magnitude overflows.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "specfun/zam_yib.h"

// Seed tables of every triple to J in triple order (yib_j1j2j3_dim(J, parity)
// entries): C02 in long double, in GMP floats, and as an unreduced fraction
// of two GMP integers (each step multiplies the numerator by the ratio's
// numerator and the denominator by its denominator); G0 in long double,
// which also prints through zam_msg the first triple whose G0 passes
// 2^64 - 1 ("Exceeded ULONG_MAX at B[...]") and the largest G0 before it.
void yib_c02_dbl(int J, int parity, long double* C02);
void yib_c02_mpf(int J, int parity, mpf_t* C02);
void yib_c02_mpz(int J, int parity, mpz_t* NUM, mpz_t* DEN);
void yib_g0_dbl(int J, int parity, long double* G0);

// The tables above and those of zam_yib.h, timed: each prints "Done <count>
// C02 coefficients (<kind>) to J = <J> in <s>s (<rate>/s)" (or G0) through
// zam_msg.
void yib_c02_dbl_timed(int J, int parity, long double* C02);
void yib_c02_mpf_timed(int J, int parity, mpf_t* C02);
void yib_c02_mpq_timed(int J, int parity, mpq_t* C02);
void yib_c02_mpz_timed(int J, int parity, mpz_t* NUM, mpz_t* DEN);
void yib_g0_dbl_timed(int J, int parity, long double* G0);
void yib_g0_mpz_timed(int J, int parity, mpz_t* G0);

// Tops of the ladders for m3 = lo..hi (lo <= 0 <= hi <= j3) from the m3 = 0
// entry at 2L that the caller has set; each returns the number of entries
// written. T is the square of the first-point coefficient (long double or
// GMP float); the integer forms keep G (a GMP integer) and Q with G^2 Q that
// square, Q a GMP rational or a long double. tf, tz and tq are scratch
// (at least 2 floats, 2 integers, 1 rational).
int yib_top_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, long double* T);
int yib_top_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, mpf_t* tf, mpf_t* T);
int yib_top_m3_mpq(int L, int j1, int j2, int j3, int lo, int hi, mpz_t* tz, mpq_t* tq, mpz_t* G, mpq_t* Q);
int yib_top_m3_mpz(int L, int j1, int j2, int j3, int lo, int hi, mpz_t* tz, mpz_t* G, long double* Q);

// Ladders over (m1, m2) at the m3 of r12, as yib_ladder_m1m2_mpq; each returns
// the number of points and writes V (long double) at L + m2. The integer
// forms are seeded by the caller at L + first m2 (Z and Q); the float forms
// start from Z = 1, Q = 1 and scale by c. The 64-bit form divides with
// truncation and returns -1 when a value leaves 64 bits (its values are then
// unusable; from j1 = 18 on some ladders do). tz and tf
// are scratch (at least 2 integers, 4 floats). The scale forms are the last
// step: V for m2 = b..m, then the mirror half m+1..e of a symmetric ladder.
// Range of the long-double forms (yib_ladder_m1m2_dbl, yib_laddersq_m1m2_dbl):
// a row of m3 = 0 holds to 1e-16 at every j1, but a row of m3 != 0 (the
// tops-first road: yib_top_m3_dbl, then one such ladder per row) runs from
// its top towards a far end whose coefficient can be tiny, and loses it.
// Against the exact ladders over every triple and every m3, such rows hold
// to 1e-10 (absolute) while j1 is at most 19 (yib_ladder_m1m2_dbl) or 18
// (yib_laddersq_m1m2_dbl); the triples with j3 above j1, near the stretched
// j3 = j1 + j2, lose first (8.2e-10 at <20 -20; 19 19 | 39 -1>, 3.3e-4 at
// j1 = 30, meaningless from 35 on: -1.2e9 at <50 -50; 49 49 | 99 -1> for
// 6.7e-30). The triples with j3 <= j1 hold to 1e-10 up to j1 = 44
// (yib_ladder_m1m2_dbl: 1.8e-10 at 45, 3.2e-9 at 50, 2.1e-5 at 64, and
// -0.1035 for 1.75e-20 at <84 -32; 60 60 | 28 28>) or 36
// (yib_laddersq_m1m2_dbl: 1.8e-10 at 37, 9.9e-7 at 50). A row beyond its
// range warns once per member and process.
int64_t yib_ladder_m1m2_mpz(int L, int j1, int j2, int j3, _m12ranges r12, mpz_t* tz, mpz_t* Z, long double* Q,
                            long double* V);
int64_t yib_scale_m1m2_mpz(int L, int j1, int j2, int j3, int b, int m, int e, mpz_t* Z, long double* Q, long double* V);
int64_t yib_ladder_m1m2_long(int L, int j1, int j2, int j3, _m12ranges r12, int64_t* Z, long double* Q, long double* V);
int64_t yib_scale_m1m2_long(int L, int j1, int j2, int j3, int b, int m, int e, int64_t* Z, long double* Q,
                            long double* V);
int64_t yib_ladder_m1m2_dbl(int L, int j1, int j2, int j3, _m12ranges r12, long double c, long double* Z,
                            long double* Q, long double* V);
int64_t yib_scale_m1m2_dbl(int L, int j1, int j2, int j3, int b, int m, int e, long double c, long double* Z,
                           long double* Q, long double* V);
int64_t yib_ladder_m1m2_mpf(int L, int j1, int j2, int j3, _m12ranges r12, long double c, mpf_t* tf, mpf_t* Z,
                            mpf_t* Q, long double* V);
int64_t yib_scale_m1m2_mpf(int L, int j1, int j2, int j3, int b, int m, int e, long double c, mpf_t* Z, mpf_t* Q,
                           long double* V);
// As yib_ladder_m1m2_mpf with c from the Racah formula in GMP floats.
int64_t yib_ladder_m1m2_gmp(int L, int j1, int j2, int j3, int m3, mpf_t* tf, _m12ranges r12, mpf_t* Z, mpf_t* Q,
                            long double* V);
// Square-root ladders: Z is the normalised coefficient over that of the first
// point (square roots taken at each step), Q is set to 1, V = sqrt(c) Z.
int64_t yib_laddersq_m1m2_dbl(int L, int j1, int j2, int j3, _m12ranges r12, long double c, long double* Z,
                              long double* Q, long double* V);
int64_t yib_laddersq_m1m2_mpf(int L, int j1, int j2, int j3, _m12ranges r12, long double c, mpf_t* tf, mpf_t* Z,
                              mpf_t* Q, long double* V);

// Ladders over m3: from the complete m3 = 0 row of a plane (made by the
// m1m2 ladder of the same number type) to every row of lo..hi, upwards and
// downwards by the raising and lowering relations. R holds the ladder record
// of every m3 of the range at 2L + m3. Each writes only rows other than
// m3 = 0 and returns the number of points written (0 for lo = hi = 0). The
// integer members divide exactly; the 64-bit one returns -1 when a value
// leaves 64 bits. s is the scale of the members that take one (the
// triple's C02). tz, tq, tf are scratch (at least 2 of each). The
// square-root members apply the relations to the coefficients themselves:
// the long-double one in its V plane, the GMP-float one in its Z plane,
// whose m3 = 0 row it first turns into coefficients (Z sqrt(Q s)).
// Range of the long-double members (yib_ladder_m3_dbl, yib_laddersq_m3_dbl):
// rounding grows from row to row, so over the whole m3 range of a triple
// they hold to 1e-10 (absolute) only while j1 is at most 24; at j1 = 40
// the error reaches 1.8e-5, at 84 the values are meaningless (5.7e13 for
// 0.266). A sweep beyond j1 = 24 warns once per member and process. The
// integer members hold at every j1; the tops of yib_top_m3_dbl followed by a
// long-double ladder over (m1, m2) per row hold only to the j1 stated with
// those ladders (19 over every triple, 44 for j3 <= j1).
int64_t yib_ladder_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double s,
                          long double* Z, long double* Q, long double* V);
int64_t yib_ladder_m3_long(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, int64_t* Z,
                           long double* Q, long double* V);
int64_t yib_ladder_m3_mpz(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpz_t* tz, mpz_t* Z,
                          long double* Q, long double* V);
int64_t yib_ladder_m3_mpq(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpz_t* tz, mpq_t* tq,
                          mpz_t* Z, mpq_t* Q, long double* V);
int64_t yib_ladder_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpf_t* tf,
                          long double s, mpf_t* Z, mpf_t* Q, long double* V);
int64_t yib_laddersq_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double* V);
int64_t yib_laddersq_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpf_t* tf,
                            long double s, mpf_t* Z, mpf_t* Q, long double* V);

// Reference plane: for m3 = lo..hi the row of m3 in V (at (2L+1)(2L+m3))
// receives at L + m2 the coefficient by the Racah formula in GMP floats
// (wcc_mp, so double precision), over the ladder of R[2L + m3]. Returns the
// number of points, 0 when lo > hi.
int64_t yib_m1m2m3_fac(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double* V);
// Self-check of the long-double tops: for every triple to J (the C02 table
// of yib_c02_dbl with the same parity flag) and every m3 != 0 of its range,
// prints the top beside the square of the Racah coefficient and their
// error, then the count, time and rate and the largest error, through
// zam_msg. Returns the number of tops.
int64_t yib_c02_m3_dbl(int J, int parity, const long double* C02);
// Relative error of x against ref, guarded for values near zero: |x - ref| /
// |ref| in general; |x| when ref is 0, |ref| when x is 0, and |x| among tiny
// values whose ratio shows they are unrelated.
long double yib_error(long double x, long double ref);
// Sets GMP's default float precision to bits and returns the previous one.
// Process-wide: only single-threaded test code may call it.
int mpf_set_bits(int bits);
