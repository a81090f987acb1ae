// Shared steps of profile building, refinement and sequence rows: column
// induction from pairwise alignments, core depth and segments, the M-score
// of a column table, window searches and the growth of a table by one
// aligned row. Internal to the msa layer.
#pragma once

#include "align/trel_profile.h"

struct _trel_align;
struct _trel_align_buf;
struct _trel_thing;

// Fills row r from object t: name, object, image (loaded on demand), trace
// records, residue count and CA points. 0 after a message naming the
// structure when it has no image or no trace of the image's length.
int fillProfileRow(_trel_profile* profile, int r, _trel_thing* t);

// Core threshold of a table of rows rows (pivot included): (rows - 1) x rule
// / 100 + 1, at least 2, and rows when it would exceed it.
int coreThreshold(int rows, int rule);

// Columns induced from n alignments whose query is a common pivot of
// pivot_length residues: n + 1 rows (row 0 the pivot residue), new array
// (kfree) with *n_columns columns. Leading insertions end flush against the
// first pivot residue; later insertions are stacked left-aligned after the
// pivot residue before them, one residue of each inserting member per column.
int* induceProfile(int n, int pivot_length, _trel_align* const* aligns, int* n_columns);
// Core depths of the pivot's induced columns and the core size of every row;
// returns the count of pivot residues aligned in every row.
int markCore(_trel_profile* profile, int rows, int columns, const int* table);
// Segments of the pivot residues over core_depth (limit: rows of the induced table).
void findCoreRanges(_trel_profile* profile, int pivot_length, int limit);
// M-score of rows 0..rows-1 of a column table, clamped to [0, 1].
float scoreProfile(const _trel_profile* profile, int rows, int columns, const int* table);
// Columns holding at least threshold residues.
int countProfile(int rows, int columns, const int* table, int threshold);

// Window of an alignment column: scanning backwards from column (inclusive),
// the column where the count-th column with a query residue is met, or the
// last such column met, or column 0; forwards likewise, ending at the last
// column. A count below 1 finds the nearest one.
void findQuerySpan(int count, const _trel_align* align, int column, int* back, int* forth);

// Table of rows + 1 rows from an alignment of the columns of table (query) with
// the new row's residues (target): each result column with a query column
// copies it and adds the target residue (or -1); one without adds a column of
// gaps with the target residue. New array (kfree); *columns becomes its width.
int* appendRow(const int* table, int rows, const _trel_align* align, int* columns);

// One thread's work buffer (an array of one, as trel_allocAlignBuf makes it)
// that fits a query of n and a target of m residues: bufs itself when it
// does, else a new one, bufs being released. Release with trel_freeAlignBuf(1, .).
_trel_align_buf** fitAlignBuf(_trel_align_buf** bufs, int n, int m);
