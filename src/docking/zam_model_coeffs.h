// Coefficient routines of docking models that take their arrays from the
// models' entries: the grid integration of two models at once.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_molecule_record.h"

// zam_grid_integrate with o1, o2 and e1 from model m1 of first (skin vector
// 1, skin vector 2, grid energies) and o3, o4, e2 from model m2 of second;
// a molecule that is not loaded, or a model out of range, gives null arrays,
// and grid energies that do not hold K blocks of order N (zam_pe_holds) a
// null typed block. Returns zam_grid_integrate's result: 1, or 0 after its
// message, with nothing added, for a grid of more cells than an int counts.
int zam_model_integrate(_molecule* first, int m1, _molecule* second, int m2, int N, int K, int n, double h,
                         Point3D origin, const unsigned char* grid, const double* values1, const double* values2);
