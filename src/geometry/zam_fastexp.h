// The single-precision fast exponential of the score loops: Cody-Waite
// reduction by ln 2, a degree-6 polynomial (within 2 ulp of expf) and a scale
// by 2^k through the exponent bits. One template serves a float and the GCC
// vectors of 4 or 8 floats with the very same operations, so that a value
// comes out alike to the bit whichever path computes it.
#pragma once

#include <cstring>

// The arguments whose exponential is a normal float; zam_fastexp clamps its
// arguments to them.
constexpr float kFastExpLo = -87.3365447f;
constexpr float kFastExpHi = 88.3762626f;

namespace zam_fastexp_detail {

constexpr float kLog2e = 1.44269504088896341f;
constexpr float kLn2Hi = 0.693359375f;
constexpr float kLn2Lo = -2.12194440e-4f;
constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
constexpr float kP[6] = {1.9875691500e-4f, 1.3981999507e-3f, 8.3334519073e-3f,
                         4.1665795894e-2f, 1.6666665459e-1f, 5.0000001201e-1f};

template <class V>
[[gnu::always_inline]] inline void splat(V& v, float x) {
  if constexpr (sizeof(V) == sizeof(float)) {
    v = x;
  } else {
    V t{};
    for (unsigned k = 0; k < sizeof(V) / sizeof(float); k++) t[k] = x;
    v = t;
  }
}

// 2^n for whole numbers n held as floats, lane by lane.
template <class V, class I>
[[gnu::always_inline]] inline void pow2(V& out, const V& n) {
  I bits;
  if constexpr (sizeof(V) == sizeof(float))
    bits = (static_cast<int>(n) + 127) << 23;
  else
    bits = (__builtin_convertvector(n, I) + 127) << 23;
  std::memcpy(&out, &bits, sizeof out);
}

}  // namespace zam_fastexp_detail

// x[k] = exp(x[k]) for k < N, each argument first clamped to [kFastExpLo,
// kFastExpHi]; V is float (I int) or a GCC vector of floats (I the vector of
// ints with as many lanes). The N values go through each step one after
// another, so that their chains of dependent steps overlap in the processor.
// A NaN gives an unspecified value: callers that may meet one test for it.
template <class V, class I, int N = 1>
[[gnu::always_inline]] inline void zam_fastexp(V* x) {
  using namespace zam_fastexp_detail;
  V lo, hi, log2e, round, ln2hi, ln2lo, p[6], one;
  splat(lo, kFastExpLo);
  splat(hi, kFastExpHi);
  splat(log2e, kLog2e);
  splat(round, kRound);
  splat(ln2hi, kLn2Hi);
  splat(ln2lo, kLn2Lo);
  for (int c = 0; c < 6; c++) splat(p[c], kP[c]);
  splat(one, 1.0f);
  V fn[N], r[N], y[N];
  for (int k = 0; k < N; k++) x[k] = x[k] < lo ? lo : x[k];
  for (int k = 0; k < N; k++) x[k] = x[k] > hi ? hi : x[k];
  for (int k = 0; k < N; k++) fn[k] = (x[k] * log2e + round) - round;
  for (int k = 0; k < N; k++) r[k] = x[k] - fn[k] * ln2hi;
  for (int k = 0; k < N; k++) r[k] = r[k] - fn[k] * ln2lo;
  for (int k = 0; k < N; k++) y[k] = p[0];
  for (int c = 1; c < 6; c++)
    for (int k = 0; k < N; k++) y[k] = y[k] * r[k] + p[c];
  for (int k = 0; k < N; k++) y[k] = y[k] * (r[k] * r[k]) + r[k] + one;
  for (int k = 0; k < N; k++) {
    V scale;
    pow2<V, I>(scale, fn[k]);
    x[k] = y[k] * scale;
  }
}
