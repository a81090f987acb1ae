#include "specfun/zam_mp.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "specfun/prime_exps.h"
#include "specfun/yib_shared.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kTop = 1600;   // highest integer a product holds
constexpr int kBits = 256;   // GMP's default float precision for the run

// One-time state, written once under call_once (and plain lock 6) and read
// without a lock afterwards: call_once orders the writes before every return.
const int* primes = nullptr;  // the shared prime table
int np1 = 0;  // primes up to 800: beyond that no multiple fits the table
int np2 = 0;  // all primes up to 1600
char version[12] = "Unknown";
std::once_flag setup_once;

void build_setup() {
  zam_mutex_acquire(ZAM_LOCK_ONCE_TABLES);
  mpf_set_default_prec(kBits);
  primes = prime_exps::primes();
  np1 = prime_exps::count_to(kTop / 2);
  np2 = prime_exps::count_to(kTop);
  snprintf(version, sizeof version, "%d.%d.%d", __GNU_MP_VERSION, __GNU_MP_VERSION_MINOR,
           __GNU_MP_VERSION_PATCHLEVEL);
  zam_mutex_release(ZAM_LOCK_ONCE_TABLES);
}

// Folds the record into prime powers and multiplies them out into the exact
// numerator and denominator; empties the record.
void product_parts(mp_t_struct* p, mpz_ptr num, mpz_ptr den) {
  mp_setup();
  mpz_set_ui(num, 1);
  mpz_set_ui(den, 1);
  if (!p->exps) return;
  int* e = p->exps;
  const int max = p->max;
  p->max = 0;
  prime_exps::fold(e, max, primes, np1);
  mpz_t pw;
  mpz_init(pw);
  for (int i = 0; i < np2 && primes[i] <= max; i++) {
    const int v = e[primes[i]];
    e[primes[i]] = 0;
    if (v == 0) continue;
    mpz_ui_pow_ui(pw, primes[i], v > 0 ? v : -v);
    mpz_mul(v > 0 ? num : den, v > 0 ? num : den, pw);
  }
  mpz_clear(pw);
}

// The value of a prime-exponent product as a float at f's precision: the
// exact quotient rounded once.
void product_mpf(mp_t_struct* p, mpf_ptr f) {
  mpz_t num, den;
  mpz_inits(num, den, nullptr);
  product_parts(p, num, den);
  mpf_t d;
  mpf_init2(d, mpf_get_prec(f));
  mpf_set_z(f, num);
  mpf_set_z(d, den);
  mpf_div(f, f, d);
  mpf_clear(d);
  mpz_clears(num, den, nullptr);
}

// Rows k = 0..rows-1 of x^k [e^(-x^2)] j! L_j^(k+1/2)(x^2), j = 0..cols-1:
// the generalised Laguerre values by their three-term recurrence.
mpf_t* laguerre_rows(int rows, int cols, double x, bool with_exp, int* out_cols, int* count) {
  mp_setup();
  *out_cols = cols;
  *count = rows * cols;
  mpf_t* t = yib_mpf_get(static_cast<int64_t>(rows) * cols);
  mpf_t* jf = yib_mpf_get(cols);
  mpf_t* A = yib_mpf_get(cols + 1);
  mp_t_struct p;
  mp_init(&p);
  for (int j = 0; j < cols; j++) {
    mp_fac(&p, +1, j);
    mpf_ans(&p, jf[j]);
  }
  mp_free(&p);
  mpf_t y, xk, lead, a, b, c;
  mpf_inits(y, xk, lead, a, b, c, nullptr);
  mpf_set_d(y, x * x);
  mpf_set_ui(xk, 1);
  const double ex = with_exp ? std::exp(-x * x) : 1.0;
  for (int k = 0; k < rows; k++) {
    // a + 1 - y with a = k + 1/2
    mpf_set_d(a, k + 1.5);
    mpf_sub(a, a, y);
    mpf_set_ui(A[0], 1);
    if (cols > 1) mpf_set(A[1], a);
    for (int i = 1; i + 1 < cols; i++) {
      // (i+1) A[i+1] = (a + 1 - y + 2i) A[i] - (k + 1/2 + i) A[i-1]
      mpf_add_ui(b, a, 2 * i);
      mpf_mul(b, b, A[i]);
      mpf_set_d(c, k + 0.5 + i);
      mpf_mul(c, c, A[i - 1]);
      mpf_sub(b, b, c);
      mpf_div_ui(A[i + 1], b, i + 1);
    }
    mpf_set_d(lead, ex);
    mpf_mul(lead, lead, xk);
    for (int j = 0; j < cols; j++) {
      mpf_ptr e = t[static_cast<int64_t>(k) * cols + j];
      mpf_mul(e, lead, jf[j]);
      mpf_mul(e, e, A[j]);
    }
    mpf_set_d(b, x);
    mpf_mul(xk, xk, b);
  }
  mpf_clears(y, xk, lead, a, b, c, nullptr);
  yib_mpf_free(A, cols + 1);
  yib_mpf_free(jf, cols);
  return t;
}

double* to_doubles(mpf_t* t, int count) {
  double* d = kget1D(count);
  for (int i = 0; i < count; i++) d[i] = mpf_get_d(t[i]);
  yib_mpf_free(t, count);
  return d;
}

bool racah_allowed(int j1, int j2, int j3, int m1, int m2, int m3) {
  const int lo = j1 > j2 ? j1 - j2 : j2 - j1;
  return j1 >= 0 && j2 >= 0 && j3 >= lo && j3 <= j1 + j2 && std::abs(m1) <= j1 && std::abs(m2) <= j2 &&
         std::abs(m3) <= j3 && m3 == m1 + m2;
}

// sqrt(k) for a non-negative integer product k.
void sqrt_ui(mpf_ptr f, long k) {
  mpf_set_ui(f, static_cast<unsigned long>(k));
  mpf_sqrt(f, f);
}

}  // namespace

void mp_setup() { std::call_once(setup_once, build_setup); }

int mp_bits(int) {
  mp_setup();
  return kBits;
}

const char* mp_version() {
  mp_setup();
  return version;
}

void mp_init(mp_t_struct* p) {
  p->max = 0;
  p->exps = kget1I_0(kTop + 1);
}

void mp_free(mp_t_struct* p) {
  kfree(p->exps);
  p->exps = nullptr;
  p->max = 0;
}

void mp_fac(mp_t_struct* p, int sign, int n) {
  prime_exps::fac(p->exps, &p->max, kTop, sign, n, "Factorial out of range in mp_fac: %d\n");
}

void mp_fall(mp_t_struct* p, int sign, int n, int m) {
  prime_exps::fall(p->exps, &p->max, kTop, sign, n, m, "Factorial out of range in mp_fall: %d,%d\n");
}

void mp_rise(mp_t_struct* p, int sign, int n, int m) {
  prime_exps::rise(p->exps, &p->max, kTop, sign, n, m, "Factorial out of range in mp_rise: %d,%d\n");
}

void mp_rise2(mp_t_struct* p, int sign, int n) {
  prime_exps::rise2(p->exps, &p->max, kTop, sign, n, "Factorial out of range in mp_rise2: %d\n");
}

void mp_pow(mp_t_struct* p, int sign, int k, int e) {
  prime_exps::power(p->exps, &p->max, kTop, sign, k, e, "Power out of range in mp_pow: %d\n");
}

void mpf_ans(mp_t_struct* p, mpf_ptr f) { product_mpf(p, f); }

void mpq_ans(mp_t_struct* p, mpq_ptr q) {
  mpz_t num, den;
  mpz_inits(num, den, nullptr);
  product_parts(p, num, den);
  mpq_set_num(q, num);
  mpq_set_den(q, den);
  mpq_canonicalize(q);
  mpz_clears(num, den, nullptr);
}

mpf_t* mp_dkj(int N, double x, int* cols, int* count) {
  return laguerre_rows(2 * N - 1, 2 * N - 1, x, true, cols, count);
}

mpf_t* mp_bkj(int N, double x, int* cols, int* count) {
  return laguerre_rows(2 * N - 1, 3 * N - 1, x, false, cols, count);
}

mpf_t* mp_gkj(int N, double x, int* cols, int* count) { return laguerre_rows(2 * N + 1, N + 1, x, false, cols, count); }

mpf_t* mp_dkjn(int N, double x, int* s1, int* s2, int* count) {
  mp_setup();
  const int P = 2 * N + 1;  // p and q run over 0..2N
  *s1 = P;
  *s2 = N * P;
  *count = P * N * P;
  mpf_t* Dn = yib_mpf_get(*count);
  mpf_t* W = yib_mpf_get(P);
  mpf_t* theta = yib_mpf_get(P);
  mpf_t* xp = yib_mpf_get(P);
  const int nb = N * N;  // binom(n, i) at n*N + i
  mpf_t* binom = yib_mpf_get(nb);
  mp_t_struct pr;
  mp_init(&pr);
  for (int i = 0; i < P; i++) {  // W[i] = 1 / (2^(i+1) (i+1)!)
    mp_pow(&pr, -1, 2, i + 1);
    mp_fac(&pr, -1, i + 1);
    mpf_ans(&pr, W[i]);
  }
  for (int n = 0; n < N; n++)
    for (int i = 0; i <= n; i++) {
      mp_fac(&pr, +1, n);
      mp_fac(&pr, -1, n - i);
      mp_fac(&pr, -1, i);
      mpf_ans(&pr, binom[n * N + i]);
    }
  mp_free(&pr);
  mpf_t fx, fy, t;
  mpf_inits(fx, fy, t, nullptr);
  mpf_set_d(fx, x);
  mpf_mul(fy, fx, fx);
  // Reverse Bessel polynomials of x and the powers of x.
  mpf_set_ui(theta[0], 1);
  if (P > 1) mpf_add_ui(theta[1], fx, 1);
  for (int i = 0; i + 2 < P; i++) {
    mpf_mul_ui(theta[i + 2], theta[i + 1], 2 * i + 3);
    mpf_mul(t, fy, theta[i]);
    mpf_add(theta[i + 2], theta[i + 2], t);
  }
  mpf_set_ui(xp[0], 1);
  for (int i = 1; i < P; i++) mpf_mul(xp[i], xp[i - 1], fx);
  for (int p = 0; p < P; p++)
    for (int n = 0; n < N; n++)
      for (int q = p; q < P; q++) {
        if (q < p + 2 * n - 2) continue;
        mpf_ptr e = Dn[p * *s2 + n * *s1 + q];
        const int top = n < q - p ? n : q - p;
        for (int i = 0; i <= top; i++) {
          mpf_mul(t, binom[n * N + i], W[q - i]);
          mpf_mul(t, t, theta[q - p - i]);
          if ((n + i) % 2 == 0)
            mpf_add(e, e, t);
          else
            mpf_sub(e, e, t);
        }
        mpf_mul(e, e, xp[p]);
      }
  mpf_clears(fx, fy, t, nullptr);
  yib_mpf_free(binom, nb);
  yib_mpf_free(xp, P);
  yib_mpf_free(theta, P);
  yib_mpf_free(W, P);
  return Dn;
}

double* dkj_mp(int N, int* cols, double x) {
  int count = 0;
  mpf_t* t = mp_dkj(N, x, cols, &count);
  return to_doubles(t, count);
}

double* dkjn_mp(int N, int* s1, int* s2, double x) {
  int count = 0;
  mpf_t* t = mp_dkjn(N, x, s1, s2, &count);
  return to_doubles(t, count);
}

void mp_wcc(int j1, int j2, int j3, int m1, int m2, int m3, mpf_ptr f) {
  mp_setup();
  mpf_set_ui(f, 0);
  if (!racah_allowed(j1, j2, j3, m1, m2, m3)) return;
  mp_t_struct p;
  mp_init(&p);
  if (m1 == 0 && m2 == 0) {
    const int J = j1 + j2 + j3;
    if (J % 2 != 0) {
      mp_free(&p);
      return;
    }
    const int g = J / 2;
    mpf_t r;
    mpf_init2(r, mpf_get_prec(f));
    mp_pow(&p, +1, 2 * j3 + 1, 1);
    mp_fac(&p, +1, J - 2 * j3);
    mp_fac(&p, +1, J - 2 * j2);
    mp_fac(&p, +1, J - 2 * j1);
    mp_fac(&p, -1, J + 1);
    mpf_ans(&p, r);
    mpf_sqrt(r, r);
    mp_fac(&p, +1, g);
    mp_fac(&p, -1, g - j1);
    mp_fac(&p, -1, g - j2);
    mp_fac(&p, -1, g - j3);
    mpf_ans(&p, f);
    mpf_mul(f, f, r);
    if ((g - j3) % 2 != 0) mpf_neg(f, f);
    mpf_clear(r);
    mp_free(&p);
    return;
  }
  const int a = j1 + j2 - j3, b = j1 - m1, c = j2 + m2, d = j3 - j2 + m1, e = j3 - j1 - m2;
  int klo = 0;
  if (-d > klo) klo = -d;
  if (-e > klo) klo = -e;
  int khi = a;
  if (b < khi) khi = b;
  if (c < khi) khi = c;
  mpf_t term;
  mpf_init2(term, mpf_get_prec(f));
  for (int k = klo; k <= khi; k++) {
    mp_fac(&p, -1, k);
    mp_fac(&p, -1, a - k);
    mp_fac(&p, -1, b - k);
    mp_fac(&p, -1, c - k);
    mp_fac(&p, -1, d + k);
    mp_fac(&p, -1, e + k);
    mpf_ans(&p, term);
    if (k % 2 == 0)
      mpf_add(f, f, term);
    else
      mpf_sub(f, f, term);
  }
  mp_pow(&p, +1, 2 * j3 + 1, 1);
  mp_fac(&p, +1, a);
  mp_fac(&p, +1, j1 - j2 + j3);
  mp_fac(&p, +1, -j1 + j2 + j3);
  mp_fac(&p, -1, j1 + j2 + j3 + 1);
  mp_fac(&p, +1, j1 + m1);
  mp_fac(&p, +1, j1 - m1);
  mp_fac(&p, +1, j2 + m2);
  mp_fac(&p, +1, j2 - m2);
  mp_fac(&p, +1, j3 + m3);
  mp_fac(&p, +1, j3 - m3);
  mpf_ans(&p, term);
  mpf_sqrt(term, term);
  mpf_mul(f, f, term);
  mpf_clear(term);
  mp_free(&p);
}

double wcc_mp(int j1, int j2, int j3, int m1, int m2, int m3) {
  mp_setup();
  mpf_t f;
  mpf_init(f);
  mp_wcc(j1, j2, j3, m1, m2, m3, f);
  const double v = mpf_get_d(f);
  mpf_clear(f);
  return v;
}

void mp_wcc_stride(int j1, int j2, int j3, int s, mpf_t* H) {
  mp_setup();
  const int t = j1 < j2 ? j1 : j2;
  if (s < 1) s = 1;
  if (s > t + 1) s = t + 1;
  mpf_t S, c0, d1, nd, r1, r2, tmp;
  mpf_inits(S, c0, d1, nd, r1, r2, tmp, nullptr);
  sqrt_ui(S, static_cast<long>(j3) * (j3 + 1));
  // Blocks of s values of m from t down to 0; each starts afresh from the
  // Racah formula so that the recursion's rounding cannot build up.
  for (int top = t; top >= 0; top -= s) {
    mp_wcc(j1, j2, j3, top, -top, 0, c0);
    if (top == t) {
      // <j1 t+1 j2 -t | j3 1> from the top of the m3 = 0 ladder
      mpf_set_ui(d1, 0);
      if (j1 > j2 && j3 > 0) {
        mpf_set_ui(tmp, static_cast<unsigned long>(j1 + j2 + 1) * (j1 - j2));
        mpf_div_ui(tmp, tmp, static_cast<unsigned long>(j3) * (j3 + 1));
        mpf_sqrt(tmp, tmp);
        mpf_mul(d1, c0, tmp);
      }
    } else {
      mp_wcc(j1, j2, j3, top + 1, -top, 1, d1);
    }
    mpf_set(H[top + t], c0);
    const int bottom = top - s + 1 > 0 ? top - s + 1 : 0;
    for (int m = top; m > bottom; m--) {
      // D1(m-1) = (S C0(m) - sqrt((j1+m+1)(j1-m)) D1(m)) / sqrt((j2-m+1)(j2+m))
      sqrt_ui(r1, static_cast<long>(j1 + m + 1) * (j1 - m));
      sqrt_ui(r2, static_cast<long>(j2 - m + 1) * (j2 + m));
      mpf_mul(nd, S, c0);
      mpf_mul(tmp, r1, d1);
      mpf_sub(nd, nd, tmp);
      mpf_div(nd, nd, r2);
      // C0(m-1) = (S D1(m-1) - sqrt((j2-m+1)(j2+m)) C0(m)) / sqrt((j1-m+1)(j1+m))
      mpf_mul(tmp, r2, c0);
      mpf_mul(c0, S, nd);
      mpf_sub(c0, c0, tmp);
      sqrt_ui(r1, static_cast<long>(j1 - m + 1) * (j1 + m));
      mpf_div(c0, c0, r1);
      mpf_set(d1, nd);
      mpf_set(H[m - 1 + t], c0);
    }
  }
  // Negative m mirror the positive ones with the sign (-1)^(j1+j2-j3).
  for (int m = 1; m <= t; m++) {
    mpf_set(H[t - m], H[t + m]);
    if ((j1 + j2 - j3) % 2 != 0) mpf_neg(H[t - m], H[t - m]);
  }
  mpf_clears(S, c0, d1, nd, r1, r2, tmp, nullptr);
}

void mp_wcc_all(int j1, int j2, int j3, mpf_t* H) { mp_wcc_stride(j1, j2, j3, 64, H); }

void mp_wcc_roll(int L, mpf_t* H) {
  mp_setup();
  // The square roots of the C02 values, carried as running products of
  // integer ratios in GMP floats.
  struct {
    mpf_t v[2];
    mpf_t* H;
    void one(int i) { mpf_set_ui(v[i], 1); }
    void copy(int to, int from) { mpf_set(v[to], v[from]); }
    void mul(int i, unsigned long n, unsigned long d) {
      mpf_mul_ui(v[i], v[i], n);
      mpf_div_ui(v[i], v[i], d);
    }
    void store(int64_t at, int i, int l1, int l2, int l3) {
      mpf_sqrt(H[at], v[i]);
      zam_msg("ROLL [%3d,%3d,%3d; %3d,%3d,%3d] = %13.6e  %13.6e\n", l1, l2, l3, l2, -l2, 0, mpf_get_d(H[at]),
              wcc_mp(l1, l2, l3, l2, -l2, 0));
    }
  } op;
  mpf_inits(op.v[0], op.v[1], nullptr);
  op.H = H;
  yib_shared::c02_chain(L, 1, op);
  mpf_clears(op.v[0], op.v[1], nullptr);
  zam_msg("Done %d coupling coefficients to L = %d\n", yib_shared::two_index_dim(L), L);
}
