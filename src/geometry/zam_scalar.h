// Small scalar functions for the special-function and expansion code: signs
// and parities of integers, rounding of work sizes, tabulated square roots of
// 0..170 (double and extended; each table built once under plain lock 6), the
// real roots of a quadratic and the confluent hypergeometric 1F1.
#pragma once

int neg1_m(int m);              // (-1)^m, also for negative m
int odd_m(int m);               // 1 for odd m (negative included), else 0
int even_m(int m);              // 1 for even m, else 0
int kronecker(int i, int j);    // 1 when i == j, else 0
// n rounded up to a multiple of m (away from zero for n < 0); m != 0.
int roundup_m(int n, int m);
// n rounded up to a multiple of unit, plus one unit more when that is an
// exact multiple of banks * unit (avoids bank conflicts); unit, banks != 0.
int roundup_bank(int n, int unit, int banks);
// sqrt(n) from the table; n outside 0..170 is reported through zam_err and
// computed directly (a negative n gives a non-number).
double sqrtn(int n);
long double hsqrtn(int n);
long double hsqrt(long double x);
// Real roots of a x^2 + b x + c = 0: returns their number (0, 1 or 2) and
// writes only that many of x1, x2.
int quad_roots(double* x1, double* x2, double a, double b, double c);
// Confluent hypergeometric 1F1(a; b; z): power series for |z| <= 0.5
// (warns through zam_wrn when 400 terms do not settle), else integration of
// Kummer's equation along a complex path.
double h1f1(double a, double b, double z);
