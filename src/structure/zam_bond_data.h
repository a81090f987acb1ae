// Bond templates of residues, read from atom_bonds.dat on first use: one
// line per bond (residue, atom 1, atom 2, bond order, a flag of which the
// first character is kept), the bonds of a residue on consecutive lines.
// Names are at most 4 characters. Module state behind one lock.
#pragma once

// (Re)reads the bond templates. An empty or null name means the default
// "atom_bonds.dat", looked for in the working folder, $ZAM_DATA, the
// library's data folder and then its "examples" folder. A malformed line (a
// field count other than 5, a name longer than 4, an order outside 0..255)
// is reported naming the file and line and skipped. Returns the number of
// bonds, 0 with the failure reported when the file cannot be read.
int zam_open_bond_template(const char* file);
// The bonds of residue: 1 with the first and last (inclusive) bond index of
// its first run of lines, 0 (outputs untouched) when it has none.
int zam_match_bond_template(const char* residue, int* first, int* last);
// Bond k: its two atom names (5 bytes each) and order; 1, or 0 for a bad k
// (outputs untouched). Null outputs are skipped.
int zam_get_bond_template(int k, char* a1, char* a2, int* order);
