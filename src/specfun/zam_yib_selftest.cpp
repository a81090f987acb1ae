// Self-tests of the coupling coefficients: identities between long-double
// Racah values, the ranges and sources of the ladders over m3, integer sizes,
// a rational smoke test and the full comparison run. They print both sides
// of every check and judge nothing.
#include <gmp.h>

#include "runtime/zam_log.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_wcc.h"
#include "specfun/zam_yib_check.h"

namespace {

double sq(long double v) { return static_cast<double>(v * v); }

// The records of every m3 of the triple, at m3_max - m3.
struct Rows {
  int lo, hi;
  _m12ranges r[4 * 5 + 1];  // m3 from -10 to 10 at j1 <= 5
  Rows(int j1, int j2, int j3) {
    const _m3ranges r3 = m3ranges(j1, j2, j3);
    lo = r3.lo;
    hi = r3.hi;
    for (int m3 = hi; m3 >= lo; m3--) r[hi - m3] = m12ranges(j1, j2, j3, m3, r3);
  }
  const _m12ranges& at(int m3) const { return r[hi - m3]; }
};

void print_row(const char* tag, int j1, int j2, int j3, int m3, const _m12ranges& r) {
  zam_msg("%s[%3d,%3d,%3d] (m3=%d) m1_top = %d, m2_top = %d, m1_bot = %d, m2_bot = %d\n", tag, j1, j2, j3, m3,
          r.m1_first, r.m2_first, r.m1_last, r.m2_last);
}

// The listing of one sweep direction (dir = 1 upwards, -1 downwards).
void list_sweep(int j1, int j2, int j3, const Rows& rows, int dir) {
  const int last = dir > 0 ? rows.hi : rows.lo;
  const char* name = dir > 0 ? "Upward  " : "Downward  ";
  zam_msg(dir > 0 ? "Upward recursion from m3=0 to m3=%d\n" : "Downward recursion from m3=0 to m3=%d\n", last);
  for (int m3 = dir; dir * m3 <= dir * last; m3 += dir) {
    const _m12ranges& D = rows.at(m3);
    const _m12ranges& S = rows.at(m3 - dir);
    print_row("DST", j1, j2, j3, m3, D);
    print_row("SRC", j1, j2, j3, m3 - dir, S);
    for (int m2 = D.m2_first; m2 <= D.m2_last; m2++) {
      const int m1 = m3 - m2;
      // Upwards the sources are (m1-1, m2) and (m1, m2-1), downwards
      // (m1+1, m2) and (m1, m2+1), all on row m3 - dir.
      const int a1 = m1 - dir, a2 = m2, b1 = m1, b2 = m2 - dir;
      const bool a = a2 >= S.m2_first && a2 <= S.m2_last, b = b2 >= S.m2_first && b2 <= S.m2_last;
      const int sm3 = m3 - dir;
      if (a && b)
        zam_msg("%s[%3d,%3d,%3d] from [%3d,%3d,%3d] and [%3d,%3d,%3d]\n", name, m1, m2, m3, a1, a2, sm3, b1, b2, sm3);
      else if (a || b)
        zam_msg("%s[%3d,%3d,%3d] from [%3d,%3d,%3d]\n", name, m1, m2, m3, a ? a1 : b1, a ? a2 : b2, sm3);
      else
        zam_msg("%s[%3d,%3d,%3d] from nothing!\n", name, m1, m2, m3);
    }
    zam_msg("\n");
  }
}

}  // namespace

void cg_test_all() { cg_test_cg(); }

void cg_test_cg() {
  mp_setup();
  const yib_shared::DefaultPrecision narrow(128);
  yib_m1m2m3(30, 10000, 0, 7);
}

void cg_test_j2_recursion(int n) {
  for (int j1 = 1; j1 <= n; j1++)
    for (int j2 = 1; j2 <= j1; j2++) {
      const int j3 = j1 - j2;
      const double lhs = sq(wcc(j1, j2, j3, j2, -j2, 0));
      const double rhs = static_cast<double>(j1 + j2) / (4 * (j1 - j2) + 6) * sq(wcc(j1, j2 - 1, j3 + 1, j2 - 1, 1 - j2, 0));
      zam_msg("[%d,%d,%d; %d,%d,%d] LHS = %g, RHS = %g\n", j1, j2, j3, j2, -j2, 0, lhs, rhs);
    }
}

void cg_test_j3_recursion(int n) {
  for (int j1 = 1; j1 <= n; j1++)
    for (int j2 = 1; j2 <= j1; j2++)
      for (int j3 = j1 - j2 + 1; j3 <= j1 + j2; j3++) {
        const double lhs = sq(wcc(j1, j2, j3, j2, -j2, 0));
        const double f = static_cast<double>(j3 + j1 - j2) * (2 * j3 + 1) * (j1 + j2 + 1 - j3) /
                         (static_cast<double>(2 * j3 - 1) * (j3 - j1 + j2) * (j1 + j2 + j3 + 1));
        const double rhs = f * sq(wcc(j1, j2, j3 - 1, j2, -j2, 0));
        zam_msg("[%d,%d,%d; %d,%d,%d] LHS = %g, RHS = %g\n", j1, j2, j3, j2, -j2, 0, lhs, rhs);
      }
}

void cg_test_n3_recursion(int n) {
  for (int j1 = 0; j1 <= n; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        zam_msg("\n");
        for (int s = 0; s < j3 - (j1 - j2); s++) {
          const int m2 = -j2 + s, m3 = j1 - j2 + s;
          const double lhs = sq(wcc(j1, j2, j3, j1, m2 + 1, m3 + 1));
          const double f = static_cast<double>(j3 - m3) * (j3 + m3 + 1) / (static_cast<double>(j2 - m2) * (j2 + m2 + 1));
          const double rhs = f * sq(wcc(j1, j2, j3, j1, m2, m3));
          zam_msg("[%3d,%3d,%3d; %3d,%3d,%3d] (n=%d) LHS = %g, RHS = %g  RHS/LHS = %g\n", j1, j2, j3, j1, m2 + 1,
                  m3 + 1, s, lhs, rhs, rhs / lhs);
        }
      }
}

void cg_test_ranges() {
  for (int j1 = 0; j1 <= 5; j1++)
    for (int j2 = 0; j2 <= j1; j2++)
      for (int j3 = j1 - j2; j3 <= j1 + j2; j3++) {
        const Rows rows(j1, j2, j3);
        zam_msg("\n");
        zam_msg("R[%3d,%3d,%3d] m3_min = %d, m3_max = %d\n", j1, j2, j3, rows.lo, rows.hi);
        for (int m3 = rows.hi; m3 >= rows.lo; m3--) {
          const _m12ranges& r = rows.at(m3);
          zam_msg("N[%3d,%3d,%3d] (m3=%3d) m1_top = %3d, m2_top = %3d, m1_bot = %3d, m2_bot = %3d\n", j1, j2, j3, m3,
                  r.m1_first, r.m2_first, r.m1_last, r.m2_last);
        }
        if (rows.hi > 0) list_sweep(j1, j2, j3, rows, 1);
        if (rows.lo < 0) list_sweep(j1, j2, j3, rows, -1);
      }
}

void cg_test_int() { zam_msg("Sizeof(long long) = %d\n", static_cast<int>(sizeof(long long))); }

void cg_test_mpq() {
  mpq_t a, b;
  mpq_inits(a, b, nullptr);
  mpq_set_ui(a, 7, 9);
  mpq_canonicalize(a);
  mpq_set_ui(b, 9, 10);
  mpq_canonicalize(b);
  mpq_mul(a, a, b);
  mpf_t f, d;
  mpf_inits(f, d, nullptr);
  mpf_set_z(f, mpq_numref(a));
  mpf_set_z(d, mpq_denref(a));
  mpf_div(f, f, d);
  // To long double through two doubles, the second the remainder of the
  // first, so that all 64 bits of the extended mantissa are right.
  const double hi = mpf_get_d(f);
  mpf_set_d(d, hi);
  mpf_sub(d, f, d);
  const long double v = static_cast<long double>(hi) + mpf_get_d(d);
  zam_msg("7/9 * 9/10 = %25.18Le\n", v);
  mpf_clears(f, d, nullptr);
  mpq_clears(a, b, nullptr);
}

void cg_test_b3_recursion(int n) {
  if (n < 0) return;
  zam_msg("Size of long          = %d\n", static_cast<int>(sizeof(long)));
  zam_msg("Size of long int      = %d\n", static_cast<int>(sizeof(long int)));
  zam_msg("Size of long long     = %d\n", static_cast<int>(sizeof(long long)));
  zam_msg("Size of long long int = %d\n", static_cast<int>(sizeof(long long int)));
  const long double big = 2 * n <= 169 ? hfac(2 * n) / (hfac(n) * hfac(n)) : 0;
  zam_msg("big = %25.18Le\n", big);
  const int64_t dim = yib_j1j2j3_dim(n, 0);
  mpz_t* G0 = yib_mpz_get(dim);
  yib_g0_mpz(n, 0, G0);
  yib_mpz_free(G0, dim);
}
