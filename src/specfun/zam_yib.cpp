#include "specfun/zam_yib.h"

#include <cmath>

#include "runtime/kids.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_mp.h"

namespace {

// Number of points (m1, m2) with m1+m2 = m3, |m1| <= j1, |m2| <= j2; at most
// zero when there are none.
int64_t ladder_length(int j1, int j2, int m3) {
  const int first = m3 - j1 > -j2 ? m3 - j1 : -j2;
  const int last = m3 + j1 < j2 ? m3 + j1 : j2;
  return last - first + 1;
}

// Sums f(j1, j2, j3) over the stored triples to J.
template <class F>
int64_t sum_triples(int J, int parity, F f) {
  int64_t n = 0;
  yib_shared::for_triples(J, parity, [&](int j1, int j2, int j3, int64_t) { n += f(j1, j2, j3); });
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
  struct {
    mpz_t v[3];
    mpz_t* out;
    void one(int i) { mpz_set_ui(v[i], 1); }
    void copy(int to, int from) { mpz_set(v[to], v[from]); }
    void mul(int i, unsigned long n, unsigned long d) {
      mpz_mul_ui(v[i], v[i], n);
      mpz_divexact_ui(v[i], v[i], d);
    }
    void store(int64_t at, int i, int, int, int) { mpz_set(out[at], v[i]); }
  } op;
  mpz_inits(op.v[0], op.v[1], op.v[2], nullptr);
  op.out = G0;
  yib_shared::g0_chain(J, parity, op);
  mpz_clears(op.v[0], op.v[1], op.v[2], nullptr);
}

void yib_c02_mpq(int J, int parity, mpq_t* C02) {
  struct {
    mpq_t v[2], r;
    mpq_t* out;
    void one(int i) { mpq_set_ui(v[i], 1, 1); }
    void copy(int to, int from) { mpq_set(v[to], v[from]); }
    void mul(int i, unsigned long n, unsigned long d) {
      mpq_set_ui(r, n, d);
      mpq_canonicalize(r);
      mpq_mul(v[i], v[i], r);
    }
    void store(int64_t at, int i, int, int, int) { mpq_set(out[at], v[i]); }
  } op;
  mpq_inits(op.v[0], op.v[1], op.r, nullptr);
  op.out = C02;
  yib_shared::c02_chain(J, parity, op);
  mpq_clears(op.v[0], op.v[1], op.r, nullptr);
}

int64_t yib_ladder_m1m2_mpq(int L, int j1, int j2, int j3, _m12ranges r12, mpz_t* tz, mpq_t* tq, mpz_t* Z,
                            mpq_t* Q, long double* V) {
  struct {
    int L, j1, j2, j3;
    mpz_t *tz, *Z;
    mpq_t *tq, *Q;
    long double* V;
    void step(const yib_shared::LadderStep& s) {
      mpz_mul_si(tz[0], Z[s.prev], s.c1);
      if (s.prev2 >= 0) {
        mpz_mul_si(tz[1], Z[s.prev2], s.c2);
        mpz_sub(tz[0], tz[0], tz[1]);
      }
      mpz_divexact_ui(Z[s.at], tz[0], static_cast<unsigned long>(s.d));
      mpq_set_ui(tq[0], static_cast<unsigned long>(s.d), static_cast<unsigned long>(s.qd));
      mpq_canonicalize(tq[0]);
      mpq_mul(Q[s.at], Q[s.prev], tq[0]);
    }
    int64_t finish(int b, int m, int e) { return yib_scale_m1m2_mpq(L, j1, j2, j3, b, m, e, Z, Q, V); }
  } op{L, j1, j2, j3, tz, Z, tq, Q, V};
  return yib_shared::m1m2_walk(L, j1, j2, j3, r12, op);
}

int64_t yib_scale_m1m2_mpq(int L, int j1, int j2, int j3, int b, int m, int e, mpz_t* Z, mpq_t* Q, long double* V) {
  for (int m2 = b; m2 <= m; m2++) {
    const long double z = yib_shared::ld_of(Z[L + m2]);
    const long double q = yib_shared::ld_of(Q[L + m2]);
    V[L + m2] = z * std::sqrt(q);
  }
  return yib_shared::mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);
}

void yib_result_mpf(mpz_srcptr z, mpq_srcptr q, mpz_ptr tz, mpq_ptr tq, mpf_ptr f) {
  mpz_mul(tz, z, z);
  mpq_set_z(tq, tz);
  mpq_mul(tq, tq, q);
  mpf_set_q(f, tq);
  mpf_sqrt(f, f);
  if (mpz_sgn(z) < 0) mpf_neg(f, f);
}
