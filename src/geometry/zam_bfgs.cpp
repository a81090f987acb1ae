#include "geometry/zam_bfgs.h"

#include <cmath>

#include "geometry/zam_math.h"
#include "runtime/zam_log.h"

namespace {

constexpr int kMaxVars = 6;
constexpr double kDelta = 0.01;  // forward-difference step
constexpr int kTrials = 10;      // line-search halvings

struct Problem {
  zam_bfgs_fn f;
  int n;
  void* data;
  const double* lo;
  const double* hi;
};

void clamp(const Problem& p, double* x) {
  for (int i = 0; i < p.n; i++) x[i] = std::fmin(std::fmax(x[i], p.lo[i]), p.hi[i]);
}

// f at clamp(x - t d).
double along(const Problem& p, const double* x, const double* d, double t, int iter, double* xt) {
  for (int i = 0; i < p.n; i++) xt[i] = x[i] - t * d[i];
  clamp(p, xt);
  return p.f(p.n, xt, p.data, iter);
}

// Forward differences relative to fx; a move shortened by the box keeps the
// factor 1 / kDelta.
void gradient(const Problem& p, const double* x, double fx, int iter, double* g) {
  double xt[kMaxVars];
  for (int i = 0; i < p.n; i++) {
    for (int k = 0; k < p.n; k++) xt[k] = x[k];
    xt[i] += kDelta;
    clamp(p, xt);
    g[i] = (p.f(p.n, xt, p.data, iter) - fx) / kDelta;
  }
}

double finish(int n, const double* x, double fx, double* xout) {
  for (int i = 0; i < n; i++) xout[i] = x[i];
  return fx;
}

}  // namespace

double zam_bfgs(zam_bfgs_fn f, int n, int maxit, void* data, const double* x0, const double* lo,
                const double* hi, const double* step, double* xout, double tol) {
  if (n < 1 || n > kMaxVars) {
    zam_err("zam_bfgs(): %d variables asked, 1 to %d allowed\n", n, kMaxVars);
    for (int i = 0; i < n; i++) xout[i] = x0[i];
    return HUGE_VAL;
  }
  const Problem p{f, n, data, lo, hi};
  const int limit = maxit > 0 ? maxit : (maxit < 0 ? -maxit : 1);
  const bool value_test = maxit <= 0;
  double x[kMaxVars], xt[kMaxVars], xn[kMaxVars], d[kMaxVars], g[kMaxVars], gp[kMaxVars];
  double s[kMaxVars], y[kMaxVars], hy[kMaxVars], H[kMaxVars * kMaxVars];

  for (int i = 0; i < n; i++) x[i] = x0[i];
  clamp(p, x);
  double f0 = f(n, x, data, 0);
  gradient(p, x, f0, 0, g);
  mat_ident(n, H);
  for (int i = 0; i < n; i++)
    if (std::fabs(g[i]) > 0.001) H[i * n + i] = 0.5 * std::fabs(step[i] / g[i]);

  for (int it = 1;; it++) {
    mat_x_col(n, H, g, d);
    double f1 = along(p, x, d, 1.0, it, xt);
    double lambda = 1.0, t = 0.0;
    bool found = false;
    for (int trial = 0; trial < kTrials; trial++) {
      const double mu = 0.5 * lambda;
      const double f2 = along(p, x, d, mu, it, xt);
      if (f2 < f0 || f1 < f0) {
        if (f2 > f0) return finish(n, x, f0, xout);
        if (f2 <= f1) {
          // Vertex of the parabola through (0, f0), (mu, f2), (lambda, f1).
          const double P = f2 / (mu * (mu - lambda));
          const double Q = f1 / (lambda * (lambda - mu));
          const double R = f0 / (mu * lambda);
          t = (R * (mu + lambda) + P * lambda + Q * mu) / (2.0 * (P + Q + R));
          if (!std::isfinite(t)) t = lambda;
        } else {
          t = 0.9 * lambda;
        }
        found = true;
        break;
      }
      lambda = mu;
      f1 = f2;
    }
    // Ten halvings without a lower value: no progress along d (a flat line
    // included, where the parabola is undefined).
    if (!found) return finish(n, x, f0, xout);

    const double fn = along(p, x, d, t, it, xn);
    for (int i = 0; i < n; i++) s[i] = xn[i] - x[i];
    if (value_test ? std::fabs(fn - f0) < tol : vec_mag(n, s) < tol) return finish(n, xn, fn, xout);

    for (int i = 0; i < n; i++) gp[i] = g[i];
    gradient(p, xn, fn, it, g);
    for (int i = 0; i < n; i++) y[i] = g[i] - gp[i];
    const double sy = row_x_col(n, s, y);
    // Without a change of gradient along the step the update is undefined.
    if (sy == 0.0 || !std::isfinite(sy)) return finish(n, xn, fn, xout);
    mat_x_col(n, H, y, hy);
    const double yhy = row_x_col(n, y, hy);
    const double c = 1.0 + yhy / sy;
    for (int j = 0; j < n; j++)
      for (int i = 0; i < n; i++)
        H[j * n + i] += (c * s[i] * s[j] - s[i] * hy[j] - hy[i] * s[j]) / sy;

    for (int i = 0; i < n; i++) x[i] = xn[i];
    f0 = fn;
    if (it + 1 > limit) return finish(n, x, f0, xout);
  }
}
