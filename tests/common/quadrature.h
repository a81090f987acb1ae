// Gauss-Legendre quadrature for tests that check integrals numerically.
#pragma once

#include <vector>

#include "specfun/zam_quad.h"

namespace testutil {

// n nodes and weights on [a, b]; exact for polynomials of degree < 2n.
inline void gauss_legendre(int n, double a, double b, std::vector<double>& x, std::vector<double>& w) {
  x.assign(n, 0.0);
  w.assign(n, 0.0);
  zam_gauss_legendre(n, a, b, x.data(), w.data());
}

}  // namespace testutil
