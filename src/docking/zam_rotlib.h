// The side-chain rotamer library of the docking molecules: rotamer types
// (torsion_types.dat: a residue and the 4 to 7 atoms along its side chain,
// chi k being the torsion of atoms k to k+3) and rotamers (torsion_data.dat:
// per residue, each rotamer's probability and chi1 to chi4 in degrees),
// read on first use and held until closed; and the turning of a residue of
// the current docking molecule (zam_mol.h) to one of its rotamers. A
// residue's rotamers are kept in descending order of probability. Tables
// are module state behind one lock; the molecule is the atom store's (one
// thread at a time).
#pragma once

// (Re)reads both files, closing the old tables first. Empty or null names
// mean "torsion_types.dat" and "torsion_data.dat", looked for in the working
// folder, $ZAM_DATA and the library's data folder. Skipped lines, each named
// with the file and line: a types line of other than 5 to 8 fields or with a
// name longer than 4 characters, or for a residue given before ("Bad torsion
// type"); a rotamer line of other than 19 fields or with a field that is not
// a number, for a residue without a type, for a residue whose rotamers were
// given before, or beyond the 6000th rotamer ("Bad residue torsion"). Returns
// the number of rotamers; 0 when either file cannot be read, which leaves
// the library empty.
int zam_rotlib_open(const char* types_file, const char* data_file);
// Empties the library; look-ups then find nothing until the next open.
void zam_rotlib_close();
// Index of the residue's rotamer type, or -1.
int lookup_rotamer(const char* residue);
// Number of rotamers of the residue (0 without a type).
int zam_rotlib_count(const char* residue);
// Lists every type with its atoms and every rotamer (probability and four
// angles) through zam_msg.
void zam_rotlib_print();
// Turns residue (from 1) of chain (from 1) of the current docking molecule
// to its rotamer k (from 0, in descending order of probability): for each
// chi in turn, the residue's atoms beyond the torsion's bond (all but those
// the bond lists reach from its near atom without crossing the bond, and
// the atoms named H, N, C and O) turn about the bond by the difference
// between the rotamer's angle and the measured one; the angle is then
// measured again, and a difference above 0.001 degrees is warned of.
// Returns 1 when every chi angle has its rotamer value; 0 for a residue,
// type or rotamer that is not there, for a missing torsion atom (warned of,
// nothing moved) or after a failed check.
int zam_rotlib_rotamer(int chain, int residue, int k);
