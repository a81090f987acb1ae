#include "specfun/zam_fac.h"

#include <cmath>
#include <mutex>

#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "specfun/prime_exps.h"

namespace {

constexpr int kMaxIndex = 650;       // highest integer a symbolic product holds
constexpr int kMaxFac = 170;         // highest n whose n! fits a double
constexpr int kMaxHalf = 144;        // highest n of the (1/2)_n table
constexpr double kSqrtPi = 1.7724538509055159;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTiny = 1e-40;      // floor of the Lentz continued fractions

// One-time tables, written once by build_tables and read without a lock
// afterwards. call_once publishes them with the needed ordering.
const int* primes = nullptr;  // the shared prime table
int np1 = 0;  // primes up to 325: beyond that no multiple fits below 651
int np2 = 0;  // all primes up to 650
double dfactorial[kMaxFac + 1];
long double hfactorial[kMaxFac + 1];
double rfac_half[kMaxHalf + 1];
std::once_flag tables_once;

// Folds composite indices into their prime factors and multiplies out the
// prime powers; empties the record. Needs the prime table.
long double evaluate(sp_t_struct* s) {
  if (!s->exps) return 1.0L;
  int* e = s->exps;
  const int max = s->max;
  prime_exps::fold(e, max, primes, np1);
  s->max = 0;
  if (np2 == 0 || primes[0] > max) return 1.0L;
  long double num = 1.0L, den = 1.0L;
  for (int i = 0; i < np2 && primes[i] <= max; i++) {
    const int p = primes[i];
    const int v = e[p];
    e[p] = 0;
    for (int k = 0; k < v; k++) num *= p;
    for (int k = 0; k < -v; k++) den *= p;
  }
  return num / den;
}

void build_tables() {
  zam_mutex_acquire(ZAM_LOCK_ONCE_TABLES);
  primes = prime_exps::primes();
  np1 = prime_exps::count_to(kMaxIndex / 2);
  np2 = prime_exps::count_to(kMaxIndex);
  int exps[kMaxIndex + 1];
  sp_t_struct s{0, exps};
  for (int n = 0; n <= kMaxFac; n++) {
    for (int k = 0; k <= kMaxIndex; k++) exps[k] = 0;
    s.max = n;
    for (int k = 1; k <= n; k++) exps[k] = 1;
    hfactorial[n] = evaluate(&s);
    dfactorial[n] = static_cast<double>(hfactorial[n]);
  }
  rfac_half[0] = 1.0;
  for (int n = 0; n < kMaxHalf; n++) rfac_half[n + 1] = (n + 0.5) * rfac_half[n];
  zam_mutex_release(ZAM_LOCK_ONCE_TABLES);
}

void setup_fac() { std::call_once(tables_once, build_tables); }

double gam_general(double x) {
  static const double c[7] = {1.000000000190015,     76.18009172947146,   -86.50532032941678,
                              24.01409824083091,     -1.231739572450155,  0.001208650973866179,
                              -5.395239384953e-06};
  double ser = c[0];
  for (int k = 1; k <= 6; k++) ser += c[k] / (x + k);
  const double t = x + 0.5 + 5.0;
  // The power is taken through its logarithm so that large arguments whose
  // gamma still fits a double do not overflow in t^(x + 1/2) alone.
  return 2.5066282746310002 * ser / x * std::exp((x + 0.5) * std::log(t) - t);
}

// exp(-x) x^a without overflow of either factor on its own.
double exp_pow(double a, double x) {
  if (x <= 0.0) return a == 0.0 ? 1.0 : 0.0;
  return std::exp(a * std::log(x) - x);
}

double ig_series(double a, double x) {
  double ap = a, term = 1.0 / a, sum = term;
  for (int i = 0; i < 100; i++) {
    ap += 1.0;
    term *= x / ap;
    sum += term;
    if (std::fabs(term) < std::fabs(sum) * 1e-12) break;
  }
  return sum * exp_pow(a, x);
}

double floor_tiny(double v) { return std::fabs(v) < kTiny ? kTiny : v; }

// Upper incomplete gamma by the modified Lentz continued fraction.
double ig_cf(double a, double x) {
  double b = floor_tiny(x + 1.0 - a);
  double c = 1e40, d = 1.0 / b, h = d;
  for (int i = 1; i <= 200; i++) {
    const double an = i * (a - i);
    b += 2.0;
    d = floor_tiny(an * d + b);
    c = floor_tiny(b + an / c);
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < 1e-12) break;
  }
  return exp_pow(a, x) * h;
}

double ib_cf(double a, double b, double x) {
  const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
  double c = 1.0, d = 1.0 / floor_tiny(1.0 - qab * x / qap), h = d;
  for (int m = 1; m <= 200; m++) {
    const int m2 = 2 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1.0 / floor_tiny(1.0 + aa * d);
    c = floor_tiny(1.0 + aa / c);
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1.0 / floor_tiny(1.0 + aa * d);
    c = floor_tiny(1.0 + aa / c);
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < 1e-12) break;
  }
  return h;
}

}  // namespace

void sp_init(sp_t_struct* s) {
  s->max = 0;
  s->exps = kget1I_0(kMaxIndex + 1);
}

void sp_free(sp_t_struct* s) {
  kfree(s->exps);
  s->exps = nullptr;
  s->max = 0;
}

void sp_fac(sp_t_struct* s, int sign, int n) {
  prime_exps::fac(s->exps, &s->max, kMaxIndex, sign, n, "Factorial out of range in sp_fac(): %d\n");
}

void sp_fall(sp_t_struct* s, int sign, int n, int m) {
  prime_exps::fall(s->exps, &s->max, kMaxIndex, sign, n, m, "Factorial out of range in sp_fall(): %d,%d\n");
}

void sp_rise(sp_t_struct* s, int sign, int n, int m) {
  prime_exps::rise(s->exps, &s->max, kMaxIndex, sign, n, m, "Factorial out of range in sp_rise(): %d,%d\n");
}

void sp_rise2(sp_t_struct* s, int sign, int n) {
  prime_exps::rise2(s->exps, &s->max, kMaxIndex, sign, n, "Factorial out of range in sp_rise2(): %d\n");
}

void sp_fall2(sp_t_struct* s, int sign, int n, int m) {
  prime_exps::fall2(s->exps, &s->max, kMaxIndex, sign, n, m, "Factorial out of range in sp_fall2(): %d\n");
}

void sp_pow(sp_t_struct* s, int sign, int k, int p) {
  prime_exps::power(s->exps, &s->max, kMaxIndex, sign, k, p, "Power out of range in sp_pow(): %d\n");
}

long double sp_ans(sp_t_struct* s) {
  setup_fac();
  return evaluate(s);
}

double fac(int n) {
  setup_fac();
  if (static_cast<unsigned>(n) > static_cast<unsigned>(kMaxFac)) {
    zam_err("Factorial out of range in fac(): %d\n", n);
    return dfactorial[0];
  }
  return dfactorial[n];
}

long double hfac(int n) {
  setup_fac();
  if (static_cast<unsigned>(n) > static_cast<unsigned>(kMaxFac)) {
    zam_err("Factorial out of range in hfac(): %d\n", n);
    return hfactorial[0];
  }
  return hfactorial[n];
}

double rfac2(int n) {
  setup_fac();
  if (static_cast<unsigned>(n) > static_cast<unsigned>(kMaxHalf)) {
    zam_err("Rising factorial out of range in rfac2(%d).\n", n);
    return 1.0;
  }
  return rfac_half[n];
}

double gam2(int n) { return rfac2(n) * kSqrtPi; }
double g2mg2(int m, int n) { return rfac2(m) * rfac2(n) * kPi; }
double g2dg2(int m, int n) { return rfac2(m) / rfac2(n); }

double ffac(int n, double x) {
  double r = 1.0;
  for (int k = 0; k < n; k++) r *= x - k;
  return r;
}

double rfac(int n, double x) {
  double r = 1.0;
  for (int k = 0; k < n; k++) r *= x + k;
  return r;
}

long double hffac(int n, long double x) {
  long double r = 1.0L;
  for (int k = 0; k < n; k++) r *= x - k;
  return r;
}

long double hrfac(int n, long double x) {
  long double r = 1.0L;
  for (int k = 0; k < n; k++) r *= x + k;
  return r;
}

double gbcf(int n, double x) {
  double r = 1.0;
  for (int k = 1; k <= n; k++) r *= (x + 1 - k) / k;
  return r;
}

double gam(double x) {
  if (x <= 0.0) {
    // The poles at 0 and the negative integers give 0; sin(pi x) alone does
    // not vanish there in floating point.
    if (x == std::floor(x)) return 0.0;
    const double s = std::sin(kPi * x);
    if (s == 0.0) return 0.0;
    return kPi / (s * gam(1.0 - x));
  }
  const double twice = 2.0 * x;
  if (x <= kMaxFac && twice == std::floor(twice)) {
    const int i = static_cast<int>(twice);
    if (i % 2 == 0) return fac(i / 2 - 1);
    // Half-integers past the (1/2)_n table continue its recurrence.
    const int h = (i - 1) / 2;
    if (h <= kMaxHalf) return rfac2(h) * kSqrtPi;
    double g = rfac2(kMaxHalf) * kSqrtPi;
    for (int k = kMaxHalf; k < h; k++) g *= k + 0.5;
    return g;
  }
  return gam_general(x);
}

double bet(double a, double b) { return gam(a) * gam(b) / gam(a + b); }

double igam(double a, double x) {
  if (a <= 0.0) return 0.0;
  if (x < 0.0) x = 0.0;
  if (x < a + 1.0) return ig_series(a, x);
  return gam(a) - ig_cf(a, x);
}

double jgam(double a, double x) {
  if (a <= 0.0) return 0.0;
  if (x < 0.0) x = 0.0;
  if (x < a + 1.0) return gam(a) - ig_series(a, x);
  return ig_cf(a, x);
}

double ibet(double a, double b, double x) {
  if (x < 0.0 || x > 1.0) return 0.0;
  const double front = std::pow(x, a) * std::pow(1.0 - x, b);
  if (x < (a + 1.0) / (a + b + 2.0)) return front * ib_cf(a, b, x) / a;
  return bet(a, b) - front * ib_cf(b, a, 1.0 - x) / b;
}

double jbet(double a, double b, double x) { return bet(a, b) - ibet(a, b, x); }

double ck_beta(int n, double x) {
  double p = 1.0;
  for (int k = 0; k <= n; k++) p *= x;
  return fac(n) / p;
}

double bk_beta(int n, double x) {
  const double f = fac(n);
  if (n < 0) return 0.0;
  double sum = 0.0, xp = 1.0;
  for (int k = 0; k <= n; k++) {
    xp *= x;
    sum += 1.0 / (fac(n - k) * xp);
  }
  return std::exp(-x) * f * sum;
}

double ak_beta(int n, double x) { return ck_beta(n, x) - bk_beta(n, x); }

void print_primes() {
  setup_fac();
  for (int i = 0; i < np2; i++) zam_msg("%d\n", primes[i]);
}

double jlx(int n, double x) {
  const double u = std::fabs(x) / 2.0;
  double t = std::pow(u, n) / fac(n);
  double sum = t;
  for (int k = 0; k < 398; k++) {
    t = -t * u * u / ((k + 1.0) * (n + k + 1.0));
    sum += t;
  }
  return (x < 0.0 && (n & 1)) ? -sum : sum;
}
