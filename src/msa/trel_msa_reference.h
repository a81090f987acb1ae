// Reference comparisons of a loaded multiple alignment (the "-score" mode):
// a HOMSTRAD-style family alignment whose structures are already superposed,
// and a SABMARK-style folder of pairwise reference alignments. Each writes
// the reference fields of the given alignment; a failure leaves them at their
// initial values after a message. Single-threaded.
#pragma once

#include "align/trel_msa_record.h"

struct _trel_options;

// Compares msa with the reference alignment in homstrad_file (row structures
// read from "<name>.ent"): core columns, how many the given alignment
// reproduces in full, and the reference's RMSD, AFPs, identities, violations
// and M-score. 1 when the comparison was made, 0 after a message.
int trel_analyseHOMSTRAD(_trel_msa* msa, const char* homstrad_file, const _trel_options* options);
// Compares msa with the N(N-1)/2 pairwise "*.fasta" alignments of
// sabmark_folder: each pair superposed on its own equivalences and measured.
// 1 when the comparison was made, 0 after a message.
int trel_analyseSABMARK(_trel_msa* msa, const char* sabmark_folder, const _trel_options* options);

// 1 when, for every pair of mapped members i < j, the residues of j taken in
// the order of i's residues never go backwards (usable rows only).
int sisy_check_sequential(int id, int n_member, int n_eq, const int* member_row, const int* eq_ok,
                          const int* eq_residue);
// Usable rows whose mapped members' residues all lie in one column.
int sisy_count_full(int n_member, int n_eq, const int* member_row, const int* eq_ok, const int* eq_residue,
                    const int* eq_column);
