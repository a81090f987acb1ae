// Gauss-Legendre quadrature for tests that check integrals numerically.
#pragma once

#include <cmath>
#include <vector>

namespace testutil {

// n nodes and weights on [a, b]; exact for polynomials of degree < 2n.
inline void gauss_legendre(int n, double a, double b, std::vector<double>& x, std::vector<double>& w) {
  x.assign(n, 0.0);
  w.assign(n, 0.0);
  for (int i = 0; i < n; i++) {
    double z = std::cos(M_PI * (i + 0.75) / (n + 0.5)), dp = 0.0;
    for (int it = 0; it < 100; it++) {
      double p0 = 1.0, p1 = z;
      for (int k = 2; k <= n; k++) {
        const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      if (n == 1) p0 = 1.0, p1 = z;
      dp = n * (z * p1 - p0) / (z * z - 1.0);
      const double dz = p1 / dp;
      z -= dz;
      if (std::fabs(dz) < 1e-16) break;
    }
    x[i] = 0.5 * (a + b) + 0.5 * (b - a) * z;
    w[i] = (b - a) / ((1.0 - z * z) * dp * dp);
  }
}

}  // namespace testutil
