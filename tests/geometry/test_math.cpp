// Linear algebra, eigen solvers, rotation conversions, scalar functions and
// complex arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "geometry/zam_complex.h"
#include "geometry/zam_math.h"
#include "geometry/zam_scalar.h"
#include "runtime/zam_log.h"

namespace {

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

std::vector<double> random_symmetric(std::mt19937_64& rng, int n, double scale) {
  std::uniform_real_distribution<double> u(-scale, scale);
  std::vector<double> A(n * n);
  for (int i = 0; i < n; i++)
    for (int j = 0; j <= i; j++) A[j * n + i] = A[i * n + j] = u(rng);
  return A;
}

// max |A v_k - d_k v_k| over all eigenpairs, relative to the matrix scale.
double eigen_residual(int n, const std::vector<double>& A, const double* V, const double* d) {
  double worst = 0, scale = 0;
  for (double a : A) scale = std::fmax(scale, std::fabs(a));
  std::vector<double> Av(n);
  for (int k = 0; k < n; k++) {
    mat_x_col(n, A.data(), V + k * n, Av.data());
    for (int i = 0; i < n; i++) worst = std::fmax(worst, std::fabs(Av[i] - d[k] * V[k * n + i]));
  }
  return worst / scale;
}

}  // namespace

TEST(Eigen, DiagonalMatrixKeepsOrder) {
  const double A[9] = {3, 0, 0, 0, -1, 0, 0, 0, 2};
  double V[9], d[3];
  mat_eigen_ql(3, A, V, d);
  EXPECT_EQ(d[0], 3);
  EXPECT_EQ(d[1], -1);
  EXPECT_EQ(d[2], 2);
  for (int k = 0; k < 9; k++) EXPECT_EQ(std::fabs(V[k]), k % 4 == 0 ? 1.0 : 0.0);
  double B[9] = {3, 0, 0, 0, -1, 0, 0, 0, 2}, W[9], e[3];
  mat_eigen_jr(3, B, W, e);
  EXPECT_EQ(e[0], 3);
  EXPECT_EQ(e[2], 2);
  for (int k = 0; k < 9; k++) EXPECT_EQ(W[k], k % 4 == 0 ? 1.0 : 0.0);
}

TEST(Eigen, RandomSymmetricMatricesAllSolvers) {
  std::mt19937_64 rng(1);
  for (int n : {2, 3, 4, 7, 12}) {
    for (double scale : {1e-3, 1.0, 1e6}) {
      auto A = random_symmetric(rng, n, scale);
      std::vector<double> V(n * n), d(n), W(n * n), e(n), B = A, C = A;
      mat_eigen_ql(n, A.data(), V.data(), d.data());
      EXPECT_LT(eigen_residual(n, A, V.data(), d.data()), 1e-12) << n;
      mat_eigen_qlip(n, B.data(), e.data());
      EXPECT_LT(eigen_residual(n, A, B.data(), e.data()), 1e-12) << n;
      mat_eigen_jr(n, C.data(), W.data(), e.data());
      EXPECT_LT(eigen_residual(n, A, W.data(), e.data()), 1e-12) << n;
      EXPECT_EQ(C, A);  // restored
      // Sorted copies carry their vectors along.
      std::vector<double> Vs(n * n), ds(n);
      mat_eigen_sort(n, 1, 1, V.data(), d.data(), Vs.data(), ds.data());
      for (int k = 1; k < n; k++) EXPECT_LE(ds[k - 1], ds[k]);
      EXPECT_LT(eigen_residual(n, A, Vs.data(), ds.data()), 1e-12);
    }
  }
}

TEST(Eigen, SortByMagnitudeDescending) {
  const double V[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, d[3] = {-3, 1, 2};
  double Vo[9], dout[3];
  mat_eigen_sort(3, 0, 0, V, d, Vo, dout);
  EXPECT_EQ(dout[0], -3);
  EXPECT_EQ(dout[1], 2);
  EXPECT_EQ(dout[2], 1);
  EXPECT_EQ(Vo[6 + 1], 1);  // the vector of eigenvalue 1 went to position 2
}

TEST(LinearAlgebra, InverseWithPivotingAndSingularInput) {
  // A zero on the diagonal needs a row exchange.
  double A[9] = {0, 1, 0, 2, 0, 0, 0, 0, 4}, Ac[9], B[9], P[9];
  for (int k = 0; k < 9; k++) Ac[k] = A[k];
  ASSERT_EQ(mat_inverse(3, A, B), 1);
  mat_x_mat(3, Ac, B, P);
  for (int k = 0; k < 9; k++) EXPECT_NEAR(P[k], k % 4 == 0 ? 1.0 : 0.0, 1e-15);
  Capture c;
  double S[4] = {1, 2, 2, 4}, Si[4];
  EXPECT_EQ(mat_inverse(2, S, Si), 0);
  for (double v : Si) EXPECT_EQ(v, 0.0);
  EXPECT_NE(captured.find("Singular matrix in mat_inverse()"), std::string::npos);
  long double H[4] = {1, 1, 1, 1}, Hi[4];
  EXPECT_EQ(hmat_inverse(2, H, Hi), 0);
}

TEST(LinearAlgebra, WeightedLeastSquares) {
  // y = 2 + 3 x exactly, one wild point with weight 0.
  const double y[5] = {2, 5, 8, 11, 100}, X[10] = {1, 0, 1, 1, 1, 2, 1, 3, 1, 4};
  const double w[5] = {1, 2, 1, 3, 0};
  double c[2];
  ASSERT_EQ(mat_lsq(5, 2, y, X, w, c), 1);
  EXPECT_NEAR(c[0], 2, 1e-12);
  EXPECT_NEAR(c[1], 3, 1e-12);
  Capture cap;
  const double Xs[10] = {1, 2, 1, 2, 1, 2, 1, 2, 1, 2};
  EXPECT_EQ(mat_lsq(5, 2, y, Xs, w, c), 0);
  EXPECT_EQ(c[0], 0);
  EXPECT_NE(captured.find("mat_lsq"), std::string::npos);
}

TEST(LinearAlgebra, ProductsAndVectors) {
  std::mt19937_64 rng(2);
  const int n = 60;
  auto X = random_symmetric(rng, n, 1), Y = random_symmetric(rng, n, 1);
  X[5] = 7;  // not symmetric any more
  std::vector<double> Z1(n * n), Z2(n * n);
  mat_x_mat(n, X.data(), Y.data(), Z1.data());
  mat_x_mat2(n, X.data(), Y.data(), Z2.data());
  for (int k = 0; k < n * n; k++) EXPECT_NEAR(Z1[k], Z2[k], 1e-12);
  const double v0[3] = {0, 0, 0}, a[3] = {1, 0, 0}, b[3] = {0, 1, 0};
  EXPECT_EQ(vec_mag(3, v0), 0.0);
  EXPECT_EQ(vec_mag(0, a), 0.0);
  double out[3];
  vec_cross3(a, b, out);
  EXPECT_EQ(out[2], 1.0);
  EXPECT_EQ(val_x_vec(3, a, out, 2.0), 3);
  EXPECT_EQ(out[0], 2.0);
  EXPECT_EQ(vec_p_vec(0, a, b, out), 0);
  double T[4] = {1, 2, 3, 4}, Tt[4];
  mat_transpose(2, T, Tt);
  EXPECT_EQ(Tt[1], 3);
  EXPECT_EQ(mat_trace(2, T), 5);
}

TEST(Rotations, AxisAngleAndEulerConversions) {
  double axis[3];
  const double I[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(rot_to_axis(I, axis), 0.0);
  for (double v : axis) EXPECT_NEAR(v, 1 / std::sqrt(3.0), 1e-15);
  const double Hx[9] = {1, 0, 0, 0, -1, 0, 0, 0, -1};
  EXPECT_NEAR(rot_to_axis(Hx, axis), M_PI, 1e-15);
  EXPECT_EQ(axis[0], 1);
  EXPECT_EQ(axis[1], 0);
  EXPECT_EQ(axis[2], 0);
  // A turn of 0.3 about z, column order.
  const double c = std::cos(0.3), s = std::sin(0.3);
  const double Rz[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
  EXPECT_NEAR(rot_to_axis(Rz, axis), 0.3, 1e-15);
  EXPECT_NEAR(axis[2], 1, 1e-15);
  // Euler angles round trip through the z-y-z matrix.
  const Matrix3D T = tf_euler(e_make(1.0, 0.7, 2.5));
  double R[9], al, be, ga;
  mat33_tf(R, T);
  rot_to_angles(R, &al, &be, &ga);
  EXPECT_NEAR(al, 1.0, 1e-12);
  EXPECT_NEAR(be, 0.7, 1e-12);
  EXPECT_NEAR(ga, 2.5, 1e-12);
  EXPECT_NEAR(mod_angle(-0.5, M_PI), M_PI - 0.5, 1e-15);
  EXPECT_NEAR(mod_angle(7, 2 * M_PI), 7 - 2 * M_PI, 1e-15);
  AxisAngle r1{0.4, Point3D{0, 0, 1}}, r2{0.4 + 1e-9, Point3D{0, 0, 1}}, r3{0.5, Point3D{0, 0, 1}};
  EXPECT_EQ(degenerate_axes(1e-6, r1, r2), 1);
  EXPECT_EQ(degenerate_axes(1e-6, r1, r3), 0);
}

TEST(Rotations, CycleThreeDimensionalArray) {
  const int din[3] = {2, 3, 4};
  int dout[3];
  std::vector<float> in(24), out(24);
  for (int k = 0; k < 24; k++) in[k] = k;
  mat_cycle_3d(din, dout, in.data(), out.data());
  EXPECT_EQ(dout[0], 4);
  EXPECT_EQ(dout[1], 2);
  EXPECT_EQ(dout[2], 3);
  // element (1, 2, 3) of the input -> (3, 1, 2) of the output
  EXPECT_EQ(out[(3 * 2 + 1) * 3 + 2], in[(1 * 3 + 2) * 4 + 3]);
}

TEST(Scalar, SignsParitiesAndRounding) {
  EXPECT_EQ(neg1_m(-3), -1);
  EXPECT_EQ(neg1_m(4), 1);
  EXPECT_EQ(odd_m(-3), 1);
  EXPECT_EQ(even_m(0), 1);
  EXPECT_EQ(kronecker(2, 2), 1);
  EXPECT_EQ(kronecker(2, 3), 0);
  EXPECT_EQ(roundup_m(10, 4), 12);
  EXPECT_EQ(roundup_m(-10, 4), -12);
  EXPECT_EQ(roundup_m(8, 4), 8);
  EXPECT_EQ(roundup_bank(100, 32, 2), 160);
  EXPECT_EQ(roundup_bank(70, 32, 2), 96);
}

TEST(Scalar, SquareRootTables) {
  for (int n = 0; n <= 170; n++) {
    EXPECT_EQ(sqrtn(n), std::sqrt(static_cast<double>(n)));
    EXPECT_EQ(hsqrtn(n), std::sqrt(static_cast<long double>(n)));
  }
  Capture c;
  EXPECT_EQ(sqrtn(171), std::sqrt(171.0));
  EXPECT_NE(captured.find("sqrtn() - Square root out of range: 171\n"), std::string::npos);
  EXPECT_TRUE(std::isnan(sqrtn(-1)));
  EXPECT_NE(captured.find("sqrtn() - Square root out of range: -1\n"), std::string::npos);
  EXPECT_EQ(hsqrtn(200), std::sqrt(200.0L));
  EXPECT_NE(captured.find("hsqrtn() - Square root out of range: 200\n"), std::string::npos);
}

TEST(Scalar, QuadraticRoots) {
  double x1 = 99, x2 = 99;
  EXPECT_EQ(quad_roots(&x1, &x2, 1, -3, 2), 2);
  EXPECT_DOUBLE_EQ(std::fmin(x1, x2), 1);
  EXPECT_DOUBLE_EQ(std::fmax(x1, x2), 2);
  EXPECT_EQ(quad_roots(&x1, &x2, 1, 2, 1), 1);
  EXPECT_DOUBLE_EQ(x1, -1);
  EXPECT_EQ(quad_roots(&x1, &x2, 1, 0, 1), 0);
  EXPECT_EQ(quad_roots(&x1, &x2, 0, 2, -4), 1);
  EXPECT_DOUBLE_EQ(x1, 2);
  x1 = x2 = 99;
  EXPECT_EQ(quad_roots(&x1, &x2, 0, 0, 1), 0);
  EXPECT_EQ(x1, 99);
  EXPECT_EQ(x2, 99);
}

TEST(Scalar, Hypergeometric) {
  // 1F1(a; a; z) = e^z and 1F1(1; 2; z) = (e^z - 1) / z, by both the series
  // and the integration.
  for (double z : {-0.4, 0.1, 0.5, 0.9, 2.0, -3.0, 5.0}) {
    EXPECT_NEAR(h1f1(1.5, 1.5, z) / std::exp(z), 1.0, 1e-9) << z;
    EXPECT_NEAR(h1f1(1.0, 2.0, z) / ((std::exp(z) - 1) / z), 1.0, 1e-9) << z;
  }
}

TEST(Complex, Arithmetic) {
  Complex i = cmake(0, 1);
  Complex m = cmul(i, i);
  EXPECT_EQ(m.re, -1);
  EXPECT_EQ(m.im, 0);
  Complex q = cdiv(cmake(1, 0), i);
  EXPECT_EQ(q.re, 0);
  EXPECT_EQ(q.im, -1);
  Complex z = cneg(cmake(0, 0));
  EXPECT_TRUE(std::signbit(z.re));
  EXPECT_TRUE(std::signbit(z.im));
  Complex zero = cdiv(cmake(1, 2), cmake(0, 0));
  EXPECT_EQ(zero.re, 0);
  EXPECT_EQ(zero.im, 0);
  Complex tiny = cdiv(cmake(1e-300, 0), cmake(1e-300, 1e-300));
  EXPECT_NEAR(tiny.re, 0.5, 1e-15);
  EXPECT_NEAR(tiny.im, -0.5, 1e-15);
  double re, im;
  cunpack(&re, &im, cadd(cscale(2, cmake(1, 2)), csub(cmake(0, 1), cmake(1, 0))));
  EXPECT_EQ(re, 1);
  EXPECT_EQ(im, 5);
}
