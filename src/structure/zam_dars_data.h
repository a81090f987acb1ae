// The residue-pair energy table of the docking molecules (dars_capri.dat):
// a symmetric table of 18 x 18 residue types, read on first use, with its
// eigen-decomposition A = U diag(lambda) U^T, the eigen terms ordered by
// decreasing |lambda|, so that a table can be rebuilt from its strongest
// terms. Energies are kcal/mol in the file and kJ/mol (times 4.184) here.
// A look-up reads the default file when no open came before it; after a
// close every look-up answers 0 until the next open. Module state behind
// one lock.
#pragma once

constexpr int ZAM_DARS_TYPES = 18;

// (Re)reads the table, closing the old one first: file, or when empty or
// null the file named by ZAM_DARS, or "dars_capri.dat" in the library's data
// folder. Says "Reading DARS data file: <path>". Each line holds types i and
// j (1..18) and their energy, which fills both (i, j) and (j, i); a line of
// other types is skipped with a warning, a malformed line with its message,
// both naming the file and line. With the library debug level above 1 the
// eigenvalues and eigenvectors are printed. Returns the number of lines
// stored, 0 when the file cannot be read (the table stays empty).
int zam_open_dars_data(const char* file);
void zam_close_dars_data();

// All indices from 0; 0 when no table is loaded or an index is out of range.
// Entry (i, j) of the table.
double zam_dars_value(int i, int j);
// Component i of eigenvector j.
double zam_dars_component(int i, int j);
// Eigenvalue i.
double zam_dars_eigenvalue(int i);
// Entry (i, j) rebuilt from the first n eigen terms (n is held to 0..18):
// the sum over k < n of u(i, k) lambda_k u(j, k).
double zam_dars_reduced(int i, int j, int n);
