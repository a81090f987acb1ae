// Coefficient vectors: expansions sum a_nlm R_nl(r) y_lm(theta, phi) of
// order N, held as N(N+1)(2N+1)/6 doubles with (n, l, m) at
// (n-1)n(2n-1)/6 + l(l+1) + m (n = 1..N, l = 0..n-1, m = -l..l; m > 0 the
// cos(m phi), m < 0 the sin(|m| phi) term). Several vectors of one order lie
// back to back. Plain operations on them, the rotation-invariant forms and
// similarities that the search's descriptor filters compare, a rotation
// about z by tabulated cosines and sines, and evaluation at a point.
// Vectors are owned by the caller; nothing here allocates one or keeps
// state, so everything may run on many threads at once. An order below 1
// means an empty vector.
#pragma once

int anlm_size(int N);                    // N(N+1)(2N+1)/6, 0 for N < 1
int anlm_index(int n, int l, int m);     // slot of (n, l, m)

// Calls fn(l, c) for every run (n, l, -l..l) of an order-N vector in slot
// order, c the slot of (n, l, 0).
template <typename Fn>
void anlm_runs(int N, Fn fn) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) fn(l, anlm_index(n, l, 0));
}

void anlm_zero(int N, double* a);
// Every slot 1/sqrt(size); returns that value (0 for an empty vector).
double anlm_unit(int N, double* a);
// Zeroes a, then a[(n,0,0)] = h[n-1], n = 1..N.
void anlm_n00(int N, const long double* h, double* a);
void anlm_copy(int N, const double* src, double* dst);
void anlm_add(int N, const double* a, const double* b, double* out, double s);  // a + s b
void anlm_scale(int N, const double* in, double* out, double s);
void anlm_accum(int N, const double* in, double* acc);
void anlm_accum_n(int N, int nvec, const double* in, double* acc);
void anlm_mult(int N, const double* a, const double* b, double* out);
// out[(n,l,m)] = a[(n,l,m)] b[(n,l,-m)].
void anlm_mult_bar(int N, const double* a, const double* b, double* out);
double anlm_dot(int N, const double* a, const double* b);
double anlm_mag(int N, const double* a);
double anlm_distance(int N, const double* a, const double* b);
// (a . b) / (|a| |b|); 0 when either vector has no length.
double anlm_carbo(int N, const double* a, const double* b);
// Sum of the dot products of nvec consecutive vector pairs.
double anlm_stupid(int nvec, int N, const double* a, const double* b);

// Rotation invariants of nvec consecutive vectors, in the vector layout.
// Mode 2 (any rotation): (n,l,0) = sqrt(sum over m of a^2), other m 0.
// Mode 1 (rotations about z): (n,l,0) kept, (n,l,m) = sqrt(a_m^2 + a_-m^2)
// for m > 0, m < 0 set to 0. Other modes copy. in and out may be the same.
void anlm_rinv(int N, int nvec, int mode, const double* in, double* out);
// Carbo similarity of two runs of invariant vectors over the slots the mode
// fills (mode 2: m = 0; mode 1: m >= 0; else all): S_ab / sqrt(S_aa S_bb),
// in [-1, 1]; 0 when either run is all zero or nvec < 1.
double anlm_carbo_rinv(int N, int nvec, int mode, const double* a, const double* b);

// out[(n,l,m)] = in[(n,l,-m)] for nvec vectors; in and out must differ.
void anlm_flip(int nvec, int N, const double* in, double* out);
// out[(n,l,m)] = c[m] in[(n,l,m)] + s[-m] in[(n,l,-m)], with c and s
// pointing at the m = 0 entry of tables indexed -(N-1)..N-1; with
// c[m] = cos(m phi), s[m] = sin(m phi) this turns the function by phi about
// z. in and out must differ.
void anlm_rot_phi(int N, const double* c, const double* s, const double* in, double* out);
// Sum over all slots of a[(n,l,m)] c[m] - b[(n,l,m)] s[m] (centred c, s).
double anlm_sub_phi(int N, const double* a, const double* b, const double* c, const double* s);
// lam points at entry 0 of a table indexed -(N-1)..N-1: zeroed, then every
// a[(n,l,m)] added to lam[m].
void anlm_lambda(int N, const double* a, double* lam);
// Sum over m = -M..M of x[m] y[m] (centred); 0 for M < 0.
double lambda_sum(int M, const double* x, const double* y);
// f[0] = x[0], g[0] = y[0]; f[k] = x[k] + x[-k], g[k] = y[-k] - y[k], k = 1..M.
void lambda_fs(int M, const double* x, const double* y, double* f, double* g);

// Value of the expansion at a point with the cubic (rnl), ETO (tnl) and GTO
// (hnl) radial functions; 0 for N < 1.
double anlm_value(int N, const double* a, double r, double theta, double phi);
double anlm_value_t(int N, const double* a, double r, double theta, double phi);
double anlm_value_h(int N, const double* a, double r, double theta, double phi);
// out[(n,l,+-m)] = rnl(n, l, r) plm(l, m, theta): the phi factor left out.
void rp_nlm(int N, double* out, double r, double theta);
// Every slot through zam_msg as "A[%2d,%2d,%3d] = %12.6f\n".
void anlm_print(int N, const double* a);
// Accepted for the library's interface: checks nothing, changes nothing.
void anlm_check(int N, const double* a);
