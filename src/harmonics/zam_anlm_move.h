// Rigid moves of coefficient vectors: an expansion f(r) becomes that of
// f(T^-1 r), the shape carried by the transform T (rotation first, then the
// translation). The rotation goes through the Wigner matrices; a translation
// is turned onto the z axis, done by the z-translation matrices of the
// vector's basis type, and turned back. A translation of a truncated
// expansion is exact only on its lowest orders (zam_tm.h).
#pragma once

#include "geometry/zam_transform.h"

// Moves n consecutive order-N vectors from in to out (distinct arrays);
// kinds[i] is the basis type of vector i (1 GTO, else ETO), read only when T
// translates. Returns 1; 0 when a rotation or translation matrix could not
// be made (reported), out then undefined.
int zam_ligand_transform_anlm(int N, int n, const int* kinds, Matrix3D T, const double* in, double* out);
