// Translation matrices by radial quadrature (translation method 0). The
// overlap of a function with a translated one is, in Fourier space, the
// product of their transforms times the plane wave of the distance, whose
// expansion brings in the spherical Bessel functions j_k(q R). The GTO
// functions are their own transforms (at q h, sign (-1)^(n-l)); the ETO
// functions transform into the Jacobi radial functions p_nl of scale t/2.
// The radial integral runs over 200 logarithmic points from 1e-4 to about
// sqrt(400/h) (GTO) or sqrt(100/s) (ETO), where the transforms are gone.
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

// Which radial functions and how the matrix is kept.
struct Quadrature {
  bool gto;
  bool extended;  // long-double GTO values (hhnl_all_bar)
  bool k0_only;   // keep the terms of degree 0 alone
};

// The packed matrix in the series direction at R >= 0, in long double.
std::vector<long double> grid_matrix(int N, double R, Quadrature q) {
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

void num_matrix(int N, double* T, double R, bool gto) {
  const double t0 = zam_get_time();
  const std::vector<long double> M = grid_matrix(N, R, {gto, false, false});
  for (size_t i = 0; i < M.size(); i++) T[i] = static_cast<double>(M[i]);
  zam_msg("Done %d %c[%d](R=%.2f) translation elements in %.2f seconds.\n", static_cast<int>(M.size()), gto ? 'K' : 'J',
          N, R, zam_get_time() - t0);
}

// A new long-double matrix for the signed distance R (flipped for R >= 0).
long double* signed_grid(int N, double R, bool k0_only) {
  std::vector<long double> M = grid_matrix(N, std::fabs(R), {true, true, k0_only});
  if (R >= 0) tm3_flip(N, M.data());
  auto* out = static_cast<long double*>(kget1B(static_cast<int64_t>(M.size() * sizeof(long double))));
  for (size_t i = 0; i < M.size(); i++) out[i] = M[i];
  return out;
}

}  // namespace

void tm_gt3_num(int N, double* T, double R) { num_matrix(N, T, R, true); }

void tm_et3_num(int N, double* T, double R) { num_matrix(N, T, R, false); }

double tlm_jlr(int l, int lp, int m, double x) {
  if (l < 0 || lp < 0 || m < 0 || m > std::min(l, lp)) return 0.0;
  acc_init(std::max(l, lp));
  std::vector<double> j(l + lp + 1);
  jlr_all(l + lp, j.data(), x);
  std::vector<long double> acc(std::min(l, lp) + 1);
  tm_couple(l, lp, [&](int k) { return static_cast<long double>(j[k]); }, acc.data());
  return static_cast<double>(acc[m]);
}

long double* tz_gt3(int N, double R) { return signed_grid(N, R, false); }

long double* tu_gt3(int N, double R) { return signed_grid(N, R, true); }
