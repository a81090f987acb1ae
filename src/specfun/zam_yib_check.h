// Checks of the coupling coefficients: drivers that compute every
// coefficient of a set of triples by one method (number type and recursion)
// and compare it with a reference, the working storage they share with the
// benchmarks, rolling recurrences printed beside the Racah values, and the
// self-test entries. Everything here prints through zam_msg; nothing judges.
//
// Single-threaded: the drivers and cg_test_cg change GMP's process-wide
// default float precision for short stretches (and restore it on every
// return), so no other thread may create GMP floats meanwhile.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "specfun/zam_yib.h"

// Methods of the drivers: 0 long double, 1 long double with square roots,
// 2 GMP floats, 3 GMP floats with square roots, 4 GMP integers with
// long-double norms, 5 GMP integers with rational norms (exact), 6 64-bit
// integers with long-double norms, 7 the Racah formula. Other values compute
// nothing.
//
// Working storage for triples to J (planes with L = J, see zam_yib_num.h):
// scratch values, the planes of every number type, the reference plane and
// its 320-bit GMP-float storage, the ladder records of one triple and the
// seed tables. Made by yib_work_init, released by yib_work_free.
struct _yib_work {
  int J, parity;
  int64_t plane;              // elements of a plane, (2J+1)(4J+1)
  int64_t dim;                // triples in the seed tables
  mpf_t* tf;                  // 12 scratch floats, 12 integers, 12 rationals
  mpz_t* tz;
  mpq_t* tq;
  long double *Z, *Q, *V;     // long-double planes; V the method's coefficients
  long double* REF;           // the reference coefficients
  int64_t* ZL;                // 64-bit integer plane
  mpf_t *FZ, *FQ;             // GMP-float planes
  mpz_t* GZ;                  // GMP-integer plane
  mpq_t* GQ;                  // GMP-rational plane
  mpf_t *rf, *RZ, *RQ;        // 320-bit scratch and planes of the reference
  _m12ranges* R;              // ladder record of each m3, at 2J + m3
  long double* TD;            // tops (4J+1 each): long double, norms
  mpf_t* TF;                  // GMP floats
  mpz_t* TG;                  // integer start values
  mpq_t* TR;                  // rational norms
  long double* C02;           // seed tables: C02 in long double,
  mpf_t* C02f;                // in GMP floats (null until needed),
  mpz_t* G0;                  // G0 and exact C02 (null until needed)
  mpq_t* C02q;
};

// Allocates everything for triples to J with the parity flag and fills the
// long-double C02 table. Changes GMP's default precision while it allocates
// the reference storage and restores it.
void yib_work_init(_yib_work* w, int J, int parity);
void yib_work_free(_yib_work* w);
// Fills the records of triple (j1, j2, j3) for the m3 range of a
// setup_m3ranges code and writes that range into lo and hi.
void yib_work_ranges(_yib_work* w, int j1, int j2, int j3, int code, int* lo, int* hi);
// The method's coefficients of one triple (at: its index in the seed tables)
// for m3 = lo..hi into the plane V, after yib_work_ranges. By rows: the
// m3 = 0 row by the ladder over (m1, m2), then the other rows by the ladders
// over m3 (tops = 0); or first the top of every row, then each row's own
// ladder over (m1, m2) (tops = 1; the count includes the tops). Returns the
// number of coefficients made, or -1 when a value of method 6 does not fit
// 64 bits (a start value with a message); the triple's values are then
// unusable.
int64_t yib_work_triple(_yib_work* w, int method, int tops, int j1, int j2, int j3, int64_t at, int lo, int hi);
// The reference coefficients of the same rows into REF: exact integer
// ladders with rational norms, or, when the method is 5 itself, 320-bit GMP
// floats (the precision is set and restored around them).
void yib_work_reference(_yib_work* w, int method, int j1, int j2, int j3, int64_t at, int lo, int hi);

// Compare every coefficient of the triples by a method with the reference,
// printing one line per coefficient, one norm line per row and a summary
// with the count, time and rate. yib_m1m2m3 takes the triples with j1 from
// 21 to J and the ladders over m3 after the m3 = 0 row (method 6 runs as
// method 4 from J = 16 on); yib_m3m1m2 the triples with j1 from J-10 to J,
// tops first. m3 is a setup_m3ranges code, stride2 the parity flag. Return
// the number of coefficients made by the method. A method-6 triple with a
// value that does not fit 64 bits is skipped (neither compared nor counted)
// and the skipped triples are counted in a closing line.
int64_t yib_m1m2m3(int J, int m3, int stride2, int method);
int64_t yib_m3m1m2(int J, int m3, int stride2, int method);
// Compare a C02 table of yib_c02_dbl (yib_c02_mpf) with the square of the
// Racah coefficient of each triple, one line each, and name the largest
// relative error.
void diff_c02_dbl(int J, int stride2, const long double* C02);
void diff_c02_mpf(int J, int stride2, mpf_t* C02);

// Rolling recurrences in long double, each value printed beside the Racah
// value. <l k; k, -k | j3 0> for l = 0..L, k = 0..l in triple order into out:
// every j3 ((L+1)(L+2)(2L+3)/6 values), or only j3 = l-k, l-k+2, ..., l+k
// ((L+1)(L+2)(L+3)/6 values).
void zam_roll_nostride(int L, long double* out);
void zam_roll(int L, long double* out);
// <j1 (m+k); k (-k) | j3 m> for j1 = 0..J, k = 0..j1, j3 = j1-k..j1+k as the
// pairs (Cbar, U) with coefficient Cbar sqrt(U), into the two arrays (every
// coefficient, or with stride2 only those with j1-k+j3 even).
void zam_roll_cbar(int J, int m, int stride2, double* cbar_out, double* u_out);

// Self-tests: each prints both sides of its checks and judges nothing.
void cg_test_all();  // runs cg_test_cg
// Sets GMP's default precision to 128 bits, runs yib_m1m2m3(30, 10000, 0, 7)
// and restores the precision.
void cg_test_cg();
void cg_test_j2_recursion(int n);  // identity along j2 at the lowest j3
void cg_test_j3_recursion(int n);  // identity along j3 at m = (j2, -j2, 0)
void cg_test_n3_recursion(int n);  // the lowering relation at m1 = j1
void cg_test_ranges();             // ranges and sources of the ladders, j1 <= 5
void cg_test_int();
void cg_test_mpq();
// Integer sizes, the central binomial coefficient (2n)!/(n!)^2 from the
// long-double factorials (0 beyond 2n = 169), and a G0 table to n.
void cg_test_b3_recursion(int n);
