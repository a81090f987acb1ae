#include "harmonics/zam_anlm.h"

#include <cmath>
#include <vector>

#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "runtime/zam_log.h"

namespace {

// The three sums of a Carbo similarity.
struct CarboSums {
  double ab = 0.0, aa = 0.0, bb = 0.0;
  void add(double x, double y) {
    ab += x * y;
    aa += x * x;
    bb += y * y;
  }
  // A run without weight has no direction: similarity 0, never 0/0.
  double value() const {
    const double d = aa * bb;
    return d > 0.0 ? ab / std::sqrt(d) : 0.0;
  }
};

// Calls fn(x, y, l, c) for every run of each of nvec consecutive vector
// pairs of order N: x and y the v-th vectors of a and b, c as anlm_runs.
template <typename A, typename B, typename Fn>
void paired_runs(int N, int nvec, A* a, B* b, Fn fn) {
  const int k = anlm_size(N);
  for (int v = 0; v < nvec; v++) {
    A* x = a + static_cast<long>(v) * k;
    B* y = b + static_cast<long>(v) * k;
    anlm_runs(N, [&](int l, int c) { fn(x, y, l, c); });
  }
}

using RadialFn = double (*)(int, int, double);

double expansion_value(int N, const double* a, double r, double theta, double phi, RadialFn radial) {
  if (N < 1) return 0.0;
  double z[ZAM_MTABLE];
  zm_all(N - 1, z, phi);
  const double* zc = z + ZAM_MCENTRE;
  std::vector<double> p(N * (N + 1) / 2);
  plm_all_bar(N - 1, p.data(), theta);
  double sum = 0.0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double* c = a + anlm_index(n, l, 0);
      const double* pl = &p[l * (l + 1) / 2];
      double t = c[0] * zc[0] * pl[0] * plm_norm(l, 0);
      for (int m = 1; m <= l; m++) t += pl[m] * plm_norm(l, m) * (c[-m] * zc[-m] + c[m] * zc[m]);
      sum += radial(n, l, r) * t;
    }
  return sum;
}

}  // namespace

int anlm_size(int N) { return N < 1 ? 0 : (N + 1) * N * (2 * N + 1) / 6; }

int anlm_index(int n, int l, int m) { return (n - 1) * n * (2 * n - 1) / 6 + l * (l + 1) + m; }

void anlm_zero(int N, double* a) {
  for (int i = 0, k = anlm_size(N); i < k; i++) a[i] = 0.0;
}

double anlm_unit(int N, double* a) {
  const int k = anlm_size(N);
  if (k < 1) return 0.0;
  const double v = 1.0 / std::sqrt(static_cast<double>(k));
  for (int i = 0; i < k; i++) a[i] = v;
  return v;
}

void anlm_n00(int N, const long double* h, double* a) {
  anlm_zero(N, a);
  for (int n = 1; n <= N; n++) a[anlm_index(n, 0, 0)] = static_cast<double>(h[n - 1]);
}

void anlm_copy(int N, const double* src, double* dst) {
  for (int i = 0, k = anlm_size(N); i < k; i++) dst[i] = src[i];
}

void anlm_add(int N, const double* a, const double* b, double* out, double s) {
  for (int i = 0, k = anlm_size(N); i < k; i++) out[i] = a[i] + s * b[i];
}

void anlm_scale(int N, const double* in, double* out, double s) {
  for (int i = 0, k = anlm_size(N); i < k; i++) out[i] = s * in[i];
}

void anlm_accum(int N, const double* in, double* acc) {
  for (int i = 0, k = anlm_size(N); i < k; i++) acc[i] += in[i];
}

void anlm_accum_n(int N, int nvec, const double* in, double* acc) {
  if (nvec < 1) return;
  const long k = static_cast<long>(anlm_size(N)) * nvec;
  for (long i = 0; i < k; i++) acc[i] += in[i];
}

void anlm_mult(int N, const double* a, const double* b, double* out) {
  for (int i = 0, k = anlm_size(N); i < k; i++) out[i] = a[i] * b[i];
}

void anlm_mult_bar(int N, const double* a, const double* b, double* out) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int c = anlm_index(n, l, 0);
      for (int m = -l; m <= l; m++) out[c + m] = a[c + m] * b[c - m];
    }
}

double anlm_dot(int N, const double* a, const double* b) {
  double s = 0.0;
  for (int i = 0, k = anlm_size(N); i < k; i++) s += a[i] * b[i];
  return s;
}

double anlm_mag(int N, const double* a) {
  const double s = anlm_dot(N, a, a);
  return s > 0.0 ? std::sqrt(s) : 0.0;
}

double anlm_distance(int N, const double* a, const double* b) {
  double s = 0.0;
  for (int i = 0, k = anlm_size(N); i < k; i++) s += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(s);
}

double anlm_carbo(int N, const double* a, const double* b) {
  CarboSums s;
  for (int i = 0, k = anlm_size(N); i < k; i++) s.add(a[i], b[i]);
  return s.value();
}

double anlm_stupid(int nvec, int N, const double* a, const double* b) {
  if (nvec < 1) return 0.0;
  const int k = anlm_size(N);
  double s = 0.0;
  for (int v = 0; v < nvec; v++) s += anlm_dot(N, a + static_cast<long>(v) * k, b + static_cast<long>(v) * k);
  return s;
}

void anlm_rinv(int N, int nvec, int mode, const double* in, double* out) {
  paired_runs(N, nvec, in, out, [mode](const double* src, double* dst, int l, int c) {
    if (mode == 2) {
      double s = 0.0;
      for (int m = -l; m <= l; m++) s += src[c + m] * src[c + m];
      for (int m = -l; m <= l; m++) dst[c + m] = 0.0;
      dst[c] = std::sqrt(s);
    } else if (mode == 1) {
      dst[c] = src[c];
      for (int m = 1; m <= l; m++) {
        const double p = src[c - m], q = src[c + m];
        dst[c + m] = std::sqrt(p * p + q * q);
        dst[c - m] = 0.0;
      }
    } else {
      for (int m = -l; m <= l; m++) dst[c + m] = src[c + m];
    }
  });
}

double anlm_carbo_rinv(int N, int nvec, int mode, const double* a, const double* b) {
  CarboSums s;
  paired_runs(N, nvec, a, b, [&](const double* x, const double* y, int l, int c) {
    const int lo = mode == 2 || mode == 1 ? 0 : -l;
    const int hi = mode == 2 ? 0 : l;
    for (int m = lo; m <= hi; m++) s.add(x[c + m], y[c + m]);
  });
  return s.value();
}

void anlm_flip(int nvec, int N, const double* in, double* out) {
  paired_runs(N, nvec, in, out, [](const double* src, double* dst, int l, int c) {
    for (int m = -l; m <= l; m++) dst[c + m] = src[c - m];
  });
}

void anlm_rot_phi(int N, const double* c, const double* s, const double* in, double* out) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int o = anlm_index(n, l, 0);
      for (int m = -l; m <= l; m++) out[o + m] = c[m] * in[o + m] + s[-m] * in[o - m];
    }
}

double anlm_sub_phi(int N, const double* a, const double* b, const double* c, const double* s) {
  double sum = 0.0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int o = anlm_index(n, l, 0);
      for (int m = -l; m <= l; m++) sum += a[o + m] * c[m] - b[o + m] * s[m];
    }
  return sum;
}

void anlm_lambda(int N, const double* a, double* lam) {
  for (int m = -(N - 1); m <= N - 1; m++) lam[m] = 0.0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int o = anlm_index(n, l, 0);
      for (int m = -l; m <= l; m++) lam[m] += a[o + m];
    }
}

double lambda_sum(int M, const double* x, const double* y) {
  double s = 0.0;
  for (int m = -M; m <= M; m++) s += x[m] * y[m];
  return s;
}

void lambda_fs(int M, const double* x, const double* y, double* f, double* g) {
  f[0] = x[0];
  g[0] = y[0];
  for (int k = 1; k <= M; k++) {
    f[k] = x[k] + x[-k];
    g[k] = y[-k] - y[k];
  }
}

double anlm_value(int N, const double* a, double r, double theta, double phi) {
  return expansion_value(N, a, r, theta, phi, rnl);
}

double anlm_value_t(int N, const double* a, double r, double theta, double phi) {
  return expansion_value(N, a, r, theta, phi, tnl);
}

double anlm_value_h(int N, const double* a, double r, double theta, double phi) {
  return expansion_value(N, a, r, theta, phi, hnl);
}

void rp_nlm(int N, double* out, double r, double theta) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double R = rnl(n, l, r);
      const int o = anlm_index(n, l, 0);
      for (int m = 0; m <= l; m++) out[o + m] = out[o - m] = R * plm(l, m, theta);
    }
}

void anlm_print(int N, const double* a) {
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++) zam_msg("A[%2d,%2d,%3d] = %12.6f\n", n, l, m, a[anlm_index(n, l, m)]);
}

void anlm_check(int, const double*) {}
