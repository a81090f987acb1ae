// Rolling recurrences: families of coupling coefficients in long double, one
// ratio of small integer products per coefficient, each printed beside an
// independent Racah value.
#include <cmath>
#include <cstdlib>

#include "geometry/zam_scalar.h"
#include "runtime/zam_log.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_wcc.h"
#include "specfun/zam_yib_check.h"

namespace {

long double ratio(long num, long den) { return static_cast<long double>(num) / den; }

// The factor from the 3j square at (l, k, j3) to that at j3+1.
long double j3_step(int l, int k, int j3) {
  return ratio(static_cast<long>(j3 + l - k + 1) * (l + k - j3), static_cast<long>(j3 + l + k + 2) * (j3 - l + k + 1));
}

// Prints every value of out beside the Racah value, in the order written,
// for j3 stepping by `step`, then the count line; returns the count.
long check_roll(int L, const long double* out, int step, const char* line) {
  long n = 0;
  for (int l = 0; l <= L; l++)
    for (int k = 0; k <= l; k++)
      for (int j3 = l - k; j3 <= l + k; j3 += step, n++)
        zam_msg(line, l, k, j3, k, -k, 0, static_cast<double>(out[n]), wcc_mp(l, k, j3, k, -k, 0));
  zam_msg("Done %ld (DIM=%d) coupling coefficients to L = %d\n", n, yib_shared::two_index_dim(L), L);
  return n;
}

// <j1 (k-p); k (-k) | p -p>^2 = (2p+1)! (2k)! / ((j1+k+p+1)! (k+p-j1)!), the
// first nonzero coefficient of a row that starts below j3 = p = -m.
long double first_below(int j1, int k, int p) {
  sp_t_struct s;
  sp_init(&s);
  sp_fac(&s, +1, 2 * p + 1);
  sp_fac(&s, +1, 2 * k);
  sp_fac(&s, -1, j1 + k + p + 1);
  sp_fac(&s, -1, k + p - j1);
  const long double v = sp_ans(&s);
  sp_free(&s);
  return v;
}

// (j1-k+j3)! / ((j1-k-m)! (j3+m)!), the exact value of Cbar.
long double cbar_factorials(int j1, int k, int j3, int m) {
  sp_t_struct s;
  sp_init(&s);
  sp_fac(&s, +1, j1 - k + j3);
  sp_fac(&s, -1, j1 - k - m);
  sp_fac(&s, -1, j3 + m);
  const long double v = sp_ans(&s);
  sp_free(&s);
  return v;
}

}  // namespace

void zam_roll_nostride(int L, long double* out) {
  long n = 0;
  for (int l = 0; l <= L; l++) {
    long double t = ratio(1, 2 * l + 1);  // the 3j square at k = 0, j3 = l
    for (int k = 0; k <= l; k++) {
      out[n++] = std::sqrt((2 * (l - k) + 1) * t);
      long double r = t;
      for (int j3 = l - k; k > 0 && j3 < l + k; j3++) {
        r *= j3_step(l, k, j3);
        out[n++] = std::sqrt((2 * (j3 + 1) + 1) * r);
      }
      if (k < l) t *= ratio(static_cast<long>(l - k) * (l + k + 1), static_cast<long>(2 * (l - k) - 1) * 2 * (l - k));
    }
  }
  check_roll(L, out, 1, "ROLL [%3d,%3d,%3d; %3d,%3d,%3d] = %13.6e  %13.6e\n");
}

void zam_roll(int L, long double* out) {
  long n = 0;
  for (int l = 0; l <= L; l++) {
    long double t = ratio(1, 2 * l + 1);
    for (int k = 0; k <= l; k++) {
      out[n++] = hsqrt((2 * (l - k) + 1) * t);
      long double r = t;
      for (int j3 = l - k; j3 + 2 <= l + k; j3 += 2) {
        r *= j3_step(l, k, j3) * j3_step(l, k, j3 + 1);
        out[n++] = std::sqrt((2 * (j3 + 2) + 1) * r);
      }
      if (k < l) t *= ratio(l + k + 1, 2 * (2 * (l - k) - 1));
    }
  }
  check_roll(L, out, 2, "ROLL [%3d,%3d,%3d; %3d,%3d,%3d] = %20.14e  %20.24e\n");
}

void zam_roll_cbar(int J, int m, int stride2, double* cbar_out, double* u_out) {
  const int am = std::abs(m);
  long double Cs = 0, Us = 0, max_c = 0, max_u = 0;
  long n = 0;
  for (int j1 = 0; j1 <= J; j1++) {
    // The start of j1: <j1 m; 0 0 | j1 m> = 1 = Cs sqrt(Us).
    if (j1 < am) {
      Cs = Us = 0;
    } else if (j1 == am) {
      Cs = Us = 1;
    } else {
      const long double f = ratio(static_cast<long>(2 * j1) * (2 * j1 - 1), static_cast<long>(j1 - m) * (j1 + m));
      Cs *= f;
      Us /= f * f;
    }
    long double Cr = Cs, Ur = Us;
    for (int k = 0; k <= j1; k++) {
      if (k > 0) {
        if (j1 < m + k) {
          Cr = Ur = 0;
        } else if (am <= j1 - k) {
          const long a = j1 - m + 1 - k, b = 2 * j1 + 1 - 2 * k;
          Cr *= ratio((a + 2 * m) * a, b * (b + 1));
          Ur *= ratio((m + j1 + k) * b * b, (a + 2 * m) * (b + 2)) * ratio(b + 1, a * a);
        }
      }
      long double C = 0, U = 0;
      for (int j3 = j1 - k; j3 <= j1 + k; j3++) {
        if (j3 < am || j1 < m + k || m + k < -j1) {
          C = U = 0;
        } else if (j3 == j1 - k) {
          C = Cr;
          U = Ur;
        } else if (j3 == am) {
          // A row starting below |m| (m < 0, so j3 = -m): its first nonzero
          // coefficient, whose Cbar is 1 (the carried Cr wherever j1 >= |m|).
          C = 1;
          U = first_below(j1, k, am);
        } else {
          C *= ratio(j1 - k + j3, j3 + m);
          U *= ratio(static_cast<long>(j1 + k + 1 - j3) * (2 * j3 + 1) * (j3 + m) * (j3 - m),
                     static_cast<long>(2 * j3 - 1) * (j1 - k + j3) * (j3 - j1 + k) * (j1 + k + 1 + j3));
        }
        if (!stride2 || (j1 - k + j3) % 2 == 0) {
          cbar_out[n] = static_cast<double>(C);
          u_out[n] = static_cast<double>(U);
          n++;
        }
        const long double inv = U > 0 ? 1 / std::sqrt(U) : 0;
        if (C > max_c) max_c = C;
        if (inv > max_u) max_u = inv;
        long double fac = 0, ref = 0;
        if (m + k <= j1 && am <= j3) {
          fac = cbar_factorials(j1, k, j3, m);
          ref = wcc(j1, k, j3, m + k, -k, m);
        }
        zam_msg("roll_C: [%d,%d,%d;  %d,%d,%d] = %.6f (%.6f), U = %.6g  -> CG = %.6g (%.6g)\n", j1, k, j3, m + k, -k, m,
                static_cast<double>(C), static_cast<double>(fac), static_cast<double>(U > 0 ? inv : 0),
                static_cast<double>(C * std::sqrt(U)), static_cast<double>(ref));
      }
    }
  }
  zam_msg("Done wcc_roll_C (J=%d, N=%ld)\n", J, n);
  zam_msg("Max C = %16.6g, Max sqrt(U) = %16.6g\n", static_cast<double>(max_c), static_cast<double>(max_u));
}
