// Complex coefficient vectors for the rotational FFT search: the slots of a
// real coefficient vector holding complex values (pairs of doubles, real part
// first), conversions between the real-harmonic basis and the two complex
// bases, conjugates, phase factors of a turn about z, complex dot products
// and conversions between double, float and long-double complex arrays.
// With s = (-1)^m and m > 0, for each (n, l):
//   q basis (complex harmonics qlm e^(i m phi)): q_0 = c_0,
//     q_m = (c_m - i c_-m)/sqrt2, q_-m = s (c_m + i c_-m)/sqrt2;
//   z basis: z_0 = c_0, z_m = (c_m + i c_-m)/sqrt2, z_-m = s (c_m - i c_-m)/sqrt2.
// A real source is read with zero imaginary parts; a real result keeps the
// real parts. Nothing allocates its result or keeps state; in and out must
// differ unless stated. Single shells of degree L use slots l(l+1)+m.
#pragma once

#include "geometry/zam_complex.h"

// ---- small operations ----
Complex zi_m(int m);        // i^m, m of any sign
Complex zneg1_m(int m);     // (-1)^m
Complex zeim(int m, double phi);                       // (cos m phi, sin m phi)/sqrt(2 pi)
Complex zlm(int l, int m, double theta, double phi);   // qlm(l, m, theta) zeim(m, phi)
// out[k] = (re[k], im[k]); a null re or im gives zero parts.
void zjoin(int n, const double* re, const double* im, double* out);
// re[k], im[k] from z[k]; a null re or im is skipped.
void zsplit(int n, const double* z, double* re, double* im);
void zswap(int n, const double* z, double* out);        // (Im, Re)
void zconj(int n, const double* z, double* out);        // in place allowed
void zconjf(int n, const float* z, float* out);         // in place allowed
void zd2zf(int n, const double* src, float* dst);
void zf2zd(int n, const float* src, double* dst);
void zreal(int n, const double* z, double* out);
void zimag(int n, const double* z, double* out);
// Long-double complex values, each part in its own long double.
void zzreal(int n, const long double* z, double* out);
void zzimag(int n, const long double* z, double* out);
void zam_f2d(const float* src, int n, double* dst);
void zam_d2f(const double* src, int n, float* dst);

// ---- whole vectors of order N ----
// a + i b (real vectors) to the q basis.
void qnlm_abnlm(int N, const double* a, const double* b, double* q);
void qnlm_cnlm(int N, const double* c, double* q);   // complex real basis -> q
void cnlm_qnlm(int N, const double* q, double* c);   // q -> complex real basis
void qnlm_anlm(int N, const double* a, double* q);   // real -> q
void anlm_qnlm(int N, const double* q, double* a);   // q -> real (real parts)
void qnlm_conj(int N, const double* q, double* out); // in place allowed
// Sum over all slots of a b, without conjugation; (0, 0) for an empty vector.
Complex zanlm_dot(int N, const double* a, const double* b);
// The same over nvec consecutive vector pairs.
Complex zanlm_stupid(int nvec, int N, const double* a, const double* b);
// Every slot (n, l, m) = exp(-i m phi); times a q-basis vector (znlm_mult)
// this turns the function by phi about z.
void znlm_phi(int N, double phi, double* out);
void znlm_mult(int N, const double* a, const double* b, double* out);  // slot by slot
// Rotates nvec q-basis vectors by the Euler angles with the complex Wigner
// matrices D^l_mk = exp(-i m alpha) d^l_mk(beta) exp(-i k gamma): the same
// rotation as zam_rm3_apply on the real vectors. in and out must differ.
void zanlm_rotate(int N, int nvec, double alpha, double beta, double gamma, const double* in, double* out);
// Each slot of a q-basis vector times exp(-i m phi): the turn by phi about z.
void zanlm_rot_phi(int N, double phi, const double* in, double* out);

// ---- single shells of degree L ----
void qlm_alm(int L, const double* a, double* q);
void alm_qlm(int L, const double* q, double* a);
void qlm_clm(int L, const double* c, double* q);
void clm_qlm(int L, const double* q, double* c);
void qlm_ablm(int L, const double* a, const double* b, double* q);
void zlm_ylm(int L, const double* a, double* z);
void ylm_zlm(int L, const double* z, double* a);
void zlm_clm(int L, const double* c, double* z);
void clm_zlm(int L, const double* z, double* c);
// The unnormalised harmonics of ylm_all_bar converted to the z basis.
void zlm_all_bar(int L, double theta, double phi, double* out);
