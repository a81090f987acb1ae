// Two-index translation matrices and the print and check routines of the
// packed matrices.
#include "harmonics/zam_tm2.h"

#include <atomic>
#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm_walk.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_jlr.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kMaxDegree = 160;

std::atomic<int*> pair_table{nullptr};

// f(l, l', pos) for every stored pair (l' <= l) of a degree-L matrix in
// storage order; pos is the position of m = 0.
template <class F>
void tm2_pairs(int L, F&& f) {
  int pos = 0;
  for (int l = 0; l <= L; l++)
    for (int lp = 0; lp <= l; lp++) {
      f(l, lp, pos);
      pos += lp + 1;
    }
}

// T^|m|(l; l') of any pair, with the mirror sign.
double tm2_value(int L, int l, int lp, int m, const double* T) {
  m = m < 0 ? -m : m;
  if (m > l || m > lp) return 0.0;
  const double v = T[tm2_index(L, l, lp) + m];
  return lp > l && ((l + lp) & 1) ? -v : v;
}

// A degree-L matrix whose pair (l, l') is sum over k of the coupling terms
// times s(k, l, l'), scaled by f(l) f(l'); values rounded to double at the
// end.
template <class S, class F>
void coupled_matrix(int L, double* T, S&& s, F&& f) {
  acc_init(L);
  mpf_t* acc = yib_mpf_get(L + 1);
  mpf_t t;
  mpf_init(t);
  tm2_pairs(L, [&](int l, int lp, int pos) {
    tm_couple_mpf(l, lp, [&](int k) { return s(k, l, lp); }, acc, t);
    for (int m = 0; m <= lp; m++) {
      mpf_mul(t, acc[m], f(l));
      mpf_mul(t, t, f(lp));
      T[pos + m] = mpf_get_d(t);
    }
  });
  mpf_clear(t);
  yib_mpf_free(acc, L + 1);
}

// Prints the value of a product element with its mark; counts the marks.
int print_check(const char* head, double v, bool diagonal) {
  const bool off = std::fabs(v - (diagonal ? 1.0 : 0.0)) > 0.001;
  zam_msg("%s = %14.6e%s\n", head, v, off ? " <--" : "");
  return off ? 1 : 0;
}

}  // namespace

const int* tm2_table(int) {
  int* t = pair_table.load(std::memory_order_acquire);
  if (t) return t;
  zam_mutex_acquire(ZAM_LOCK_COUPLING);
  t = pair_table.load(std::memory_order_relaxed);
  if (!t) {
    t = new int[(kMaxDegree + 1) * (kMaxDegree + 2) / 2];
    tm2_pairs(kMaxDegree, [&](int l, int lp, int pos) { t[l * (l + 1) / 2 + lp] = pos; });
    pair_table.store(t, std::memory_order_release);
  }
  zam_mutex_release(ZAM_LOCK_COUPLING);
  return t;
}

int tm2_index(int L, int l, int lp) {
  if (lp > l) std::swap(l, lp);
  return tm2_table(L)[l * (l + 1) / 2 + lp];
}

void tm2_neg(int L, double* T) {
  tm2_pairs(L, [&](int l, int lp, int pos) {
    if ((l + lp) & 1)
      for (int m = 0; m <= lp; m++) T[pos + m] = -T[pos + m];
  });
}

void tm2_apply(int L, const double* T, const double* in, double* out) {
  for (int i = 0; i < (L + 1) * (L + 1); i++) out[i] = 0.0;
  tm2_pairs(L, [&](int l, int lp, int pos) {
    const double sgn = (l + lp) & 1 ? -1.0 : 1.0;
    for (int m = -lp; m <= lp; m++) {
      const double v = T[pos + (m < 0 ? -m : m)];
      out[lp * lp + lp + m] += v * in[l * l + l + m];
      if (l > lp) out[l * l + l + m] += sgn * v * in[lp * lp + lp + m];
    }
  });
}

void tm_gt2_ser(int L, double* T, double R, double h) {
  const double t0 = zam_get_time();
  const double x = std::fabs(R) / (2.0 * std::sqrt(h));
  int cols = 0, count = 0;
  mpf_t* G = mp_gkj(L, x, &cols, &count);
  // Norm of each nodeless function, 1/sqrt((1/2)_(l+1)), with half of
  // e^(-x^2) on each side.
  mpf_t* norm = yib_mpf_get(L + 1);
  mpf_t e;
  mpf_init_set_d(e, std::sqrt(std::exp(-x * x) / 2.0));
  mp_t_struct p;
  mp_init(&p);
  for (int l = 0; l <= L; l++) {
    mp_rise2(&p, -1, l + 1);
    mpf_ans(&p, norm[l]);
    mpf_sqrt(norm[l], norm[l]);
    mpf_mul(norm[l], norm[l], e);
  }
  mp_free(&p);
  mpf_clear(e);
  coupled_matrix(
      L, T, [&](int k, int l, int lp) -> mpf_srcptr { return G[static_cast<int64_t>(k) * cols + (l + lp - k) / 2]; },
      [&](int l) -> mpf_srcptr { return norm[l]; });
  yib_mpf_free(norm, L + 1);
  yib_mpf_free(G, count);
  zam_msg("Translation matrix T[%d](%.2f) done in %.2f seconds.\n", L, R, zam_get_time() - t0);
}

void tm_sw2_ser(int L, double* T, double beta, double R) {
  mp_setup();
  mpf_t* J = yib_mpf_get(2 * L + 1);
  mp_jlr_down(2 * L, J, beta * R);
  mpf_t one;
  mpf_init_set_ui(one, 1);
  coupled_matrix(
      L, T, [&](int k, int, int) -> mpf_srcptr { return J[k]; }, [&](int) -> mpf_srcptr { return one; });
  mpf_clear(one);
  yib_mpf_free(J, 2 * L + 1);
}

void tm3_unpack_m(int N, int m, const double* T, double* out) {
  const int P = N * (N + 1) / 2;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int np = 1; np <= N; np++)
        for (int lp = 0; lp < np; lp++)
          out[(n * (n - 1) / 2 + l) * P + np * (np - 1) / 2 + lp] = tm3_value(N, n, l, np, lp, m, T);
}

void tm3_product_old(int N, const double* A, const double* B, double* out) {
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    for (int m = 0; m <= std::min(l, lp); m++) {
      long double s = 0.0L;
      for (int nn = 1; nn <= N; nn++)
        for (int ll = m; ll < nn; ll++) {
          const long double a = tm3_sign(N, n, l, nn, ll) * A[tm3_index(N, n, l, nn, ll) + m];
          s += a * tm3_sign(N, nn, ll, np, lp) * B[tm3_index(N, nn, ll, np, lp) + m];
        }
      out[pos + m] = static_cast<double>(s);
    }
  });
}

void tm3_print(int nmin, int N, const double* T) {
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    if (n < nmin || np < nmin) return;
    for (int m = 0; m <= std::min(l, lp); m++) zam_msg("K[%d,%d, %d,%d, %d] = %12.6e\n", n, l, np, lp, m, T[pos + m]);
  });
}

void tm3_print_all(int nmin, int N, const double* T) {
  for (int n = nmin; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int np = nmin; np <= N; np++)
        for (int lp = 0; lp < np; lp++)
          for (int m = 0; m <= std::min(l, lp); m++)
            zam_msg("T[%d,%d, %d,%d, %d] = %12.6e\n", n, l, np, lp, m, tm3_value(N, n, l, np, lp, m, T));
}

void tm2_print_all(int L, const double* T) {
  for (int l = 0; l <= L; l++)
    for (int lp = 0; lp <= L; lp++)
      for (int m = 0; m <= std::min(l, lp); m++) zam_msg("U[%d,%d, %d] = %12.6e\n", l, lp, m, tm2_value(L, l, lp, m, T));
}

int tm3_ortho_test(int N, const double* T) {
  const int P = N * (N + 1) / 2;
  // Per m the full matrix and its product with its transpose.
  std::vector<std::vector<double>> prod(N);
  std::vector<double> U(static_cast<size_t>(P) * P);
  for (int m = 0; m < N; m++) {
    tm3_unpack_m(N, m, T, U.data());
    std::vector<double>& Q = prod[m];
    Q.assign(static_cast<size_t>(P) * P, 0.0);
    for (int a = 0; a < P; a++)
      for (int b = 0; b <= a; b++) {
        long double s = 0.0L;
        for (int c = 0; c < P; c++) s += static_cast<long double>(U[a * P + c]) * U[b * P + c];
        Q[a * P + b] = Q[b * P + a] = static_cast<double>(s);
      }
  }
  int marked = 0;
  char head[64];
  tm3_blocks(N, [&](int n, int np, int l, int lp, int) {
    for (int m = 0; m <= std::min(l, lp); m++) {
      snprintf(head, sizeof head, "[%2d,%2d, %2d,%2d, %2d]", n, l, np, lp, m);
      const int a = n * (n - 1) / 2 + l, b = np * (np - 1) / 2 + lp;
      marked += print_check(head, prod[m][a * P + b], a == b);
    }
  });
  return marked;
}

int tm2_ortho_test(int L, const double* T) {
  int marked = 0;
  char head[64];
  tm2_pairs(L, [&](int l, int lp, int) {
    for (int m = 0; m <= lp; m++) {
      long double s = 0.0L;
      for (int c = m; c <= L; c++) s += static_cast<long double>(tm2_value(L, l, c, m, T)) * tm2_value(L, lp, c, m, T);
      snprintf(head, sizeof head, "[%2d, %2d, %2d]", l, lp, m);
      marked += print_check(head, static_cast<double>(s), l == lp);
    }
  });
  return marked;
}
