// Helpers shared by the coupling-coefficient sources (zam_yib*.cpp): which
// triples a table stores, the seed recursions of G0 and C02 and the ladder
// recursion over (m1, m2) written once for every number type, the first
// points of the ladders over m3, and conversions of GMP values to long double
// that cannot overflow.
#pragma once

#include <gmp.h>

#include <cmath>
#include <cstdint>

#include "specfun/zam_yib.h"
#include "specfun/zam_yib_num.h"

namespace yib_shared {

inline bool stored(int parity, int j1, int j2, int j3) { return !parity || (j1 + j2 + j3) % 2 == 0; }

// A GMP value as a long double through a double mantissa and a binary
// exponent, so that magnitudes beyond the double range convert safely.
inline long double ld_of(mpz_srcptr z) {
  signed long e = 0;
  const double d = mpz_get_d_2exp(&e, z);
  return std::ldexp(static_cast<long double>(d), static_cast<int>(e));
}
inline long double ld_of(mpf_srcptr f) {
  signed long e = 0;
  const double d = mpf_get_d_2exp(&e, f);
  return std::ldexp(static_cast<long double>(d), static_cast<int>(e));
}
inline long double ld_of(mpq_srcptr q) { return ld_of(mpq_numref(q)) / ld_of(mpq_denref(q)); }

// A value of the 64-bit integer ladders: stores v and returns true when
// |v| fits a signed 64-bit integer, else stores 0 and returns false.
inline bool fit64(__int128 v, int64_t* out) {
  constexpr __int128 top = INT64_MAX;
  const bool fits = v <= top && v >= -top;
  *out = fits ? static_cast<int64_t>(v) : 0;
  return fits;
}

// GMP floats have no fused forms: acc += w z and acc -= w z through tmp,
// and out = c z for a signed c.
inline void add_product(mpf_ptr acc, mpf_ptr tmp, mpf_srcptr z, unsigned long w) {
  mpf_mul_ui(tmp, z, w);
  mpf_add(acc, acc, tmp);
}
inline void sub_product(mpf_ptr acc, mpf_ptr tmp, mpf_srcptr z, unsigned long w) {
  mpf_mul_ui(tmp, z, w);
  mpf_sub(acc, acc, tmp);
}
inline void mul_si(mpf_ptr out, mpf_srcptr z, long c) {
  mpf_mul_ui(out, z, static_cast<unsigned long>(c < 0 ? -c : c));
  if (c < 0) mpf_neg(out, out);
}

// The second half of a symmetric row is the first mirrored: a point copies
// its mirror point, the norm as it is and the value and coefficient negated
// for an odd triple (odd_mirror). set_signed and copy_value for every number
// type of the ladders.
inline bool odd_mirror(int j1, int j2, int j3) { return (j1 - j2 + j3) % 2 != 0; }
inline void set_signed(long double& to, long double from, bool neg) { to = neg ? -from : from; }
inline void set_signed(int64_t& to, int64_t from, bool neg) { to = neg ? -from : from; }
inline void set_signed(mpz_ptr to, mpz_srcptr from, bool neg) {
  if (neg)
    mpz_neg(to, from);
  else
    mpz_set(to, from);
}
inline void set_signed(mpf_ptr to, mpf_srcptr from, bool neg) {
  if (neg)
    mpf_neg(to, from);
  else
    mpf_set(to, from);
}
inline void copy_value(long double& to, long double from) { to = from; }
inline void copy_value(mpf_ptr to, mpf_srcptr from) { mpf_set(to, from); }
inline void copy_value(mpq_ptr to, mpq_srcptr from) { mpq_set(to, from); }
// Point to of a row's value Z, norm Q and coefficient V from point from.
template <class ZType, class QType>
void mirror_point(ZType* Z, QType* Q, long double* V, int64_t to, int64_t from, bool neg) {
  copy_value(Q[to], Q[from]);
  set_signed(Z[to], Z[from], neg);
  set_signed(V[to], V[from], neg);
}
// The points m2 = m+1..e of a symmetric (m1, m2) row (index L + m2) from
// their mirror points b + e - m2. Returns the row's length e - b + 1.
template <class ZType, class QType>
int64_t mirror_row(int L, int j1, int j2, int j3, int b, int m, int e, ZType* Z, QType* Q, long double* V) {
  const bool odd = odd_mirror(j1, j2, j3);
  for (int m2 = m + 1; m2 <= e; m2++) mirror_point(Z, Q, V, L + m2, L + b + e - m2, odd);
  return e - b + 1;
}

// GMP's default float precision set for the life of an instance, the old one
// restored however the scope is left.
struct DefaultPrecision {
  int old;
  explicit DefaultPrecision(int bits) : old(mpf_set_bits(bits)) {}
  ~DefaultPrecision() { mpf_set_bits(old); }
  DefaultPrecision(const DefaultPrecision&) = delete;
  DefaultPrecision& operator=(const DefaultPrecision&) = delete;
};

// Element count of a two-index translation matrix of degree L, the sum over
// l = 0..L of (l+1)(l+2)/2: the coupling-pair count the rolling tables report.
inline int two_index_dim(int L) { return L < 0 ? 0 : (L + 1) * (L + 2) * (L + 3) / 6; }

// Calls f(j1, j2, j3, at) for every stored triple to J in triple order, at
// the index of the triple in a table with that parity flag.
template <class F>
void for_triples(int J, int parity, F f) {
  int64_t at = 0;
  for (int j1 = 0; j1 <= J; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++)
        if (stored(parity, j1, j2, j3)) f(j1, j2, j3, at++);
}

// The C02 recursion over all triples to J, in any number type. The caller's
// op keeps two working values, slot 0 (the first C02 of a (j1, j2) row) and
// slot 1 (the running value along j3): op.one(slot), op.copy(to, from),
// op.mul(slot, num, den) (times num/den) and op.store(at, slot, j1, j2, j3)
// for each stored triple. Values of triples that are not stored still carry the chain.
template <class Op>
void c02_chain(int J, int parity, Op& op) {
  int64_t at = 0;
  for (int j1 = 0; j1 <= J; j1++) {
    op.one(0);  // C02(j1, 0, j1)
    for (int j2 = 0; j2 <= j1; j2++) {
      if (j2 > 0) op.mul(0, j1 + j2, 2 * (2 * (j1 - j2) + 3));
      op.copy(1, 0);
      const unsigned long a = j1 - j2, b = j1 + j2;
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        if (j3 > j1 - j2) {
          const unsigned long k = j3 - 1;  // step from j3-1 to j3
          op.mul(1, (2 * k + 3) * (a + k + 1) * (b - k), (2 * k + 1) * (k - a + 1) * (b + k + 2));
        }
        if (stored(parity, j1, j2, j3)) op.store(at++, 1, j1, j2, j3);
      }
    }
  }
}

// The G0 recursion, as c02_chain with three slots: 0 the value of (j1, 0, j1),
// 1 the first of a (j1, j2) row, 2 the running value. Every mul divides
// exactly in integers.
template <class Op>
void g0_chain(int J, int parity, Op& op) {
  int64_t at = 0;
  op.one(0);
  for (int j1 = 0; j1 <= J; j1++) {
    if (j1 > 0) op.mul(0, 4 * j1 - 2, j1);  // the central binomial coefficient
    op.copy(1, 0);
    for (int j2 = 0; j2 <= j1; j2++) {
      if (j2 > 0) op.mul(1, j1 - j2 + 1, 4 * (j1 - j2) + 2);
      op.copy(2, 1);
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        if (j3 > j1 - j2) op.mul(2, j3 + j1 - j2, j3);
        if (stored(parity, j1, j2, j3)) op.store(at++, 2, j1, j2, j3);
      }
    }
  }
}

// One step of the ladder over (m1, m2) from the previous point (m1', m2')
// (index prev, and prev2 for the point before it, -1 at the first step):
// next = (c1 at prev - c2 at prev2) / d for the integer-style members, the
// norm ratio d/qd, and for the square-root members sqrt(c2 a2) in place of c2
// and sqrt(d qd) in place of d.
struct LadderStep {
  int64_t at, prev, prev2;
  long c1, c2, d, qd, a2;
};

// Runs the ladder of one triple at the m3 of r12 in any number type: calls
// op.step(LadderStep) for m2 = first+1 up to the middle of a symmetric (m3 = 0)
// ladder or its end, then returns op.finish(first, middle, last), which writes
// the coefficients and mirrors the rest of a symmetric ladder. Indices are
// L + m2.
template <class Op>
int64_t m1m2_walk(int L, int j1, int j2, int j3, _m12ranges r12, Op& op) {
  const int m3 = r12.m1_first + r12.m2_first;
  const int B = r12.m2_first, E = r12.m2_last;
  const bool symmetric = r12.m1_last == B && r12.m1_first == E;
  const int M = symmetric ? B + (E - B) / 2 : E;
  const long K = static_cast<long>(j3) * (j3 + 1) - static_cast<long>(j1) * (j1 + 1) - static_cast<long>(j2) * (j2 + 1);
  for (int m2 = B + 1; m2 <= M; m2++) {
    const long p1 = m3 - m2 + 1, p2 = m2 - 1;
    LadderStep s;
    s.at = L + m2;
    s.prev = L + p2;
    s.prev2 = m2 > B + 1 ? L + p2 - 1 : -1;
    s.c1 = K - 2 * p1 * p2;
    s.c2 = (j1 + p1 + 1) * (j2 - p2 + 1);
    s.d = (j1 - p1 + 1) * (j2 + p2 + 1);
    s.qd = (j1 + p1) * (j2 - p2);
    s.a2 = (j2 + p2) * (j1 - p1);
    op.step(s);
  }
  return op.finish(B, M, E);
}

// The first point of every ladder over m3 from that of m3 = 0, for a triple
// and the range lo..hi: calls step(from, to, t, g, q) for each new m3 `to`
// next to `from`, where t = {num, den} is the ratio of the squared first-point
// coefficients, g the ratio of the integer start values (always a whole
// result: they are binomial coefficients) and q = t/g^2 the ratio of the norms.
// Returns the number of steps.
struct Ratio {
  unsigned long num, den;
};
template <class Step>
int top_walk(int j1, int j2, int j3, int lo, int hi, Step step) {
  const long u = j1 - j2, s = j1 + j2 - j3, t = j2 - j1 + j3;
  int low = -j3;
  if (lo > low) low = lo;
  if (-(j1 + j2) > low) low = -(j1 + j2);
  if (hi > j3) hi = j3;  // no ladder above m3 = j3
  int n = 0;
  for (long k = 0; -(k + 1) >= low; k++, n++)
    step(-k, -(k + 1), Ratio{static_cast<unsigned long>((t + u + 1 + k) * (j3 - k)),
                             static_cast<unsigned long>((s + j3 - k) * (u + 1 + k))},
         Ratio{static_cast<unsigned long>(j3 - k), static_cast<unsigned long>(u + 1 + k)},
         Ratio{static_cast<unsigned long>((j3 + 1 + k) * (u + 1 + k)), static_cast<unsigned long>((s + j3 - k) * (j3 - k))});
  const long up = hi < u ? hi : u;
  for (long k = 0; k + 1 <= up; k++, n++)
    step(k, k + 1, Ratio{static_cast<unsigned long>((s + j3 + 1 + k) * (u - k)),
                         static_cast<unsigned long>((t + u - k) * (j3 + 1 + k))},
         Ratio{static_cast<unsigned long>(u - k), static_cast<unsigned long>(j3 + 1 + k)},
         Ratio{static_cast<unsigned long>((s + j3 + 1 + k) * (j3 + 1 + k)), static_cast<unsigned long>((j3 - k) * (u - k))});
  for (long k = 0; u + k + 1 <= hi; k++, n++)
    step(u + k, u + k + 1, Ratio{static_cast<unsigned long>((t - k) * (u + j3 + 1 + k)),
                                 static_cast<unsigned long>((2 * j2 - k) * (k + 1))},
         Ratio{static_cast<unsigned long>(t - k), static_cast<unsigned long>(k + 1)},
         Ratio{static_cast<unsigned long>((u + j3 + 1 + k) * (k + 1)), static_cast<unsigned long>((2 * j2 - k) * (t - k))});
  return n;
}

}  // namespace yib_shared
