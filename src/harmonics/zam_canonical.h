// Canonical frame of a shape held as an order-N GTO coefficient vector: the
// principal axes of its second-moment tensor ordered by eigenvalue (largest
// on z), with the half-turn ambiguities settled by the shape's weight in the
// octants of space.
#pragma once

#include "geometry/zam_transform.h"

struct _zam_canonical_frame {
  int N;
  Matrix3D transform;  // rotation taking the shape into its canonical frame
  double monopole;     // integral of the expansion
  double eigen[3];     // tensor eigenvalues in the canonical frame, ascending
  double octant[8];    // octant integrals there, [4h + q]: h 0 for z > 0, q the azimuth quarter
  Point3D radii;       // sqrt(|eigen[i]| / monopole)
};

// mode 0: inertia tensor; any other mode: quadrupole tensor. a is unchanged.
// A frame that is neither proper nor improper is replaced by the identity
// with a warning; a record is always returned.
_zam_canonical_frame zam_gto_canonical(int N, const double* a, int mode);
