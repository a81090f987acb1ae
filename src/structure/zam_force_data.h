// Force-field parameters of the docking molecules, each read from its data
// file on first use and held until closed: OPLS Lennard-Jones pairs
// (opls_data.dat: code 0..99, sigma, epsilon) and hydrogen-bond
// coefficients (hbond_data.dat: donor and acceptor type 1..10, two
// coefficients). Energies are given in kcal/mol in the files and kept in
// kJ/mol (times 4.184). A look-up reads the default file when no open came
// before it; after a close every look-up answers "not found" until the next
// open. Module state behind one lock.
#pragma once

// (Re)reads the OPLS pairs, closing the old tables first. An empty or null
// name means "opls_data.dat", looked for in the working folder, $ZAM_DATA and
// the library's data folder. A line that gives the pair of the line before
// shares that line's entry; at most 100 distinct pairs are kept. Skipped
// lines, each named with the file and line: a field count other than 3 or a
// value that is not a number ("Bad opls type"), a code outside 0..99 (a
// warning), a pair beyond the hundredth. A code given twice takes its last
// line's pair. Returns the number of pairs, 0 when the file cannot be read.
int zam_open_opls_data(const char* file);
void zam_close_opls_data();
// Sigma (angstroms) and epsilon (kJ/mol) of code: 1, or 0 with both 0 for a
// code that no line gave. Null outputs are skipped.
int zam_opls_data(int code, double* sigma, double* epsilon);

// (Re)reads the hydrogen-bond coefficients, closing the old table first
// ("hbond_data.dat" by default, found as above). Types a and b of 1..10 fill
// slot 10 (a - 1) + b; a line of any other type is skipped with a warning, a
// malformed line with its message. Returns the number of lines stored.
int zam_open_hbond_data(const char* file);
void zam_close_hbond_data();
// The two coefficients (kJ/mol units) of types a and b: 1, or 0 with both 0
// when a type is outside 1..10 or either value is 0.
int zam_hbond_data(int a, int b, double* c, double* d);
