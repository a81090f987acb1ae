// Spherical-harmonic shape descriptors and surface envelopes.
#include "docking/zam_shd.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "geometry/zam_transform.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_wigner.h"
#include "matching/zam_mesh.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

constexpr double kFourPi = 12.566370614359172;
constexpr double kThird = 0.3333333333333333;

bool channelIn(const _shd* shd, int ch) { return shd && ch >= 0 && ch < ZAM_SHD_CHANNELS; }

int size(int L) { return L >= 0 ? (L + 1) * (L + 1) : 0; }

// The quadrature over the open mesh of nf functions given at its poles:
// a[f] += the normalised coefficients up to degree L. Over the poles for at
// most 12 poles, else over the nodes, whose values (the mean of their three
// poles) go to nodes[f] when it is given.
void quadrature(int L, int npoles, int nnodes, int nf, const double* const* poles, double* const* nodes,
                double* const* a) {
  const int K = size(L);
  std::vector<double> y(static_cast<size_t>(K)), norm(static_cast<size_t>(K));
  std::vector<std::vector<double>> sum(static_cast<size_t>(nf), std::vector<double>(static_cast<size_t>(K), 0.0));
  const bool over_poles = npoles <= 12;
  const int points = over_poles ? npoles : nnodes;
  std::vector<double> w(static_cast<size_t>(points)), value(static_cast<size_t>(points) * nf);
  double total = 0.0;
  for (int i = 0; i < points; i++) {
    w[static_cast<size_t>(i)] = over_poles ? zam_pole_area(i) : zam_node_area(i);
    total += w[static_cast<size_t>(i)];
    int p1 = i, p2 = i, p3 = i;
    if (!over_poles) zam_node_poles(i, &p1, &p2, &p3);
    for (int f = 0; f < nf; f++) {
      const double v = over_poles ? poles[f][i] : (poles[f][p1] + poles[f][p2] + poles[f][p3]) * kThird;
      value[static_cast<size_t>(i) * nf + f] = v;
      if (!over_poles && nodes && nodes[f]) nodes[f][i] = v;
    }
  }
  const double s = total > 0.0 ? kFourPi / total : 0.0;
  for (int i = 0; i < points; i++) {
    const PolarPoint pp = pp_pt(over_poles ? zam_pole(i) : zam_node(i));
    ylm_all_bar(L, y.data(), pp.theta, pp.phi);
    for (int f = 0; f < nf; f++) {
      const double g = value[static_cast<size_t>(i) * nf + f] * w[static_cast<size_t>(i)] * s;
      for (int k = 0; k < K; k++) sum[static_cast<size_t>(f)][static_cast<size_t>(k)] += g * y[static_cast<size_t>(k)];
    }
  }
  ylm_all_norm(L, norm.data());
  for (int f = 0; f < nf; f++)
    for (int k = 0; k < K; k++) a[f][k] += sum[static_cast<size_t>(f)][static_cast<size_t>(k)] * norm[static_cast<size_t>(k)];
}

}  // namespace

_shd* zam_shd_make(int L) {
  auto* shd = static_cast<_shd*>(kget1B_0(sizeof(_shd)));
  shd->L = L;
  for (int c = 0; c < ZAM_SHD_CHANNELS; c++) {
    shd->order[c] = L;
    shd->alm[c] = L >= 0 ? kget1D_0(size(L)) : nullptr;
  }
  return shd;
}

void zam_shd_free(_shd* shd) {
  if (!shd) return;
  for (double* a : shd->alm) kfree(a);
  kfree(shd);
}

void zam_shd_reset(_shd* shd, int ch) {
  if (!shd) return;
  for (int c = 0; c < ZAM_SHD_CHANNELS; c++) {
    if (ch != -1 && c != ch) continue;
    if (shd->alm[c]) std::fill(shd->alm[c], shd->alm[c] + size(shd->L), 0.0);
    shd->order[c] = -1;
  }
}

void zam_shd_set(_shd* shd, int ch, int Lc, const double* a) {
  if (!channelIn(shd, ch)) return;
  kfree(shd->alm[ch]);
  shd->alm[ch] = nullptr;
  shd->order[ch] = Lc;
  if (Lc < shd->L) {
    shd->alm[ch] = shd->L >= 0 ? kget1D_0(size(shd->L)) : nullptr;
    if (Lc >= 0 && a) std::copy(a, a + size(Lc), shd->alm[ch]);
  } else {
    shd->alm[ch] = kget1D_0(size(Lc));
    if (a) std::copy(a, a + size(Lc), shd->alm[ch]);
  }
}

int zam_shd_order(const _shd* shd, int ch) { return channelIn(shd, ch) ? shd->order[ch] : -1; }
double* zam_shd_alm(const _shd* shd, int ch) { return channelIn(shd, ch) ? shd->alm[ch] : nullptr; }

double zam_shd_mag(const _shd* shd, int ch, int Lmax) {
  if (!channelIn(shd, ch) || !shd->alm[ch]) return 0.0;
  const int top = std::min(Lmax, shd->order[ch]);
  double s = 0.0;
  for (int k = 0; k < size(top); k++) s += shd->alm[ch][k] * shd->alm[ch][k];
  return std::sqrt(s);
}

double zam_shd_ri(const _shd* shd, int ch, int l) {
  if (!channelIn(shd, ch) || !shd->alm[ch] || l < 0 || l > shd->order[ch]) return 0.0;
  double s = 0.0;
  for (int m = -l; m <= l; m++) s += shd->alm[ch][l * l + l + m] * shd->alm[ch][l * l + l + m];
  return std::sqrt(s);
}

void zam_shs_integrate(int L, int npoles, int nnodes, const double* f, double* a) {
  std::fill(a, a + size(L), 0.0);
  double* const out[1] = {a};
  const double* const in[1] = {f};
  quadrature(L, npoles, nnodes, 1, in, nullptr, out);
}

void zam_shs_store(_shd* shd, int ch, int L, int npoles, int nnodes, const double* f) {
  std::vector<double> a(static_cast<size_t>(size(L)));
  zam_shs_integrate(L, npoles, nnodes, f, a.data());
  zam_shd_set(shd, ch, L, a.data());
}

void zam_shs_rotate(const _shd* shd, int ch, int L, double alpha, double beta, double gamma, double* out) {
  if (!channelIn(shd, ch) || !shd->alm[ch]) return;
  const int degree = std::min(L, shd->order[ch]);
  if (shd->order[ch] < L) std::fill(out, out + size(L), 0.0);
  if (degree >= 0) alm_rotate(degree, shd->alm[ch], out, alpha, beta, gamma);
}

double zam_shs_value(const _shd* shd, int ch, int L, double theta, double phi) {
  if (!channelIn(shd, ch) || !shd->alm[ch]) return 0.0;
  const int degree = std::min(L, shd->order[ch]);
  return degree < 0 ? 0.0 : alm_value(degree, shd->alm[ch], theta, phi);
}

void zam_shs_pole_nodes(int L, const double* a, int npoles, int nnodes, double* fp, double* fn, double* fmin,
                        double* fmax) {
  double lo = 1e30, hi = -1e30;
  auto at = [&](Point3D p) {
    const PolarPoint pp = pp_pt(p);
    return a ? alm_value(L, a, pp.theta, pp.phi) : pp.theta;
  };
  auto keep = [&](double v) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  };
  for (int i = 0; i < npoles; i++) keep(fp[i] = at(zam_pole(i)));
  for (int i = 0; i < nnodes; i++) {
    if (npoles > 162) {
      int p1, p2, p3;
      zam_node_poles(i, &p1, &p2, &p3);
      fn[i] = (fp[p1] + fp[p2] + fp[p3]) * kThird;
    } else {
      fn[i] = at(zam_node(i));
    }
    keep(fn[i]);
  }
  *fmin = lo;
  *fmax = hi;
}

void zam_envelope_integrate(int L, const double* poleValues, double* nodeValues, double* coeffs) {
  zam_msg("\nCalculating surface envelope to L = %d...\n", L);
  const double t0 = zam_get_time();
  double* const out[1] = {coeffs};
  double* const nodes[1] = {nodeValues};
  const double* const in[1] = {poleValues};
  quadrature(L, zam_npoles(), zam_nnodes(), 1, in, nodes, out);
  zam_msg("Surface envelope to L = %d done in %.2f seconds.\n\n", L, zam_get_time() - t0);
}

void zam_envelope_integrate2(int L, const double* poleValuesA, double* nodeValuesA, const double* poleValuesB,
                             double* nodeValuesB, double* coeffsA, double* coeffsB) {
  zam_msg("\nCalculating surface envelopes to L = %d...\n", L);
  const double t0 = zam_get_time();
  double* const out[2] = {coeffsA, coeffsB};
  double* const nodes[2] = {nodeValuesA, nodeValuesB};
  const double* const in[2] = {poleValuesA, poleValuesB};
  quadrature(L, zam_npoles(), zam_nnodes(), 2, in, nodes, out);
  zam_msg("Surface envelopes to L = %d done in %.2f seconds.\n\n", L, zam_get_time() - t0);
}
