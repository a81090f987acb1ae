// Residue and atom name tables of the docking molecules, each read from its
// data file on first use: residue types (residue_types.dat: name, class AA,
// DNA, RNA or UNK, one-letter code) and atom-name translations
// (atom_names.dat: residue, atom name, internal atom name). Names are at
// most 4 characters. The tables are module state behind one lock.
#pragma once

// (Re)reads the residue types. An empty or null name means the default
// "residue_types.dat", looked for in the working folder, $ZAM_DATA and the
// library's data folder. UNK lines are skipped in silence; a malformed line
// (a field count other than 3, an unknown class, a code of more than one
// character, a name longer than 4) is reported naming the file and line and
// skipped. Returns the number of entries of both tables; 0 with the failure
// reported when the file cannot be read.
int zam_open_residue_data(const char* file);
// One-letter code of an amino-acid (resp. nucleotide) residue name; 0 when
// the name is not listed.
char zam_aa_code(const char* name);
char zam_dna_code(const char* name);
// 1 when the name's code is other than 0, 'X' and '-'.
int zam_is_aa(const char* name);
int zam_is_dna(const char* name);
// The amino-acid code when listed, else the nucleotide code, else 'X'.
char zam_short_code(const char* name);

// (Re)reads the atom-name translations ("atom_names.dat" by default, found as
// above); returns the number of rows, 0 on failure; malformed lines as above.
int zam_open_names(const char* file);
// The internal name of an atom of residue: the atom name is normalised first
// (a leading digit moved to the end: "1HB" gives "HB1"); the residue's own
// row for that name wins, else the row of residue "elm"; without either, the
// normalised name itself. The text lives until the next zam_open_names (a
// normalised name: until the calling thread's next call).
const char* zam_internal_name(const char* residue, const char* atom);
