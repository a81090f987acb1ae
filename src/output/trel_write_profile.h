// Reports of a multiple structural alignment built around a pivot (a
// profile): its print into the log as blocks of residue letters with
// consensus and colour-code rows, and its result files: the summary
// ".kmulti", the listing ".kmsa", FASTA and PIR alignments, the ".kalign"
// listing and one superposed PDB file per member. Rows of any length are
// written whole, and every file is written whole or not at all.
#pragma once

#include <string>

#include "geometry/zam_transform.h"

struct _trel_profile;
struct _trel_options;

// One of a profile's two column tables: entry (column c, row r) at
// c * rows + r, a residue index or a negative value for a gap.
struct _trel_profile_table {
  const int* table;  // null when the profile does not hold it
  int rows;
  int cols;
};
// The induced table (n_struct + 1 rows, n_induced columns) when which < 0,
// else the working table (n_used rows, n_cols columns).
_trel_profile_table trel_profileTable(const _trel_profile* profile, int which);

// First column c with start <= c < end whose entry for row is a residue
// (0 or more) in a table of rows entries per column; -1 when none (also
// when start >= end).
int findActiveColumn(const int* table, int rows, int row, int start, int end);

// Prints the profile through zam_msg in blocks of n_columns letters. which
// chooses the table: s = which, lowered to n_used - 2 when it is -1 or above
// that; the induced table when s < -1, else the working table. Nothing for
// a null profile or an absent table.
void trel_printProfile(const _trel_profile* profile, int which, const _trel_options* options);

// Writes the profile's files into folder (ending in '/'), each under its own
// switch: <name><flex>.kmulti, <name><multi><flex>.kmsa, .fasta, .pir and
// .kalign, and <member><flex>.pdb for every member not built from a
// sequence, moved by transform. which < 0 writes the induced table, else the
// working table. multi_suffix and flex_suffix are the naming texts ("_multi"
// or "", "_flex" or ""). A file that cannot be written gives a warning
// naming it (and counts in trel_failedFiles); the others are still written.
void trel_writeProfile(const _trel_profile* profile, int which, Matrix3D transform,
                       const char* multi_suffix, const char* flex_suffix, const char* folder,
                       const _trel_options* options);
// The name of row r's PDB file among those (no folder): the row's structure
// name + flex_suffix + ".pdb" (a row built from a sequence has no such file).
std::string trel_memberPdbName(const _trel_profile* profile, int r, const char* flex_suffix);
