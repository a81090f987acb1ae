// Reference comparisons of a loaded multiple alignment (the "-score" mode):
// a SISY-style file of reference members with one or more alternative sets
// of residue equivalences, on which the given structures are superposed; a
// HOMSTRAD-style family alignment whose structures are already superposed;
// and a SABMARK-style folder of pairwise reference alignments. Each writes
// the reference fields of the given alignment; a failure stops it after a
// message. Single-threaded.
#pragma once

#include "align/trel_msa_record.h"

struct _trel_options;

// Compares msa with the reference of sisy_file: for every alternative the
// given structures are superposed on its equivalence rows (then put back),
// the reference is measured (RMSD, AFPs, identities, violations, order,
// M-score) and the rows the given alignment reproduces are counted; the
// alternative with most such rows (ties: lower RMSD) fills the reference
// fields. Writes the reference alignments and superposed members with
// write_pdb. An alternative fewer than three, or fewer than half, of whose
// rows are residues of the given structures is left out after a warning.
// 1 when at least one alternative was compared; 0 after a message when none
// was, the file cannot be read, a member matches a row whose structure was
// not read, fewer than two members match rows, or two members match the same
// row (fields of the alternatives compared before a read failure are kept).
int trel_analyseSISY(_trel_msa* msa, const char* sisy_file, const _trel_options* options);

// Compares msa with the reference alignment in homstrad_file (row structures
// read from "<name>.ent"): core columns, how many the given alignment
// reproduces in full, and the reference's RMSD, AFPs, identities, violations
// and M-score. 1 when the comparison was made, 0 after a message (a
// reference row whose structure was not read among the causes).
int trel_analyseHOMSTRAD(_trel_msa* msa, const char* homstrad_file, const _trel_options* options);
// Compares msa with the N(N-1)/2 pairwise "*.fasta" alignments of
// sabmark_folder: each pair superposed on its own equivalences and measured.
// 1 when the comparison was made, 0 after a message (a pair member whose
// structure was not read among the causes).
int trel_analyseSABMARK(_trel_msa* msa, const char* sabmark_folder, const _trel_options* options);

// 1 when, for every pair of mapped members i < j, the residues of j taken in
// the order of i's residues never go backwards (usable rows only).
int sisy_check_sequential(int id, int n_member, int n_eq, const int* member_row, const int* eq_ok,
                          const int* eq_residue);
// Usable rows whose mapped members' residues all lie in one column.
int sisy_count_full(int n_member, int n_eq, const int* member_row, const int* eq_ok, const int* eq_residue,
                    const int* eq_column);
// Pairs of mapped members with both residues of a usable row in one column,
// summed over the usable rows.
int sisy_count_pairs(int n_member, int n_eq, const int* member_row, const int* eq_ok, const int* eq_residue,
                     const int* eq_column);
// Non-zero entries of flags[0..n-1].
int sisy_count_ok(int n, const int* flags);
// Aligned fragment pairs of members i and j: within each block of rows whose
// residues of both run on one by one, the runs of three or more rows whose CA
// atoms (current coordinates of the mapped rows' structures) lie within
// d2_max (squared). Every row counts, usable or not; afp_flag has n_eq bytes
// of scratch. 0 when either member is unmapped.
int sisy_count_afps(const _trel_msa* msa, int i, int j, double d2_max, int n_member, int n_eq,
                    const int* member_row, const int* eq_residue, char* afp_flag);
