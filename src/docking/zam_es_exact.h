// Exact electrostatics by direct Coulomb sums over the atoms' partial
// charges, as references for the expanded electrostatics: the potential of
// a molecule along +z, and the interaction energy of two molecules as the
// first turns about z at a fixed separation. Both print their profiles.
#pragma once

#include "matching/zam_molecule_record.h"

// The positions of every atom of mol (all models) in the frame of model 0's
// origin, in a new array (*points, release with kfree) of the returned
// count. The molecule's placement is put back.
int zam_get_mol_pts(_molecule* mol, Point3D** points);
// Prints "z, V." for z = 0, 0.5, ..., 40 angstroms: 14.3997... volts times
// the sum of charge / distance over all atoms (0 without atoms).
void zam_es_exact_potential(_molecule* mol);
// Prints "a  E" for a = -180..179 degrees: E = 173.6696... times the sum
// over charged atom pairs at 3 to 40 angstroms (both ends kept) of q q' / d,
// the first molecule turned by a about z and moved by separation along z.
void zam_es_exact_energy(_molecule* first, _molecule* second, double separation);
