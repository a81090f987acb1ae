#include "specfun/zam_wcc.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "geometry/zam_scalar.h"
#include "runtime/zam_log.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"

namespace {

// The largest j1 and j2 at which the long-double Racah sum holds to 1e-10.
constexpr int kAccurateJ = 45;

bool allowed(int j1, int j2, int j3, int m1, int m2, int m3) {
  return j3 <= j1 + j2 && j3 >= std::abs(j1 - j2) && std::abs(m1) <= j1 && std::abs(m2) <= j2 &&
         std::abs(m3) <= j3;
}

// sqrt(a b) from the table of integer roots.
long double root2(int a, int b) { return hsqrtn(a) * hsqrtn(b); }

// The summation range of the Racah sum for (j1 m1, j2 m2; j3): the
// denominators are k!, (a-k)!, (b-k)!, (c-k)!, (d+k)!, (e+k)!.
struct RacahSum {
  int a, b, c, d, e, klo, khi;
  RacahSum(int j1, int j2, int j3, int m1, int m2)
      : a(j1 + j2 - j3), b(j1 - m1), c(j2 + m2), d(j3 - j2 + m1), e(j3 - j1 - m2) {
    klo = 0;
    if (-d > klo) klo = -d;
    if (-e > klo) klo = -e;
    khi = a;
    if (b < khi) khi = b;
    if (c < khi) khi = c;
  }
};

// sqrt((j1+j2-j3)!(j1-j2+j3)!(-j1+j2+j3)!/(j1+j2+j3+1)! prod (ji +- mi)!)
// from the long-double factorial table.
long double racah_root(int j1, int j2, int j3, int m1, int m2, int m3) {
  const long double t = hfac(j1 + j2 - j3) * hfac(j1 - j2 + j3) * hfac(-j1 + j2 + j3) / hfac(j1 + j2 + j3 + 1);
  return std::sqrt(t * hfac(j1 + m1) * hfac(j1 - m1) * hfac(j2 + m2) * hfac(j2 - m2) * hfac(j3 + m3) *
                   hfac(j3 - m3));
}

int sign_of(int n) { return n % 2 == 0 ? 1 : -1; }  // (-1)^n, also for n < 0

// C0(m-1) and D1(m-1) from C0(m) and D1(m) (the downward step of a row);
// root(p, q) is the square root of the integer product p q.
template <class Root>
void step_down(int j1, int j2, long double S, int m, long double* C0, long double* D1, Root root) {
  const long double d1 = (S * *C0 - root(j1 + m + 1, j1 - m) * *D1) / root(j2 - m + 1, j2 + m);
  *C0 = (S * d1 - root(j2 - m + 1, j2 + m) * *C0) / root(j1 - m + 1, j1 + m);
  *D1 = d1;
}

}  // namespace

long double wcc(int j1, int j2, int j3, int m1, int m2, int m3) {
  if (m3 != m1 + m2 || !allowed(j1, j2, j3, m1, m2, m3)) return 0;
  sp_t_struct s;
  sp_init(&s);
  long double v = 0;
  if (m1 == 0 && m2 == 0) {
    const int J = j1 + j2 + j3;
    if (J % 2 != 0) {
      sp_free(&s);
      return 0;
    }
    const int g = J / 2;
    sp_fac(&s, +1, J - 2 * j3);
    sp_fac(&s, +1, J - 2 * j2);
    sp_fac(&s, +1, J - 2 * j1);
    sp_fac(&s, -1, J + 1);
    const long double r = hsqrt(sp_ans(&s));
    sp_fac(&s, +1, g);
    sp_fac(&s, -1, g - j1);
    sp_fac(&s, -1, g - j2);
    sp_fac(&s, -1, g - j3);
    v = sign_of(g - j3) * r * sp_ans(&s);
  } else {
    const RacahSum k(j1, j2, j3, m1, m2);
    const int top = std::max(j1, j2);
    if (k.khi > k.klo && top > kAccurateJ)
      zam_wrn_once("wcc", "wcc: degree %d is beyond the long-double Racah sum, which holds to 1e-10 only up to %d.\n",
                   top, kAccurateJ);
    for (int i = k.klo; i <= k.khi; i++) {
      sp_fac(&s, -1, i);
      sp_fac(&s, -1, k.a - i);
      sp_fac(&s, -1, k.b - i);
      sp_fac(&s, -1, k.c - i);
      sp_fac(&s, -1, k.d + i);
      sp_fac(&s, -1, k.e + i);
      v += sign_of(i) * sp_ans(&s);
    }
    sp_fac(&s, +1, k.a);
    sp_fac(&s, +1, j1 - j2 + j3);
    sp_fac(&s, +1, -j1 + j2 + j3);
    sp_fac(&s, -1, j1 + j2 + j3 + 1);
    sp_fac(&s, +1, j1 + m1);
    sp_fac(&s, +1, j1 - m1);
    sp_fac(&s, +1, j2 + m2);
    sp_fac(&s, +1, j2 - m2);
    sp_fac(&s, +1, j3 + m3);
    sp_fac(&s, +1, j3 - m3);
    v *= hsqrt(sp_ans(&s));
  }
  sp_free(&s);
  return v * hsqrtn(2 * j3 + 1);
}

long double w3j(int j1, int j2, int j3, int m1, int m2, int m3) {
  return sign_of(j1 - j2 - m3) / hsqrtn(2 * j3 + 1) * wcc(j1, j2, j3, m1, m2, -m3);
}

long double t3j(int j1, int j2, int j3, int m1, int m2, int m3) {
  if (m1 + m2 + m3 != 0 || !allowed(j1, j2, j3, m1, m2, m3)) return 0;
  const RacahSum k(j1, j2, j3, m1, m2);
  long double sum = 0;
  for (int i = k.klo; i <= k.khi; i++)
    sum += sign_of(i) / (hfac(i) * hfac(k.a - i) * hfac(k.b - i) * hfac(k.c - i) * hfac(k.d + i) * hfac(k.e + i));
  return sign_of(j1 - j2 - m3) * racah_root(j1, j2, j3, m1, m2, m3) * sum;
}

long double m3j(int j1, int j2, int j3, int m1, int m2, int m3) {
  if (m1 + m2 + m3 != 0 || !allowed(j1, j2, j3, m1, m2, m3)) return 0;
  const RacahSum k(j1, j2, j3, m1, m2);
  // The sum as its first term times 1 + r1 (1 + r2 (1 + ...)), each r the
  // ratio of a term to the one before, nested from the last term inwards.
  long double nest = 1;
  for (int i = k.khi - 1; i >= k.klo; i--)
    nest = 1 - nest * static_cast<long double>(k.a - i) * (k.b - i) * (k.c - i) /
                   (static_cast<long double>(i + 1) * (k.d + i + 1) * (k.e + i + 1));
  const int i = k.klo;
  const long double first =
      sign_of(i) / (hfac(i) * hfac(k.a - i) * hfac(k.b - i) * hfac(k.c - i) * hfac(k.d + i) * hfac(k.e + i));
  return sign_of(j1 - j2 - m3) * racah_root(j1, j2, j3, m1, m2, m3) * first * nest;
}

void wcc_all(int j1, int j2, int j3, double* out) {
  const int t = j1 < j2 ? j1 : j2;
  for (int m = 0; m <= t; m++) out[m] = wcc_mp(j1, j2, j3, m, -m, 0);
}

void wcc_up(int j1, int j2, int j3, int a, int b, double* out) {
  const long double S = root2(j3, j3 + 1);
  long double c0 = wcc(j1, j2, j3, a, -a, 0);
  long double c1 = wcc(j1, j2, j3, a - 1, -a, -1);  // <j1 m-1 j2 -m | j3 -1>
  out[a] = static_cast<double>(c0);
  for (int m = a; m < b; m++) {
    const long double n1 = (S * c0 - root2(j1 + m, j1 - m + 1) * c1) / root2(j2 - m, j2 + m + 1);
    c0 = (S * n1 - root2(j2 + m + 1, j2 - m) * c0) / root2(j1 - m, j1 + m + 1);
    c1 = n1;
    out[m + 1] = static_cast<double>(c0);
  }
}

void wcc_down(int j1, int j2, int j3, int a, int b, double* out) {
  const long double S = root2(j3, j3 + 1);
  long double c0 = wcc(j1, j2, j3, b, -b, 0);
  long double d1 = wcc(j1, j2, j3, b + 1, -b, 1);  // <j1 m+1 j2 -m | j3 1>
  out[b] = static_cast<double>(c0);
  for (int m = b; m > a; m--) {
    step_down(j1, j2, S, m, &c0, &d1, root2);
    out[m - 1] = static_cast<double>(c0);
  }
}

void wcc_stride(int j1, int j2, int j3, int s, double* out) {
  const int t = j1 < j2 ? j1 : j2;
  if (s < 1) s = 1;
  if (s > t + 1) s = t + 1;
  for (int m = 0; m <= t; m++) out[m] = -std::numeric_limits<double>::infinity();
  const long double S = hsqrt(static_cast<long double>(j3) * (j3 + 1));
  auto root = [](int p, int q) { return hsqrt(static_cast<long double>(p) * q); };
  for (int top = t; top >= 0; top -= s) {
    long double c0 = wcc(j1, j2, j3, top, -top, 0);
    long double d1 = top == t && t + 1 > j1 ? 0 : wcc(j1, j2, j3, top + 1, -top, 1);
    out[top] = static_cast<double>(c0);
    const int bottom = top - s + 1 > 0 ? top - s + 1 : 0;
    for (int m = top; m > bottom; m--) {
      step_down(j1, j2, S, m, &c0, &d1, root);
      out[m - 1] = static_cast<double>(c0);
    }
  }
}
