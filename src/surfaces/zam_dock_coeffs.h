// Coefficient set-up of a docking pair: for every model of a receptor and a
// ligand that will be docked, the expansion-coefficient arrays that the
// correlation type (score_type) needs are made when they are missing, and
// only then: skins sampled on a cubic grid about each model (or one grid
// shared by a single receptor and ligand model) and integrated, with the
// DARS terms (types 2 and 3); electrostatics (types 1 and 3); grid energies
// and probe densities (types 5 and 6); the knowledge-based sets (types 7
// and 8, which need no skins for type 7). The atom store and the molecules'
// surfaces are used in turn: one thread at a time.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_dock_spec.h"
#include "matching/zam_molecule_record.h"

// Grid about a model of radius R: n^3 cells of edge h from the corner
// origin (the same on all three axes). Padded: room for margin on every
// side, k = trunc(2 (R + margin) / h) + 1 cells rounded down to even, plus
// one cell on each side, the model origin at a cell corner. Tight: k =
// trunc(2 R / h) + 1 cells made odd, the model origin at a cell centre.
// A span of a million cells or more (or not a number) counts as 1000001
// cells, a grid that zam_grid_points refuses.
void zam_dock_grid(double R, double margin, double h, bool padded, int* n, Point3D* origin);

// Fills the missing coefficient arrays of both molecules for spec's score
// type at order spec->order (orders above those the molecules hold drop
// their arrays first). Probe radii outside the recommended ranges are
// warned about. Returns 1; 0 after an error, with nothing made, for
// knowledge-based types (7, 8) when the knowledge-based set-up has not set
// at least three channels (kb_channels); 0 after an error when a sampling
// grid would have more cells than an int counts (zam_grid_points), without
// allocating it: the models sampled before keep their arrays, nothing
// further is made.
int zam_coeffs(_docking_spec* spec, _molecule* receptor, _molecule* ligand);
