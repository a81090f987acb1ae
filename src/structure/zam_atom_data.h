// Atom parameters: the table of per-atom reference values read from the
// library's data file atom_params.dat (residue, atom name, two float
// parameters, a type letter and up to five small integers per line), loaded
// on first use and searched by residue and atom name. The first parameter is
// the atom's van der Waals radius; the structure image reads radii from it.
#pragma once

// (Re)reads the atom-parameter file. An empty or null name means the default
// "atom_params.dat", looked for in the working directory, then in $ZAM_DATA,
// then in $ZAM_ROOT/data (the library's own data folder when ZAM_ROOT is
// unset). Prints through zam_msg when the file cannot be opened, and for each
// malformed line (naming the file and line). Returns the number of atom
// entries loaded (0 when the file could not be opened).
// Tables are guarded by a lock private to this module.
int zam_open_atom_data(const char* file);

// Parameters of atom in residue: reads the default file at the first
// look-up when no file was read before (a failure is reported that once;
// later look-ups answer from the empty tables in silence). Searches every entry
// group of the residue in file order; the first exact match fills the
// outputs and gives 1; none gives 0 and leaves them untouched. Null output
// pointers are skipped.
int zam_atom_data(const char* residue, const char* atom, float* p1, float* p2, char* type,
                  unsigned short* s1, unsigned short* s2, unsigned short* s3, unsigned char* b1,
                  unsigned char* b2);

// The entry that describes an atom of a structure: (residue, atom), then
// ("UNK", atom), then ("UNK", the atom name's first letter), then ("elm",
// that letter); the first that answers fills p1 (radius), p2 and type (null
// outputs skipped) and gives 1; none gives 0 and leaves them untouched.
int zam_atom_params(const char* residue, const char* atom, float* p1, float* p2, char* type);

// Polar hydrogens of the first entry group of residue: atom names starting
// with 'H' whose second parameter is not zero and whose type letter is not
// 'w'. Copies at most max_names of them into names (5 bytes per name, cut to
// 4 characters; names may be null to count only) and returns how many there
// are (0 when the residue is absent). Reads the default file on first use.
int zam_atom_polar_hydrogens(const char* residue, char* names, int max_names);
