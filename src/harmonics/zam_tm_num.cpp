// Translation matrices by radial quadrature (translation method 0). The
// overlap of a function with a translated one is, in Fourier space, the
// product of their transforms times the plane wave of the distance, whose
// expansion brings in the spherical Bessel functions j_k(q R). The GTO
// functions are their own transforms (at q h, sign (-1)^(n-l)); the ETO
// functions transform into the Jacobi radial functions p_nl of scale t/2.
// The radial integral runs over 200 logarithmic points from 1e-4 to about
// sqrt(400/h) (GTO) or sqrt(100/s) (ETO), where the transforms are gone.
//
// Range. 200 points resolve j_k(u R) and the high radial functions only so
// far. At the default scales, against the series: GTO elements hold to
// 1e-9 up to order 16, order N up to the distance kGtoReach[N - 1] (50 to
// order 5, 20 at order 12, 4 at 16); ETO transforms fall off as powers of
// u, cut at the grid's end, and their elements hold to 1e-4 only up to
// order 7 and R = 20. Both scale with the scaled distance (R / sqrt(h),
// R t). Beyond, the error grows fast (element (25 0; 25 0) of order 25 at
// R = 2.3 is off by 1.5e-3): a call there warns once per routine and
// process.
#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_tm_alt.h"
#include "harmonics/zam_tm_walk.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "specfun/zam_jab.h"
#include "specfun/zam_jlr.h"

namespace {

constexpr int kPoints = 200;

// The largest distance at which a GTO matrix of order N holds to 1e-9
// (entry N - 1) at the default scale h = 20; none from order 17 on.
constexpr double kGtoReach[] = {50, 50, 50, 50, 50, 45, 40, 35, 30, 25, 20, 20, 15, 10, 8, 4};
constexpr int kGtoTop = sizeof(kGtoReach) / sizeof(kGtoReach[0]);
// ETO matrices hold to 1e-4 up to this order and distance (scale t = 1).
constexpr int kEtoTop = 7;
constexpr double kEtoReach = 20;

// Warns (once per routine) when order N at distance R >= 0 is beyond the
// quadrature's range.
void check_range(const char* who, int N, double R, bool gto) {
  if (gto) {
    const double unit = std::sqrt(hnl_scale() / 20.0);  // the reaches in angstroms
    if (N > kGtoTop)
      zam_wrn_once(who, "%s: order %d is beyond the quadrature's range: GTO matrices hold to 1e-9 up to order %d "
                   "(R up to %g there).\n", who, N, kGtoTop, kGtoReach[kGtoTop - 1] * unit);
    else if (R > kGtoReach[N - 1] * unit)
      zam_wrn_once(who, "%s: R = %.2f at order %d is beyond the quadrature's range: GTO matrices of order %d hold "
                   "to 1e-9 up to R = %g.\n", who, R, N, N, kGtoReach[N - 1] * unit);
  } else {
    const double unit = 0.5 / tnl_scale();
    if (N > kEtoTop || R > kEtoReach * unit)
      zam_wrn_once(who, "%s: order %d at R = %.2f is beyond the quadrature's range: ETO matrices hold to 1e-4 up "
                   "to order %d and R = %g.\n", who, N, R, kEtoTop, kEtoReach * unit);
  }
}

// Which radial functions and how the matrix is kept.
struct Quadrature {
  bool gto;
  bool extended;  // long-double GTO values (hhnl_all_bar)
  bool k0_only;   // keep the terms of degree 0 alone
};

// The packed matrix in the series direction at R >= 0, in long double,
// for the routine who.
std::vector<long double> grid_matrix(const char* who, int N, double R, Quadrature q) {
  check_range(who, N, R, q.gto);
  const int P = N * (N + 1) / 2, K = 2 * N - 1;
  const double lo = std::log(1e4);
  const double h = hnl_scale(), s = tnl_scale();
  const double d = 0.005 * (lo + 0.5 * std::log(q.gto ? 400.0 / h : 100.0 / s));
  // f[i P + pair]: transformed radial functions; jw[i K + k]: j_k(u R) times
  // the weight of the point.
  std::vector<long double> f(static_cast<size_t>(kPoints) * P), jw(static_cast<size_t>(kPoints) * K);
  std::vector<double> vals(P), norms(P), bessel(K);
  std::vector<long double> hvals(P);
  if (q.gto) {
    hnl_all_norm(N, norms.data());
  } else {
    // p_nl at the scale s from the functions of the scale in force.
    const double ratio = pnl_scale() / s;
    for (int n = 1; n <= N; n++)
      for (int l = 0; l < n; l++) norms[n * (n - 1) / 2 + l] = pnl_norm(n, l) * std::pow(ratio, 1.5);
  }
  for (int i = 0; i < kPoints; i++) {
    const double u = std::exp(i * d - lo);
    long double* fi = &f[static_cast<size_t>(i) * P];
    double w;
    if (q.gto) {
      w = d * std::pow(h * u, 3);
      if (q.extended) {
        hhnl_all_bar(N, hvals.data(), static_cast<long double>(h) * u);
        for (int n = 1; n <= N; n++)
          for (int l = 0; l < n; l++) {
            const int p = n * (n - 1) / 2 + l;
            fi[p] = ((n - l) & 1 ? -1.0L : 1.0L) * hvals[p] * hhnl_norm(n, l);
          }
      } else {
        hnl_all_bar(N, vals.data(), h * u);
        for (int n = 1; n <= N; n++)
          for (int l = 0; l < n; l++) {
            const int p = n * (n - 1) / 2 + l;
            fi[p] = ((n - l) & 1 ? -1.0L : 1.0L) * vals[p] * norms[p];
          }
      }
    } else {
      w = d * u * u * u;
      pnl_all_bar(N, vals.data(), u * pnl_scale() / s);
      for (int p = 0; p < P; p++) fi[p] = static_cast<long double>(vals[p]) * norms[p];
    }
    jlr_all(K - 1, bessel.data(), u * R);
    for (int k = 0; k < K; k++) jw[static_cast<size_t>(i) * K + k] = static_cast<long double>(bessel[k]) * w;
  }
  acc_init(N - 1);
  std::vector<long double> T(tm3_dim(N - 1)), acc(N);
  tm3_blocks(N, [&](int n, int np, int l, int lp, int pos) {
    const int a = n * (n - 1) / 2 + l, b = np * (np - 1) / 2 + lp;
    tm_couple(
        l, lp,
        [&](int k) {
          if (q.k0_only && k != 0) return 0.0L;
          long double sum = 0.0L;
          for (int i = 0; i < kPoints; i++)
            sum += f[static_cast<size_t>(i) * P + a] * f[static_cast<size_t>(i) * P + b] *
                   jw[static_cast<size_t>(i) * K + k];
          return sum;
        },
        acc.data());
    for (int m = 0; m <= std::min(l, lp); m++) T[pos + m] = acc[m];
  });
  return T;
}

void num_matrix(const char* who, int N, double* T, double R, bool gto) {
  const double t0 = zam_get_time();
  const std::vector<long double> M = grid_matrix(who, N, R, {gto, false, false});
  for (size_t i = 0; i < M.size(); i++) T[i] = static_cast<double>(M[i]);
  zam_msg("Done %d %c[%d](R=%.2f) translation elements in %.2f seconds.\n", static_cast<int>(M.size()), gto ? 'K' : 'J',
          N, R, zam_get_time() - t0);
}

// A new long-double matrix for the signed distance R (flipped for R >= 0).
long double* signed_grid(const char* who, int N, double R, bool k0_only) {
  std::vector<long double> M = grid_matrix(who, N, std::fabs(R), {true, true, k0_only});
  if (R >= 0) tm3_flip(N, M.data());
  auto* out = static_cast<long double*>(kget1B(static_cast<int64_t>(M.size() * sizeof(long double))));
  for (size_t i = 0; i < M.size(); i++) out[i] = M[i];
  return out;
}

}  // namespace

void tm_gt3_num(int N, double* T, double R) { num_matrix("tm_gt3_num", N, T, R, true); }

void tm_et3_num(int N, double* T, double R) { num_matrix("tm_et3_num", N, T, R, false); }

double tlm_jlr(int l, int lp, int m, double x) {
  if (l < 0 || lp < 0 || m < 0 || m > std::min(l, lp)) return 0.0;
  acc_init(std::max(l, lp));
  std::vector<double> j(l + lp + 1);
  jlr_all(l + lp, j.data(), x);
  std::vector<long double> acc(std::min(l, lp) + 1);
  tm_couple(l, lp, [&](int k) { return static_cast<long double>(j[k]); }, acc.data());
  return static_cast<double>(acc[m]);
}

long double* tz_gt3(int N, double R) { return signed_grid("tz_gt3", N, R, false); }

long double* tu_gt3(int N, double R) { return signed_grid("tu_gt3", N, R, true); }
