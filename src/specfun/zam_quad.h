// Gauss-Legendre quadrature: nodes and weights of the n-point rule on an
// interval, exact for polynomials of degree below 2n.
#pragma once

// x[0..n-1] and w[0..n-1] for the interval [a, b], nodes in falling order
// (the roots of P_n by Newton's method from Tricomi's first guesses).
void zam_gauss_legendre(int n, double a, double b, double* x, double* w);
