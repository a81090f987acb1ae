// The Racah sum for <j1 m1 j2 m2 | j3 m1+m2> written out on its own for the
// coupling tests: the square of the coefficient as an exact rational and its
// sign, the sum over k taken as a nested product of the integer term ratios
// (so it stays in integers); and the coefficient as a long double correct to
// its last bits.
#pragma once

#include <gmpxx.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace testutil {

struct Racah {
  std::vector<mpz_class> fac;
  Racah() : fac(400) {
    fac[0] = 1;
    for (size_t i = 1; i < fac.size(); i++) fac[i] = fac[i - 1] * static_cast<unsigned long>(i);
  }
  static bool allowed(int j1, int j2, int j3, int m1, int m2) {
    return j3 >= std::abs(j1 - j2) && j3 <= j1 + j2 && std::abs(m1) <= j1 && std::abs(m2) <= j2 &&
           std::abs(m1 + m2) <= j3;
  }
  // <j1 m1 j2 m2 | j3 m1+m2>^2 into sq; returns the sign (-1, 0, 1).
  int eval(int j1, int j2, int j3, int m1, int m2, mpq_class& sq) const {
    if (!allowed(j1, j2, j3, m1, m2)) {
      sq = 0;
      return 0;
    }
    const int m3 = m1 + m2;
    const int a = j1 + j2 - j3, b = j1 - m1, c = j2 + m2, d = j3 - j2 + m1, e = j3 - j1 - m2;
    const int klo = std::max({0, -d, -e}), khi = std::min({a, b, c});
    // Terms t_k, ratio t_(k+1)/t_k = -p_k/q_k; sum = t_klo A/B with
    // A_k = B_k - p_k A_(k+1), B_k = q_k B_(k+1), A = B = 1 past the end.
    mpz_class A = 1, B = 1;
    for (int k = khi - 1; k >= klo; k--) {
      const long p = long(a - k) * (b - k) * (c - k), q = long(k + 1) * (d + k + 1) * (e + k + 1);
      A = B * q - A * p;
      B = B * q;
    }
    const mpz_class t0 = fac[klo] * fac[a - klo] * fac[b - klo] * fac[c - klo] * fac[d + klo] * fac[e + klo];
    mpq_class pre(mpz_class(2 * j3 + 1) * fac[a] * fac[j1 - j2 + j3] * fac[-j1 + j2 + j3] * fac[j1 + m1] *
                      fac[j1 - m1] * fac[j2 + m2] * fac[j2 - m2] * fac[j3 + m3] * fac[j3 - m3],
                  fac[j1 + j2 + j3 + 1]);
    pre.canonicalize();
    mpq_class s(A, B * t0);
    s.canonicalize();
    sq = pre * s * s;
    return sgn(A) * (klo % 2 == 0 ? 1 : -1);
  }
  // The coefficient itself, through a 256-bit root.
  long double value(int j1, int j2, int j3, int m1, int m2) const {
    mpq_class sq;
    const int sign = eval(j1, j2, j3, m1, m2, sq);
    mpf_class f(sq, 256);
    f = sqrt(f);
    const double hi = f.get_d();
    f -= hi;
    return sign * (static_cast<long double>(hi) + f.get_d());
  }
};

}  // namespace testutil
