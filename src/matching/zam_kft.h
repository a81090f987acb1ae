// Kernels of the twist search: the reducers that turn two coefficient vectors
// into the cosine and sine coefficients of their correlation as a function of
// a turn about z, and the scanners and picker that read the evaluated series
// (zam_fft_execute_fs) back.
//
// Twist convention: the series of a and b is
//   f(t) = sum_k c[k] cos(k t) + s[k] sin(k t) = a . Rz(t) b,
// the dot product of a with b turned by t about z (zam_rm3_apply with the
// Euler angles (t, 0, 0): the expansion of g(Rz(-t) r)). The twist moves the
// second vector, the ligand or target side. So f(0) = a . b, and when a is
// b turned by t0, f peaks at t = t0. Coefficients run k = 0..N-1 for order-N
// vectors (degree l <= N-1); s[0] is always 0.
//
// Nothing here allocates or keeps state; every function may run on any
// thread on its own arrays.
#pragma once

// Correlation series of two order-N vectors into c[0..N-1], s[0..N-1].
void zam_matcher_reduce(int N, const double* a, const double* b, double* c, double* s);
// Correlation series of a docking pair summed over n_vec terms: for each term
// t the receptor's first array against the ligand's second plus the
// receptor's second against the ligand's first, the twist moving the ligand.
// Term t of each array starts at t N(N+1)(2N+1)/6. Writes c[0..N-1],
// s[0..N-1] (zeros for n_vec < 1).
void zam_docker_reduce(int N, int n_vec, const double* a_phi, const double* a_rho,
                       const double* b_phi, const double* b_rho, double* c, double* s);

// Samples of a turn: values[j] is the series at t = 2 pi j / m, j = 0..n-1,
// so n = m is the full turn and n < m an arc from t = 0. An n above m is
// taken as m (samples beyond one turn repeat the first ones) unless m < 1.
//
// Lowest (highest) of the samples and its index, the first on ties; NaN
// samples are passed over. No usable sample (n < 1, or all NaN) gives index
// -1 and a NaN value.
void zam_min_scanner(int n, int m, const double* values, int* index, double* value);
void zam_max_scanner(int n, int m, const double* values, int* index, double* value);
// Marks the local minima of the samples in mask[0..n-1] (1 marked, 0 not)
// and returns their number. A minimum is a run of equal samples whose
// neighbours outside the run are higher; the run's first sample is marked,
// so a flat bottom gives one pose. On the full turn (n = m) the samples wrap
// around, so the ends are each other's neighbours and a run may cross
// index 0 (its first sample in turning order is marked; a constant turn marks
// index 0). On an arc the ends have one neighbour each. With m < 2 there is
// no turn to speak of, and the lowest sample alone is marked (the first on
// ties). NaN samples are never marked and count as higher than any number.
int zam_min_picker(int n, int m, const double* values, unsigned char* mask);
