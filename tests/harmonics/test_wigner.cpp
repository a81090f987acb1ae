// Wigner matrices and the rotation of coefficient vectors: the recurrence
// against the factorial sum, orthogonality, agreement with tf_euler and with
// the rotated function itself, inverse rotations, invariants, and the
// caller's rotation cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/fp_mode.h"
#include "geometry/zam_transform.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_wigner.h"
#include "runtime/zam_vm.h"

namespace {

int block(int l) { return l * (2 * l - 1) * (2 * l + 1) / 3; }

Euler random_euler(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  return Euler{2 * M_PI * u(rng) - M_PI, std::acos(2 * u(rng) - 1), 2 * M_PI * u(rng) - M_PI};
}

std::vector<double> random_vector(int N, std::mt19937& rng) {
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> a(anlm_size(N));
  for (double& x : a) x = g(rng);
  return a;
}

std::vector<double> rotate(int N, const std::vector<double>& in, Euler e) {
  std::vector<double> out(in.size());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  EXPECT_EQ(zam_rm3_apply(N, 1, &rec, in.data(), out.data(), e), 1);
  zam_rm3_free(&rec);
  return out;
}

}  // namespace

TEST(Wigner, RowsMatchTheFactorialSum) {
  for (double beta : {0.4, 1.9, -2.5, 3.0, 0.0, M_PI, -M_PI, 2e-6, 2 * M_PI + 0.4})
    for (int l = 0; l <= 12; l++) {
      std::vector<double> buf(2 * l + 1);
      for (int m = 0; m <= l; m++) {
        dlmj_r(l, m, beta, buf.data() + l);
        for (int j = -l; j <= l; j++) {
          if (j > -m && j < m) continue;  // not written
          EXPECT_NEAR(buf[l + j], dljm0(l, m, j, beta), 1e-12) << l << " " << m << " " << j << " at " << beta;
        }
      }
    }
  // Within 1e-6 of a flat angle the rows are exact signed permutations.
  std::vector<double> row(13);
  dlmj_r(6, 2, 5e-7, row.data() + 6);
  for (int j = -6; j <= 6; j++) EXPECT_EQ(row[6 + j], j == 2 ? 1.0 : 0.0);
  dlmj_r(6, 3, M_PI - 5e-7, row.data() + 6);
  for (int j = -6; j <= 6; j++) EXPECT_EQ(row[6 + j], j == -3 ? -1.0 : 0.0);
  // Whole matrices by the symmetries, packed and single elements.
  const int L = 9;
  std::vector<double> d(rlm_size(L));
  dljm_all(L, d.data(), 1.2);
  for (int l = 0; l <= L; l++)
    for (int m = -l; m <= l; m++)
      for (int j = -l; j <= l; j++) {
        const double want = dljm0(l, m, j, 1.2);
        EXPECT_NEAR(d[block(l) + (m + l) * (2 * l + 1) + j + l], want, 1e-13);
        EXPECT_NEAR(dljm(l, m, j, 1.2), want, 1e-13);
      }
}

// At the top degree, 160, and beta near 0 or pi (where the ends of a row
// are powers of cos(beta/2) and sin(beta/2) far below double range) every
// d-matrix is orthogonal, and d^l_00(beta) is the Legendre polynomial
// P_l(cos beta), here by its own three-term recurrence.
TEST(Wigner, TopDegreeMatricesNearFlatAngles) {
  const int l = 160, w = 2 * l + 1;
  for (double beta : {2e-6, 1e-3, 0.01, 0.7, M_PI - 0.01, M_PI - 1e-3, M_PI - 2e-6}) {
    std::vector<double> d(w * w);
    for (int m = -l; m <= l; m++)
      for (int j = -l; j <= l; j++) d[(m + l) * w + j + l] = dljm(l, m, j, beta);
    double worst = 0.0;
    for (int a = 0; a < w; a++)
      for (int b = a; b < w; b++) {
        double s = 0.0;
        for (int k = 0; k < w; k++) s += d[a * w + k] * d[b * w + k];
        worst = std::max(worst, std::fabs(s - (a == b ? 1.0 : 0.0)));
      }
    EXPECT_LT(worst, 1e-12) << beta;
    double p0 = 1.0, p1 = std::cos(beta);
    for (int k = 1; k < l; k++) {
      const double p2 = ((2 * k + 1) * std::cos(beta) * p1 - k * p0) / (k + 1);
      p0 = p1;
      p1 = p2;
    }
    EXPECT_NEAR(d[l * w + l], p1, 1e-12) << beta;
  }
}

TEST(Wigner, RealMatricesAreOrthogonalAndDegreeOneIsTheRotation) {
  const int L = 24;
  const Euler e{0.7, 1.1, -2.3};
  double* R = rlmj_er(L, e);
  ASSERT_NE(R, nullptr);
  EXPECT_NEAR(R[0], 1.0, 1e-15);
  double worst = 0.0;
  for (int l = 0; l <= L; l++) {
    const double* B = R + block(l);
    const int w = 2 * l + 1;
    for (int i = 0; i < w; i++)
      for (int j = 0; j < w; j++) {
        double s = 0.0;
        for (int k = 0; k < w; k++) s += B[i * w + k] * B[j * w + k];
        worst = std::max(worst, std::fabs(s - (i == j ? 1.0 : 0.0)));
      }
  }
  EXPECT_LT(worst, 1e-12);
  // Degree 1: (a_-1, a_0, a_1) are the components (-y, z, -x) of c in f = c . r,
  // and the rotated function has c' = Q c.
  const Matrix3D Q = tf_euler(e);
  const double* B = R + block(1);
  const int to_xyz[3] = {1, 2, 0};          // row -1 -> y, 0 -> z, 1 -> x
  const double sign[3] = {-1.0, 1.0, -1.0};
  for (int a = 0; a < 3; a++)
    for (int b = 0; b < 3; b++)
      EXPECT_NEAR(B[a * 3 + b], sign[a] * sign[b] * Q.m[4 * to_xyz[a] + to_xyz[b]], 1e-14) << a << " " << b;
  zam_vm_free(R);
}

TEST(Wigner, RotatedExpansionIsTheRotatedFunction) {
  std::mt19937 rng(11);
  const int N = 6;
  const std::vector<double> a = random_vector(N, rng);
  const Euler e{-0.4, 2.2, 1.3};
  const std::vector<double> b = rotate(N, a, e);
  const Matrix3D Qinv = tf_transpose(tf_euler(e));
  for (int k = 0; k < 10; k++) {
    const Point3D p{std::sin(k + 1.0) * 5, std::cos(2.0 * k) * 4, (k - 4.5) * 0.9};
    const PolarPoint pp = pp_pt(p), qq = pp_pt(v_tfv(Qinv, p));
    EXPECT_NEAR(anlm_value_h(N, b.data(), pp.r, pp.theta, pp.phi), anlm_value_h(N, a.data(), qq.r, qq.theta, qq.phi),
                1e-12);
  }
  // Quadrupoles turn as tensors: q' = Q q Q^T.
  double q[9], qr[9];
  hnl_quadrupole(N, a.data(), q);
  hnl_quadrupole(N, b.data(), qr);
  const Matrix3D Q = tf_euler(e);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double s = 0.0;
      for (int k = 0; k < 3; k++)
        for (int l = 0; l < 3; l++) s += Q.m[4 * i + k] * q[3 * k + l] * Q.m[4 * j + l];
      EXPECT_NEAR(qr[3 * i + j], s, 1e-9 * (1.0 + std::fabs(s)));
    }
}

TEST(Wigner, InverseRotationRestoresAndInvariantsHold) {
  std::mt19937 rng(5);
  for (int N : {10, 16, 25}) {
    const std::vector<double> a = random_vector(N, rng);
    const Euler e = random_euler(rng);
    const std::vector<double> back = rotate(N, rotate(N, a, e), Euler{-e.gamma, -e.beta, -e.alpha});
    for (size_t i = 0; i < a.size(); i++) ASSERT_NEAR(back[i], a[i], 1e-12) << N << " slot " << i;
  }
  // Mode 2 invariants of an order-16 vector under 100 random rotations.
  const int N = 16;
  const std::vector<double> a = random_vector(N, rng);
  std::vector<double> ia(a.size()), ib(a.size());
  anlm_rinv(N, 1, 2, a.data(), ia.data());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  std::vector<double> b(a.size());
  double worst = 0.0;
  for (int t = 0; t < 100; t++) {
    zam_rm3_apply(N, 1, &rec, a.data(), b.data(), random_euler(rng));
    anlm_rinv(N, 1, 2, b.data(), ib.data());
    for (size_t i = 0; i < a.size(); i++) worst = std::max(worst, std::fabs(ia[i] - ib[i]));
    EXPECT_NEAR(anlm_carbo_rinv(N, 1, 2, ia.data(), ib.data()), 1.0, 1e-14);
  }
  zam_rm3_free(&rec);
  EXPECT_LT(worst, 1e-12);
  // Mode 1 holds under turns about z only (beta = 0).
  const std::vector<double> z = rotate(N, a, Euler{0.8, 0.0, 0.9});
  anlm_rinv(N, 1, 1, a.data(), ia.data());
  anlm_rinv(N, 1, 1, z.data(), ib.data());
  for (size_t i = 0; i < a.size(); i++) EXPECT_NEAR(ia[i], ib[i], 1e-12);
}

TEST(Wigner, TurnsAboutZAgreeWithTheGeneralRoad) {
  // beta = 0 takes the direct z rotation; a beta of 1e-7 goes through the
  // d-matrices (exact identity rows there) and must give the same matrices.
  const int L = 8;
  double* A = rlmj_er(L, Euler{0.3, 0.0, 0.5});
  double* B = rlmj_er(L, Euler{0.3, 1e-7, 0.5});
  for (int i = 0; i < rlm_size(L); i++) EXPECT_NEAR(A[i], B[i], 1e-14) << i;
  const int w = 5;
  EXPECT_NEAR(A[block(2) + 0 * w + 4], -std::sin(-2 * 0.8), 1e-15);  // (a,-a) with a = -2
  EXPECT_NEAR(A[block(2) + 4 * w + 4], std::cos(2 * 0.8), 1e-15);
  zam_vm_free(A);
  zam_vm_free(B);
}

TEST(Wigner, RotationCacheRecord) {
  const int N = 5;
  std::vector<double> a(anlm_size(N)), b(a.size(), -1.0);
  for (size_t i = 0; i < a.size(); i++) a[i] = 0.1 * i;
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  EXPECT_EQ(zam_rm3_apply(N, 1, &rec, a.data(), b.data(), Euler{0, 0, 0}), 1);
  EXPECT_EQ(b, a);
  EXPECT_EQ(rec.R, nullptr);
  const double* R1 = zam_rm3_get(N, &rec, Euler{0.1, 0.2, 0.3});
  ASSERT_NE(R1, nullptr);
  EXPECT_EQ(zam_rm3_get(N, &rec, Euler{0.1, 0.2, 0.3}), R1);  // reused
  const double* R2 = zam_rm3_get(N, &rec, Euler{0.1, 0.2, 0.30000001});
  const std::vector<double> R2copy(R2, R2 + rlm_size(N - 1));
  const double* R3 = zam_rm3_get(N + 1, &rec, Euler{0.1, 0.2, 0.30000001});
  EXPECT_NEAR(R3[block(3) + 7], R2copy[block(3) + 7], 1e-15);  // rebuilt for the order, same values
  // Two consecutive vectors rotate alike.
  std::vector<double> two(2 * a.size()), out(two.size());
  std::copy(a.begin(), a.end(), two.begin());
  std::copy(a.begin(), a.end(), two.begin() + a.size());
  zam_rm3_apply(N, 2, &rec, two.data(), out.data(), Euler{1.0, 0.5, 0.2});
  for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(out[i], out[i + a.size()]);
  zam_rm3_free(&rec);
  EXPECT_EQ(rec.R, nullptr);
  EXPECT_EQ(rec.N, 0);
}

TEST(Wigner, ElementRoutesAgreeWithWholeMatrices) {
  const Euler e{0.9, -1.4, 2.6};
  const int L = 6;
  double* R = rlmj_er(L, e);
  for (int l = 0; l <= L; l++)
    for (int a = -l; a <= l; a++)
      for (int b = -l; b <= l; b++)
        EXPECT_NEAR(eljm(l, a, b, e.alpha, e.beta, e.gamma), R[block(l) + (a + l) * (2 * l + 1) + b + l], 1e-13);
  // Half-turn tables and the Fourier form of d.
  for (int l = 0; l <= 7; l++)
    for (int m = -l; m <= l; m++)
      for (int j = -l; j <= l; j++) {
        EXPECT_NEAR(delta_ljm(l, m, j), dljm0(l, m, j, M_PI / 2), 1e-13);
        EXPECT_NEAR(dljm1(l, m, j, 0.77), dljm0(l, m, j, 0.77), 1e-13) << l << " " << m << " " << j;
      }
  // Shells, whole vectors and two-index arrays rotate as the packed matrices do.
  std::vector<double> sh((L + 1) * (L + 1)), so(sh.size());
  for (size_t i = 0; i < sh.size(); i++) sh[i] = std::cos(0.7 * i);
  alm_rotate(L, sh.data(), so.data(), e.alpha, e.beta, e.gamma);
  for (int l = 0; l <= L; l++)
    for (int a = -l; a <= l; a++) {
      double s = 0.0;
      for (int b = -l; b <= l; b++) s += R[block(l) + (a + l) * (2 * l + 1) + b + l] * sh[l * (l + 1) + b];
      EXPECT_NEAR(so[l * (l + 1) + a], s, 1e-13);
    }
  const int K = (L + 1) * (L + 1);
  std::vector<double> uv(K * K), out(K * K), ru(K), rv(K), u(sh), v(K);
  for (int i = 0; i < K; i++) v[i] = std::sin(1.0 + i);
  for (int i = 0; i < K; i++)
    for (int j = 0; j < K; j++) uv[i * K + j] = u[i] * v[j];
  almkj_rotate(L, uv.data(), out.data(), e.alpha, e.beta, e.gamma);
  alm_rotate(L, u.data(), ru.data(), e.alpha, e.beta, e.gamma);
  alm_rotate(L, v.data(), rv.data(), e.alpha, e.beta, e.gamma);
  for (int i = 0; i < K; i++)
    for (int j = 0; j < K; j++) ASSERT_NEAR(out[i * K + j], ru[i] * rv[j], 1e-12);
  std::mt19937 rng(3);
  const int N = 7;
  const std::vector<double> a = random_vector(N, rng);
  std::vector<double> two(2 * a.size()), rot(two.size());
  std::copy(a.begin(), a.end(), two.begin());
  std::copy(a.begin(), a.end(), two.begin() + a.size());
  anlm_rotate(N, 2, two.data(), rot.data(), e.alpha, e.beta, e.gamma);
  const std::vector<double> want = rotate(N, a, e);
  for (size_t i = 0; i < a.size(); i++) {
    EXPECT_NEAR(rot[i], want[i], 1e-12);
    EXPECT_NEAR(rot[i + a.size()], want[i], 1e-12);
  }
  anlm_rotate(N, 1, a.data(), rot.data(), 0.4, 0.0, 0.5);
  const std::vector<double> turned = rotate(N, a, Euler{0.4, 0.0, 0.5});
  for (size_t i = 0; i < a.size(); i++) EXPECT_NEAR(rot[i], turned[i], 1e-13);
  zam_vm_free(R);
}

TEST(Wigner, RotatedHarmonicsTracesAndAxes) {
  const Euler e{0.5, 0.8, -0.3};
  const Matrix3D Qinv = tf_transpose(tf_euler(e));
  const Point3D p{1.0, -2.0, 0.5};
  const PolarPoint pp = pp_pt(p), qq = pp_pt(v_tfv(Qinv, p));
  for (int m = -3; m <= 3; m++)
    EXPECT_NEAR(ylm_euler(3, m, pp.theta, pp.phi, e.alpha, e.beta, e.gamma), ylm(3, m, qq.theta, qq.phi), 1e-13);
  // Degree 1 carries the rotation itself: trace 1 + 2 cos(angle).
  const double ang = std::acos((trace_tf(tf_euler(e)) - 1.0) / 2.0);
  EXPECT_NEAR(eljm_trace(1, e.alpha, e.beta, e.gamma), 1.0 + 2.0 * std::cos(ang), 1e-13);
  EXPECT_NEAR(eljm_subtrace(3, 0, e.alpha, e.beta, e.gamma), eljm(3, 0, 0, e.alpha, e.beta, e.gamma), 1e-15);
  // A turn by 0.6 about z: angle 0.6, axis along a = 0 (the z slot).
  double ax[4];
  eljm_axis(ax, 1, 0.6, 0.0, 0.0);
  EXPECT_NEAR(ax[0], 0.6, 1e-13);
  EXPECT_NEAR(std::fabs(ax[2]), 1.0, 1e-13);
  eljm_axis(ax, 1, M_PI, 0.0, 0.0);  // half turn: the diagonal road
  EXPECT_NEAR(ax[0], M_PI, 1e-7);
  EXPECT_NEAR(std::fabs(ax[2]), 1.0, 1e-7);
}
