// Twist reducers against direct dot products of turned vectors, the peak of
// the evaluated series at a known turn, and the scanners and the minimum
// picker at their boundaries (ends, ties, plateaus, wrap-around, m < 2).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_wigner.h"
#include "matching/zam_fft.h"
#include "matching/zam_kft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int N = 10;

std::vector<double> random_vector(int N, int n_vec, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(static_cast<size_t>(anlm_size(N)) * n_vec);
  for (double& x : v) x = u(rng);
  return v;
}

// b turned by t about z, by the harmonic layer's rotation.
std::vector<double> turned(const std::vector<double>& b, double t) {
  std::vector<double> out(b.size());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  EXPECT_EQ(zam_rm3_apply(N, static_cast<int>(b.size()) / anlm_size(N), &rec, b.data(), out.data(),
                          e_make(t, 0.0, 0.0)),
            1);
  zam_rm3_free(&rec);
  return out;
}

double series(const double* c, const double* s, double t) {
  double f = 0.0;
  for (int k = 0; k < N; ++k) f += c[k] * std::cos(k * t) + s[k] * std::sin(k * t);
  return f;
}

TEST(TwistReducers, SeriesIsDotProductWithTurnedSecondVector) {
  const std::vector<double> a = random_vector(N, 1, 1), b = random_vector(N, 1, 2);
  // "Turned by t" is the active turn: the turned expansion at phi + t is the
  // original one at phi.
  const std::vector<double> b1 = turned(b, 0.7);
  EXPECT_NEAR(anlm_value_h(N, b1.data(), 3.0, 1.1, 0.4 + 0.7), anlm_value_h(N, b.data(), 3.0, 1.1, 0.4), 1e-9);

  double c[N], s[N];
  zam_matcher_reduce(N, a.data(), b.data(), c, s);
  EXPECT_EQ(s[0], 0.0);
  EXPECT_NEAR(series(c, s, 0.0), anlm_dot(N, a.data(), b.data()), 1e-12);
  for (double t : {0.3, 1.9, -2.5, 4.0})
    EXPECT_NEAR(series(c, s, t), anlm_dot(N, a.data(), turned(b, t).data()), 1e-10) << t;
}

TEST(TwistReducers, EvaluatedSeriesPeaksAtTheTurn) {
  const std::vector<double> b = random_vector(N, 1, 3);
  _FftPlan* plan = zam_fft_open(64);
  double c[N], s[N], out[64];
  for (int k : {0, 1, 17, 40, 63}) {
    const std::vector<double> a = turned(b, k * 2.0 * kPi / 64);
    zam_matcher_reduce(N, a.data(), b.data(), c, s);
    zam_fft_execute_fs(plan, N, c, s, out);
    int index;
    double value;
    zam_max_scanner(64, 64, out, &index, &value);
    EXPECT_EQ(index, k);
    EXPECT_NEAR(value, anlm_dot(N, b.data(), b.data()), 1e-9);  // a perfect overlap
    EXPECT_NEAR(out[0], anlm_dot(N, a.data(), b.data()), 1e-10);
    // The other way round the turn is undone: the peak sits at -k.
    zam_matcher_reduce(N, b.data(), a.data(), c, s);
    zam_fft_execute_fs(plan, N, c, s, out);
    zam_max_scanner(64, 64, out, &index, &value);
    EXPECT_EQ(index, (64 - k) % 64);
  }
  zam_fft_close(plan);
}

TEST(TwistReducers, DockerPairsFirstWithSecondOverTerms) {
  const int T = 2, size = anlm_size(N);
  const std::vector<double> a_phi = random_vector(N, T, 4), a_rho = random_vector(N, T, 5);
  const std::vector<double> b_phi = random_vector(N, T, 6), b_rho = random_vector(N, T, 7);
  const double t = 1.3;
  const std::vector<double> tb_phi = turned(b_phi, t), tb_rho = turned(b_rho, t);
  double direct = 0.0;
  for (int k = 0; k < T; ++k)
    direct += anlm_dot(N, a_phi.data() + k * size, tb_rho.data() + k * size) +
              anlm_dot(N, a_rho.data() + k * size, tb_phi.data() + k * size);
  double c[N], s[N];
  zam_docker_reduce(N, T, a_phi.data(), a_rho.data(), b_phi.data(), b_rho.data(), c, s);
  EXPECT_NEAR(series(c, s, t), direct, 1e-10);
  zam_docker_reduce(N, 0, a_phi.data(), a_rho.data(), b_phi.data(), b_rho.data(), c, s);
  for (int k = 0; k < N; ++k) EXPECT_EQ(c[k] + s[k], 0.0);
}

TEST(TwistScanners, FirstExtremeWinsAndNaNIsPassedOver) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double v[] = {nan, 2.0, -1.0, 5.0, -1.0, 5.0, 0.0, -7.0};
  int i;
  double x;
  zam_min_scanner(7, 8, v, &i, &x);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(x, -1.0);
  zam_max_scanner(8, 8, v, &i, &x);
  EXPECT_EQ(i, 3);
  zam_min_scanner(8, 8, v, &i, &x);
  EXPECT_EQ(i, 7);
  zam_min_scanner(12, 8, v, &i, &x);  // never past one turn
  EXPECT_EQ(i, 7);
  zam_max_scanner(1, 8, v, &i, &x);
  EXPECT_EQ(i, -1);
  EXPECT_TRUE(std::isnan(x));
  zam_min_scanner(0, 8, v, &i, &x);
  EXPECT_EQ(i, -1);
}

std::vector<int> picked(const std::vector<double>& v, int m, int n = -1) {
  if (n < 0) n = static_cast<int>(v.size());
  std::vector<unsigned char> mask(n, 7);
  const int count = zam_min_picker(n, m, v.data(), mask.data());
  std::vector<int> out;
  for (int j = 0; j < n; ++j) {
    EXPECT_LE(mask[j], 1);
    if (mask[j]) out.push_back(j);
  }
  EXPECT_EQ(count, static_cast<int>(out.size()));
  return out;
}

TEST(MinimumPicker, EndsTiesPlateausAndWrap) {
  using V = std::vector<int>;
  // Full turn: the ends are neighbours, so neither end of a slope is a minimum
  // unless it is lower than the other end.
  EXPECT_EQ(picked({1, 2, 3, 4}, 4), V({0}));
  EXPECT_EQ(picked({4, 3, 2, 1}, 4), V({3}));
  // An arc: each end is compared with its one neighbour only.
  EXPECT_EQ(picked({1, 2, 3, 4}, 8), V({0}));
  EXPECT_EQ(picked({2, 3, 3, 1}, 8), V({0, 3}));
  EXPECT_EQ(picked({2, 3, 3, 1}, 4), V({3}));
  // Plateaus: one mark at the first sample of a low run, none for a shoulder.
  EXPECT_EQ(picked({5, 1, 1, 1, 5, 0, 2, 2, 3, 2}, 10), V({1, 5, 9}));
  EXPECT_EQ(picked({3, 2, 2, 1, 4}, 5), V({3}));
  // A low run across index 0 of the turn is marked once, at its first sample
  // in turning order; a constant turn gives index 0.
  EXPECT_EQ(picked({1, 1, 4, 3, 4, 1}, 6), V({3, 5}));
  EXPECT_EQ(picked({2, 2, 2, 2}, 4), V({0}));
  EXPECT_EQ(picked({2, 2, 2}, 8), V({0}));
  // NaN samples are never marked and stand higher than their neighbours.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(picked({nan, 3, nan, 2, 2}, 5), V({1, 3}));
  EXPECT_EQ(picked({nan, nan}, 2), V());
  // Only the first n samples of a turn of m are read.
  EXPECT_EQ(picked({3, 1, 3, 0, 9, 9}, 8, 3), V({1}));
}

TEST(MinimumPicker, OneMarkWithoutATurn) {
  using V = std::vector<int>;
  EXPECT_EQ(picked({3, 1, 4, 1, 5}, 1), V({1}));
  EXPECT_EQ(picked({3, 1, 4, 0, 5}, 0), V({3}));
  EXPECT_EQ(picked({7}, 1), V({0}));
  EXPECT_EQ(picked({}, 1), V());
}

}  // namespace
