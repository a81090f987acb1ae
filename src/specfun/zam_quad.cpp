#include "specfun/zam_quad.h"

#include <cmath>

void zam_gauss_legendre(int n, double a, double b, double* x, double* w) {
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  for (int i = 0; i < n; i++) {
    double z = std::cos(M_PI * (i + 0.75) / (n + 0.5)), dp = 1.0;
    for (int it = 0; it < 100; it++) {
      double p0 = 1.0, p1 = z;  // P_(k-1), P_k by Bonnet's recurrence
      for (int k = 2; k <= n; k++) {
        const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = n * (z * p1 - p0) / (z * z - 1.0);
      const double dz = p1 / dp;
      z -= dz;
      if (std::fabs(dz) < 1e-16) break;
    }
    x[i] = mid + half * z;
    w[i] = 2.0 * half / ((1.0 - z * z) * dp * dp);
  }
}
