// Self-test drivers of the two-index translation matrices: how far a
// truncated translation carries a test vector before it loses 5% of its
// squared norm, and the orthogonality of the matrices.
//
// Widths. The spherical-wave test takes the wavenumber beta at which
// j_0(beta r) best represents the Gaussian g = e^(-r^2/2), in the inner
// product with weight e^(-r^2/2) r^2 (the share <g, j_0>^2 / <j_0, j_0> is
// largest): with G2 = <g, g> = (sqrt(pi)/4) (2/3)^(3/2), <g, j_0> =
// (sqrt(pi)/4) e^(-beta^2/4) and <j_0, j_0> = sqrt(pi/2) (1 - e^(-2 beta^2))
// / (2 beta^2), the share B2 is stationary where beta^2 = 2 - 4 beta^2 /
// (e^(2 beta^2) - 1), iterated as it stands (beta = 1.34043). The GTO test
// takes the width lambda at which e^(-r^2/(2 lambda)) best represents
// j_0(r) under the same weight: with a = (1 + 1/lambda)/2 and b = 1/2 +
// 1/lambda, <j_0, g> = sqrt(pi) e^(-1/(4a)) / (4 a^(3/2)) and <g, g> =
// sqrt(pi) b^(-3/2) / 4, and the share G2 = <j_0, g>^2 / <g, g> is
// stationary where lambda^2 = lambda + 3, iterated as lambda = 1 + 3/lambda
// (lambda = 2.30278); B2 = <j_0, j_0>.
//
// Test vector: the l = 0 coefficient alone (A2 its square). C2 is the
// squared norm after translating by R, B2 after translating by R and back
// by -R (tm2_neg).
#include <cmath>
#include <functional>
#include <vector>

#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm2.h"
#include "runtime/zam_log.h"
#include "specfun/zam_mp.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// x = rule(x) from x = 1, at most 150 steps, until two values differ by
// less than 1e-12; each step printed.
double fixed_point(const std::function<double(double)>& rule) {
  double x = 1.0;
  for (int i = 0; i < 150; i++) {
    const double y = rule(x);
    zam_msg("[%4d]  %15.8e   %15.8e\n", i, y, std::fabs(y - x));
    const bool done = std::fabs(y - x) < 1e-12;
    x = y;
    if (done) break;
  }
  return x;
}

double squared(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}

// Squared norms of v, of T v (C2) and of T(-R) T v (B2).
struct Norms {
  double A2, B2, C2;
};

Norms round_trip(int L, const std::vector<double>& T, const std::vector<double>& v) {
  std::vector<double> back(T), w(v.size()), u(v.size());
  tm2_neg(L, back.data());
  tm2_apply(L, T.data(), v.data(), w.data());
  tm2_apply(L, back.data(), w.data(), u.data());
  return {squared(v), squared(u), squared(w)};
}

}  // namespace

double jlr_sw2_break(int L) {
  mp_bits(0);
  const double beta = fixed_point([](double b) { return std::sqrt(2.0 - 4.0 * b * b / (std::exp(2.0 * b * b) - 1.0)); });
  const double gg = std::sqrt(kPi) / 4.0 * std::pow(2.0 / 3.0, 1.5);
  const double gj = std::sqrt(kPi) / 4.0 * std::exp(-beta * beta / 4.0);
  const double jj = std::sqrt(kPi / 2.0) * (1.0 - std::exp(-2.0 * beta * beta)) / (2.0 * beta * beta);
  zam_msg("G2 = %15.8e  B2 =  %15.8e, for beta = %15.8e\n", gg, gj * gj / jj, beta);
  std::vector<double> v((L + 1) * (L + 1), 0.0), T(tm2_dim(L));
  v[0] = gj / jj;  // the multiple of j_0 nearest the Gaussian
  for (int R = static_cast<int>((L - 3) / beta); R <= 1000; R++) {
    tm_sw2_ser(L, T.data(), beta, R);
    const Norms s = round_trip(L, T, v);
    zam_msg("A2 = %15.8e  B2 =  %15.8e  C2 = %15.8e, for beta = %15.8e, R = %.5f\n", s.A2, s.B2, s.C2, beta,
            static_cast<double>(R));
    if (std::fabs(s.A2 - s.B2) / s.A2 > 0.05) {
      zam_msg("Lmax = %d, Translation breaks (5pct) at R = %.5f (L/beta = %.5f)\n", L, static_cast<double>(R),
              L / beta);
      return R;
    }
  }
  return 0.0;
}

void jlr_sw2_test() { jlr_sw2_break(60); }

double jlr_gt2_break(int L, int* kind) {
  mp_bits(0);
  const double lambda = fixed_point([](double x) { return 1.0 + 3.0 / x; });
  const double a = (1.0 + 1.0 / lambda) / 2.0, b = 0.5 + 1.0 / lambda;
  const double jg = std::sqrt(kPi) * std::exp(-1.0 / (4.0 * a)) / (4.0 * std::pow(a, 1.5));
  const double gg = std::sqrt(kPi) / 4.0 * std::pow(b, -1.5);
  const double jj = std::sqrt(kPi / 2.0) * (1.0 - std::exp(-2.0)) / 2.0;
  zam_msg("G2 = %15.8e  B2 =  %15.8e, for lambda = %15.8e\n", jg * jg / gg, jj, lambda);
  std::vector<double> v((L + 1) * (L + 1), 0.0), T(tm2_dim(L));
  v[0] = jg / gg;  // the multiple of the Gaussian nearest j_0
  if (kind) *kind = 0;
  for (int i = 1; i <= 100; i++) {
    const double R = 0.1 * i;
    tm_gt2_ser(L, T.data(), R, lambda);
    const Norms s = round_trip(L, T, v);
    zam_msg("A2 = %15.8e  B2 =  %15.8e  C2 = %15.8e, for lambda = %15.8e, R = %.5f\n", s.A2, s.B2, s.C2, lambda, R);
    const bool forth = std::fabs(s.A2 - s.C2) / s.A2 > 0.05, back = std::fabs(s.A2 - s.B2) / s.A2 > 0.05;
    if (forth || back) {
      zam_msg(forth ? "Lmax = %d, Translation breaks (5pct) at R = %.5f\n"
                    : "Lmax = %d, Inverse Translation breaks (5pct) at R = %.5f\n",
              L, R);
      if (kind) *kind = forth ? 1 : 2;
      return R;
    }
  }
  return 0.0;
}

void jlr_gt2_test() { jlr_gt2_break(20, nullptr); }

void jlr_sw2_ortho() {
  const double R = 5.0;
  zam_msg("\n R = %.2f\n", R);
  std::vector<double> T(tm2_dim(40));
  tm_sw2_ser(40, T.data(), 0.5283, R);
  tm2_ortho_test(40, T.data());
}

void jlr_gt2_ortho() {
  const double R = 1.0;
  zam_msg("\n R = %.2f\n", R);
  std::vector<double> T(tm2_dim(40));
  tm_gt2_ser(40, T.data(), R, 10.0);
  tm2_ortho_test(40, T.data());
}
