// Radial basis functions of the coefficient vectors and the moments of an
// expansion. Three families, orthonormal with weight r^2: GTO H_nl (scale
// h = 20 square angstroms, the one the tool uses), ETO T_nl (scale t = 1)
// and a cubic family R_nl (scale f = 0.2). Their generalised Laguerre
// polynomials come from coefficient tables for n <= 36, built once under
// plain lock 5; everything else works on its arguments, so all of it may run
// on many threads at once. The scale setters are process-wide and meant for
// set-up, before threads start.
//
// Radial packing: n = 1..N, l = 0..n-1 at slot n(n-1)/2 + l.
#pragma once

constexpr int ZAM_NMAX = 36;  // highest order of the Laguerre tables

// ---- scales ----
void hnl_factor(double h);   // GTO scale h (and its square root and norm)
void tnl_factor(double t);   // ETO scale t per angstrom (and its norm |t|^1.5)
void rnl_factor(double s);   // cubic family: f = 1/s
void wnl_factor(double w);
double hnl_scale();          // h
double tnl_scale();          // t / 2
double wnl_scale();

// ---- Laguerre polynomials L^a_k(x) ----
// k = 0..K into out (k = 0 and 1 always written), by the three-term recurrence.
void lna_all_vec(int K, double* out, double a, double x);
void hlna_all_vec(int K, long double* out, long double a, long double x);
// out[n(n-1)/2 + l] = L^(a0 + l step)_(n-l-1)(x), n = 1..N (N <= 160).
void lna_all_bar(int N, int step, double* out, double a0, double x);
void hlna_all_bar(int N, int step, long double* out, long double a0, long double x);
// sqrt((n-l-1)! / Gamma(n+1/2)) and sqrt((n-l-1)! / (n+l+1)!).
double lna_1l_half_norm(int n, int l);
double lna_2l_two_norm(int n, int l);
// sqrt(n!/Gamma(n+a+1)) L^a_n(x). Each thread keeps its own cache of the
// values L^a_0..L^a_36 at the last a and x it asked for.
double lna(int n, double a, double x);
// The same by the explicit sum over the powers of x.
double lna_ser(int n, double a, double x);

// ---- coefficient tables (idempotent builders; the functions call them) ----
void hnl_init();
void tnl_init();
void knl_init();
// Coefficient j of the polynomial of (n, l) in the power basis: GTO
// L^(l+1/2), ETO L^(2l+2), cubic L^(2l), each of degree n-l-1.
double hnlk(int n, int l, int j);
double tnlk(int n, int l, int j);
double knlk(int n, int l, int j);

// ---- values ----
// Unnormalised GTO values at r, radial packing; their norms; one norm.
void hnl_all_bar(int N, double* out, double r);
void hnl_all_norm(int N, double* out);
double hnl_norm(int n, int l);
// ETO values at r (r below 0.1 taken as 0) and norms.
void tnl_all_bar(int N, double* out, double r);
void tnl_all_norm(int N, double* out);
// One normalised value of the GTO, ETO (no cut at 0.1) and cubic family.
double hnl(int n, int l, double r);
double tnl(int n, int l, double r);
double rnl(int n, int l, double r);

// ---- moments of an order-N GTO expansion a (coefficient-vector layout) ----
// out[n] = integral of H_nl(r) r^(k+2) dr over [0, inf) for n = 0..N (0 for n <= l).
void hnl_knl_integrals(int N, int l, int k, double* out);
// Integral of the expansion over space.
double hnl_monopole(int N, const double* a);
// out[k] = integral of the expansion times r^k, k = 0..N (N+1 values).
void hnl_radial(int N, const double* a, double* out);
// Traceless quadrupole, the integral of f (3 x_i x_j - r^2 delta_ij), and
// inertia tensor, of f (r^2 delta_ij - x_i x_j); 3 x 3 row-major.
void hnl_quadrupole(int N, const double* a, double* q);
void hnl_inertia(int N, const double* a, double* t);
// Integrals over the eight octants: out[4u + q], u = 0 for z > 0 and 1 for
// z < 0, q the phi quadrant [0, pi/2], [pi/2, pi], [pi, 3pi/2], [3pi/2, 2pi].
void hnl_octants(int N, const double* a, double* out);

// Dipole vector (-B_1, -B_-1, B_0) from the l = 1 coefficients; at a debug
// level above 1 it also prints the dipole and the split of its z part over
// the two half-spaces.
void hnl_dipole(int N, const double* a, double* d);
// Integrals over six half-spaces: x > 0, x < 0, y > 0, y < 0, z > 0, z < 0.
void hnl_hemisphere(int N, const double* a, double* out);
// Radial Laplacian matrix elements: the integral over [0, inf) of T_nl (H_nl)
// times (d2/dr2 + (2/r) d/dr - l(l+1)/r^2) applied to T_n'l (H_n'l), times
// r^2; exact finite sums over the Laguerre coefficients. Symmetric in n, n'.
double tnjl(int n, int np, int l);
double hnjl(int n, int np, int l);

// ---- further radial forms ----
// Long-double GTO values and norms; sqrt((n-l-1)!/Gamma(n+1/2)) in long double.
void hhnl_all_bar(int N, long double* out, long double r);
long double hhnl_norm(int n, int l);
long double hlna_1l_half_norm(int n, int l);
// L^(l+1/2)_(n-l-1)(x): unnormalised, normalised, and from the GTO table (0
// when n - l < 1).
double lna_1l_half_bar(int n, int l, double x);
double lna_1l_half(int n, int l, double x);
double lna_1l_half_ser(int n, int l, double x);
// Normalised L^(2l+2)_d (norm sqrt(d!/(n+l+1)!)) and L^(2l)_d (knl_norm =
// sqrt(d!/(n+l-1)!)) from the ETO and cubic tables, and their x derivatives.
double unl(int n, int l, double x);
double knl(int n, int l, double x);
double knl_norm(int n, int l);
double dunl(int n, int l, double x);
double dknl(int n, int l, double x);
// r derivatives of the ETO and cubic functions.
double dtnl(int n, int l, double r);
double drnl(int n, int l, double r);
// Integral of the ETO (cubic) function times r^2 over [r1, r2]; r1 = r2 = 0
// means [0, inf), r1 > r2 means [r1, inf), r1 = 0 means [0, r2].
double itnl(int n, int l, double r1, double r2);
double irnl(int n, int l, double r1, double r2);
// sqrt(p!(p-q)!) sum over k = 0..p-q of (-1)^(q+k) x^k / (k!(p-q-k)!(q+k)!); 0 for p < q.
double lpq(int p, int q, double x);
// Hydrogen-like radial functions: exp(-rho/2) rho^l lpq(n+l, 2l+1, rho)/sqrt(2n),
// and that at rho = 2r/n times |2/n|^1.5.
double rhonl(int n, int l, double rho);
double rnl_rho(int n, int l, double r);
double rho_r(double r);  // (f r)^3 / 3
// l = 0 GTO functions of width s: out[n-1] = exp(-x/2) L^(1/2)_(n-1)(x) with
// x = (r/s)^2 (hn_all_bar2: x = r2/s^2); their norm.
void hn_all_bar(int N, double* out, double r, double s);
void hn_all_bar2(int N, double* out, double r2, double s);
double hn_norm(int n, double s);
// lna_2l_two_norm(n, l) (2k/(k^2+1/4))^l sum_j tnlk(n,l,j) (l+1+j)!/(k^2+1/4)^(j+2).
double snl(int n, int l, double k);
// Radial factor of the potential of one unnormalised ETO density term at r
// (r below 0.1 taken as 0.1): the inner charge by the lower, the outer by
// the upper incomplete gamma function; qnl_all_bar for every (n, l).
double qnl(int n, int l, double r);
void qnl_all_bar(int N, double* out, double r);
// The same factors by the exponential integrals ak_beta and bk_beta, the
// radius clamped below at 0.001 instead.
void qnl_all_bar_dev(int N, double* out, double r);
// GTO counterpart: the potential factors of the unnormalised GTO density
// terms (hnl_all_bar values) at r (clamped below at 0.001), with the same
// scale: their radial Laplacian is -(2l+1) times the density.
void wnl_all_bar(int N, double* out, double r);
// Cubic-family counterpart of qnl: the potential factor of the unnormalised
// density term exp(-x/2) x^l L^(2l)_(n-l-1)(x), x = (f r)^3 / 3, at r:
// r^-(l+1) times its inner moment plus r^l times its outer one, so that its
// radial Laplacian is -(2l+1) times the term. 0 for r <= 0.
double unused_snl(int n, int l, double r);
