// Scoring of a loaded multiple alignment (msa/trel_msa_input.h): column
// classes by how many rows they hold, RMSDs over those classes, aligned
// fragment pairs, identities and distance violations over all pairs of rows,
// the M-scores, the result files of the alignment and one row of the ".ksum"
// summary. Messages go to the log. Single-threaded.
#pragma once

#include "align/trel_msa_record.h"

struct _trel_align;
struct _trel_options;

// The whole analysis with its messages and files (see the module comment).
// The ".ksum" file is always written; the other files only with do_write.
// With a job name every alignment of the run shares one ".ksum" file, which
// gets one row per alignment; "00_header.ksum" is written once per run.
// A row without a structure makes the alignment one of sequences: Qn and
// Qcore come from the letters, while the lengths and the measures of the
// structures (Qs, Ql, Qrmsd to Qviol) are logged as not measured and read
// "nan", at their widths, in the ".ksum" row, with one warning.
// 1 when both ".ksum" files are written; 0 after the warning naming the
// file that could not be (the other result files only warn).
int trel_analyseMSA(_trel_msa* msa, const _trel_options* options);
// Sets col_count, col_centre and col_mscore; *M is the M-score over all
// columns, *m over the span of columns shared by two or more rows.
void trel_mscoreMSA(_trel_msa* msa, double* M, double* m);
// Maximal runs of flags equal to 1 in flags[0..n-1] of length min_run or more.
int count_afp_flags(int min_run, const char* flags, int n);
// Rows row_a (query) and row_b (target) as a pairwise alignment under the
// identity, marked up from their structures with contact cutoff. Release
// with trel_freeAlign. Null when a row is out of range or lacks a structure.
_trel_align* trel_extractMSA(int row_a, int row_b, const _trel_msa* msa, float cutoff);
