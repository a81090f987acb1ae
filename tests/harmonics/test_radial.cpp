// Radial basis functions and the moments of an expansion: orthonormality by
// quadrature, known values, and moments checked against direct integration
// of the expanded density.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "common/fp_mode.h"
#include "common/quadrature.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "specfun/zam_fac.h"

namespace {

int rp(int n, int l) { return n * (n - 1) / 2 + l; }

// Integral over [0, rmax] of f(r) by 400-point Gauss-Legendre.
template <typename F>
double quad_r(F f, double rmax) {
  std::vector<double> x, w;
  testutil::gauss_legendre(200, 0.0, rmax, x, w);
  double s = 0.0;
  for (size_t i = 0; i < x.size(); i++) s += w[i] * f(x[i]);
  return s;
}

// Integration over all space against an order-N GTO expansion: the nodes
// and the density times the weights are formed once.
struct SpaceQuadrature {
  std::vector<double> px, py, pz, fw;
  SpaceQuadrature(int N, const double* a) {
    std::vector<double> rx, rw, tx, tw;
    testutil::gauss_legendre(90, 0.0, 60.0, rx, rw);
    testutil::gauss_legendre(24, -1.0, 1.0, tx, tw);
    const int nph = 32;
    for (size_t i = 0; i < rx.size(); i++)
      for (size_t j = 0; j < tx.size(); j++)
        for (int k = 0; k < nph; k++) {
          const double r = rx[i], th = std::acos(tx[j]), ph = 2.0 * M_PI * k / nph;
          px.push_back(r * std::sin(th) * std::cos(ph));
          py.push_back(r * std::sin(th) * std::sin(ph));
          pz.push_back(r * tx[j]);
          fw.push_back(rw[i] * tw[j] * (2.0 * M_PI / nph) * r * r * anlm_value_h(N, a, r, th, ph));
        }
  }
  double operator()(double (*g)(double x, double y, double z)) const {
    double s = 0.0;
    for (size_t i = 0; i < fw.size(); i++) s += fw[i] * g(px[i], py[i], pz[i]);
    return s;
  }
};

}  // namespace

TEST(Radial, GtoFunctionsAreOrthonormalAndMatchTheirParts) {
  const int N = 12;
  EXPECT_NEAR(hnl(1, 0, 0.0), 0.14953487812212204 * std::sqrt(2.0 / std::sqrt(M_PI)), 1e-15);
  // Gram matrix of every pair (n, k) of one l, from one set of values per node.
  std::vector<double> x, w, v(N * (N + 1) / 2), nv(v.size()), gram(N * N * N, 0.0);
  testutil::gauss_legendre(300, 0.0, 80.0, x, w);
  hnl_all_norm(N, nv.data());
  for (size_t i = 0; i < x.size(); i++) {
    hnl_all_bar(N, v.data(), x[i]);
    for (int l = 0; l < N; l++)
      for (int n = l + 1; n <= N; n++)
        for (int k = n; k <= N; k++)
          gram[(l * N + n - 1) * N + k - 1] += w[i] * x[i] * x[i] * v[rp(n, l)] * nv[rp(n, l)] * v[rp(k, l)] * nv[rp(k, l)];
  }
  for (int l = 0; l < N; l++)
    for (int n = l + 1; n <= N; n++)
      for (int k = n; k <= N; k++)
        EXPECT_NEAR(gram[(l * N + n - 1) * N + k - 1], n == k ? 1.0 : 0.0, 1e-11) << n << " " << k << " " << l;
  std::vector<double> bar(N * (N + 1) / 2), nrm(bar.size());
  hnl_all_bar(N, bar.data(), 7.3);
  hnl_all_norm(N, nrm.data());
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) EXPECT_NEAR(bar[rp(n, l)] * nrm[rp(n, l)], hnl(n, l, 7.3), 1e-14);
}

TEST(Radial, EtoAndCubicFamiliesAreOrthonormal) {
  for (int l = 0; l < 4; l++)
    for (int n = l + 1; n <= 6; n++)
      for (int k = l + 1; k <= 6; k++) {
        EXPECT_NEAR(quad_r([&](double r) { return tnl(n, l, r) * tnl(k, l, r) * r * r; }, 120.0), n == k, 1e-11);
        EXPECT_NEAR(quad_r([&](double r) { return rnl(n, l, r) * rnl(k, l, r) * r * r; }, 60.0), n == k, 1e-11);
      }
  // The ETO set takes radii below 0.1 as 0.
  std::vector<double> a(21), b(21);
  tnl_all_bar(6, a.data(), 0.05);
  tnl_all_bar(6, b.data(), 0.0);
  EXPECT_EQ(a, b);
}

TEST(Radial, LaguerreValuesAgreeByEveryRoad) {
  std::vector<double> v(8);
  lna_all_vec(7, v.data(), 1.5, 2.25);
  for (int k = 0; k <= 7; k++) EXPECT_NEAR(lna(k, 1.5, 2.25), std::sqrt(fac(k) / gam(k + 2.5)) * v[k], 1e-13);
  for (int k = 0; k <= 7; k++) EXPECT_NEAR(lna_ser(k, 1.5, 2.25), lna(k, 1.5, 2.25), 1e-12);
  // Known polynomials: L^a_2(x) = ((a+1)(a+2) - 2(a+2)x + x^2)/2.
  EXPECT_NEAR(v[2], (2.5 * 3.5 - 2 * 3.5 * 2.25 + 2.25 * 2.25) / 2, 1e-14);
  long double h[8];
  hlna_all_vec(7, h, 1.5L, 2.25L);
  EXPECT_NEAR(static_cast<double>(h[7]), v[7], 1e-13);
  // The table coefficients are those of the recurrence.
  double s = 0.0;
  for (int j = 0; j <= 4; j++) s += hnlk(6, 1, j) * std::pow(2.25, j);
  std::vector<double> all(21);
  lna_all_bar(6, 1, all.data(), 0.5, 2.25);
  EXPECT_NEAR(s, all[rp(6, 1)], 1e-12);
}

TEST(Radial, MomentIntegralsMatchQuadrature) {
  const int N = 8;
  std::vector<double> I(N + 1);
  for (int l : {0, 1, 2, 3})
    for (int k : {0, 1, 2, 5}) {
      hnl_knl_integrals(N, l, k, I.data());
      for (int n = 0; n <= N; n++) {
        if (n <= l) {
          EXPECT_EQ(I[n], 0.0);
          continue;
        }
        const double q = quad_r([&](double r) { return hnl(n, l, r) * std::pow(r, k + 2); }, 80.0);
        EXPECT_NEAR(I[n], q, 1e-10 * (1.0 + std::fabs(q))) << n << " " << l << " " << k;
      }
    }
}

TEST(Radial, MomentsOfAHandMadeExpansion) {
  // A density with l = 0, 1 and 2 parts; each moment against direct
  // integration over space.
  const int N = 4;
  std::vector<double> a(anlm_size(N), 0.0);
  a[anlm_index(1, 0, 0)] = 1.0;
  a[anlm_index(3, 0, 0)] = -0.3;
  a[anlm_index(2, 1, 1)] = 0.2;
  a[anlm_index(3, 2, 0)] = 0.4;
  a[anlm_index(3, 2, 1)] = -0.25;
  a[anlm_index(4, 2, -2)] = 0.15;
  a[anlm_index(4, 2, 2)] = 0.35;
  a[anlm_index(3, 2, -1)] = 0.1;

  const SpaceQuadrature quad_space(N, a.data());
  const double mono = hnl_monopole(N, a.data());
  EXPECT_NEAR(mono, quad_space([](double, double, double) { return 1.0; }), 1e-9);
  std::vector<double> rad(N + 1);
  hnl_radial(N, a.data(), rad.data());
  EXPECT_DOUBLE_EQ(rad[0], mono);
  EXPECT_NEAR(rad[2], quad_space([](double x, double y, double z) { return x * x + y * y + z * z; }),
              1e-7 * std::fabs(rad[2]));

  double q[9], t[9];
  hnl_quadrupole(N, a.data(), q);
  hnl_inertia(N, a.data(), t);
  EXPECT_NEAR(q[0] + q[4] + q[8], 0.0, 1e-12);
  using G = double (*)(double, double, double);
  const G quad_fn[9] = {
      [](double x, double y, double z) { return 2 * x * x - y * y - z * z; },
      [](double x, double y, double) { return 3 * x * y; },
      [](double x, double, double z) { return 3 * x * z; },
      [](double x, double y, double) { return 3 * x * y; },
      [](double x, double y, double z) { return 2 * y * y - x * x - z * z; },
      [](double, double y, double z) { return 3 * y * z; },
      [](double x, double, double z) { return 3 * x * z; },
      [](double, double y, double z) { return 3 * y * z; },
      [](double x, double y, double z) { return 2 * z * z - x * x - y * y; }};
  const G inertia_fn[9] = {
      [](double, double y, double z) { return y * y + z * z; },
      [](double x, double y, double) { return -x * y; },
      [](double x, double, double z) { return -x * z; },
      [](double x, double y, double) { return -x * y; },
      [](double x, double, double z) { return x * x + z * z; },
      [](double, double y, double z) { return -y * z; },
      [](double x, double, double z) { return -x * z; },
      [](double, double y, double z) { return -y * z; },
      [](double x, double y, double) { return x * x + y * y; }};
  for (int i = 0; i < 9; i++) {
    EXPECT_NEAR(q[i], quad_space(quad_fn[i]), 1e-6) << "quadrupole " << i;
    EXPECT_NEAR(t[i], quad_space(inertia_fn[i]), 1e-6) << "inertia " << i;
  }

  // Octants add up to the monopole; the upper ones by quadrature.
  double oct[8];
  hnl_octants(N, a.data(), oct);
  double sum = 0.0;
  for (double o : oct) sum += o;
  EXPECT_NEAR(sum, mono, 1e-10);
  const double upper_first = quad_space([](double x, double y, double z) {
    return (z > 0 && x > 0 && y > 0) ? 1.0 : 0.0;
  });
  EXPECT_NEAR(oct[0], upper_first, 2e-2 * std::fabs(mono));  // a step function: coarse quadrature
}

TEST(Radial, QuadrupoleWithoutDegreeTwoIsZero) {
  const int N = 3;
  std::vector<double> a(anlm_size(N), 0.0);
  a[anlm_index(1, 0, 0)] = 2.0;
  a[anlm_index(2, 1, 0)] = 1.0;
  double q[9];
  hnl_quadrupole(N, a.data(), q);
  for (double v : q) EXPECT_EQ(v, 0.0);
}

TEST(Radial, LaplacianElementsDipoleAndHalfSpaces) {
  EXPECT_NEAR(tnjl(1, 1, 0), -0.25, 1e-15);
  EXPECT_NEAR(hnjl(1, 1, 0), -0.075, 1e-15);
  EXPECT_NEAR(hnjl(2, 1, 0), hnjl(1, 2, 0), 1e-15);
  EXPECT_NEAR(tnjl(4, 2, 1), tnjl(2, 4, 1), 1e-14);
  // Against the Laplacian taken by finite differences.
  const double d = 1e-4;
  auto lap = [d](double (*f)(int, int, double), int n, int l, double r) {
    const double f0 = f(n, l, r), fp = f(n, l, r + d), fm = f(n, l, r - d);
    return (fp - 2 * f0 + fm) / (d * d) + (fp - fm) / (d * r) - l * (l + 1) * f0 / (r * r);
  };
  const double qh = quad_r([&](double r) { return hnl(3, 1, r) * lap(hnl, 4, 1, r) * r * r; }, 60.0);
  EXPECT_NEAR(hnjl(3, 4, 1), qh, 1e-6);
  const double qt = quad_r([&](double r) { return tnl(2, 1, r) * lap(tnl, 3, 1, r) * r * r; }, 80.0);
  EXPECT_NEAR(tnjl(2, 3, 1), qt, 1e-6);

  const int N = 3;
  std::vector<double> a(anlm_size(N), 0.0);
  a[anlm_index(1, 0, 0)] = 1.0;
  a[anlm_index(2, 1, 1)] = 0.5;  // a dipole along -x
  double dip[3];
  hnl_dipole(N, a.data(), dip);
  EXPECT_LT(dip[0], 0.0);
  EXPECT_NEAR(dip[1], 0.0, 1e-15);
  EXPECT_NEAR(dip[2], 0.0, 1e-15);
  double half[6];
  hnl_hemisphere(N, a.data(), half);
  const double mono = hnl_monopole(N, a.data());
  for (int k = 0; k < 6; k += 2) EXPECT_NEAR(half[k] + half[k + 1], mono, 1e-12);
  EXPECT_LT(half[0], half[1]);  // more of the density at x < 0
  EXPECT_NEAR(half[2], half[3], 1e-12);
  EXPECT_NEAR(half[4], half[5], 1e-12);
}

TEST(Radial, FurtherFormsAgreeWithTheMainOnes) {
  EXPECT_NEAR(lna_1l_half_ser(7, 2, 1.3), lna_1l_half_bar(7, 2, 1.3), 1e-12);
  EXPECT_NEAR(lna_1l_half(7, 2, 1.3), lna_1l_half_bar(7, 2, 1.3) * lna_1l_half_norm(7, 2), 1e-15);
  EXPECT_EQ(lna_1l_half_ser(2, 2, 1.3), 0.0);
  long double hh[15];
  double hd[15];
  hhnl_all_bar(5, hh, 6.5L);
  hnl_all_bar(5, hd, 6.5);
  for (int i = 0; i < 15; i++) EXPECT_NEAR(static_cast<double>(hh[i]), hd[i], 1e-14 * (1.0 + std::fabs(hd[i])));
  EXPECT_NEAR(static_cast<double>(hhnl_norm(5, 2)), hnl_norm(5, 2), 1e-16);
  // Normalised Laguerre parts times their factors are the functions (t = 1, f = 0.2).
  const double r = 2.7, x = r, y = std::pow(0.2 * r, 3) / 3;
  EXPECT_NEAR(unl(5, 1, x) * std::exp(-x / 2) * x, tnl(5, 1, r), 1e-15);
  EXPECT_NEAR(knl(5, 1, y) * std::exp(-y / 2) * y * 0.2 * std::sqrt(0.2), rnl(5, 1, r), 1e-15);
  const double d = 1e-6;
  EXPECT_NEAR(dunl(5, 1, x), (unl(5, 1, x + d) - unl(5, 1, x - d)) / (2 * d), 1e-8);
  EXPECT_NEAR(dknl(5, 1, y), (knl(5, 1, y + d) - knl(5, 1, y - d)) / (2 * d), 1e-8);
  EXPECT_NEAR(dtnl(4, 2, r), (tnl(4, 2, r + d) - tnl(4, 2, r - d)) / (2 * d), 1e-8);
  EXPECT_NEAR(drnl(4, 2, r), (rnl(4, 2, r + d) - rnl(4, 2, r - d)) / (2 * d), 1e-8);
  // Range integrals: the whole is the sum of the parts, and matches quadrature.
  for (int l = 0; l < 3; l++) {
    const double whole = itnl(4, l, 0, 0), cubic = irnl(4, l, 0, 0);
    EXPECT_NEAR(whole, quad_r([&](double q) { return tnl(4, l, q) * q * q; }, 150.0), 1e-10);
    EXPECT_NEAR(cubic, quad_r([&](double q) { return rnl(4, l, q) * q * q; }, 60.0), 1e-10);
    EXPECT_NEAR(itnl(4, l, 0, 3.0) + itnl(4, l, 3.0, 1.0), whole, 1e-12);
    EXPECT_NEAR(irnl(4, l, 0, 3.0) + irnl(4, l, 3.0, 1.0) , cubic, 1e-12);
    std::vector<double> qx, qw;
    testutil::gauss_legendre(40, 1.0, 3.0, qx, qw);
    double part = 0.0;
    for (size_t i = 0; i < qx.size(); i++) part += qw[i] * tnl(4, l, qx[i]) * qx[i] * qx[i];
    EXPECT_NEAR(itnl(4, l, 1.0, 3.0), part, 1e-12);
  }
  // Hydrogen-like functions are normalised; width-s l = 0 GTO functions are
  // the GTO family at s = sqrt(h).
  EXPECT_NEAR(quad_r([](double q) { return rnl_rho(3, 1, q) * rnl_rho(3, 1, q) * q * q; }, 80.0), 1.0, 1e-10);
  EXPECT_EQ(lpq(1, 2, 0.5), 0.0);
  double hn[4];
  hn_all_bar(4, hn, 5.0, std::sqrt(20.0));
  for (int n = 1; n <= 4; n++) EXPECT_NEAR(hn[n - 1] * hn_norm(n, std::sqrt(20.0)), hnl(n, 0, 5.0), 1e-15);
  EXPECT_NEAR(rho_r(5.0), 1.0 / 3.0, 1e-15);
}

TEST(Radial, EtoPotentialSolvesPoisson) {
  // qnl is (2l+1)/(4 pi) times the potential of the density
  // exp(-x/2) x^l L^(2l+2)_d(x) (x = r, t = 1) times y_lm, so its radial
  // Laplacian is -(2l+1) times that density.
  const int n = 4, l = 2;
  const double r = 3.0, d = 1e-3;
  const double f0 = qnl(n, l, r), fp = qnl(n, l, r + d), fm = qnl(n, l, r - d);
  const double lap = (fp - 2 * f0 + fm) / (d * d) + (fp - fm) / (d * r) - l * (l + 1) * f0 / (r * r);
  double L = 0.0;
  for (int j = 0; j <= n - l - 1; j++) L += tnlk(n, l, j) * std::pow(r, j);
  EXPECT_NEAR(lap, -(2 * l + 1) * std::exp(-r / 2) * std::pow(r, l) * L, 1e-4);
  std::vector<double> all(10);
  qnl_all_bar(4, all.data(), r);
  EXPECT_EQ(all[4 * 3 / 2 + 2], f0);
  EXPECT_EQ(qnl(n, l, 0.05), qnl(n, l, 0.1));
}

TEST(Radial, PotentialFactorsByEveryRoad) {
  std::vector<double> q(10), dev(10), w(10), bar(10);
  qnl_all_bar(4, q.data(), 2.5);
  qnl_all_bar_dev(4, dev.data(), 2.5);
  for (int i = 0; i < 10; i++) EXPECT_NEAR(dev[i], q[i], 1e-10 * (1.0 + std::fabs(q[i]))) << i;
  // The GTO factors solve the same Poisson equation for the GTO densities.
  const double r = 4.0, d = 1e-3;
  std::vector<double> wp(10), wm(10);
  wnl_all_bar(4, w.data(), r);
  wnl_all_bar(4, wp.data(), r + d);
  wnl_all_bar(4, wm.data(), r - d);
  hnl_all_bar(4, bar.data(), r);
  for (int n = 1; n <= 4; n++)
    for (int l = 0; l < n; l++) {
      const int k = n * (n - 1) / 2 + l;
      const double lap = (wp[k] - 2 * w[k] + wm[k]) / (d * d) + (wp[k] - wm[k]) / (d * r) - l * (l + 1) * w[k] / (r * r);
      EXPECT_NEAR(lap, -(2 * l + 1) * bar[k], 1e-5) << n << " " << l;
    }
}

// The cubic family's potential factor: its radial Laplacian is -(2l+1) times
// the density term, and far out (x near 170, the outer charge gone) it is the
// term's whole inner moment over r^(l+1), taken here by quadrature.
TEST(Radial, CubicPotentialSolvesPoissonAndFallsOff) {
  auto density = [](int n, int l, double r) {
    const double x = rho_r(r);
    return std::exp(-x / 2) * std::pow(x, l) * knl(n, l, x) / knl_norm(n, l);
  };
  const double d = 1e-3;
  for (const int nl : {10, 31, 42, 53}) {
    const int n = nl / 10, l = nl % 10;
    for (const double r : {2.0, 6.5, 11.0}) {
      const double f0 = unused_snl(n, l, r), fp = unused_snl(n, l, r + d), fm = unused_snl(n, l, r - d);
      const double lap = (fp - 2 * f0 + fm) / (d * d) + (fp - fm) / (d * r) - l * (l + 1) * f0 / (r * r);
      EXPECT_NEAR(lap, -(2 * l + 1) * density(n, l, r), 1e-5 * (1.0 + std::fabs(f0))) << n << l << " " << r;
    }
    const double far = 40.0, h = far / 40000;
    double moment = 0.0;
    for (int i = 1; i < 40000; i++) moment += density(n, l, i * h) * std::pow(i * h, l + 2) * h;
    EXPECT_NEAR(unused_snl(n, l, far) * std::pow(far, l + 1), moment, 1e-8 * std::fabs(moment)) << n << l;
  }
  EXPECT_EQ(unused_snl(3, 1, 0.0), 0.0);
  EXPECT_EQ(unused_snl(3, 1, -1.0), 0.0);
}

namespace {

// Integral of H_nl(r) r^(k+2) over [0, inf) by a second exact road: with
// x = r^2/h it is the norm times h^((k+3)/2)/2 times the integral J of
// x^(b-1) e^(-x/2) L^a_d(x), a = l+1/2, b = (l+k+3)/2, d = n-l-1. The
// multiplication theorem L^a_d(2y) = sum_i C(d+a, d-i) 2^i (-1)^(d-i) L^a_i(y)
// and the integral of y^(b-1) e^(-y) L^a_i(y), Gamma(b) (a-b+1)_i / i!, give
// J = 2^b Gamma(b) sum_i C(d+a, d-i) 2^i (-1)^(d-i) ((l-k)/2)_i / i!, here
// summed over the rationals (sqrt(2 pi) set apart for half-integer b).
double moment_by_multiplication(int n, int l, int k) {
  const int d = n - l - 1;
  const bool half = (l + k) % 2 == 0;  // b = c + 1/2
  // (1/2)_m = (2m)! / (4^m m!) as a rational.
  auto half_rise = [](mpq_t q, int m) {
    mpz_t num, den;
    mpz_inits(num, den, nullptr);
    mpz_fac_ui(num, 2 * m);
    mpz_fac_ui(den, m);
    mpz_mul_2exp(den, den, 2 * m);
    mpq_set_num(q, num);
    mpq_set_den(q, den);
    mpq_canonicalize(q);
    mpz_clears(num, den, nullptr);
  };
  mpq_t J, term, f, pn;
  mpq_inits(J, term, f, pn, nullptr);
  half_rise(pn, n);
  mpq_t poch;  // ((l-k)/2)_i
  mpq_init(poch);
  mpq_set_ui(poch, 1, 1);
  mpz_t z;
  mpz_init(z);
  for (int i = 0; i <= d; i++) {
    // C(d+a, d-i) = (1/2)_n / ((1/2)_(l+i+1) (d-i)!)
    half_rise(f, l + i + 1);
    mpq_div(term, pn, f);
    mpz_fac_ui(z, d - i);
    mpq_set_z(f, z);
    mpq_div(term, term, f);
    mpq_mul(term, term, poch);
    mpz_fac_ui(z, i);
    mpq_set_z(f, z);
    mpq_div(term, term, f);
    mpz_set_ui(z, 1);
    mpz_mul_2exp(z, z, i);
    mpq_set_z(f, z);
    mpq_mul(term, term, f);
    if ((d - i) % 2)
      mpq_sub(J, J, term);
    else
      mpq_add(J, J, term);
    mpq_set_si(f, l - k + 2 * i, 2);
    mpq_mul(poch, poch, f);
  }
  // 2^b Gamma(b): for integer b, 2^b (b-1)!; for b = c + 1/2, sqrt(2 pi) 2^c (1/2)_c.
  const int c = half ? (l + k + 2) / 2 : (l + k + 3) / 2;
  if (half) {
    half_rise(f, c);
  } else {
    mpz_fac_ui(z, c - 1);
    mpq_set_z(f, z);
  }
  mpq_mul(J, J, f);
  mpz_set_ui(z, 1);
  mpz_mul_2exp(z, z, c);
  mpq_set_z(f, z);
  mpq_mul(J, J, f);
  // Norm h_norm sqrt(d! / Gamma(n+1/2)), Gamma(n+1/2) = sqrt(pi) (1/2)_n.
  mpz_fac_ui(z, d);
  mpq_set_z(f, z);
  mpq_div(f, f, pn);
  const long double pi = 3.14159265358979323846264338327950288L;
  const long double h = hnl_scale();
  long double v = sqrtl(mpq_get_d(f)) / powl(pi, 0.25L) * static_cast<long double>(mpq_get_d(J));
  if (half) v *= sqrtl(2.0L * pi);
  v *= 0.5L * powl(h, 0.5L * (k + 3)) * sqrtl(2.0L / (sqrtl(h) * h));
  mpz_clear(z);
  mpq_clears(J, term, f, pn, poch, nullptr);
  return static_cast<double>(v);
}

}  // namespace

// Every moment integral the moment operations take at the top order, 36:
// l = 0 for every power k = 0..36 (the radial moments), k = 0 for every l
// (the octants), and those of the dipole, quadrupole and inertia.
TEST(Radial, MomentIntegralsExactToTheTopOrder) {
  const int N = ZAM_NMAX;
  std::vector<std::pair<int, int>> rows;
  for (int k = 0; k <= N; k++) rows.push_back({0, k});
  for (int l = 1; l < N; l++) rows.push_back({l, 0});
  rows.insert(rows.end(), {{1, 1}, {2, 2}});
  std::vector<double> I(N + 1);
  double worst = 0.0;
  for (const auto& [l, k] : rows) {
    hnl_knl_integrals(N, l, k, I.data());
    for (int n = l + 1; n <= N; n++) {
      const double ref = moment_by_multiplication(n, l, k);
      ASSERT_NE(ref, 0.0) << n << " " << l << " " << k;
      worst = std::max(worst, std::fabs(I[n] - ref) / std::fabs(ref));
    }
  }
  EXPECT_LT(worst, 1e-14);
}

// The single values of the three families at the top order, 36: the Gram
// matrix of the functions of one l over n = l+1..36, by quadrature, is the
// identity for l = 0, 1, 2, 10 and 30.
TEST(Radial, SingleValuesOrthonormalToTheTopOrder) {
  const int N = ZAM_NMAX;
  struct Family {
    double (*f)(int, int, double);
    double rmax;
  };
  const Family families[3] = {{hnl, 90.0}, {tnl, 400.0}, {rnl, 80.0}};
  for (const Family& fam : families) {
    std::vector<double> x, w;
    testutil::gauss_legendre(600, 0.0, fam.rmax, x, w);
    double worst = 0.0;
    for (int l : {0, 1, 2, 10, 30}) {
      const int m = N - l;
      std::vector<double> v(x.size() * m);
      for (size_t i = 0; i < x.size(); i++)
        for (int n = l + 1; n <= N; n++) v[i * m + n - l - 1] = fam.f(n, l, x[i]);
      for (int a = 0; a < m; a++)
        for (int b = a; b < m; b++) {
          double s = 0.0;
          for (size_t i = 0; i < x.size(); i++) s += w[i] * x[i] * x[i] * v[i * m + a] * v[i * m + b];
          worst = std::max(worst, std::fabs(s - (a == b ? 1.0 : 0.0)));
        }
    }
    EXPECT_LT(worst, 1e-11) << fam.rmax;
  }
}
