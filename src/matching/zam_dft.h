// Multi-dimensional discrete Fourier transforms in single precision over a
// work buffer, made of one-dimensional KISS FFT passes along each axis (any
// axis length; lengths with small prime factors are fastest). The
// correlation layouts of the rotational search fill the buffer with products
// of coefficients, transform it, and scan the result; the table makers use
// one-dimensional plans.
//
// Layout: row-major with the last axis varying fastest, so element
// (i0, i1, ..., i_{r-1}) lies at ((i0 d1 + i1) d2 + ...) d_{r-1} + i_{r-1}.
// Complex values are float pairs, real part first (as zd2zf writes them).
// Transforms are not normalised in either direction: a forward transform
// followed by a backward one multiplies by the element count.
//
// A plan holds its work buffer, so one plan serves one thread at a time;
// each worker opens its own.
#pragma once

// Kinds of transform.
enum {
  ZAM_DFT_C2C = 0,  // complex to complex, in place in `work`
  ZAM_DFT_C2R = 1,  // complex to real: every frequency is held in `work`
                    // (negative ones at index + length); the real parts of
                    // the result go to `real`, `work` is left transformed
};
// Directions (the sign of the exponent).
enum {
  ZAM_DFT_FORWARD = -1,  // out_k = sum_j in_j exp(-2 pi i j k / n) per axis
  ZAM_DFT_BACKWARD = 1,  // out_k = sum_j in_j exp(+2 pi i j k / n) per axis
};
constexpr int ZAM_DFT_MAX_RANK = 6;

struct _DftPlan {
  int kind;                    // ZAM_DFT_C2C or ZAM_DFT_C2R
  int sign;                    // ZAM_DFT_FORWARD or ZAM_DFT_BACKWARD
  int rank;                    // number of axes, 1..ZAM_DFT_MAX_RANK
  int dims[ZAM_DFT_MAX_RANK];  // axis lengths
  long long size;              // element count, the product of the lengths
  float* work;                 // size complex values: the input, then the result
  float* real;                 // kind C2R: size reals of the result; else null
  void* axis[ZAM_DFT_MAX_RANK];  // one-dimensional plan of each axis (private)
  float* line;                 // one line of the longest axis (private)
};

// Plan of the given kind and direction over rank axes of the given lengths,
// with a zero-filled work buffer. Null after an error message for an unknown
// kind or direction, a rank outside 1..ZAM_DFT_MAX_RANK or a length below 1.
// Release with zam_dft_close.
_DftPlan* zam_dft_open(int kind, int sign, int rank, const int* dims);
// Transforms the work buffer in place (and fills `real` for ZAM_DFT_C2R).
void zam_dft_execute(_DftPlan* plan);
// Null accepted.
void zam_dft_close(_DftPlan* plan);
// The smallest length >= n whose transforms are fast (factors 2, 3 and 5).
int zam_dft_fast_size(int n);
