// Power-of-two Fourier-series evaluation.
#include "matching/zam_fft.h"

#include <cmath>
#include <utility>

#include "runtime/kids.h"
#include "runtime/zam_log.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// In-place radix-2 transform with the positive exponent:
// x_j <- sum_k x_k exp(+2 pi i j k / n).
void inverse_fft(const _FftPlan* p, double* x) {
  const int n = p->n;
  for (int i = 0; i < n; ++i) {
    const int j = p->bitrev[i];
    if (j > i) {
      std::swap(x[2 * i], x[2 * j]);
      std::swap(x[2 * i + 1], x[2 * j + 1]);
    }
  }
  for (int len = 2; len <= n; len <<= 1) {
    const int half = len >> 1, step = n / len;
    for (int start = 0; start < n; start += len)
      for (int k = 0; k < half; ++k) {
        const double wr = p->twiddle[2 * k * step], wi = p->twiddle[2 * k * step + 1];
        double* a = x + 2 * (start + k);
        double* b = a + 2 * half;
        const double tr = wr * b[0] - wi * b[1], ti = wr * b[1] + wi * b[0];
        b[0] = a[0] - tr;
        b[1] = a[1] - ti;
        a[0] += tr;
        a[1] += ti;
      }
  }
}

}  // namespace

_FftPlan* zam_fft_open(int n) {
  if (n < 1 || (n & (n - 1)) != 0) {
    zam_err("FFT size %d is not a power of two.\n", n);
    return nullptr;
  }
  auto* p = static_cast<_FftPlan*>(kget1B_0(sizeof(_FftPlan)));
  p->n = n;
  p->twiddle = kget1D(n > 1 ? n : 2);
  for (int k = 0; k < n / 2; ++k) {
    p->twiddle[2 * k] = std::cos(2.0 * kPi * k / n);
    p->twiddle[2 * k + 1] = std::sin(2.0 * kPi * k / n);
  }
  p->bitrev = kget1I(n);
  int bits = 0;
  while ((1 << bits) < n) ++bits;
  for (int i = 0; i < n; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b)
      if (i & (1 << b)) r |= 1 << (bits - 1 - b);
    p->bitrev[i] = r;
  }
  p->work = kget1D(2 * n);
  return p;
}

void zam_fft_execute_fs(_FftPlan* plan, int m, const double* c, const double* s, double* out) {
  const int n = plan->n;
  double* x = plan->work;
  for (int i = 0; i < 2 * n; ++i) x[i] = 0.0;
  // c cos(kt) + s sin(kt) = Re((c - i s) exp(ikt)).
  if (m > 0) x[0] = c[0];
  for (int k = 1; k < m; ++k) {
    const int j = k & (n - 1);
    x[2 * j] += c[k];
    x[2 * j + 1] -= s[k];
  }
  inverse_fft(plan, x);
  for (int j = 0; j < n; ++j) out[j] = x[2 * j];
}

void zam_fft_close(_FftPlan* plan) {
  if (!plan) return;
  kfree(plan->twiddle);
  kfree(plan->bitrev);
  kfree(plan->work);
  kfree(plan);
}
