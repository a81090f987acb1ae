// Clebsch-Gordan coefficients <j1 m1 j2 m2 | j3 m3> and Wigner 3j symbols in
// long double (integer angular momenta, Condon-Shortley phase): the Racah
// single sum with exact factorial ratios, and whole rows of m3 = 0
// coefficients by lowering and raising recursions. Reentrant; the square
// roots of integers come from the geometry layer's table of 0..170, so every
// j1 +- m, j2 +- m and 2j3 + 1 must stay within it (j3 <= 84).
#pragma once

// The coupling coefficient; 0 outside the selection rules. Factorial
// arguments must stay within 0..650. Where the Racah sum has more than one
// term its terms alternate and cancel, and long double loses a digit for
// about every five units of j: wcc then holds to 1e-10 (absolute; the
// coefficients lie within [-1, 1]) while j1 and j2 are at most 45 (j3 up
// to their sum), and to only 1e-3 relative at 84; such a call beyond 45
// warns once per process. A sum of one term (j3 = j1 + j2, m1 = +-j1 or
// m2 = +-j2) and the closed form of m1 = m2 = 0 keep full precision at
// every j.
long double wcc(int j1, int j2, int j3, int m1, int m2, int m3);
// The 3j symbol (-1)^(j1-j2-m3) / sqrt(2j3+1) wcc(j1, j2, j3, m1, m2, -m3).
long double w3j(int j1, int j2, int j3, int m1, int m2, int m3);
// The 3j symbol by two arrangements of the Racah sum with factorials of
// 0..170 (the long-double table): term by term, and by the ratio of each
// term to the one before. 0 unless the triangle rule holds, |mi| <= ji and
// m1 + m2 + m3 = 0.
long double t3j(int j1, int j2, int j3, int m1, int m2, int m3);
long double m3j(int j1, int j2, int j3, int m1, int m2, int m3);
// Rows out[m] = <j1 m j2 -m | j3 0> for m = 0..min(j1, j2) (the caller's
// array): by the Racah formula in GMP floats; for m = a up to b by the
// upward recursion from Racah values at a; for m = b down to a by the
// downward one from Racah values at b; in blocks of s values (s clamped to
// 1..t+1), each restarted from Racah values, downwards from m = t.
void wcc_all(int j1, int j2, int j3, double* out);
void wcc_up(int j1, int j2, int j3, int a, int b, double* out);
void wcc_down(int j1, int j2, int j3, int a, int b, double* out);
void wcc_stride(int j1, int j2, int j3, int s, double* out);
