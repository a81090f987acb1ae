// Descriptor coefficients of a structure: its side-chain and backbone atoms,
// scaled by the potential class, are marked in one byte grid centred on the
// origin (bit 1 side chain, bit 2 backbone) and the grid is integrated into
// the sig (side chain) and tau (backbone) coefficient vectors of order N.
#pragma once

#include "geometry/zam_transform.h"

// Fills sig and tau (N(N+1)(2N+1)/6 doubles each, caller-owned) for the
// class pot_class with cells of h angstroms, the grid's half-width capped at
// max_extent. Atoms with a radius of 0 or less are ignored. Returns 1; 0
// after an error, with sig and tau untouched and no grid allocated, when the
// grid would have more cells than an int counts (zam_grid_points: a tiny
// spacing against a large extent).
int trel_coeff_calculate(int N, int pot_class, double h, double max_extent, int n_side, const Point3D* side_xyz,
                          const float* side_radii, int n_back, const Point3D* back_xyz, const float* back_radii,
                          double* sig, double* tau);
// ORs bit_a into the cells covered by the atoms of set a and bit_b for set
// b, sampling each atom's ball at half-cell steps; points outside the grid
// are dropped. The grid has side^3 bytes, cell (i, j, k) at i + side (j +
// side k), its corner cell starting at origin. probe is not used. Reports
// the cell counts and volumes.
void trel_sample_structure(int side, double h, Point3D origin, double probe, int bit_a, int bit_b, int n_a,
                           const Point3D* xyz_a, const float* radii_a, int n_b, const Point3D* xyz_b,
                           const float* radii_b, unsigned char* grid);
