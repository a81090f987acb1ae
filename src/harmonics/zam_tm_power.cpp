// Extended-precision translation builders (the series in long double over
// exact factorial products), the apply of a long-double matrix, the
// whole-distance wrappers over the cache, cache filling and the order limit.
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm_alt.h"
#include "harmonics/zam_tm_walk.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"

namespace {

long double* new_long(int64_t n) { return static_cast<long double*>(kget1B(n * static_cast<int64_t>(sizeof(long double)))); }

// Rows k = 0..rows-1 of x^k j! L_j^(k+1/2)(x^2) e, j = 0..cols-1.
long double* laguerre_table(int rows, int cols, double x, long double e, int* count) {
  long double* t = new_long(static_cast<int64_t>(rows) * cols);
  std::vector<long double> L(std::max(cols, 2));  // the recurrence writes at least two values
  const long double y = static_cast<long double>(x) * x;
  long double xk = e;
  for (int k = 0; k < rows; k++, xk *= x) {
    long double* row = t + static_cast<int64_t>(k) * cols;
    hlna_all_vec(cols - 1, L.data(), k + 0.5L, y);
    long double f = 1.0L;
    for (int j = 0; j < cols; j++) {
      if (j > 0) f *= j;
      row[j] = L[j] * xk * f;
    }
  }
  *count = rows * cols;
  return t;
}

// Radial polynomial coefficients with their norms, from exact factorial
// products: GTO d(n, l) c(n, l, j), ETO e(n, l) c(n, l, j) (the series'
// tables), pair after pair.
std::vector<std::vector<long double>> normed_coefficients(int N, bool gto) {
  std::vector<std::vector<long double>> coef(N * (N + 1) / 2);
  sp_local p;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int d = n - 1 - l;
      sp_fac(&p.s, 1, d);
      if (gto)
        sp_rise2(&p.s, -1, n);
      else
        sp_fac(&p.s, -1, n + l + 1);
      const long double norm = gto ? (d & 1 ? -1.0L : 1.0L) * std::sqrt(sp_ans(&p.s)) : (2 * n + 1) * std::sqrt(sp_ans(&p.s));
      for (int j = 0; j <= d; j++) {
        if (gto) {
          sp_rise2(&p.s, 1, n);
          sp_rise2(&p.s, -1, l + 1 + j);
        } else {
          sp_fac(&p.s, 1, n + l + 1 + j);
          sp_rise2(&p.s, -1, l + 2 + j);
        }
        sp_fac(&p.s, -1, j);
        sp_fac(&p.s, -1, d - j);
        coef[n * (n - 1) / 2 + l].push_back((j & 1 ? -norm : norm) * sp_ans(&p.s));
      }
    }
  return coef;
}

// The series of one matrix in long double, series direction: q(k, l, l', p)
// gives the distance table's factor, E the common factor.
template <class Q>
std::vector<long double> power_series(int N, bool gto, long double E, bool k0_only, Q&& q) {
  const std::vector<std::vector<long double>> coef = normed_coefficients(N, gto);
  acc_init(N - 1);
  std::vector<long double> T(tm3_dim(N - 1)), P(2 * N), acc(N);
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    const std::vector<long double>& a = coef[n * (n - 1) / 2 + l];
    const std::vector<long double>& b = coef[np * (np - 1) / 2 + lp];
    const int top = static_cast<int>(a.size() + b.size()) - 2;
    for (int i = 0; i <= top; i++) P[i] = 0.0L;
    for (size_t i = 0; i < a.size(); i++)
      for (size_t j = 0; j < b.size(); j++) P[i + j] += a[i] * b[j];
    tm_couple(
        l, lp,
        [&](int k) {
          if (k0_only && k != 0) return 0.0L;
          long double s = 0.0L;
          for (int i = 0; i <= top; i++) s += P[i] * q(k, l, lp, i);
          return s;
        },
        acc.data());
    for (int m = 0; m <= std::min(l, lp); m++) T[pos + m] = acc[m] * E;
  });
  return T;
}

std::vector<long double> gto_series(int N, double x, bool k0_only) {
  int count = 0;
  long double* B = bkj_integrals(N, x, &count);
  const int cols = 3 * N - 1;
  std::vector<long double> T =
      power_series(N, true, std::exp(-static_cast<long double>(x) * x) / 2.0L, k0_only, [&](int k, int l, int lp, int p) {
        return B[static_cast<int64_t>(k) * cols + (l + lp - k) / 2 + p];
      });
  kfree(B);
  return T;
}

long double* gto_power(int N, double R, bool k0_only) {
  std::vector<long double> T = gto_series(N, std::fabs(R) / (2.0 * std::sqrt(hnl_scale())), k0_only);
  if (R >= 0) tm3_flip(N, T.data());
  long double* out = new_long(static_cast<int64_t>(T.size()));
  std::memcpy(out, T.data(), T.size() * sizeof(long double));
  return out;
}

// The whole-distance matrix of one basis type: (I, 0) from the cache or
// the series, flipped for R >= 0.
double* whole(int N, double R, int type) {
  const int I = static_cast<int>(std::fabs(R) + 0.499999);
  const int count = tm3_dim(N - 1);
  double* T = kget1D(count);
  if (I == 0) {
    tm3_ident(N, T);
    return T;
  }
  const bool cached = zam_cache_type() == 1;
  if (!cached || !zam_read_cache(N, I, 0, type, count, T)) {
    (type == 1 ? tm_gt3_ser : tm_et3_ser)(N, T, I);
    if (cached) zam_write_cache(N, I, 0, type, count, T);
  }
  if (R >= 0) tm3_neg(N, T);
  return T;
}

std::atomic<int> top_order{0};

}  // namespace

long double* bkj_integrals(int N, double x, int* count) { return laguerre_table(2 * N - 1, 3 * N - 1, x, 1.0L, count); }

long double* dkj_integrals(int N, double x, int* count) {
  return laguerre_table(2 * N - 1, 2 * N - 1, x, std::exp(-static_cast<long double>(x) * x), count);
}

double* tm_gt3_power(int N, double R) {
  const double t0 = zam_get_time();
  long double* L = gto_power(N, R, false);
  const int count = tm3_dim(N - 1);
  double* T = kget1D(count);
  for (int i = 0; i < count; i++) T[i] = static_cast<double>(L[i]);
  kfree(L);
  zam_msg("Translation matrix K[%d](%.2f) done in %.2f seconds.\n", N, std::fabs(R), zam_get_time() - t0);
  return T;
}

double* tm_et3_power(int N, double R) {
  const double t0 = zam_get_time();
  const double x = std::fabs(R) * (2.0 * tnl_scale()) / 2.0;
  int s1 = 0, s2 = 0;
  double* D = dkjn_mp(N, &s1, &s2, x);
  std::vector<long double> L =
      power_series(N, false, std::exp(-static_cast<long double>(x)) / 2.0L, false, [&](int k, int l, int lp, int p) {
        return static_cast<long double>(D[static_cast<int64_t>(k) * s2 + static_cast<int64_t>((l + lp - k) / 2) * s1 + l + lp + 2 + p]);
      });
  kfree(D);
  if (R >= 0) tm3_flip(N, L.data());
  double* T = kget1D(static_cast<int64_t>(L.size()));
  for (size_t i = 0; i < L.size(); i++) T[i] = static_cast<double>(L[i]);
  zam_msg("Translation matrix T[%d](%.2f) done in %.2f seconds.\n", N, std::fabs(R), zam_get_time() - t0);
  return T;
}

long double* tz_gt3_power(int N, double R) { return gto_power(N, R, false); }

long double* tu_gt3_power(int N, double R) { return gto_power(N, R, true); }

void tz3_apply(int N, const long double* T, const double* in, double* out) {
  const int K = anlm_size(N);
  std::vector<long double> acc(2 * static_cast<size_t>(K), 0.0L);
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    const int mm = std::min(l, lp);
    const long double sgn = (l + lp) & 1 ? -1.0L : 1.0L;
    for (int m = -mm; m <= mm; m++) {
      const long double v = T[pos + (m < 0 ? -m : m)];
      const int src = anlm_index(n, l, m), dst = anlm_index(np, lp, m);
      for (int c = 0; c < 2; c++) {
        acc[2 * dst + c] += v * in[2 * src + c];
        if (n > np) acc[2 * src + c] += sgn * v * in[2 * dst + c];
      }
    }
  });
  for (int i = 0; i < 2 * K; i++) out[i] = static_cast<double>(acc[i]);
}

double* tm_gt3(int N, double R) { return whole(N, R, 1); }

double* tm_et3(int N, double R) { return whole(N, R, 0); }

int tm3_make(int N, int Rmax) {
  if (zam_cache_type() != 1) {
    zam_err("Cannot make integrals: Disc cache is not enabled.\n");
    return 0;
  }
  zam_msg("Making all translation matrices to N=%d, R=%d...\n", N, Rmax);
  std::vector<double> distances;
  for (int R = 1; R <= Rmax; R++) distances.push_back(R);
  distances.push_back(0.25);
  distances.push_back(0.75);
  for (int i = 1; i <= 9; i++) distances.push_back(0.1 * i);
  const int old = tm_mode(1);
  for (double R : distances)
    for (int type : {1, 0}) {
      _zam_tm h;
      tm_init(&h);
      tm_get(N, type, &h, R);
      tm_free(&h);
    }
  tm_mode(old);
  return 1;
}

int tm3_top() {
  int top = top_order.load();
  if (top) return top;
  const int mb = zam_mb_memory();
  top = mb < 65 ? 25 : mb > 120 ? 36 : 30;
  zam_msg("Found %d MB main memory: setting N_MAX=%d.\n", mb, top);
  top_order.store(top);
  return top;
}
