// Moving coefficient vectors rigidly: into the pose of a search solution, or
// by any rigid transform. A move is split into rotations (which mix the
// coefficients of each (n, l) run) and one translation along z (which keeps
// m), so that the z-translation matrices serve every direction. Translation
// distances are rounded as the translation matrices are (tm_round), and a
// translated vector is exact only on its lower orders: the basis is cut at
// order N. Each call keeps its own matrix records, so calls may run on many
// threads at once.
#pragma once

#include "geometry/zam_transform.h"

// Moves n_vec consecutive order-N vectors from in to out into the pose of a
// search solution: the ligand rotation lig first, then a shift by r12 along
// +z, then the inverse of the receptor rotation rec. kinds[i] is the radial basis of vector i for the
// translation (1 GTO, else ETO). in and out may be the same array. Returns
// 1, or 0 when a matrix could not be made (reported; out untouched).
int zam_ligand_move_anlm(int N, int n_vec, const int* kinds, double r12, Euler rec, Euler lig, const double* in,
                         double* out);
// Moves n_vec order-N vectors by the rigid transform T (the expansion of
// f(x) becomes that of f(T^-1 x), the function carried along with T).
// kinds, aliasing and the result as above.
int zam_ligand_transform_anlm(int N, int n_vec, const int* kinds, Matrix3D T, const double* in, double* out);
