// Basis vectors of the coefficient-vector layout at a point.
#include "harmonics/zam_basis.h"

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"

void zam_basis_setup(_zam_basis* b, int N, int family) {
  b->N = N;
  b->family = family;
  const size_t K = static_cast<size_t>(anlm_size(N));
  b->vec.assign(K, 0.0);
  b->norms.assign(K, 0.0);
  b->radial.assign(static_cast<size_t>(N * (N + 1) / 2), 0.0);
  b->harmonic.assign(static_cast<size_t>(N * N), 0.0);
  if (N < 1) return;
  // The radial norms go through the scratch of the radial values.
  if (family == ZAM_BASIS_ETO)
    tnl_all_norm(N, b->radial.data());
  else
    hnl_all_norm(N, b->radial.data());
  ylm_all_norm(N - 1, b->harmonic.data());
  size_t at = 0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++, at++) b->norms[at] = b->radial[n * (n - 1) / 2 + l] * b->harmonic[l * l + l + m];
}

void zam_basis_values(_zam_basis* b, PolarPoint p) {
  const int N = b->N;
  if (N < 1) return;
  if (b->family == ZAM_BASIS_ETO)
    tnl_all_bar(N, b->radial.data(), p.r);
  else
    hnl_all_bar(N, b->radial.data(), p.r);
  ylm_all_bar(N - 1, b->harmonic.data(), p.theta, p.phi);
}

const double* zam_basis_at(_zam_basis* b, PolarPoint p) {
  const int N = b->N;
  if (N < 1) return b->vec.data();
  zam_basis_values(b, p);
  size_t at = 0;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double h = b->radial[n * (n - 1) / 2 + l];
      for (int m = -l; m <= l; m++, at++) b->vec[at] = h * b->harmonic[l * l + l + m];
    }
  return b->vec.data();
}

void zam_basis_add(_zam_basis* b, PolarPoint p, double w, double* acc) {
  const double* v = zam_basis_at(b, p);
  const size_t K = b->vec.size();
  for (size_t k = 0; k < K; k++) acc[k] += w * v[k];
}

void zam_basis_normalise(const _zam_basis* b, int nvec, double* v, double s) {
  const size_t K = b->norms.size();
  for (int o = 0; o < nvec; o++)
    for (size_t k = 0; k < K; k++) v[o * K + k] *= s * b->norms[k];
}
