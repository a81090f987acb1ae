#include "harmonics/zam_legendre.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

#include "geometry/zam_scalar.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_fac.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInvSqrtPi = 0.5641895835477563;     // norm of z_m, m != 0
constexpr double kInvSqrt2Pi = 0.3989422804014327;    // norm of z_0
constexpr double kPoleGap = 0.01;                     // series within this of a pole
constexpr double kFarPole = 3.1315926535897933;       // pi - kPoleGap
constexpr int kFull = (ZAM_LMAX + 1) * (ZAM_LMAX + 1);
constexpr int kSeries = (ZAM_LMAX + 1) * (ZAM_LMAX + 2) * (ZAM_LMAX + 3) / 6;

// One-time tables, written by build_legendre under lock 5 and read without a
// lock afterwards; call_once publishes them.
double xplm_tab[kFull];   // plm_norm at l(l+1)+m
long double xplm_wide[kFull];  // the same before rounding: below double range near 160
double rplm_tab[kFull];   // plm_rnorm at l(l+1)+m
long double pll_tab[ZAM_LMAX + 1];  // coefficient of P_m^m; past double range near 160
double clmj_tab[kSeries];
std::once_flag legendre_once;
std::atomic<int> plm_from_series{0};

int series_slot(int l, int m, int j) {
  return l * (l + 1) * (l + 2) / 6 + m * (l + 1) - m * (m - 1) / 2 + j;
}

void build_legendre() {
  zam_mutex_acquire(ZAM_LOCK_HARMONIC_TABLES);
  int exps[651] = {};
  sp_t_struct s{0, exps};
  for (int l = 0; l <= ZAM_LMAX; l++) {
    for (int m = -l; m <= l; m++) {
      const int am = m < 0 ? -m : m;
      sp_fac(&s, 1, l - am);
      sp_fac(&s, -1, l + am);
      sp_pow(&s, 1, 2 * l + 1, 1);
      sp_pow(&s, -1, 2, 1);
      xplm_wide[l * (l + 1) + m] = hsqrt(sp_ans(&s));
      xplm_tab[l * (l + 1) + m] = static_cast<double>(xplm_wide[l * (l + 1) + m]);
      sp_fac(&s, 1, 2 * l);
      sp_fac(&s, -1, l - am);
      sp_fac(&s, -1, l + am);
      rplm_tab[l * (l + 1) + m] = static_cast<double>(hsqrt(sp_ans(&s)));
    }
  }
  for (int m = 0; m <= ZAM_LMAX; m++) {
    sp_fac(&s, 1, 2 * m);
    sp_fac(&s, -1, m);
    sp_pow(&s, -1, 2, m);
    pll_tab[m] = (m % 2 ? -1.0L : 1.0L) * sp_ans(&s);
  }
  // Series coefficients: the first of each (l, m) exactly from its prime
  // powers, the rest by the exact ratio of neighbours (j -> j + 2, k -> k + 1)
  // in long double, which keeps every value within rounding of the exact one.
  for (int l = 0; l <= ZAM_LMAX; l++)
    for (int m = 0; m <= l; m++) {
      double* c = &clmj_tab[series_slot(l, m, 0)];
      const int j0 = (l + m) % 2;
      for (int j = 0; j <= l - m; j++) c[j] = 0.0;
      if (j0 > l - m) continue;
      int k = (l + m + j0) / 2;
      sp_fac(&s, 1, 2 * k);
      sp_fac(&s, -1, j0);
      sp_fac(&s, -1, k);
      sp_fac(&s, -1, l - k);
      sp_pow(&s, -1, 2, l);
      long double v = sp_ans(&s);
      if ((k + l + m) % 2) v = -v;
      for (int j = j0; j <= l - m; j += 2, k++) {
        c[j] = static_cast<double>(v);
        v *= -2.0L * (2 * k + 1) * (l - k) / (static_cast<long double>(j + 1) * (j + 2));
      }
    }
  zam_mutex_release(ZAM_LOCK_HARMONIC_TABLES);
}

// Highest degree whose unnormalised values all lie within double range:
// |P_l^m| reaches (2l-1)!!, past 1.8e308 from degree 151.
constexpr int kDoubleDegree = 150;

// Unnormalised P_l^m(cos theta) for one degree l, m = 0..l, by the downward
// recursion in m, from sl = sin^l theta, in the arithmetic of T; theta
// within [0.01, pi - 0.01]. P_l^l is formed in long double: its factors
// leave double range at high degrees.
template <typename T>
void legendre_degree(int l, long double sl, T cot, T* out) {
  out[l] = static_cast<T>(pll_tab[l] * sl);
  T up2 = 0, up1 = out[l];
  for (int m = l - 1; m >= 0; m--) {
    const T v = -(static_cast<T>(2 * (m + 1)) * cot * up1 + up2) / (static_cast<T>(l + m + 1) * (l - m));
    out[m] = v;
    up2 = up1;
    up1 = v;
  }
}

// Near a pole the m recursion would start from values below double range.
// There each order m climbs in l from P_m^m = pll[m] sin^m theta by the
// three-term recurrence, which is stable (the power series is not: its
// alternating terms cancel to a loss of about 1e-4 at degree 40). Long
// double keeps the small starting values. theta is clamped to [0, pi].
template <typename T>
void pole_legendre(int L, T* out, double theta) {
  if (theta < 0.0) theta = 0.0;
  if (theta > kPi) theta = kPi;
  const long double x = cosl(theta), s = sinl(theta);
  for (int m = 0; m <= L; m++) {
    long double p0 = pll_tab[m] * powl(s, m);
    out[m * (m + 1) / 2 + m] = static_cast<T>(p0);
    if (m == L) break;
    long double p1 = x * (2 * m + 1) * p0;
    out[(m + 1) * (m + 2) / 2 + m] = static_cast<T>(p1);
    for (int l = m + 2; l <= L; l++) {
      const long double p = (x * (2 * l - 1) * p1 - (l + m - 1) * p0) / (l - m);
      out[l * (l + 1) / 2 + m] = static_cast<T>(p);
      p0 = p1;
      p1 = p;
    }
  }
}

bool near_pole(double theta) { return !(theta >= kPoleGap && theta <= kFarPole); }

// The Legendre set of degrees 0..L at theta, Legendre packing, in the
// arithmetic of T (long double for degrees past kDoubleDegree).
template <typename T>
void legendre_set(int L, T* out, double theta) {
  if (near_pole(theta)) {
    pole_legendre<T>(L, out, theta);
    return;
  }
  const T s = std::sin(static_cast<T>(theta)), cot = 1 / std::tan(static_cast<T>(theta));
  // The powers of sin theta by products in long double (a relative error of
  // about l 1e-19, far below the double result) instead of a powl per
  // degree, which took nearly half the time of a skin integration.
  // legendre_degree's recursion runs for all degrees together: step j makes
  // order m = l - j of every degree l >= j by the same operations (the same
  // bits) in independent lanes the compiler can vectorise.
  T up1[ZAM_LMAX + 1], up2[ZAM_LMAX + 1];
  long double sl = 1.0L;
  for (int l = 0; l <= L; l++, sl *= s) {
    up1[l] = static_cast<T>(pll_tab[l] * sl);
    up2[l] = 0;
    out[l * (l + 1) / 2 + l] = up1[l];
  }
  for (int j = 1; j <= L; j++)
    for (int l = j; l <= L; l++) {
      const int m = l - j;
      const T v = -(static_cast<T>(2 * (m + 1)) * cot * up1[l] + up2[l]) / (static_cast<T>(l + m + 1) * j);
      out[l * (l + 1) / 2 + m] = v;
      up2[l] = up1[l];
      up1[l] = v;
    }
}

// Normalised Pbar_l^m of the degrees kDoubleDegree+1..L at theta into out
// (Legendre packing, nothing below): formed in long double, where neither
// the values nor their norms leave the range.
void normalised_high_degrees(int L, double* out, double theta) {
  std::vector<long double> wide((L + 1) * (L + 2) / 2);
  legendre_set<long double>(L, wide.data(), theta);
  for (int l = kDoubleDegree + 1; l <= L; l++)
    for (int m = 0; m <= l; m++)
      out[l * (l + 1) / 2 + m] = static_cast<double>(wide[l * (l + 1) / 2 + m] * xplm_wide[l * (l + 1) + m]);
}

// Antiderivative from 0 of the trigonometric polynomial a0 + sum a_k cos k t
// + b_k sin k t, k = 1..D.
double fourier_primitive(int D, const double* a, const double* b, double t) {
  double f = a[0] * t;
  for (int k = 1; k <= D; k++) f += (a[k] * std::sin(k * t) - b[k] * (std::cos(k * t) - 1.0)) / k;
  return f;
}

// Samples g(t) = P_l^m(cos t) sin t at t_i = 2 pi i / n, i = 0..n-1, for all
// l <= L, m <= l at once (Legendre packing, sample-major); past degree
// kDoubleDegree the normalised Pbar_l^m instead. For t beyond pi,
// g(2 pi - t) = (-1)^(m+1) g(t): sin^m t is odd in t for odd m.
void sample_legendre_sin(int L, int n, std::vector<double>& g) {
  const int per = (L + 1) * (L + 2) / 2;
  g.assign(static_cast<size_t>(per) * n, 0.0);
  for (int i = 0; i < n; i++) {
    const double t = 2.0 * kPi * i / n;
    const bool upper = t > kPi;
    const double tt = upper ? 2.0 * kPi - t : t;
    double* row = &g[static_cast<size_t>(i) * per];
    plm_all_bar(std::min(L, kDoubleDegree), row, tt);
    if (L > kDoubleDegree) normalised_high_degrees(L, row, tt);
    const double st = std::sin(tt);
    for (int l = 0; l <= L; l++)
      for (int m = 0; m <= l; m++) {
        double& v = row[l * (l + 1) / 2 + m];
        v *= st;
        if (upper && m % 2 == 0) v = -v;
      }
  }
}

// The integral over [theta1, theta2] (mapped into [0, pi] through their
// cosines) of g from its n samples: a trigonometric polynomial of degree
// l + 1 < n / 2, recovered exactly by the discrete Fourier sums.
// cos(k t_i) and sin(k t_i) of the sample angles t_i = 2 pi i / n, k = 0..K,
// at i (K + 1) + k: the same for every (l, m) of a set, so made once.
struct SampleTrig {
  int K;
  std::vector<double> c, s;
  SampleTrig(int n, int K_) : K(K_), c(static_cast<size_t>(n) * (K_ + 1)), s(c.size()) {
    for (int i = 0; i < n; i++) {
      const double t = 2.0 * kPi * i / n;
      for (int k = 0; k <= K; k++) {
        c[static_cast<size_t>(i) * (K + 1) + k] = std::cos(k * t);
        s[static_cast<size_t>(i) * (K + 1) + k] = std::sin(k * t);
      }
    }
  }
};

double integrate_samples(int l, int n, const double* g, int stride, double theta1, double theta2,
                         const SampleTrig& trig) {
  const int D = l + 1;
  std::vector<double> a(D + 1, 0.0), b(D + 1, 0.0);
  for (int i = 0; i < n; i++) {
    const double v = g[static_cast<size_t>(i) * stride];
    const double* ci = &trig.c[static_cast<size_t>(i) * (trig.K + 1)];
    const double* si = &trig.s[static_cast<size_t>(i) * (trig.K + 1)];
    a[0] += v;
    for (int k = 1; k <= D; k++) {
      a[k] += v * ci[k];
      b[k] += v * si[k];
    }
  }
  a[0] /= n;
  for (int k = 1; k <= D; k++) {
    a[k] *= 2.0 / n;
    b[k] *= 2.0 / n;
  }
  const double t1 = std::acos(std::cos(theta1)), t2 = std::acos(std::cos(theta2));
  return fourier_primitive(D, a.data(), b.data(), t2) - fourier_primitive(D, a.data(), b.data(), t1);
}

int sample_count(int L) { return 2 * L + 6; }

}  // namespace

void plm_init() { std::call_once(legendre_once, build_legendre); }

void cos_sin_vec(int M, double angle, double* c, double* s) {
  c[0] = 1.0;
  s[0] = 0.0;
  double sn, cs;
  sincos(angle, &sn, &cs);
  c[1] = cs;
  s[1] = sn;
  for (int k = 1; k < M; k++) {
    c[k + 1] = 2.0 * cs * c[k] - c[k - 1];
    s[k + 1] = 2.0 * cs * s[k] - s[k - 1];
  }
}

void cos_sin_pm(int M, double angle, double* c, double* s) {
  double* cc = c + ZAM_MCENTRE;
  double* ss = s + ZAM_MCENTRE;
  cos_sin_vec(M, angle, cc, ss);
  for (int k = 1; k <= M; k++) {
    cc[-k] = cc[k];
    ss[-k] = -ss[k];
  }
}

void plm_all_bar(int L, double* out, double theta) {
  plm_init();
  if (L <= kDoubleDegree) {
    legendre_set<double>(L, out, theta);
    return;
  }
  // Past degree kDoubleDegree the values run in long double; those that
  // exceed double range come out infinite, as a double must hold them.
  legendre_set<double>(kDoubleDegree, out, theta);
  std::vector<long double> wide((L + 1) * (L + 2) / 2);
  legendre_set<long double>(L, wide.data(), theta);
  for (int i = (kDoubleDegree + 1) * (kDoubleDegree + 2) / 2; i < (L + 1) * (L + 2) / 2; i++)
    out[i] = static_cast<double>(wide[i]);
}

void ylm_all_bar(int L, double* out, double theta, double phi) {
  // Called once per grid point by skin integration: the Legendre set of the
  // usual degrees stays on the stack.
  constexpr int kStackDegree = 40;
  double small[(kStackDegree + 1) * (kStackDegree + 2) / 2];
  std::vector<double> large(L > kStackDegree ? (L + 1) * (L + 2) / 2 : 0);
  double* p = L > kStackDegree ? large.data() : small;
  double z[ZAM_MTABLE];
  plm_all_bar(L, p, theta);
  zm_all_bar(L, z, phi);
  for (int l = 0; l <= L; l++) {
    const double* pl = &p[l * (l + 1) / 2];
    double* o = out + l * (l + 1);
    const double* zc = z + ZAM_MCENTRE;
    for (int m = 1; m <= l; m++) o[-m] = pl[m] * zc[-m];
    for (int m = 0; m <= l; m++) o[m] = pl[m] * zc[m];
  }
}

void ylm_all_norm(int L, double* out) {
  plm_init();
  for (int l = 0; l <= L; l++)
    for (int m = -l; m <= l; m++) out[l * (l + 1) + m] = xplm_tab[l * (l + 1) + m] * zm_norm(m);
}

void zm_all_bar(int M, double* out, double phi) {
  double* z = out + ZAM_MCENTRE;
  double c[ZAM_LMAX + 2], s[ZAM_LMAX + 2];
  cos_sin_vec(M, phi, c, s);
  z[0] = 1.0;
  for (int k = 1; k <= M; k++) {
    z[k] = c[k];
    z[-k] = s[k];
  }
}

void zm_all(int M, double* out, double phi) {
  zm_all_bar(M, out, phi);
  double* z = out + ZAM_MCENTRE;
  z[0] *= kInvSqrt2Pi;
  for (int k = 1; k <= M; k++) {
    z[k] *= kInvSqrtPi;
    z[-k] *= kInvSqrtPi;
  }
}

double plm_series(int l, int m, double theta) {
  if (m > l || m < 0) return 0.0;
  plm_init();
  if (theta < 0.0) theta = 0.0;
  if (theta > kPi) theta = kPi;
  const double c = std::cos(theta), s = std::sin(theta);
  const double* cj = &clmj_tab[series_slot(l, m, 0)];
  double sum = 0.0, cp = 1.0;
  for (int j = 0; j <= l - m; j++) {
    if ((l + m + j) % 2 == 0) sum += cj[j] * cp;
    cp *= c;
  }
  return sum * std::pow(s, m);
}

double plm_coef(int l, int m, int j) {
  if (l < 0 || l > ZAM_LMAX || m < 0 || m > l || j < 0 || j > l - m) return 0.0;
  plm_init();
  return clmj_tab[series_slot(l, m, j)];
}

double plm(int l, int m, double theta) {
  const int am = m < 0 ? -m : m;
  if (am > l) return 0.0;
  plm_init();
  if (plm_from_series.load(std::memory_order_relaxed)) return plm_series(l, am, theta) * xplm_tab[l * (l + 1) + am];
  // In long double throughout: at high degree the unnormalised value and
  // its norm lie beyond double range on either side.
  long double v;
  if (near_pole(theta)) {
    std::vector<long double> p((l + 1) * (l + 2) / 2);
    pole_legendre<long double>(l, p.data(), theta);
    v = p[l * (l + 1) / 2 + am];
  } else {
    std::vector<long double> p(l + 1);
    const long double t = theta;
    legendre_degree<long double>(l, powl(sinl(t), l), 1 / tanl(t), p.data());
    v = p[am];
  }
  return static_cast<double>(v * xplm_wide[l * (l + 1) + am]);
}

double qlm(int l, int m, double theta) {
  const double v = plm(l, m, theta);
  return (m < 0 && (-m) % 2) ? -v : v;
}

double ylm(int l, int m, double theta, double phi) { return plm(l, m, theta) * zm(m, phi); }

Complex eim(int m, double phi) {
  double s, c;
  sincos(m * phi, &s, &c);
  return Complex{c * kInvSqrt2Pi, s * kInvSqrt2Pi};
}

Complex cylm(int l, int m, double theta, double phi) { return cscale(qlm(l, m, theta), eim(m, phi)); }

double ylm_norm(int l, int m) { return plm_norm(l, m) * zm_norm(m); }

double plm_norm(int l, int m) {
  plm_init();
  return xplm_tab[l * (l + 1) + m];
}

double plm_rnorm(int l, int m) {
  plm_init();
  return rplm_tab[l * (l + 1) + m];
}

double zm_norm(int m) { return m == 0 ? kInvSqrt2Pi : kInvSqrtPi; }

double zm_bar(int m, double phi) {
  if (m > 0) return std::cos(m * phi);
  if (m < 0) return std::sin(-m * phi);
  return 1.0;
}

double zm(int m, double phi) { return zm_bar(m, phi) * zm_norm(m); }

double dzm(int m, double phi) {
  if (m > 0) return -m * std::sin(m * phi) * kInvSqrtPi;
  if (m < 0) return -m * std::cos(-m * phi) * kInvSqrtPi;
  return 0.0;
}

void ylm_direct(int flag) { plm_from_series.store(flag, std::memory_order_relaxed); }

void ylm_short(int) {}

double tn(int n, double x) {
  if (x < -1.0 || x > 1.0) return 0.0;
  if (n <= 0) return kInvSqrtPi;
  return std::sqrt(2.0 / kPi) * std::cos(n * std::acos(x));
}

double izm_bar(int m, double phi1, double phi2) {
  if (m > 0) return (std::sin(m * phi2) - std::sin(m * phi1)) / m;
  if (m < 0) return (std::cos(-m * phi2) - std::cos(-m * phi1)) / m;
  return phi2 - phi1;
}

double izm(int m, double phi1, double phi2) { return izm_bar(m, phi1, phi2) * zm_norm(m); }

void izm_all(int M, double phi1, double phi2, double* out) {
  for (int m = -M; m <= M; m++) out[m + M] = izm(m, phi1, phi2);
}

namespace {

// The integral of Pbar_l^m(x) (divided by its norm when bar) over x from
// cos theta2 to cos theta1, from samples of plm.
double theta_integral(int l, int am, double theta1, double theta2, bool bar) {
  const int n = sample_count(l);
  std::vector<double> g(n);
  for (int i = 0; i < n; i++) {
    const double t = 2.0 * kPi * i / n;
    const bool upper = t > kPi;
    const double tt = upper ? 2.0 * kPi - t : t;
    double v = plm(l, am, tt) * std::sin(tt);
    if (bar) v /= plm_norm(l, am);
    if (upper && am % 2 == 0) v = -v;
    g[i] = v;
  }
  return integrate_samples(l, n, g.data(), 1, theta1, theta2, SampleTrig(n, l + 1));
}

}  // namespace

double iplm_bar(int l, int m, double theta1, double theta2) {
  const int am = m < 0 ? -m : m;
  if (am > l) return 0.0;
  return theta_integral(l, am, theta1, theta2, true);
}

double iplm(int l, int m, double theta1, double theta2) {
  const int am = m < 0 ? -m : m;
  if (am > l) return 0.0;
  return theta_integral(l, am, theta1, theta2, false);
}

void iplm_all(int L, double theta1, double theta2, double* out) {
  if (L < 0) return;
  const int n = sample_count(L), per = (L + 1) * (L + 2) / 2;
  std::vector<double> g;
  sample_legendre_sin(L, n, g);
  const SampleTrig trig(n, L + 1);
  for (int l = 0; l <= L; l++)
    for (int m = 0; m <= l; m++) {
      const int slot = l * (l + 1) / 2 + m;
      const double norm = l > kDoubleDegree ? 1.0 : plm_norm(l, m);  // those samples are normalised
      out[slot] = integrate_samples(l, n, &g[slot], per, theta1, theta2, trig) * norm;
    }
}

double ipklm(int k, int l, int m, double theta1, double theta2) {
  const int am = m < 0 ? -m : m;
  if (am > k || am > l) return 0.0;
  plm_init();
  const double x1 = std::cos(theta1), x2 = std::cos(theta2);
  const double* ck = &clmj_tab[series_slot(k, am, 0)];
  const double* cl = &clmj_tab[series_slot(l, am, 0)];
  double sum = 0.0;
  for (int j1 = 0; j1 <= k - am; j1++) {
    if ((k + am + j1) % 2 || ck[j1] == 0.0) continue;
    for (int j2 = 0; j2 <= l - am; j2++) {
      if ((l + am + j2) % 2 || cl[j2] == 0.0) continue;
      for (int i = 0; i <= am; i++) {
        const int p = j1 + j2 + 2 * i + 1;
        const double binom = fac(am) / (fac(am - i) * fac(i));
        const double term = ck[j1] * cl[j2] * binom * (std::pow(x1, p) - std::pow(x2, p)) / p;
        sum += (i % 2) ? -term : term;
      }
    }
  }
  return sum * plm_norm(k, am) * plm_norm(l, am);
}

void ipklm_all(int k, int L, int m, double theta1, double theta2, double* out) {
  for (int l = 0; l <= L; l++) out[l] = ipklm(k, l, m, theta1, theta2);
}

double isin(int k, double a, double b) {
  if (k == 0) return 0.0;
  return (std::cos(k * a) - std::cos(k * b)) / k;
}

double icos(int k, double a, double b) {
  if (k == 0) return b - a;
  return (std::sin(k * b) - std::sin(k * a)) / k;
}

double izmj(int m, int j, double phi1, double phi2) {
  const int p = m < 0 ? -m : m, q = j < 0 ? -j : j;
  double v;
  if (m >= 0 && j >= 0)
    v = 0.5 * (icos(p - q, phi1, phi2) + icos(p + q, phi1, phi2));
  else if (m < 0 && j < 0)
    v = 0.5 * (icos(p - q, phi1, phi2) - icos(p + q, phi1, phi2));
  else if (m < 0)
    v = 0.5 * (isin(p + q, phi1, phi2) + isin(p - q, phi1, phi2));
  else
    v = 0.5 * (isin(q + p, phi1, phi2) + isin(q - p, phi1, phi2));
  return v * zm_norm(m) * zm_norm(j);
}

void izmj_all(int M, int j, double phi1, double phi2, double* out) {
  for (int m = -M; m <= M; m++) out[m + M] = izmj(m, j, phi1, phi2);
}

void alm_zero(int L, double* a) {
  for (int i = 0; i < (L + 1) * (L + 1); i++) a[i] = 0.0;
}

double alm_dot(int L, const double* a, const double* b) {
  double s = 0.0;
  for (int i = 0; i < (L + 1) * (L + 1); i++) s += a[i] * b[i];
  return s;
}

double alm_mag(int L, const double* a) { return std::sqrt(alm_dot(L, a, a)); }

namespace {

// S_l = sum over m of a_lm y_lm(theta, phi), l = 0..L, into s.
void shell_sums(int L, const double* a, double theta, double phi, std::vector<double>& s) {
  std::vector<double> y((L + 1) * (L + 1)), nrm((L + 1) * (L + 1));
  ylm_all_bar(L, y.data(), theta, phi);
  ylm_all_norm(L, nrm.data());
  s.assign(L + 1, 0.0);
  for (int l = 0; l <= L; l++)
    for (int m = -l; m <= l; m++) {
      const int i = l * (l + 1) + m;
      s[l] += a[i] * y[i] * nrm[i];
    }
}

}  // namespace

double alm_value(int L, const double* a, double theta, double phi) {
  if (L < 0) return 0.0;
  std::vector<double> s;
  shell_sums(L, a, theta, phi, s);
  double v = 0.0;
  for (double x : s) v += x;
  return v;
}

double ylm_potential(int L, const double* a, double r0, double r, double theta, double phi) {
  if (L < 0) return 0.0;
  std::vector<double> s;
  shell_sums(L, a, theta, phi, s);
  double v = 0.0;
  for (int l = 0; l <= L; l++) {
    const double sl = 4.0 * kPi / (2 * l + 1) * s[l];
    v += r <= r0 ? sl * std::pow(r, l) / std::pow(r0, 2 * l + 1) : sl / std::pow(r, l + 1);
  }
  return v;
}
