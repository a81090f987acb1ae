#include "specfun/zam_yib.h"

#include <cmath>

#include "runtime/kids.h"
#include "specfun/zam_mp.h"

namespace {

bool stored(int parity, int j1, int j2, int j3) { return !parity || (j1 + j2 + j3) % 2 == 0; }

// Number of points (m1, m2) with m1+m2 = m3, |m1| <= j1, |m2| <= j2; at most
// zero when there are none.
int64_t ladder_length(int j1, int j2, int m3) {
  const int first = m3 - j1 > -j2 ? m3 - j1 : -j2;
  const int last = m3 + j1 < j2 ? m3 + j1 : j2;
  return last - first + 1;
}

// z as a long double through its mantissa and binary exponent, so that
// integers beyond the double range convert without overflow.
long double to_long_double(mpz_srcptr z) {
  signed long e = 0;
  const double d = mpz_get_d_2exp(&e, z);
  return std::ldexp(static_cast<long double>(d), static_cast<int>(e));
}

// Sums f(j1, j2, j3) over the stored triples to J.
template <class F>
int64_t sum_triples(int J, int parity, F f) {
  int64_t n = 0;
  for (int j1 = 0; j1 <= J; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++)
        if (stored(parity, j1, j2, j3)) n += f(j1, j2, j3);
  return n;
}

}  // namespace

_m3ranges m3ranges(int j1, int j2, int j3) {
  _m3ranges r;
  r.lo = -(j1 + j2) > -j3 ? -(j1 + j2) : -j3;
  r.split = j1 - j2;
  r.above = j3 - (j1 - j2);
  r.hi = j3;
  return r;
}

_m3ranges setup_m3ranges(int j1, int j2, int j3, int code, int* first, int* last) {
  const _m3ranges r = m3ranges(j1, j2, j3);
  if (code == 10000) {
    *first = r.lo;
    *last = r.hi;
  } else if (code == 10001) {
    *first = r.lo;
    *last = 0;
  } else if (code == 10002) {
    *first = 0;
    *last = r.hi;
  } else if (code < 0) {
    *first = code > r.lo ? code : r.lo;
    *last = 0;
  } else {
    *first = 0;
    *last = code < r.hi ? code : r.hi;
  }
  return r;
}

_m12ranges m12ranges(int j1, int j2, int, int m3, _m3ranges r3) {
  _m12ranges r;
  r.m2_first = m3 <= r3.split ? -j2 : m3 - j1;
  r.m2_last = m3 + j1 < j2 ? m3 + j1 : j2;
  r.m1_first = m3 - r.m2_first;
  r.m1_last = m3 - r.m2_last;
  return r;
}

mpf_t* yib_mpf_get(int64_t n) {
  // The floats take the run's 256-bit default precision whoever allocates
  // first, and no thread reads the default while the set-up writes it.
  mp_setup();
  mpf_t* a = static_cast<mpf_t*>(kget1B_0(n > 0 ? n * static_cast<int64_t>(sizeof(mpf_t)) : 0));
  for (int64_t i = 0; i < n; i++) mpf_init(a[i]);
  return a;
}

mpq_t* yib_mpq_get(int64_t n) {
  mpq_t* a = static_cast<mpq_t*>(kget1B_0(n > 0 ? n * static_cast<int64_t>(sizeof(mpq_t)) : 0));
  for (int64_t i = 0; i < n; i++) mpq_init(a[i]);
  return a;
}

mpz_t* yib_mpz_get(int64_t n) {
  mpz_t* a = static_cast<mpz_t*>(kget1B_0(n > 0 ? n * static_cast<int64_t>(sizeof(mpz_t)) : 0));
  for (int64_t i = 0; i < n; i++) mpz_init(a[i]);
  return a;
}

void yib_mpf_free(mpf_t* a, int64_t n) {
  if (!a) return;
  for (int64_t i = 0; i < n; i++) mpf_clear(a[i]);
  kfree(a);
}

void yib_mpq_free(mpq_t* a, int64_t n) {
  if (!a) return;
  for (int64_t i = 0; i < n; i++) mpq_clear(a[i]);
  kfree(a);
}

void yib_mpz_free(mpz_t* a, int64_t n) {
  if (!a) return;
  for (int64_t i = 0; i < n; i++) mpz_clear(a[i]);
  kfree(a);
}

void yib_mpf_zero(mpf_t* a, int64_t n) {
  for (int64_t i = 0; i < n; i++) mpf_set_ui(a[i], 0);
}

void yib_mpq_zero(mpq_t* a, int64_t n) {
  for (int64_t i = 0; i < n; i++) mpq_set_ui(a[i], 0, 1);
}

void yib_mpz_zero(mpz_t* a, int64_t n) {
  for (int64_t i = 0; i < n; i++) mpz_set_ui(a[i], 0);
}

int64_t yib_j1j2j3_dim(int J, int parity) {
  if (J < 0) return 0;
  const int64_t j = J;
  if (!parity) return (j + 1) * (j + 2) * (2 * j + 3) / 6;
  return ((2 * j + 1) * j * (j + 1) + 3 * (j + 1) * (3 * j + 4)) / 12;
}

int64_t yib_m3_count(int J, int m3, int parity) {
  return sum_triples(J, parity, [m3](int j1, int j2, int j3) -> int64_t {
    return std::abs(m3) <= j3 ? ladder_length(j1, j2, m3) : 0;
  });
}

int64_t yib_m1m2_count(int J, int m3, int parity) {
  return sum_triples(J, parity, [m3](int j1, int j2, int) -> int64_t {
    const int64_t n = ladder_length(j1, j2, m3);
    return n > 0 ? n : 0;
  });
}

int64_t yib_m1m2m3_count(int J, int parity) {
  return sum_triples(J, parity, [](int j1, int j2, int j3) {
    int64_t n = 0;
    for (int m3 = -j3; m3 <= j3; m3++) n += ladder_length(j1, j2, m3);
    return n;
  });
}

void yib_g0_mpz(int J, int parity, mpz_t* G0) {
  mpz_t top, first, v;
  mpz_inits(top, first, v, nullptr);
  mpz_set_ui(top, 1);
  int64_t at = 0;
  // Every step multiplies by an integer and divides exactly; values of
  // triples that are not stored still carry the chain.
  for (int j1 = 0; j1 <= J; j1++) {
    if (j1 > 0) {  // G0(j1, 0, j1) = (2 j1)! / (j1!)^2
      mpz_mul_ui(top, top, 4 * j1 - 2);
      mpz_divexact_ui(top, top, j1);
    }
    mpz_set(first, top);
    for (int j2 = 0; j2 <= j1; j2++) {
      if (j2 > 0) {
        mpz_mul_ui(first, first, j1 - j2 + 1);
        mpz_divexact_ui(first, first, 4 * (j1 - j2) + 2);
      }
      mpz_set(v, first);
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        if (j3 > j1 - j2) {
          mpz_mul_ui(v, v, j3 + j1 - j2);
          mpz_divexact_ui(v, v, j3);
        }
        if (stored(parity, j1, j2, j3)) mpz_set(G0[at++], v);
      }
    }
  }
  mpz_clears(top, first, v, nullptr);
}

void yib_c02_mpq(int J, int parity, mpq_t* C02) {
  mpq_t first, v, r;
  mpq_inits(first, v, r, nullptr);
  int64_t at = 0;
  for (int j1 = 0; j1 <= J; j1++) {
    mpq_set_ui(first, 1, 1);  // C02(j1, 0, j1)
    for (int j2 = 0; j2 <= j1; j2++) {
      if (j2 > 0) {
        mpq_set_ui(r, j1 + j2, 2 * (2 * (j1 - j2) + 3));
        mpq_canonicalize(r);
        mpq_mul(first, first, r);
      }
      mpq_set(v, first);
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        if (j3 > j1 - j2) {
          const unsigned long k = j3 - 1;  // step from j3-1 to j3
          const unsigned long a = j1 - j2, b = j1 + j2;
          mpq_set_ui(r, (2 * k + 3) * (a + k + 1) * (b - k), (2 * k + 1) * (k - a + 1) * (b + k + 2));
          mpq_canonicalize(r);
          mpq_mul(v, v, r);
        }
        if (stored(parity, j1, j2, j3)) mpq_set(C02[at++], v);
      }
    }
  }
  mpq_clears(first, v, r, nullptr);
}

int64_t yib_ladder_m1m2_mpq(int L, int j1, int j2, int j3, _m12ranges r12, mpz_t* tz, mpq_t* tq, mpz_t* Z,
                            mpq_t* Q, long double* V) {
  const int m3 = r12.m1_first + r12.m2_first;
  const int B = r12.m2_first, E = r12.m2_last;
  // An m3 = 0 ladder is symmetric: its second half mirrors the first.
  const bool symmetric = r12.m1_last == B && r12.m1_first == E;
  const int M = symmetric ? B + (E - B) / 2 : E;
  const long K = static_cast<long>(j3) * (j3 + 1) - static_cast<long>(j1) * (j1 + 1) - static_cast<long>(j2) * (j2 + 1);
  for (int m2 = B + 1; m2 <= M; m2++) {
    const long p1 = m3 - m2 + 1, p2 = m2 - 1;  // the previous point (m1', m2')
    const long c1 = K - 2 * p1 * p2;
    mpz_mul_si(tz[0], Z[L + p2], c1);
    if (m2 > B + 1) {
      const long c2 = (j1 + p1 + 1) * (j2 - p2 + 1);
      mpz_mul_si(tz[1], Z[L + p2 - 1], c2);
      mpz_sub(tz[0], tz[0], tz[1]);
    }
    const unsigned long d = static_cast<unsigned long>((j1 - p1 + 1) * (j2 + p2 + 1));
    mpz_divexact_ui(Z[L + m2], tz[0], d);
    mpq_set_ui(tq[0], d, static_cast<unsigned long>((j1 + p1) * (j2 - p2)));
    mpq_canonicalize(tq[0]);
    mpq_mul(Q[L + m2], Q[L + p2], tq[0]);
  }
  return yib_scale_m1m2_mpq(L, j1, j2, j3, B, M, E, Z, Q, V);
}

int64_t yib_scale_m1m2_mpq(int L, int j1, int j2, int j3, int b, int m, int e, mpz_t* Z, mpq_t* Q, long double* V) {
  for (int m2 = b; m2 <= m; m2++) {
    const long double z = to_long_double(Z[L + m2]);
    const long double q = to_long_double(mpq_numref(Q[L + m2])) / to_long_double(mpq_denref(Q[L + m2]));
    V[L + m2] = z * std::sqrt(q);
  }
  const bool odd = (j1 - j2 + j3) % 2 != 0;
  for (int m2 = m + 1; m2 <= e; m2++) {
    const int from = L + b + e - m2;
    mpq_set(Q[L + m2], Q[from]);
    if (odd) {
      mpz_neg(Z[L + m2], Z[from]);
      V[L + m2] = -V[from];
    } else {
      mpz_set(Z[L + m2], Z[from]);
      V[L + m2] = V[from];
    }
  }
  return e - b + 1;
}

void yib_result_mpf(mpz_srcptr z, mpq_srcptr q, mpz_ptr tz, mpq_ptr tq, mpf_ptr f) {
  mpz_mul(tz, z, z);
  mpq_set_z(tq, tz);
  mpq_mul(tq, tq, q);
  mpf_set_q(f, tq);
  mpf_sqrt(f, f);
  if (mpz_sgn(z) < 0) mpf_neg(f, f);
}
