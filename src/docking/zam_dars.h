// DARS contact terms of a docking model: the DARS pair-energy table, split
// into its eigen-components (zam_dars_component, zam_dars_eigenvalue of the
// structure library), gives for each component c a potential sampled onto
// the docking grid about the model's typed atoms and a sum of delta
// functions at those atoms expanded in the GTO basis. Both work in the
// model's origin frame (the molecule's placement is put back).
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_molecule_record.h"

// Samples the first K DARS potentials of the model onto the grid of n^3
// cells of edge d (corner origin, cell (i, j, k) at i + n(j + n k)): every
// atom with a contact type (alternate location blank or 'A', accessible)
// adds 0.5 eigenvalue(c) component(type, c) to psi[q K + c] of every cell q
// whose lattice offset from the atom, (di, dj, dk) d with |di|, |dj|, |dk| <=
// trunc((6 + d) / d) / 2, is shorter than 6 angstroms, and ORs flag into the
// cell's byte. A cell is the floor of (position + offset - origin) / d;
// offsets that leave the grid are dropped. Adds to psi and flags. N is not
// read. Returns 1; 0 for a model out of range, or after a message for a grid
// of more cells than an int counts (zam_grid_points), with nothing touched.
int zam_dars_psi(_molecule* mol, int model, int K, int N, int n, double d, Point3D origin, unsigned char flag,
                 unsigned char* flags, double* psi);
// Adds, for c = 0..K-1, the expansion of the sum of component(type, c) times
// a delta function at each typed atom of the model (alternate location
// blank or 'A'; accessibility not consulted) to block c of the model's
// probe densities (a grid pair that does not hold K blocks of order N,
// zam_pe_holds, is replaced first by a new one of K blocks).
void zam_dars_del(_molecule* mol, int model, int K, int N);
