// Multi-dimensional transforms over KISS FFT.
#include "matching/zam_dft.h"

#include <kiss_fft.h>

#include "runtime/kids.h"
#include "runtime/zam_log.h"

static_assert(sizeof(kiss_fft_cpx) == 2 * sizeof(float), "KISS FFT must be built for floats");

namespace {

// Transforms every line of one axis: lines of length n whose elements lie
// stride apart, in blocks of n * stride elements.
void transform_axis(kiss_fft_cfg cfg, int n, long long stride, long long size, float* work, float* line) {
  auto* data = reinterpret_cast<kiss_fft_cpx*>(work);
  auto* buf = reinterpret_cast<kiss_fft_cpx*>(line);
  const long long block = n * stride;
  for (long long outer = 0; outer < size; outer += block)
    for (long long inner = 0; inner < stride; ++inner) {
      kiss_fft_cpx* start = data + outer + inner;
      kiss_fft_stride(cfg, start, buf, static_cast<int>(stride));
      for (int k = 0; k < n; ++k) start[k * stride] = buf[k];
    }
}

}  // namespace

_DftPlan* zam_dft_open(int kind, int sign, int rank, const int* dims) {
  if (kind != ZAM_DFT_C2C && kind != ZAM_DFT_C2R) {
    zam_err("Unknown Fourier transform kind %d.\n", kind);
    return nullptr;
  }
  if (sign != ZAM_DFT_FORWARD && sign != ZAM_DFT_BACKWARD) {
    zam_err("Unknown Fourier transform direction %d.\n", sign);
    return nullptr;
  }
  if (rank < 1 || rank > ZAM_DFT_MAX_RANK) {
    zam_err("Fourier transforms have 1 to %d axes, not %d.\n", ZAM_DFT_MAX_RANK, rank);
    return nullptr;
  }
  long long size = 1;
  int longest = 1;
  for (int d = 0; d < rank; ++d) {
    if (dims[d] < 1) {
      zam_err("Fourier transform axis %d has length %d.\n", d + 1, dims[d]);
      return nullptr;
    }
    size *= dims[d];
    if (dims[d] > longest) longest = dims[d];
  }
  auto* p = static_cast<_DftPlan*>(kget1B_0(sizeof(_DftPlan)));
  p->kind = kind;
  p->sign = sign;
  p->rank = rank;
  p->size = size;
  for (int d = 0; d < rank; ++d) {
    p->dims[d] = dims[d];
    // A length-1 axis is the identity and needs no plan.
    if (dims[d] > 1) p->axis[d] = kiss_fft_alloc(dims[d], sign == ZAM_DFT_BACKWARD, nullptr, nullptr);
    if (dims[d] > 1 && !p->axis[d]) {
      zam_err("Failed to plan a Fourier transform of length %d.\n", dims[d]);
      zam_dft_close(p);
      return nullptr;
    }
  }
  p->work = kget1F_0(2 * size);
  p->real = kind == ZAM_DFT_C2R ? kget1F_0(size) : nullptr;
  p->line = kget1F(2LL * longest);
  return p;
}

void zam_dft_execute(_DftPlan* plan) {
  long long stride = plan->size;
  for (int d = 0; d < plan->rank; ++d) {
    const int n = plan->dims[d];
    stride /= n;
    if (n > 1)
      transform_axis(static_cast<kiss_fft_cfg>(plan->axis[d]), n, stride, plan->size, plan->work, plan->line);
  }
  if (plan->kind == ZAM_DFT_C2R)
    for (long long j = 0; j < plan->size; ++j) plan->real[j] = plan->work[2 * j];
}

void zam_dft_close(_DftPlan* plan) {
  if (!plan) return;
  for (int d = 0; d < ZAM_DFT_MAX_RANK; ++d)
    if (plan->axis[d]) kiss_fft_free(plan->axis[d]);
  kfree(plan->work);
  kfree(plan->real);
  kfree(plan->line);
  kfree(plan);
}

int zam_dft_fast_size(int n) { return n < 1 ? 1 : kiss_fft_next_fast_size(n); }
