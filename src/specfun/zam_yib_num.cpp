#include "specfun/zam_yib_num.h"

#include <cmath>

#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_mp.h"

namespace {

using yib_shared::ld_of;
using yib_shared::LadderStep;
using yib_shared::mirror_row;
using yib_shared::odd_mirror;
using yib_shared::Ratio;

// The largest unsigned 64-bit integer, exact in long double.
constexpr long double kULongMax = 18446744073709551615.0L;

// Makes a table (make()) and reports its size, time and rate.
template <class Make>
void timed(const char* table, const char* kind, int J, int parity, Make make) {
  const double t0 = zam_get_time();
  make();
  const double dt = zam_get_time() - t0;
  const long n = static_cast<long>(yib_j1j2j3_dim(J, parity));
  zam_msg("Done %ld %s coefficients (%s) to J = %d in %.4fs (%.2f/s)\n", n, table, kind, J, dt, n / dt);
}

// Working values of the seed chains in long double.
struct LongDoubleChain {
  long double v[3];
  long double* out;
  void one(int i) { v[i] = 1; }
  void copy(int to, int from) { v[to] = v[from]; }
  void mul(int i, unsigned long n, unsigned long d) { v[i] *= static_cast<long double>(n) / d; }
  void store(int64_t at, int i, int, int, int) { out[at] = v[i]; }
};

// What the ladder ops over (m1, m2) in long double or GMP floats hold: the
// triple, the squared first coefficient c, the row's values Z, norms Q and
// coefficients V, and the GMP temporaries tf (null in long double).
template <class T>
struct RowOp {
  int L, j1, j2, j3;
  long double c;
  mpf_t* tf;
  T *Z, *Q;
  long double* V;
};

void set_one(long double& v) { v = 1; }
void set_one(mpf_ptr v) { mpf_set_ui(v, 1); }

// Seeds the row's first point (Z = Q = 1) and runs the ladder of op.
template <class Op>
int64_t seeded_walk(_m12ranges r12, Op& op) {
  set_one(op.Z[op.L + r12.m2_first]);
  set_one(op.Q[op.L + r12.m2_first]);
  return yib_shared::m1m2_walk(op.L, op.j1, op.j2, op.j3, r12, op);
}

// Range of a long-double ladder over (m1, m2) on a row of m3 other than 0
// (a row of m3 = 0 holds to 1e-16 at every j1). Such a row runs the
// three-term recursion from its top towards a far end whose coefficient is
// tiny when j3 lies well above j1 (6.6e-30 at <50 -50; 49 49 | 99 -1>), so
// the rounding of the larger values swamps it; for j3 <= j1 the loss is
// milder. The largest j1 at which every row of m3 != 0 holds to 1e-10
// (absolute) against the exact ladders, over every triple and over the
// triples with j3 <= j1, as measured for each member.
struct RowRange {
  const char* who;
  int every;  // every triple
  int low;    // triples with j3 <= j1
};
constexpr RowRange kPlainRows{"yib_ladder_m1m2_dbl", 19, 44};
constexpr RowRange kRootRows{"yib_laddersq_m1m2_dbl", 18, 36};

// Warns (once per member and process) of a row of m3 != 0 beyond that range.
void check_row(const RowRange& r, int j1, int j2, int j3, _m12ranges r12) {
  const int m3 = r12.m1_first + r12.m2_first;
  if (m3 != 0 && j1 > (j3 <= j1 ? r.low : r.every))
    zam_wrn_once(r.who,
                 "%s: the row m3 = %d of (%d, %d, %d) is beyond the long-double ladder over (m1, m2) away from "
                 "m3 = 0, which holds to 1e-10 only up to j1 = %d (%d when j3 <= j1).\n",
                 r.who, m3, j1, j2, j3, r.every, r.low);
}

}  // namespace

void yib_c02_dbl(int J, int parity, long double* C02) {
  LongDoubleChain op{{1, 1, 1}, C02};
  yib_shared::c02_chain(J, parity, op);
}

void yib_c02_mpf(int J, int parity, mpf_t* C02) {
  struct {
    mpf_t v[2];
    mpf_t* out;
    void one(int i) { mpf_set_ui(v[i], 1); }
    void copy(int to, int from) { mpf_set(v[to], v[from]); }
    void mul(int i, unsigned long n, unsigned long d) {
      mpf_mul_ui(v[i], v[i], n);
      mpf_div_ui(v[i], v[i], d);
    }
    void store(int64_t at, int i, int, int, int) { mpf_set(out[at], v[i]); }
  } op;
  mp_setup();
  mpf_inits(op.v[0], op.v[1], nullptr);
  op.out = C02;
  yib_shared::c02_chain(J, parity, op);
  mpf_clears(op.v[0], op.v[1], nullptr);
}

void yib_c02_mpz(int J, int parity, mpz_t* NUM, mpz_t* DEN) {
  struct {
    mpz_t num[2], den[2];
    mpz_t *NUM, *DEN;
    void one(int i) {
      mpz_set_ui(num[i], 1);
      mpz_set_ui(den[i], 1);
    }
    void copy(int to, int from) {
      mpz_set(num[to], num[from]);
      mpz_set(den[to], den[from]);
    }
    void mul(int i, unsigned long n, unsigned long d) {
      mpz_mul_ui(num[i], num[i], n);
      mpz_mul_ui(den[i], den[i], d);
    }
    void store(int64_t at, int i, int, int, int) {
      mpz_set(NUM[at], num[i]);
      mpz_set(DEN[at], den[i]);
    }
  } op;
  mpz_inits(op.num[0], op.num[1], op.den[0], op.den[1], nullptr);
  op.NUM = NUM;
  op.DEN = DEN;
  yib_shared::c02_chain(J, parity, op);
  mpz_clears(op.num[0], op.num[1], op.den[0], op.den[1], nullptr);
}

void yib_g0_dbl(int J, int parity, long double* G0) {
  LongDoubleChain op{{1, 1, 1}, G0};
  yib_shared::g0_chain(J, parity, op);
  // The 64-bit integer members need G0 within 64 bits: name the first
  // triple beyond and the largest value before it.
  long double big = 0;
  int b1 = 0, b2 = 0, b3 = 0;
  bool over = false;
  yib_shared::for_triples(J, parity, [&](int j1, int j2, int j3, int64_t at) {
    if (over) return;
    if (G0[at] > kULongMax) {
      zam_msg("Exceeded ULONG_MAX at B[%3d,%3d,%3d]\n", j1, j2, j3);
      over = true;
      return;
    }
    if (G0[at] > big) {
      big = G0[at];
      b1 = j1;
      b2 = j2;
      b3 = j3;
    }
  });
  zam_msg("Largest G0[%3d,%3d,%3d] = %25.18Le\n", b1, b2, b3, big);
}

void yib_c02_dbl_timed(int J, int parity, long double* C02) {
  timed("C02", "DBL", J, parity, [&] { yib_c02_dbl(J, parity, C02); });
}

void yib_c02_mpf_timed(int J, int parity, mpf_t* C02) {
  timed("C02", "MPF", J, parity, [&] { yib_c02_mpf(J, parity, C02); });
}

void yib_c02_mpq_timed(int J, int parity, mpq_t* C02) {
  timed("C02", "MPQ", J, parity, [&] { yib_c02_mpq(J, parity, C02); });
}

void yib_c02_mpz_timed(int J, int parity, mpz_t* NUM, mpz_t* DEN) {
  timed("C02", "MPZ", J, parity, [&] { yib_c02_mpz(J, parity, NUM, DEN); });
}

void yib_g0_dbl_timed(int J, int parity, long double* G0) {
  timed("G0 ", "DBL", J, parity, [&] { yib_g0_dbl(J, parity, G0); });
}

void yib_g0_mpz_timed(int J, int parity, mpz_t* G0) {
  timed("G0 ", "MPZ", J, parity, [&] { yib_g0_mpz(J, parity, G0); });
}

int yib_top_m3_dbl(int L, int j1, int j2, int j3, int lo, int hi, long double* T) {
  long double* t0 = T + 2 * L;
  return yib_shared::top_walk(j1, j2, j3, lo, hi, [&](long from, long to, Ratio t, Ratio, Ratio) {
    t0[to] = t0[from] * (static_cast<long double>(t.num) / t.den);
  });
}

int yib_top_m3_mpf(int L, int j1, int j2, int j3, int lo, int hi, mpf_t*, mpf_t* T) {
  mpf_t* t0 = T + 2 * L;
  return yib_shared::top_walk(j1, j2, j3, lo, hi, [&](long from, long to, Ratio t, Ratio, Ratio) {
    mpf_mul_ui(t0[to], t0[from], t.num);
    mpf_div_ui(t0[to], t0[to], t.den);
  });
}

int yib_top_m3_mpq(int L, int j1, int j2, int j3, int lo, int hi, mpz_t*, mpq_t* tq, mpz_t* G, mpq_t* Q) {
  mpz_t* g0 = G + 2 * L;
  mpq_t* q0 = Q + 2 * L;
  return yib_shared::top_walk(j1, j2, j3, lo, hi, [&](long from, long to, Ratio, Ratio g, Ratio q) {
    mpz_mul_ui(g0[to], g0[from], g.num);
    mpz_fdiv_q_ui(g0[to], g0[to], g.den);
    mpq_set_ui(tq[0], q.num, q.den);
    mpq_canonicalize(tq[0]);
    mpq_mul(q0[to], q0[from], tq[0]);
  });
}

int yib_top_m3_mpz(int L, int j1, int j2, int j3, int lo, int hi, mpz_t*, mpz_t* G, long double* Q) {
  mpz_t* g0 = G + 2 * L;
  long double* q0 = Q + 2 * L;
  return yib_shared::top_walk(j1, j2, j3, lo, hi, [&](long from, long to, Ratio, Ratio g, Ratio q) {
    mpz_mul_ui(g0[to], g0[from], g.num);
    mpz_fdiv_q_ui(g0[to], g0[to], g.den);
    q0[to] = q0[from] * (static_cast<long double>(q.num) / q.den);
  });
}

int64_t yib_ladder_m1m2_mpz(int L, int j1, int j2, int j3, _m12ranges r12, mpz_t* tz, mpz_t* Z, long double* Q,
                            long double* V) {
  struct {
    int L, j1, j2, j3;
    mpz_t *tz, *Z;
    long double *Q, *V;
    void step(const LadderStep& s) {
      mpz_mul_si(tz[0], Z[s.prev], s.c1);
      if (s.prev2 >= 0) {
        mpz_mul_si(tz[1], Z[s.prev2], s.c2);
        mpz_sub(tz[0], tz[0], tz[1]);
      }
      mpz_divexact_ui(Z[s.at], tz[0], static_cast<unsigned long>(s.d));
      Q[s.at] = Q[s.prev] * (static_cast<long double>(s.d) / s.qd);
    }
    int64_t finish(int b, int m, int e) { return yib_scale_m1m2_mpz(L, j1, j2, j3, b, m, e, Z, Q, V); }
  } op{L, j1, j2, j3, tz, Z, Q, V};
  return yib_shared::m1m2_walk(L, j1, j2, j3, r12, op);
}

int64_t yib_scale_m1m2_mpz(int L, int j1, int j2, int j3, int b, int m, int e, mpz_t* Z, long double* Q,
                           long double* V) {
  for (int m2 = b; m2 <= m; m2++) V[L + m2] = ld_of(Z[L + m2]) * std::sqrt(Q[L + m2]);
  return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);
}

int64_t yib_ladder_m1m2_long(int L, int j1, int j2, int j3, _m12ranges r12, int64_t* Z, long double* Q,
                             long double* V) {
  struct {
    int L, j1, j2, j3;
    int64_t* Z;
    long double *Q, *V;
    bool over;
    void step(const LadderStep& s) {
      // The products may pass 64 bits where the quotient does not.
      __int128 n = static_cast<__int128>(s.c1) * Z[s.prev];
      if (s.prev2 >= 0) n -= static_cast<__int128>(s.c2) * Z[s.prev2];
      over |= !yib_shared::fit64(n / s.d, &Z[s.at]);
      Q[s.at] = Q[s.prev] * (static_cast<long double>(s.d) / s.qd);
    }
    int64_t finish(int b, int m, int e) { return yib_scale_m1m2_long(L, j1, j2, j3, b, m, e, Z, Q, V); }
  } op{L, j1, j2, j3, Z, Q, V, false};
  const int64_t n = yib_shared::m1m2_walk(L, j1, j2, j3, r12, op);
  return op.over ? -1 : n;
}

int64_t yib_scale_m1m2_long(int L, int j1, int j2, int j3, int b, int m, int e, int64_t* Z, long double* Q,
                            long double* V) {
  for (int m2 = b; m2 <= m; m2++) V[L + m2] = std::sqrt(Q[L + m2]) * static_cast<long double>(Z[L + m2]);
  return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);
}

int64_t yib_ladder_m1m2_dbl(int L, int j1, int j2, int j3, _m12ranges r12, long double c, long double* Z,
                            long double* Q, long double* V) {
  check_row(kPlainRows, j1, j2, j3, r12);
  struct Op : RowOp<long double> {
    void step(const LadderStep& s) {
      long double n = s.c1 * Z[s.prev];
      if (s.prev2 >= 0) n -= s.c2 * Z[s.prev2];
      Z[s.at] = n / s.d;
      Q[s.at] = Q[s.prev] * (static_cast<long double>(s.d) / s.qd);
    }
    int64_t finish(int b, int m, int e) { return yib_scale_m1m2_dbl(L, j1, j2, j3, b, m, e, c, Z, Q, V); }
  } op{{L, j1, j2, j3, c, nullptr, Z, Q, V}};
  return seeded_walk(r12, op);
}

int64_t yib_scale_m1m2_dbl(int L, int j1, int j2, int j3, int b, int m, int e, long double c, long double* Z,
                           long double* Q, long double* V) {
  for (int m2 = b; m2 <= m; m2++) V[L + m2] = std::sqrt(Q[L + m2] * c) * Z[L + m2];
  return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);
}

int64_t yib_ladder_m1m2_mpf(int L, int j1, int j2, int j3, _m12ranges r12, long double c, mpf_t* tf, mpf_t* Z,
                            mpf_t* Q, long double* V) {
  struct Op : RowOp<mpf_t> {
    void step(const LadderStep& s) {
      yib_shared::mul_si(tf[0], Z[s.prev], s.c1);
      if (s.prev2 >= 0) yib_shared::sub_product(tf[0], tf[1], Z[s.prev2], static_cast<unsigned long>(s.c2));
      mpf_div_ui(Z[s.at], tf[0], static_cast<unsigned long>(s.d));
      mpf_mul_ui(Q[s.at], Q[s.prev], static_cast<unsigned long>(s.d));
      mpf_div_ui(Q[s.at], Q[s.at], static_cast<unsigned long>(s.qd));
    }
    int64_t finish(int b, int m, int e) { return yib_scale_m1m2_mpf(L, j1, j2, j3, b, m, e, c, Z, Q, V); }
  } op{{L, j1, j2, j3, c, tf, Z, Q, V}};
  return seeded_walk(r12, op);
}

int64_t yib_scale_m1m2_mpf(int L, int j1, int j2, int j3, int b, int m, int e, long double c, mpf_t* Z, mpf_t* Q,
                           long double* V) {
  for (int m2 = b; m2 <= m; m2++) V[L + m2] = std::sqrt(ld_of(Q[L + m2]) * c) * ld_of(Z[L + m2]);
  return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);
}

int64_t yib_ladder_m1m2_gmp(int L, int j1, int j2, int j3, int m3, mpf_t* tf, _m12ranges r12, mpf_t* Z, mpf_t* Q,
                            long double* V) {
  mp_wcc(j1, j2, j3, r12.m1_first, r12.m2_first, m3, tf[0]);
  mpf_mul(tf[0], tf[0], tf[0]);
  return yib_ladder_m1m2_mpf(L, j1, j2, j3, r12, ld_of(tf[0]), tf, Z, Q, V);
}

int64_t yib_laddersq_m1m2_dbl(int L, int j1, int j2, int j3, _m12ranges r12, long double c, long double* Z,
                              long double* Q, long double* V) {
  check_row(kRootRows, j1, j2, j3, r12);
  struct Op : RowOp<long double> {
    void step(const LadderStep& s) {
      long double n = s.c1 * Z[s.prev];
      if (s.prev2 >= 0) n -= std::sqrt(static_cast<long double>(s.c2 * s.a2)) * Z[s.prev2];
      Z[s.at] = n / std::sqrt(static_cast<long double>(s.d * s.qd));
      Q[s.at] = 1;
    }
    int64_t finish(int b, int m, int e) {
      const long double r = std::sqrt(c);
      for (int m2 = b; m2 <= m; m2++) V[L + m2] = r * Z[L + m2];
      return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);  // every Q is 1
    }
  } op{{L, j1, j2, j3, c, nullptr, Z, Q, V}};
  return seeded_walk(r12, op);
}

int64_t yib_laddersq_m1m2_mpf(int L, int j1, int j2, int j3, _m12ranges r12, long double c, mpf_t* tf, mpf_t* Z,
                              mpf_t* Q, long double* V) {
  struct Op : RowOp<mpf_t> {
    void step(const LadderStep& s) {
      yib_shared::mul_si(tf[0], Z[s.prev], s.c1);
      if (s.prev2 >= 0) {
        mpf_sqrt_ui(tf[2], static_cast<unsigned long>(s.c2 * s.a2));
        mpf_mul(tf[1], Z[s.prev2], tf[2]);
        mpf_sub(tf[0], tf[0], tf[1]);
      }
      mpf_sqrt_ui(tf[3], static_cast<unsigned long>(s.d * s.qd));
      mpf_div(Z[s.at], tf[0], tf[3]);
      mpf_set_ui(Q[s.at], 1);
    }
    int64_t finish(int b, int m, int e) {
      const long double r = std::sqrt(c);
      for (int m2 = b; m2 <= m; m2++) V[L + m2] = r * ld_of(Z[L + m2]);
      return mirror_row(L, j1, j2, j3, b, m, e, Z, Q, V);  // every Q is 1
    }
  } op{{L, j1, j2, j3, c, tf, Z, Q, V}};
  return seeded_walk(r12, op);
}

int64_t yib_m1m2m3_fac(int L, int j1, int j2, int j3, int lo, int hi, const _m12ranges* R, long double* V) {
  if (lo > hi) return 0;
  const int64_t W = 2 * L + 1;
  const bool odd = odd_mirror(j1, j2, j3);
  int64_t n = 0;
  for (int m3 = lo; m3 <= hi; m3++) {
    const _m12ranges r = R[2 * L + m3];
    const int B = r.m2_first, E = r.m2_last;
    if (E < B) continue;
    long double* row = V + W * (2 * L + m3) + L;
    const bool symmetric = r.m1_last == B && r.m1_first == E;
    const int M = symmetric ? B + (E - B) / 2 : E;
    for (int m2 = B; m2 <= M; m2++) row[m2] = wcc_mp(j1, j2, j3, m3 - m2, m2, m3);
    for (int m2 = M + 1; m2 <= E; m2++) row[m2] = odd ? -row[B + E - m2] : row[B + E - m2];
    n += E - B + 1;
  }
  return n;
}

int64_t yib_c02_m3_dbl(int J, int parity, const long double* C02) {
  if (J < 0) return 0;
  long double* T = static_cast<long double*>(kget1B_0((4 * J + 1) * static_cast<int64_t>(sizeof(long double))));
  mpf_t f;
  mpf_init(f);
  struct {
    int j[6] = {0, 0, 0, 0, 0, 0};
    long double value = 0, ref = 0, err = 0;
  } worst;
  int64_t n = 0;
  const double t0 = zam_get_time();
  yib_shared::for_triples(J, parity, [&](int j1, int j2, int j3, int64_t at) {
    const _m3ranges r3 = m3ranges(j1, j2, j3);
    T[2 * J] = C02[at];
    n += yib_top_m3_dbl(J, j1, j2, j3, r3.lo, r3.hi, T);
    for (int m3 = r3.lo; m3 <= r3.hi; m3++) {
      if (m3 == 0) continue;
      const _m12ranges r = m12ranges(j1, j2, j3, m3, r3);
      mp_wcc(j1, j2, j3, r.m1_first, r.m2_first, m3, f);
      mpf_mul(f, f, f);
      const long double ref = ld_of(f), v = T[2 * J + m3];
      const long double e = yib_error(v, ref);
      zam_msg("C2[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n", j1, j2, j3, r.m1_first,
              r.m2_first, m3, v, ref, e);
      if (e > worst.err) worst = {{j1, j2, j3, r.m1_first, r.m2_first, m3}, v, ref, e};
    }
  });
  const double dt = zam_get_time() - t0;
  zam_msg("Done %ld top CG coefficients (dbl_t) for m3!=0 to J = %d in %.4fs (%.2f/s)\n", static_cast<long>(n), J,
          dt, n / dt);
  zam_msg("Largest error at C2[%3d,%3d,%3d; %3d,%3d,%3d] = %25.18Le, REF = %25.18Le, REL = %25.18Le\n", worst.j[0],
          worst.j[1], worst.j[2], worst.j[3], worst.j[4], worst.j[5], worst.value, worst.ref, worst.err);
  mpf_clear(f);
  kfree(T);
  return n;
}

long double yib_error(long double x, long double ref) {
  const long double a = std::fabs(x), b = std::fabs(ref);
  if (b == 0) return a;
  if (a == 0) return b;
  if (a >= 1e-16L && b >= 1e-32L) return std::fabs(x - ref) / b;
  if (a > 1e14L * b) return a;
  if (a < 1e-40L && b < 1e-40L && (a / b > 5 || b / a > 5)) return a;
  return std::fabs(x - ref) / b;
}

int mpf_set_bits(int bits) {
  mp_setup();  // so that the one-time set-up cannot override the change later
  const int old = static_cast<int>(mpf_get_default_prec());
  mpf_set_default_prec(static_cast<mp_bitcnt_t>(bits));
  return old;
}
