// Ladders over m3: from the finished m3 = 0 row of a plane to the other rows
// of a triple by the raising relation (upwards) and the lowering relation
// (downwards). The integer members keep Z and Q with the invariant
// Q(m1, m2, m3) B(2j1, j1+m1) B(2j2, j2+m2) B(2j3, j3+m3) fixed along the
// triple, which keeps every division of Z exact.
#include <cmath>

#include "runtime/zam_log.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_yib_num.h"

namespace {

using yib_shared::ld_of;
using yib_shared::mirror_point;
using yib_shared::set_signed;

// One point of a destination row and its sources on the previous row. The
// source a is the point with the same m2, b the one with m2 one off (below
// it upwards, above it downwards); a missing source has index -1. Z moves by
// (wa Z_a + wb Z_b) / div; the coefficients by sqrt(sa/sd) CG_a + sqrt(sb/sd)
// CG_b. The norm of the row's first point comes from the source `qfrom` by
// qnum/qden; later points from the point before them by qnum/qden.
struct M3Point {
  int64_t at, a, b;
  long wa, wb, div;
  long sa, sb, sd;
  int64_t qfrom;
  long qnum, qden;
};

// Walks the rows of lo..hi away from m3 = 0 and calls op.point(p) for each
// computed point, op.value(at) once its Z and Q are set, and op.mirror(to,
// from, negate) for the second half of a symmetric row. Returns the number
// of points of the rows written.
template <class Op>
int64_t m3_sweep(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, Op& op) {
  const int64_t W = 2 * L + 1;
  const bool odd = yib_shared::odd_mirror(j1, j2, j3);
  int64_t count = 0;
  for (int dir = 1; dir >= -1; dir -= 2) {
    const int last = dir > 0 ? hi : lo;
    for (int m3 = dir; dir * m3 <= dir * last; m3 += dir) {
      const _m12ranges S = R[2 * L + m3 - dir], D = R[2 * L + m3];
      if (D.m2_last < D.m2_first) continue;
      const bool symmetric = D.m1_last == D.m2_first && D.m1_first == D.m2_last;
      const int M = symmetric ? D.m2_first + (D.m2_last - D.m2_first) / 2 : D.m2_last;
      const int64_t src = W * (2 * L + m3 - dir) + L, dst = W * (2 * L + m3) + L;
      auto on_source = [&](int m2) { return m2 >= S.m2_first && m2 <= S.m2_last; };
      for (int m2 = D.m2_first; m2 <= M; m2++) {
        const long m1 = m3 - m2;
        M3Point p;
        p.at = dst + m2;
        if (dir > 0) {
          p.a = on_source(m2) ? src + m2 : -1;          // (m1-1, m2; m3-1)
          p.b = on_source(m2 - 1) ? src + m2 - 1 : -1;  // (m1, m2-1; m3-1)
          p.wa = j1 - m1 + 1;
          p.wb = j2 - m2 + 1;
          p.div = j3 + m3;
          p.sa = (j1 + m1) * (j1 - m1 + 1);
          p.sb = static_cast<long>(j2 + m2) * (j2 - m2 + 1);
          p.sd = static_cast<long>(j3 - m3 + 1) * (j3 + m3);
        } else {
          p.a = on_source(m2) ? src + m2 : -1;          // (m1+1, m2; m3+1)
          p.b = on_source(m2 + 1) ? src + m2 + 1 : -1;  // (m1, m2+1; m3+1)
          p.wa = j1 + m1 + 1;
          p.wb = j2 + m2 + 1;
          p.div = j3 - m3;
          p.sa = (j1 - m1) * (j1 + m1 + 1);
          p.sb = static_cast<long>(j2 - m2) * (j2 + m2 + 1);
          p.sd = static_cast<long>(j3 + m3 + 1) * (j3 - m3);
        }
        if (m2 > D.m2_first) {
          p.qfrom = p.at - 1;
          p.qnum = (j1 - m1) * (j2 + m2);
          p.qden = (j1 + m1 + 1) * (j2 - m2 + 1);
        } else if (dir < 0) {  // the first point moves down by m1 only
          p.qfrom = src + m2;
          p.qnum = (j1 - m1) * (j3 - m3);
          p.qden = (j3 + m3 + 1) * (j1 + m1 + 1);
        } else if (S.m1_first + 1 == D.m1_first) {
          p.qfrom = src + m2;
          p.qnum = (j1 + m1) * (j3 + m3);
          p.qden = (j3 - m3 + 1) * (j1 - m1 + 1);
        } else {
          p.qfrom = src + m2 - 1;
          p.qnum = static_cast<long>(j2 + m2) * (j3 + m3);
          p.qden = static_cast<long>(j3 - m3 + 1) * (j2 - m2 + 1);
        }
        op.point(p);
      }
      for (int m2 = M + 1; m2 <= D.m2_last; m2++) op.mirror(dst + m2, dst + D.m2_first + D.m2_last - m2, odd);
      count += D.m2_last - D.m2_first + 1;
    }
  }
  return count;
}

// The largest j1 whose whole sweep the long-double members hold to 1e-10.
constexpr int kLongDoubleTop = 24;

// Warns (once per member) of a long-double sweep beyond that j1.
void check_sweep(const char* who, int j1, int lo, int hi) {
  if (j1 > kLongDoubleTop && (lo < 0 || hi > 0))
    zam_wrn_once(who, "%s: j1 = %d is beyond the long-double ladder over m3, which holds to 1e-10 only up to "
                 "j1 = %d.\n", who, j1, kLongDoubleTop);
}

// Norms in long double, shared by the members that keep them so.
void norm_step(long double* Q, const M3Point& p) { Q[p.at] = Q[p.qfrom] * (static_cast<long double>(p.qnum) / p.qden); }

}  // namespace

int64_t yib_ladder_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double s,
                          long double* Z, long double* Q, long double* V) {
  check_sweep("yib_ladder_m3_dbl", j1, lo, hi);
  struct {
    long double s, *Z, *Q, *V;
    void point(const M3Point& p) {
      long double n = 0;
      if (p.a >= 0) n += p.wa * Z[p.a];
      if (p.b >= 0) n += p.wb * Z[p.b];
      Z[p.at] = n / p.div;
      norm_step(Q, p);
      V[p.at] = Z[p.at] * std::sqrt(s * Q[p.at]);
    }
    void mirror(int64_t to, int64_t from, bool neg) { mirror_point(Z, Q, V, to, from, neg); }
  } op{s, Z, Q, V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}

int64_t yib_ladder_m3_long(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, int64_t* Z,
                           long double* Q, long double* V) {
  struct {
    int64_t* Z;
    long double *Q, *V;
    bool over;
    void point(const M3Point& p) {
      __int128 n = 0;
      if (p.a >= 0) n += static_cast<__int128>(p.wa) * Z[p.a];
      if (p.b >= 0) n += static_cast<__int128>(p.wb) * Z[p.b];
      over |= !yib_shared::fit64(n / p.div, &Z[p.at]);
      norm_step(Q, p);
      V[p.at] = static_cast<long double>(Z[p.at]) * std::sqrt(Q[p.at]);
    }
    void mirror(int64_t to, int64_t from, bool neg) { mirror_point(Z, Q, V, to, from, neg); }
  } op{Z, Q, V, false};
  const int64_t n = m3_sweep(L, j1, j2, j3, lo, hi, R, op);
  return op.over ? -1 : n;
}

int64_t yib_ladder_m3_mpz(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpz_t* tz, mpz_t* Z,
                          long double* Q, long double* V) {
  struct {
    mpz_t *tz, *Z;
    long double *Q, *V;
    void point(const M3Point& p) {
      mpz_set_ui(tz[0], 0);
      if (p.a >= 0) mpz_addmul_ui(tz[0], Z[p.a], static_cast<unsigned long>(p.wa));
      if (p.b >= 0) mpz_addmul_ui(tz[0], Z[p.b], static_cast<unsigned long>(p.wb));
      mpz_divexact_ui(Z[p.at], tz[0], static_cast<unsigned long>(p.div));
      norm_step(Q, p);
      V[p.at] = ld_of(Z[p.at]) * std::sqrt(Q[p.at]);
    }
    void mirror(int64_t to, int64_t from, bool neg) { mirror_point(Z, Q, V, to, from, neg); }
  } op{tz, Z, Q, V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}

int64_t yib_ladder_m3_mpq(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpz_t* tz, mpq_t* tq,
                          mpz_t* Z, mpq_t* Q, long double* V) {
  struct {
    mpz_t* tz;
    mpq_t* tq;
    mpz_t* Z;
    mpq_t* Q;
    long double* V;
    void point(const M3Point& p) {
      mpz_set_ui(tz[0], 0);
      if (p.a >= 0) mpz_addmul_ui(tz[0], Z[p.a], static_cast<unsigned long>(p.wa));
      if (p.b >= 0) mpz_addmul_ui(tz[0], Z[p.b], static_cast<unsigned long>(p.wb));
      mpz_divexact_ui(Z[p.at], tz[0], static_cast<unsigned long>(p.div));
      mpq_set_ui(tq[0], static_cast<unsigned long>(p.qnum), static_cast<unsigned long>(p.qden));
      mpq_canonicalize(tq[0]);
      mpq_mul(Q[p.at], Q[p.qfrom], tq[0]);
      V[p.at] = ld_of(Z[p.at]) * std::sqrt(ld_of(Q[p.at]));
    }
    void mirror(int64_t to, int64_t from, bool neg) { mirror_point(Z, Q, V, to, from, neg); }
  } op{tz, tq, Z, Q, V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}

int64_t yib_ladder_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpf_t* tf,
                          long double s, mpf_t* Z, mpf_t* Q, long double* V) {
  struct {
    mpf_t* tf;
    long double s;
    mpf_t *Z, *Q;
    long double* V;
    void point(const M3Point& p) {
      mpf_set_ui(tf[0], 0);
      if (p.a >= 0) yib_shared::add_product(tf[0], tf[1], Z[p.a], static_cast<unsigned long>(p.wa));
      if (p.b >= 0) yib_shared::add_product(tf[0], tf[1], Z[p.b], static_cast<unsigned long>(p.wb));
      mpf_div_ui(Z[p.at], tf[0], static_cast<unsigned long>(p.div));
      mpf_mul_ui(Q[p.at], Q[p.qfrom], static_cast<unsigned long>(p.qnum));
      mpf_div_ui(Q[p.at], Q[p.at], static_cast<unsigned long>(p.qden));
      V[p.at] = ld_of(Z[p.at]) * std::sqrt(s * ld_of(Q[p.at]));
    }
    void mirror(int64_t to, int64_t from, bool neg) { mirror_point(Z, Q, V, to, from, neg); }
  } op{tf, s, Z, Q, V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}

int64_t yib_laddersq_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double* V) {
  check_sweep("yib_laddersq_m3_dbl", j1, lo, hi);
  struct {
    long double* V;
    void point(const M3Point& p) {
      long double v = 0;
      if (p.a >= 0) v += std::sqrt(static_cast<long double>(p.sa) / p.sd) * V[p.a];
      if (p.b >= 0) v += std::sqrt(static_cast<long double>(p.sb) / p.sd) * V[p.b];
      V[p.at] = v;
    }
    void mirror(int64_t to, int64_t from, bool neg) { set_signed(V[to], V[from], neg); }
  } op{V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}

int64_t yib_laddersq_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, mpf_t* tf,
                            long double s, mpf_t* Z, mpf_t* Q, long double* V) {
  if (lo == 0 && hi == 0) return 0;
  // The m3 = 0 row becomes the coefficients themselves: Z sqrt(Q) sqrt(s),
  // sqrt(s) set once from its long-double root rounded to a double.
  const int64_t row0 = (2 * L + 1) * static_cast<int64_t>(2 * L) + L;
  const _m12ranges r0 = R[2 * L];
  mpf_set_d(tf[2], static_cast<double>(std::sqrt(s)));
  for (int m2 = r0.m2_first; m2 <= r0.m2_last; m2++) {
    mpf_sqrt(tf[0], Q[row0 + m2]);
    mpf_mul(tf[0], tf[0], tf[2]);
    mpf_mul(Z[row0 + m2], Z[row0 + m2], tf[0]);
  }
  struct {
    mpf_t *tf, *Z;
    long double* V;
    void term(int64_t from, long num, long den) {
      mpf_set_ui(tf[1], static_cast<unsigned long>(num));
      mpf_div_ui(tf[1], tf[1], static_cast<unsigned long>(den));
      mpf_sqrt(tf[1], tf[1]);
      mpf_mul(tf[1], tf[1], Z[from]);
      mpf_add(tf[0], tf[0], tf[1]);
    }
    void point(const M3Point& p) {
      mpf_set_ui(tf[0], 0);
      if (p.a >= 0) term(p.a, p.sa, p.sd);
      if (p.b >= 0) term(p.b, p.sb, p.sd);
      mpf_set(Z[p.at], tf[0]);
      V[p.at] = ld_of(Z[p.at]);
    }
    void mirror(int64_t to, int64_t from, bool neg) {
      set_signed(Z[to], Z[from], neg);
      set_signed(V[to], V[from], neg);
    }
  } op{tf, Z, V};
  return m3_sweep(L, j1, j2, j3, lo, hi, R, op);
}
