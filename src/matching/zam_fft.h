// Fourier series at equally spaced angles by a power-of-two FFT in double
// precision: the twist axis of the rotational search and the twist filters
// evaluate the correlation of two coefficient vectors, held as a short cosine
// and sine series, at every step of a full turn at once.
//
// A plan holds its own work buffer, so one plan serves one thread at a time;
// each worker opens its own.
#pragma once

struct _FftPlan {
  int n;            // points per turn, a power of two
  double* twiddle;  // cos and sin of 2 pi k / n, k = 0..n/2-1, interleaved
  int* bitrev;      // bit-reversed index of each of the n points
  double* work;     // n complex values (real part first)
};

// Plan for n points; null after an error message when n is not a power of
// two (1, 2, 4, ...). Release with zam_fft_close.
_FftPlan* zam_fft_open(int n);
// out[j] = sum over k = 0..m-1 of c[k] cos(k t_j) + s[k] sin(k t_j), with
// t_j = 2 pi j / n, j = 0..n-1: the series of m terms at the plan's n angles,
// without any normalising factor (c[0] counts once; s[0] is not read). Terms
// at k >= n fold onto k mod n, as they must at those angles. m < 1 gives zeros.
void zam_fft_execute_fs(_FftPlan* plan, int m, const double* c, const double* s, double* out);
// Null accepted.
void zam_fft_close(_FftPlan* plan);
