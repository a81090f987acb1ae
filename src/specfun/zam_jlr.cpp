#include "specfun/zam_jlr.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "runtime/kids.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLog2E = 1.4426950408889634;
constexpr int kSeriesCap = 800;    // k bound of the series at small |x|
constexpr double kSerEps = 1e-12;  // relative stop of the double series
constexpr double kRecurAbove = 5.0;  // mp_jlr_down: series alone up to here

// x = 0: j_0 = 1 and every higher j_l vanishes.
void bessel_at_zero(int L, double* out) {
  for (int l = 0; l <= L; l++) out[l] = l == 0 ? 1.0 : 0.0;
}

}  // namespace

void jlr_all(int L, double* out, double x) {
  if (L < 0) return;
  mpf_t* f = yib_mpf_get(L + 1);
  mp_jlr_down(L, f, x);
  for (int l = 0; l <= L; l++) out[l] = mpf_get_d(f[l]);
  yib_mpf_free(f, L + 1);
}

void mp_jlr_down(int L, mpf_t* f, double x) {
  if (L < 0) return;
  if (x <= kRecurAbove || L == 0) {
    for (int l = 0; l <= L; l++) mp_jlr_ser(l, f[l], x);
    return;
  }
  mp_jlr_ser(L, f[L], x);
  mp_jlr_ser(L - 1, f[L - 1], x);
  mpf_t rx;
  mpf_init2(rx, mpf_get_prec(f[0]));
  mpf_set_d(rx, x);
  mpf_ui_div(rx, 1, rx);
  for (int l = L - 2; l >= 0; l--) {
    mpf_mul_ui(f[l], f[l + 1], 2 * l + 3);
    mpf_mul(f[l], f[l], rx);
    mpf_sub(f[l], f[l], f[l + 2]);
  }
  mpf_clear(rx);
}

void mp_jlr_ser(int l, mpf_ptr f, double x) {
  if (l < 0) {
    mpf_set_ui(f, 0);
    return;
  }
  const mp_bitcnt_t prec = mpf_get_prec(f);
  const double ax = std::fabs(x);
  const mp_bitcnt_t work = prec + 64 + static_cast<mp_bitcnt_t>(ax * kLog2E);
  // The terms fall only once 2m passes about e|x|; the fixed bound serves
  // small arguments.
  const long cap = kSeriesCap + 8 * static_cast<long>(std::ceil(ax));
  mpf_t term, sum, x2, bound, mag;
  for (mpf_ptr v : {term, sum, x2, bound, mag}) mpf_init2(v, work);
  // First term (x/2)^l / (1/2)_(l+1); the sum is halved at the end.
  mpf_set_d(term, x);
  mpf_div_2exp(term, term, 1);
  mpf_pow_ui(term, term, l);
  for (int i = 0; i <= l; i++) {
    mpf_div_ui(term, term, 2 * i + 1);
    mpf_mul_2exp(term, term, 1);
  }
  mpf_set(sum, term);
  mpf_set_d(x2, x);
  mpf_mul(x2, x2, x2);
  mpf_neg(x2, x2);
  for (long k = 2; k < cap; k += 2) {
    mpf_mul(term, term, x2);
    mpf_div_ui(term, term, static_cast<unsigned long>(2 * l + 1 + k) * k);
    mpf_add(sum, sum, term);
    // Stop once the term falls below 2^-(prec-1) of the sum.
    mpf_abs(bound, sum);
    mpf_div_2exp(bound, bound, prec - 1);
    mpf_abs(mag, term);
    if (mpf_cmp(mag, bound) <= 0) break;
  }
  mpf_div_2exp(sum, sum, 1);
  mpf_set(f, sum);
  mpf_clears(term, sum, x2, bound, mag, nullptr);
}

double jlr_ser_mp(int l, double x) {
  mp_setup();
  mpf_t f;
  mpf_init(f);
  mp_jlr_ser(l, f, x);
  const double v = mpf_get_d(f);
  mpf_clear(f);
  return v;
}

double jlr(int l, double x) { return jlr_ser_mp(l, x); }

double jlr_ser(int l, double x) {
  if (l < 0) return 0.0;
  double term = std::pow(x / 2.0, l) / rfac2(l + 1);
  double sum = term;
  const double x2 = -x * x;
  for (int k = 2; k < kSeriesCap; k += 2) {
    term *= x2 / (static_cast<double>(2 * l + 1 + k) * k);
    sum += term;
    if (std::fabs(term) <= kSerEps * std::fabs(sum)) break;
  }
  return sum / 2.0;
}

void jlr_vec(int L, double* out, double x) {
  if (L < 0) return;
  if (x == 0.0) return bessel_at_zero(L, out);
  out[0] = std::sin(x) / x;
  if (L >= 1) out[1] = (out[0] - std::cos(x)) / x;
  for (int l = 2; l <= L; l++) out[l] = (2 * l - 1) * out[l - 1] / x - out[l - 2];
}

void jlr_up_mp(int L, double* out, double x) {
  if (L < 0) return;
  if (x == 0.0) return bessel_at_zero(L, out);
  mp_setup();
  mpf_t j[3], rx;
  for (mpf_t& v : j) mpf_init(v);
  mpf_init(rx);
  mpf_set_d(rx, x);
  mpf_ui_div(rx, 1, rx);
  mp_jlr_ser(0, j[0], x);
  out[0] = mpf_get_d(j[0]);
  if (L >= 1) {
    mp_jlr_ser(1, j[1], x);
    out[1] = mpf_get_d(j[1]);
  }
  for (int l = 2; l <= L; l++) {
    mpf_ptr now = j[l % 3], one = j[(l - 1) % 3], two = j[(l - 2) % 3];
    mpf_mul_ui(now, one, 2 * l - 1);
    mpf_mul(now, now, rx);
    mpf_sub(now, now, two);
    out[l] = mpf_get_d(now);
  }
  for (mpf_t& v : j) mpf_clear(v);
  mpf_clear(rx);
}

double knr(int n, double x) {
  const double y = 1.0 / (2.0 * x);
  double a = 1.0, yk = 1.0, sum = 0.0;  // a = (n+k)!/(k!(n-k)!)
  for (int k = 0; k <= n; k++) {
    sum += a * yk;
    a *= static_cast<double>(n + k + 1) * (n - k) / (k + 1);
    yk *= y;
  }
  return std::sqrt(kPi / (2.0 * x)) * sum;
}

double rnr(int n, double x) {
  if (n < 0) return 0.0;
  double b = 1.0, v = 0.0;  // b = (n+k)!/(k!(n-k)! 2^k), by Horner in x
  for (int k = 0; k <= n; k++) {
    v = v * x + b;
    b *= static_cast<double>(n + k + 1) * (n - k) / (2.0 * (k + 1));
  }
  return v;
}

void rnr_all(int N, double* out, double x) {
  if (N < 0) return;
  out[0] = 1.0;
  if (N >= 1) out[1] = 1.0 + x;
  for (int l = 2; l <= N; l++) out[l] = (2 * l - 1) * out[l - 1] + x * x * out[l - 2];
}

void hrnr_all(int N, long double* out, long double x) {
  if (N < 0) return;
  out[0] = 1.0L;
  if (N >= 1) out[1] = 1.0L + x;
  for (int l = 2; l <= N; l++) out[l] = (2 * l - 1) * out[l - 1] + x * x * out[l - 2];
}

void hrnr_all_bar(int N, long double x, long double* out) {
  for (int n = 0; n <= N; n++) {
    long double v = 0.0L;
    for (int k = 0; k <= n; k++) {
      sp_local p;  // (n+k)! / (k! (n-k)! 2^(n+k) n!)
      sp_fac(&p.s, +1, n + k);
      sp_fac(&p.s, -1, k);
      sp_fac(&p.s, -1, n - k);
      sp_fac(&p.s, -1, n);
      sp_pow(&p.s, -1, 2, n + k);
      v = v * x + sp_ans(&p.s);
    }
    out[n] = v;
  }
}

long double* clj_jlr(int L) {
  if (L < 0) return nullptr;
  const int64_t count = static_cast<int64_t>(L + 1) * (L + 2) / 2;
  auto* c = static_cast<long double*>(kget1B(count * static_cast<int64_t>(sizeof(long double))));
  if (!c) return nullptr;
  // The alternating sum over i is the j-th derivative of the Legendre
  // polynomial P_l at 1 times (-1)^(l + floor((l+j)/2)); it is taken in its
  // closed form because the terms grow past 10^12 times the sum by l = 40
  // and would cancel away a long double.
  for (int l = 0; l <= L; l++)
    for (int j = 0; j <= l; j++) {
      sp_local p;
      sp_fac(&p.s, +1, l + j);
      sp_fac(&p.s, -1, j);
      sp_fac(&p.s, -1, l - j);
      sp_pow(&p.s, -1, 2, j);
      const long double v = sp_ans(&p.s);
      c[l * (l + 1) / 2 + j] = (l + (l + j) / 2) % 2 ? -v : v;
    }
  return c;
}
