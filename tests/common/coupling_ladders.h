// The exact Clebsch-Gordan tables walked as the translation code walks them:
// G0 and C02 of every triple to L, then the m3 = 0 ladder of each stored
// triple. Shared by the coupling tests and the benchmark.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "specfun/zam_yib.h"

namespace testutil {

// The caller's arrays for tables to degree L (freed by the destructor).
struct CouplingTables {
  int L, parity;
  int64_t dim;
  mpz_t* G0;
  mpq_t* C02;
  mpz_t* tz;  // scratch
  mpq_t* tq;
  int64_t ladder = 0;  // room of the ladder arrays, indexed by L + m2
  mpz_t* Z;
  mpq_t* Q;
  long double* V;

  CouplingTables(int L_, int parity_)
      : L(L_), parity(parity_), dim(yib_j1j2j3_dim(L_, parity_)), G0(yib_mpz_get(dim)), C02(yib_mpq_get(dim)),
        tz(yib_mpz_get(12)), tq(yib_mpq_get(12)), ladder(int64_t(2 * L_ + 1) * (4 * L_ + 1)), Z(yib_mpz_get(ladder)),
        Q(yib_mpq_get(ladder)), V(new long double[ladder]()) {
    yib_g0_mpz(L, parity, G0);
    yib_c02_mpq(L, parity, C02);
  }
  ~CouplingTables() {
    yib_mpz_free(G0, dim);
    yib_mpq_free(C02, dim);
    yib_mpz_free(tz, 12);
    yib_mpq_free(tq, 12);
    yib_mpz_free(Z, ladder);
    yib_mpq_free(Q, ladder);
    delete[] V;
  }
  CouplingTables(const CouplingTables&) = delete;
  CouplingTables& operator=(const CouplingTables&) = delete;

  // Runs the m3 = 0 ladder of every stored triple in triple order and calls
  // f(j1, j2, j3, r12) after each, with Z, Q and V filled at L + m2 for
  // m2 = r12.m2_first..r12.m2_last. Returns the sum of the ladder lengths.
  template <class F>
  int64_t walk(F f) {
    int64_t points = 0, at = 0;
    for (int j1 = 0; j1 <= L; j1++)
      for (int j2 = 0; j2 <= j1; j2++)
        for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
          if (parity && (j1 + j2 + j3) % 2 != 0) continue;
          int lo = 0, hi = 0;
          const _m3ranges r3 = setup_m3ranges(j1, j2, j3, 0, &lo, &hi);
          const _m12ranges r12 = m12ranges(j1, j2, j3, 0, r3);
          const int b = L + r12.m2_first;
          mpz_set(Z[b], G0[at]);
          mpq_set_z(Q[b], G0[at]);
          mpq_mul(Q[b], Q[b], Q[b]);
          mpq_div(Q[b], C02[at], Q[b]);
          points += yib_ladder_m1m2_mpq(L, j1, j2, j3, r12, tz, tq, Z, Q, V);
          f(j1, j2, j3, r12);
          at++;
        }
    return points;
  }
};

}  // namespace testutil
