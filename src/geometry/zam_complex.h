// Complex numbers as two doubles, passed and returned by value; used by the
// confluent hypergeometric function. No state, no allocation.
#pragma once

struct Complex {
  double re, im;
};

inline Complex cmake(double re, double im) { return Complex{re, im}; }
inline void cunpack(double* re, double* im, Complex z) {
  *re = z.re;
  *im = z.im;
}
inline Complex cadd(Complex a, Complex b) { return Complex{a.re + b.re, a.im + b.im}; }
inline Complex csub(Complex a, Complex b) { return Complex{a.re - b.re, a.im - b.im}; }
inline Complex cneg(Complex a) { return Complex{-a.re, -a.im}; }  // -0 for +0: sign bits flip
inline Complex cscale(double s, Complex a) { return Complex{s * a.re, s * a.im}; }
inline Complex cmul(Complex a, Complex b) {
  return Complex{b.re * a.re - b.im * a.im, a.im * b.re + a.re * b.im};
}
// a / b; a zero b gives (0, 0) rather than infinities or non-numbers.
Complex cdiv(Complex a, Complex b);
