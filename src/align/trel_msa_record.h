// The record of a given multiple alignment loaded for scoring (the "-score"
// mode; msa/trel_msa_input.h reads, makes and frees it). Kept with the
// alignment engine, below the result writers, so that the writers of a
// loaded alignment can read it without reaching up to the layer that loads
// it. Rows are structures and columns alignment positions; every per-cell
// array is stored column after column: the cell of column c and row s is at
// c * n_struct + s.
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;

struct _trel_msa {
  int n_struct;         // rows (structures), at least 2
  int n_col;            // columns: the length of the longest row
  char* name;           // job name when set, else the first row's name; names the output files
  char** names;         // n_struct row names (own copies)
  _pdb_image** images;  // n_struct structures (owned), null where none was found or read
  int n_residues;       // residues of every row that has a structure
  int min_length;       // fewest residues of a row with a structure (0: none)
  int max_length;       // most residues of a row with a structure
  int* row_letters;     // n_struct: letters A-Z of each row (converted 'X' cells not counted)
  // Filled by a reference analysis; the initial values say none ran.
  int ref_id;              // -1
  int ref_sequential;      // 1
  int query_eq;            // -1
  int ref_eq;              // -1
  double ref_ident;        // -1
  double ref_afp;          // -1
  double ref_pairs;        // 0
  double ref_viol;         // 0
  double ref_rmsd;         // 0
  double ref_mscore;       // 0
  double ref_mscore_span;  // 0
  char* letters;           // n_col * n_struct upper-case letters, '-' for a gap
  int* residue_index;      // n_col * n_struct residue indices into the row's structure, -1 for a gap
  float* col_msd;          // n_col: mean squared pair distance of the column
  int* col_count;          // n_col: rows with a residue
  float* col_mscore;       // n_col: summed M-score Gaussians
  Point3D* col_centre;     // n_col: mean CA position of the column's residues
};
