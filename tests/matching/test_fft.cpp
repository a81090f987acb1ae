// Fourier series by the power-of-two FFT against the series summed term by
// term, with folding of terms beyond the plan's size, and the sizes refused.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/log_capture.h"
#include "matching/zam_fft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<double> naive(int n, int m, const std::vector<double>& c, const std::vector<double>& s) {
  std::vector<double> out(n, 0.0);
  for (int j = 0; j < n; ++j) {
    const double t = 2.0 * kPi * j / n;
    for (int k = 0; k < m; ++k) out[j] += c[k] * std::cos(k * t) + (k ? s[k] * std::sin(k * t) : 0.0);
  }
  return out;
}

TEST(FourierSeries, MatchesTermByTermSum) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  // m beyond n/2 and beyond n fold onto k mod n; m = 0 gives zeros.
  const int cases[][2] = {{64, 10}, {64, 16}, {64, 33}, {8, 20}, {2, 3}, {1, 4}, {16, 0}};
  for (const auto& nm : cases) {
    const int n = nm[0], m = nm[1];
    std::vector<double> c(m + 1), s(m + 1), out(n, 99.0);
    for (int k = 0; k < m; ++k) c[k] = u(rng), s[k] = u(rng);
    _FftPlan* plan = zam_fft_open(n);
    ASSERT_NE(plan, nullptr);
    zam_fft_execute_fs(plan, m, c.data(), s.data(), out.data());
    const std::vector<double> ref = naive(n, m, c, s);
    for (int j = 0; j < n; ++j) EXPECT_NEAR(out[j], ref[j], 1e-12) << "n=" << n << " m=" << m << " j=" << j;
    zam_fft_close(plan);
  }
  // One term: a pure sine of order 3 at 64 points, known values.
  std::vector<double> c(4, 0.0), s(4, 0.0), out(64);
  s[3] = 2.0;
  _FftPlan* plan = zam_fft_open(64);
  zam_fft_execute_fs(plan, 4, c.data(), s.data(), out.data());
  EXPECT_NEAR(out[0], 0.0, 1e-14);
  EXPECT_NEAR(out[16], 2.0 * std::sin(3 * kPi / 2), 1e-14);  // t = pi/2
  EXPECT_NEAR(out[8], 2.0 * std::sin(3 * kPi / 4), 1e-14);
  zam_fft_close(plan);
  zam_fft_close(nullptr);
}

TEST(FourierSeries, RefusesSizesThatAreNoPowerOfTwo) {
  for (int n : {0, -4, 3, 48, 100}) {
    testutil::Capture cap;  // keeps the report off the test's output
    const int errors = zam_err_count();
    EXPECT_EQ(zam_fft_open(n), nullptr);
    EXPECT_EQ(zam_err_count(), errors + 1) << n;
  }
}

}  // namespace
