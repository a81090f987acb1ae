// Basis vectors of the coefficient-vector layout at a point, for the
// routines that expand sums over samples (atoms, energy points, grid nodes):
// the unnormalised radial values of every (n, l) (GTO hnl_all_bar or ETO
// tnl_all_bar) times the unnormalised real harmonics of every (l, m)
// (ylm_all_bar), element (n, l, m) at anlm_index(n, l, m). The sums are
// built from these and multiplied once by the element norms (radial norm
// times harmonic norm) at the end. A record holds its own scratch: one per
// thread.
#pragma once

#include <vector>

#include "geometry/zam_transform.h"

enum { ZAM_BASIS_GTO = 0, ZAM_BASIS_ETO = 1 };

struct _zam_basis {
  int N;
  int family;                  // ZAM_BASIS_GTO or ZAM_BASIS_ETO
  std::vector<double> vec;     // the last basis vector made (anlm_size(N) doubles)
  std::vector<double> norms;   // element norms, same layout
  std::vector<double> radial;  // scratch: N(N+1)/2 radial values
  std::vector<double> harmonic;  // scratch: N^2 harmonic values
};

// Sizes the record for order N (N >= 1) and fills its element norms.
void zam_basis_setup(_zam_basis* b, int N, int family);
// The unnormalised radial and harmonic values at polar point p into
// b->radial and b->harmonic, the factors of the basis vector (element (n, l,
// m) is radial[n(n-1)/2 + l] times harmonic[l(l+1) + m]); b->vec is not
// made.
void zam_basis_values(_zam_basis* b, PolarPoint p);
// The unnormalised basis vector at polar point p into b->vec; returns it.
const double* zam_basis_at(_zam_basis* b, PolarPoint p);
// acc += w times the unnormalised basis vector at p (left in b->vec).
void zam_basis_add(_zam_basis* b, PolarPoint p, double w, double* acc);
// Multiplies element k of nvec consecutive vectors by s times norms[k].
void zam_basis_normalise(const _zam_basis* b, int nvec, double* v, double s);
