// Associated Legendre functions P_l^m(cos theta) with the Condon-Shortley
// phase and real spherical harmonics y_lm(theta, phi) for degrees 0..160:
// single values, whole sets at one point, their norms, integrals over ranges
// of theta and phi, and single-shell harmonic vectors (one a_lm per slot
// l(l+1)+m). The exact-coefficient tables behind them are built once, on first
// use, under plain lock 5 and read without a lock afterwards, so every
// function here may run on many threads at once.
//
// Packings: full sets m = -l..l at l(l+1)+m; Legendre sets m = 0..l at
// l(l+1)/2+m; azimuthal tables centred, m at entry 160+m of 321 entries.
#pragma once

#include "geometry/zam_complex.h"

constexpr int ZAM_LMAX = 160;          // highest degree of every table
constexpr int ZAM_MCENTRE = 160;       // entry of m = 0 in a centred table
constexpr int ZAM_MTABLE = 321;        // entries of a centred table

// Builds the tables (idempotent; every function below calls it as needed).
void plm_init();

// ---- values ----
// Unnormalised P_l^m(cos theta), l = 0..L, m = 0..l, Legendre packing. By the
// recursion in m, from the series within 0.01 of a pole.
void plm_all_bar(int L, double* out, double theta);
// Unnormalised P_l^|m|(cos theta) Z_m(phi), full packing, (L+1)^2 values.
void ylm_all_bar(int L, double* out, double theta, double phi);
// The norms N_lm that turn ylm_all_bar values into y_lm, full packing.
void ylm_all_norm(int L, double* out);
// Z_m(phi) (cos(m phi), sin(|m| phi), 1) and z_m = Z_m times its norm,
// m = -M..M, written at out[160 + m].
void zm_all_bar(int M, double* out, double phi);
void zm_all(int M, double* out, double phi);
// Unnormalised P_l^m from the power series (theta clamped to [0, pi]); 0 when m > l.
double plm_series(int l, int m, double theta);
// Coefficient j of that series: P_l^m(x) = (1-x^2)^(m/2) sum over j = 0..l-m
// of plm_coef(l, m, j) x^j (0 when l + m + j is odd or j, m outside it).
double plm_coef(int l, int m, int j);
// Normalised Pbar_l|m|(cos theta) (0 when |m| > l).
double plm(int l, int m, double theta);
// plm(l, |m|) times (-1)^m for m < 0: the complex-harmonic convention.
double qlm(int l, int m, double theta);
double ylm(int l, int m, double theta, double phi);
// (cos m phi, sin m phi) / sqrt(2 pi).
Complex eim(int m, double phi);
// The complex harmonic qlm(l, m, theta) eim(m, phi).
Complex cylm(int l, int m, double theta, double phi);
double ylm_norm(int l, int m);   // N_lm
double plm_norm(int l, int m);   // sqrt((2l+1)/2 (l-|m|)!/(l+|m|)!)
double zm_norm(int m);           // 1/sqrt(pi), or 1/sqrt(2 pi) for m = 0
// sqrt((2l)! / ((l+m)! (l-m)!)), |m| <= l: the end values of the Wigner rows.
double plm_rnorm(int l, int m);
double zm_bar(int m, double phi);
double zm(int m, double phi);
double dzm(int m, double phi);   // d z_m / d phi
// Non-zero: plm takes single values from the series instead of the
// recursion. Process-wide; meant to be set before threads start.
void ylm_direct(int flag);
// Accepted for the library's interface and ignored: there is no shortened
// form of the tables; values are the same whatever the flag.
void ylm_short(int flag);
// Normalised Chebyshev polynomial: 0 outside [-1, 1], 1/sqrt(pi) for n <= 0,
// sqrt(2/pi) cos(n acos x) otherwise.
double tn(int n, double x);
// c[k] = cos(k angle), s[k] = sin(k angle), k = 0..M (entries 0 and 1 always
// written): one sincos, then the Chebyshev recurrence.
void cos_sin_vec(int M, double angle, double* c, double* s);
// The same into centred tables (c and s point at entry -160): k and -k.
void cos_sin_pm(int M, double angle, double* c, double* s);

// ---- integrals ----
// Integral of Z_m over [phi1, phi2]; izm with the norm of z_m; izm_all for
// m = -M..M into out[m + M].
double izm_bar(int m, double phi1, double phi2);
double izm(int m, double phi1, double phi2);
void izm_all(int M, double phi1, double phi2, double* out);
// Integral of P_l^|m|(x) dx over x from cos theta2 to cos theta1; 0 when
// |m| > l. Exact for every m: the integrand in theta is a trigonometric
// polynomial of degree l+1, integrated term by term.
double iplm_bar(int l, int m, double theta1, double theta2);
// The same times plm_norm; iplm_all for l = 0..L, m = 0..l, Legendre packing.
double iplm(int l, int m, double theta1, double theta2);
void iplm_all(int L, double theta1, double theta2, double* out);
// Integral of Pbar_kj Pbar_lj dx, j = |m|, over the same x range; 0 when
// |m| exceeds k or l. ipklm_all: out[l] for l = 0..L.
double ipklm(int k, int l, int m, double theta1, double theta2);
void ipklm_all(int k, int L, int m, double theta1, double theta2, double* out);
// Integrals of sin(k phi) and cos(k phi) over [a, b] (k = 0 gives 0 and b - a).
double isin(int k, double a, double b);
double icos(int k, double a, double b);
// Integral of z_m z_j over [phi1, phi2]; izmj_all: out[m + M] for m = -M..M.
double izmj(int m, int j, double phi1, double phi2);
void izmj_all(int M, int j, double phi1, double phi2, double* out);

// ---- single-shell harmonic vectors, (L+1)^2 slots ----
void alm_zero(int L, double* a);
double alm_dot(int L, const double* a, const double* b);
double alm_mag(int L, const double* a);
// Sum over l, m of a_lm y_lm(theta, phi).
double alm_value(int L, const double* a, double theta, double phi);
// Potential of the surface distribution sum a_lm y_lm on a sphere of radius
// r0, at (r, theta, phi): with S_l = 4 pi/(2l+1) sum_m a_lm y_lm, the sum of
// S_l r^l / r0^(2l+1) inside (r <= r0), of S_l / r^(l+1) outside.
double ylm_potential(int L, const double* a, double r0, double r, double theta, double phi);
