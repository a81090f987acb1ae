// Multi-precision translation matrices on the power form of a block
// (translation method 2), the conversions between radial-function and power
// coefficients, and the spherical form for the l = 0 part of a GTO block.
// Everything runs in GMP floats at the default precision; only the applies
// on doubles round, once, at the end.
#include <atomic>
#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm_alt.h"
#include "harmonics/zam_tm_walk.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kMaxOrder = 36;
constexpr int kEntries = kMaxOrder * (kMaxOrder + 1) * (kMaxOrder + 2) / 6;  // (n, l, j) to order 36

// Position of h(n, l, j) in a conversion table.
inline int conv_at(int n, int l, int j) { return (n - 1) * n * (n + 1) / 6 + l * (2 * n - l + 1) / 2 + j; }

// Conversion tables h(n, l, j), GTO and ETO, built once and kept.
std::atomic<mpf_t*> gto_conv{nullptr};
std::atomic<mpf_t*> eto_conv{nullptr};

mpf_t* make_conv(bool gto) {
  mpf_t* t = yib_mpf_get(kEntries);
  mp_t_struct p;
  mp_init(&p);
  mpf_t root;
  mpf_init(root);
  for (int n = 1; n <= kMaxOrder; n++)
    for (int l = 0; l < n; l++) {
      const int d = n - 1 - l;
      // The square-root factor of the pair.
      mp_fac(&p, 1, d);
      if (gto) {
        mp_rise2(&p, 1, n);
      } else {
        mp_fac(&p, -1, n + l + 1);
      }
      mp_pow(&p, -1, 2, 1);
      mpf_ans(&p, root);
      mpf_sqrt(root, root);
      if (!gto) mpf_mul_ui(root, root, 2 * n + 1);
      for (int j = 0; j <= d; j++) {
        mpf_ptr v = t[conv_at(n, l, j)];
        if (gto) {
          mp_rise2(&p, -1, l + 1 + j);
        } else {
          mp_fac(&p, 1, n + l + 1 + j);
          mp_rise2(&p, -1, l + 2 + j);
        }
        mp_fac(&p, -1, j);
        mp_fac(&p, -1, d - j);
        mpf_ans(&p, v);
        mpf_mul(v, v, root);
        if ((gto ? d - j : j) & 1) mpf_neg(v, v);
      }
    }
  mpf_clear(root);
  mp_free(&p);
  return t;
}

const mpf_t* conv(bool gto) {
  std::atomic<mpf_t*>& slot = gto ? gto_conv : eto_conv;
  mpf_t* t = slot.load(std::memory_order_acquire);
  if (t) return t;
  mp_setup();
  zam_mutex_acquire(ZAM_LOCK_COUPLING);
  t = slot.load(std::memory_order_relaxed);
  if (!t) {
    t = make_conv(gto);
    slot.store(t, std::memory_order_release);
  }
  zam_mutex_release(ZAM_LOCK_COUPLING);
  return t;
}

// out(l+1+j, l, m) = sum over n of h(n, l, j) in(n, l, m).
void to_power(int N, const mpf_t* h, const mpf_t* in, mpf_t* out) {
  mpf_t t;
  mpf_init(t);
  for (int l = 0; l < N; l++)
    for (int m = -l; m <= l; m++)
      for (int j = 0; j + l + 1 <= N; j++) {
        mpf_ptr o = out[anlm_index(l + 1 + j, l, m)];
        mpf_set_ui(o, 0);
        for (int n = l + 1 + j; n <= N; n++) {
          mpf_mul(t, h[conv_at(n, l, j)], in[anlm_index(n, l, m)]);
          mpf_add(o, o, t);
        }
      }
  mpf_clear(t);
}

// out(n, l, m) = sum over j of h(n, l, j) in(l+1+j, l, m).
void from_power(int N, const mpf_t* h, const mpf_t* in, mpf_t* out) {
  mpf_t t;
  mpf_init(t);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++) {
        mpf_ptr o = out[anlm_index(n, l, m)];
        mpf_set_ui(o, 0);
        for (int j = 0; j <= n - 1 - l; j++) {
          mpf_mul(t, h[conv_at(n, l, j)], in[anlm_index(l + 1 + j, l, m)]);
          mpf_add(o, o, t);
        }
      }
  mpf_clear(t);
}

// A real block through a power-form matrix, rounded once at the end.
void power_apply(int N, const mpf_t* M, const double* in, double* out, bool gto) {
  const int K = anlm_size(N);
  mpf_t* a = yib_mpf_get(K);
  mpf_t* b = yib_mpf_get(K);
  for (int i = 0; i < K; i++) mpf_set_d(a[i], in[i]);
  const mpf_t* h = conv(gto);
  to_power(N, h, a, b);
  tm3_apply_mpf(N, M, b, a);
  from_power(N, h, a, b);
  for (int i = 0; i < K; i++) out[i] = mpf_get_d(b[i]);
  yib_mpf_free(a, K);
  yib_mpf_free(b, K);
}

// Power-form matrix at x >= 0: entry(k, l, l', p) gives the distance
// factor of degree k for the power sum p = j + j'.
template <class D>
mpf_t* power_matrix(int N, D&& entry) {
  acc_init(N - 1);
  mpf_t* M = yib_mpf_get(tm3_dim(N - 1));
  mpf_t* acc = yib_mpf_get(N);
  mpf_t t;
  mpf_init(t);
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    const int p = (n - 1 - l) + (np - 1 - lp);
    tm_couple_mpf(l, lp, [&](int k) { return entry(k, l, lp, p); }, acc, t);
    for (int m = 0; m <= std::min(l, lp); m++) mpf_set(M[pos + m], acc[m]);
  });
  mpf_clear(t);
  yib_mpf_free(acc, N);
  return M;
}

// The signed-distance matrix: flipped for R > 0, timed and reported.
mpf_t* signed_power(int N, double R, bool gto) {
  const double t0 = zam_get_time();
  const double a = std::fabs(R);
  mpf_t* M = gto ? ts_gt3(N, a / (2.0 * std::sqrt(hnl_scale()))) : ts_et3(N, a * (2.0 * tnl_scale()) / 2.0);
  if (R > 0) tm3_neg_mpf(N, M);
  zam_msg("Translation matrix %c[%d](%.2f) done in %.2f seconds.\n", gto ? 'V' : 'W', N, a, zam_get_time() - t0);
  return M;
}

int pairs(int N) { return N * (N + 1) / 2; }

}  // namespace

mpf_t* tv_gt3(int N, double R) { return signed_power(N, R, true); }

mpf_t* tw_et3(int N, double R) { return signed_power(N, R, false); }

mpf_t* ts_gt3(int N, double x) {
  int cols = 0, count = 0;
  mpf_t* D = mp_dkj(N, x, &cols, &count);
  mpf_t* M = power_matrix(N, [&](int k, int l, int lp, int p) -> mpf_srcptr {
    return D[static_cast<int64_t>(k) * cols + (l + lp - k) / 2 + p];
  });
  yib_mpf_free(D, count);
  return M;
}

mpf_t* ts_et3(int N, double x) {
  int s1 = 0, s2 = 0, count = 0;
  mpf_t* D = mp_dkjn(N, x, &s1, &s2, &count);
  mpf_t E;
  mpf_init_set_d(E, std::exp(-x));
  for (int i = 0; i < count; i++) mpf_mul(D[i], D[i], E);
  mpf_clear(E);
  mpf_t* M = power_matrix(N, [&](int k, int l, int lp, int p) -> mpf_srcptr {
    return D[static_cast<int64_t>(k) * s2 + static_cast<int64_t>((l + lp - k) / 2) * s1 + l + lp + 2 + p];
  });
  yib_mpf_free(D, count);
  return M;
}

void tv3_apply(int N, const mpf_t* M, const double* in, double* out) { power_apply(N, M, in, out, true); }

void tw3_apply(int N, const mpf_t* M, const double* in, double* out) { power_apply(N, M, in, out, false); }

void tm3_apply_mpf(int N, const mpf_t* T, const mpf_t* in, mpf_t* out) {
  const int K = anlm_size(N);
  for (int i = 0; i < K; i++) mpf_set_ui(out[i], 0);
  mpf_t t;
  mpf_init(t);
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    const int mm = std::min(l, lp);
    const bool flip = ((l + lp) & 1) != 0;
    for (int m = -mm; m <= mm; m++) {
      mpf_srcptr v = T[pos + (m < 0 ? -m : m)];
      const int src = anlm_index(n, l, m), dst = anlm_index(np, lp, m);
      mpf_mul(t, v, in[src]);
      mpf_add(out[dst], out[dst], t);
      if (n > np) {
        mpf_mul(t, v, in[dst]);
        if (flip)
          mpf_sub(out[src], out[src], t);
        else
          mpf_add(out[src], out[src], t);
      }
    }
  });
  mpf_clear(t);
}

void hnlj_init() { conv(true); }

void cnlj_init() { conv(false); }

void anlm_to_ajlm_gt3(int N, const mpf_t* in, mpf_t* out) { to_power(N, conv(true), in, out); }

void ajlm_to_anlm_gt3(int N, const mpf_t* in, mpf_t* out) { from_power(N, conv(true), in, out); }

void anlm_to_ajlm_et3(int N, const mpf_t* in, mpf_t* out) { to_power(N, conv(false), in, out); }

void ajlm_to_anlm_et3(int N, const mpf_t* in, mpf_t* out) { from_power(N, conv(false), in, out); }

void ajlm_to_anlm_gt3_bar(int N, const long double* in, long double* out) {
  sp_local p;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int d = n - 1 - l;
      sp_fac(&p.s, 1, d);
      sp_rise2(&p.s, 1, n);
      sp_pow(&p.s, -1, 2, 1);
      const long double root = std::sqrt(sp_ans(&p.s));
      for (int m = -l; m <= l; m++) out[anlm_index(n, l, m)] = 0.0L;
      for (int j = 0; j <= d; j++) {
        sp_rise2(&p.s, -1, l + 1 + j);
        sp_fac(&p.s, -1, j);
        sp_fac(&p.s, -1, d - j);
        const long double h = ((d - j) & 1 ? -root : root) * sp_ans(&p.s);
        for (int m = -l; m <= l; m++) out[anlm_index(n, l, m)] += h * in[anlm_index(l + 1 + j, l, m)];
      }
    }
}

mpf_t* ts_gt3_ss(int N, double x) {
  int cols = 0, count = 0;
  mpf_t* D = mp_dkj(N, x, &cols, &count);
  mpf_t* S = yib_mpf_get(static_cast<int64_t>(pairs(N)) * N);
  mpf_t root;
  mpf_init(root);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      mpf_sqrt_ui(root, 2 * l + 1);
      if (l & 1) mpf_neg(root, root);
      for (int k = 0; k < N; k++)
        mpf_mul(S[(n * (n - 1) / 2 + l) * N + k], root, D[static_cast<int64_t>(l) * cols + n - 1 - l + k]);
    }
  mpf_clear(root);
  yib_mpf_free(D, count);
  return S;
}

mpf_t* tv3_gt3_ss(int N, double R) {
  mpf_t* S = ts_gt3_ss(N, std::fabs(R) / (2.0 * std::sqrt(hnl_scale())));
  if (R > 0) tm3_ss_neg(N, S);
  return S;
}

void tm3_ss_neg(int N, mpf_t* S) {
  for (int n = 1; n <= N; n++)
    for (int l = 1; l < n; l += 2)
      for (int k = 0; k < N; k++) mpf_neg(S[(n * (n - 1) / 2 + l) * N + k], S[(n * (n - 1) / 2 + l) * N + k]);
}

void spherical_anlm_to_ajlm_gto(int N, const mpf_t* in, mpf_t* out) {
  const mpf_t* h = conv(true);
  mpf_t t;
  mpf_init(t);
  for (int j = 0; j < N; j++) {
    mpf_set_ui(out[j], 0);
    for (int n = 1 + j; n <= N; n++) {
      mpf_mul(t, h[conv_at(n, 0, j)], in[anlm_index(n, 0, 0)]);
      mpf_add(out[j], out[j], t);
    }
  }
  mpf_clear(t);
}

void spherical_ajlm_to_anlm_gto(int N, const mpf_t* in, mpf_t* out) { ajlm_to_anlm_gt3(N, in, out); }

void spherical_tm_apply_mpf_power(int N, const mpf_t* S, const mpf_t* in, mpf_t* out) {
  const int K = anlm_size(N);
  for (int i = 0; i < K; i++) mpf_set_ui(out[i], 0);
  mpf_t t;
  mpf_init(t);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      mpf_ptr o = out[anlm_index(n, l, 0)];
      for (int k = 0; k < N; k++) {
        mpf_mul(t, S[(n * (n - 1) / 2 + l) * N + k], in[k]);
        mpf_add(o, o, t);
      }
    }
  mpf_clear(t);
}

void spherical_tm_apply_mpf(int N, const mpf_t* S, const mpf_t* in, mpf_t* out) {
  const int K = anlm_size(N);
  mpf_t* p = yib_mpf_get(N);
  mpf_t* b = yib_mpf_get(K);
  spherical_anlm_to_ajlm_gto(N, in, p);
  spherical_tm_apply_mpf_power(N, S, p, b);
  spherical_ajlm_to_anlm_gto(N, b, out);
  yib_mpf_free(p, N);
  yib_mpf_free(b, K);
}

void tv3_ss_apply(int N, const mpf_t* S, const double* in, double* out) {
  const int K = anlm_size(N);
  mpf_t* a = yib_mpf_get(K);
  mpf_t* b = yib_mpf_get(K);
  for (int i = 0; i < K; i++) mpf_set_d(a[i], in[i]);
  spherical_tm_apply_mpf(N, S, a, b);
  for (int i = 0; i < K; i++) out[i] = mpf_get_d(b[i]);
  yib_mpf_free(a, K);
  yib_mpf_free(b, K);
}
