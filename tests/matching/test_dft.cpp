// Multi-dimensional transforms against the transform summed term by term in
// double precision (one, two and three axes, both directions, complex and
// real results), a known answer and the plans refused.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "common/log_capture.h"
#include "matching/zam_dft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
using cd = std::complex<double>;

// The transform of in over the given axes, row-major with the last axis fastest.
std::vector<cd> naive(const std::vector<int>& dims, int sign, const std::vector<cd>& in) {
  const int rank = static_cast<int>(dims.size());
  const size_t size = in.size();
  std::vector<cd> out(size);
  std::vector<int> k(rank), j(rank);
  for (size_t ko = 0; ko < size; ++ko) {
    for (int d = rank - 1, r = static_cast<int>(ko); d >= 0; --d) k[d] = r % dims[d], r /= dims[d];
    cd sum = 0.0;
    for (size_t jo = 0; jo < size; ++jo) {
      double phase = 0.0;
      for (int d = rank - 1, r = static_cast<int>(jo); d >= 0; --d) {
        j[d] = r % dims[d], r /= dims[d];
        phase += static_cast<double>(j[d]) * k[d] / dims[d];
      }
      sum += in[jo] * std::polar(1.0, sign * 2.0 * kPi * phase);
    }
    out[ko] = sum;
  }
  return out;
}

void check(int kind, int sign, const std::vector<int>& dims, unsigned seed) {
  _DftPlan* plan = zam_dft_open(kind, sign, static_cast<int>(dims.size()), dims.data());
  ASSERT_NE(plan, nullptr);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<cd> in(plan->size);
  for (long long i = 0; i < plan->size; ++i) {
    plan->work[2 * i] = u(rng);
    plan->work[2 * i + 1] = u(rng);
    in[i] = cd(plan->work[2 * i], plan->work[2 * i + 1]);
  }
  zam_dft_execute(plan);
  const std::vector<cd> ref = naive(dims, sign, in);
  // Single precision: errors grow like sqrt(size) times the float step.
  const double tol = 2e-6 * plan->size;
  for (long long i = 0; i < plan->size; ++i) {
    if (kind == ZAM_DFT_C2R) {
      ASSERT_NEAR(plan->real[i], ref[i].real(), tol) << i;
    } else {
      ASSERT_NEAR(plan->work[2 * i], ref[i].real(), tol) << i;
      ASSERT_NEAR(plan->work[2 * i + 1], ref[i].imag(), tol) << i;
    }
  }
  zam_dft_close(plan);
}

TEST(DftPlans, MatchTermByTermSums) {
  check(ZAM_DFT_C2C, ZAM_DFT_FORWARD, {16}, 1);
  check(ZAM_DFT_C2C, ZAM_DFT_BACKWARD, {7}, 2);  // a prime length
  check(ZAM_DFT_C2C, ZAM_DFT_FORWARD, {1}, 3);
  check(ZAM_DFT_C2C, ZAM_DFT_FORWARD, {4, 6}, 4);
  check(ZAM_DFT_C2C, ZAM_DFT_BACKWARD, {5, 1, 3}, 5);  // a length-1 axis between
  check(ZAM_DFT_C2C, ZAM_DFT_FORWARD, {3, 4, 5}, 6);
  check(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, {6, 5, 8}, 7);
  check(ZAM_DFT_C2R, ZAM_DFT_FORWARD, {2, 3, 2, 2, 3}, 8);  // five axes
}

TEST(DftPlans, KnownAnswersAndRoundTrip) {
  // Samples exp(2 pi i k u / M) / M go forward to 1 at t = u mod M, else 0.
  const int M = 12;
  _DftPlan* plan = zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_FORWARD, 1, &M);
  for (int u : {0, 5, -3}) {
    for (int k = 0; k < M; ++k) {
      plan->work[2 * k] = static_cast<float>(std::cos(2.0 * kPi * k * u / M) / M);
      plan->work[2 * k + 1] = static_cast<float>(std::sin(2.0 * kPi * k * u / M) / M);
    }
    zam_dft_execute(plan);
    for (int t = 0; t < M; ++t) {
      EXPECT_NEAR(plan->work[2 * t], t == (u + M) % M ? 1.0 : 0.0, 1e-6) << u << " " << t;
      EXPECT_NEAR(plan->work[2 * t + 1], 0.0, 1e-6);
    }
  }
  zam_dft_close(plan);

  // A real correlation held by every frequency: 2 cos(a - 2b) + 1 from the
  // terms at (1, -2) and (-1, 2), backward to real values on an 8 x 6 grid.
  const int dims[2] = {8, 6};
  plan = zam_dft_open(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, 2, dims);
  plan->work[2 * (1 * 6 + 4)] = 1.0f;  // (1, -2 mod 6)
  plan->work[2 * (7 * 6 + 2)] = 1.0f;  // (-1 mod 8, 2)
  plan->work[0] = 1.0f;
  zam_dft_execute(plan);
  for (int a = 0; a < 8; ++a)
    for (int b = 0; b < 6; ++b)
      EXPECT_NEAR(plan->real[a * 6 + b], 2.0 * std::cos(2 * kPi * a / 8 - 2 * 2 * kPi * b / 6) + 1.0, 1e-5);
  zam_dft_close(plan);

  // Forward then backward multiplies by the element count.
  const int cube[3] = {4, 3, 5};
  _DftPlan* fwd = zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_FORWARD, 3, cube);
  _DftPlan* bwd = zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_BACKWARD, 3, cube);
  ASSERT_EQ(fwd->size, 60);
  for (int i = 0; i < 120; ++i) fwd->work[i] = static_cast<float>((i * 37) % 11) - 5.0f;
  zam_dft_execute(fwd);
  for (int i = 0; i < 120; ++i) bwd->work[i] = fwd->work[i];
  zam_dft_execute(bwd);
  for (int i = 0; i < 120; ++i) EXPECT_NEAR(bwd->work[i] / 60.0, static_cast<float>((i * 37) % 11) - 5.0f, 1e-5);
  zam_dft_close(fwd);
  zam_dft_close(bwd);
  zam_dft_close(nullptr);
}

TEST(DftPlans, RefusesBadPlans) {
  const int good[2] = {4, 4}, zero[2] = {4, 0};
  testutil::Capture cap;  // keeps the reports off the test's output
  const int errors = zam_err_count();
  EXPECT_EQ(zam_dft_open(2, ZAM_DFT_FORWARD, 2, good), nullptr);
  EXPECT_EQ(zam_dft_open(ZAM_DFT_C2C, 0, 2, good), nullptr);
  EXPECT_EQ(zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_FORWARD, 0, good), nullptr);
  EXPECT_EQ(zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_FORWARD, ZAM_DFT_MAX_RANK + 1, good), nullptr);
  EXPECT_EQ(zam_dft_open(ZAM_DFT_C2C, ZAM_DFT_FORWARD, 2, zero), nullptr);
  EXPECT_EQ(zam_err_count(), errors + 5);
  EXPECT_EQ(zam_dft_fast_size(31), 32);
  EXPECT_EQ(zam_dft_fast_size(61), 64);
  EXPECT_EQ(zam_dft_fast_size(36), 36);
}

}  // namespace
