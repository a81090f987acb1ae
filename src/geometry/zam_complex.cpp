#include "geometry/zam_complex.h"

#include <cmath>

Complex cdiv(Complex a, Complex b) {
  if (b.re == 0.0 && b.im == 0.0) return Complex{0.0, 0.0};
  const double m = b.re * b.re + b.im * b.im;
  if (m > 0.0 && std::isfinite(m))
    return Complex{(b.im * a.im + b.re * a.re) / m, (a.im * b.re - a.re * b.im) / m};
  // |b|^2 under- or overflows: divide by the scaled b instead.
  const double s = std::fmax(std::fabs(b.re), std::fabs(b.im));
  const double br = b.re / s, bi = b.im / s;
  const double ms = (br * br + bi * bi) * s;
  return Complex{(bi * a.im + br * a.re) / ms, (a.im * br - a.re * bi) / ms};
}
