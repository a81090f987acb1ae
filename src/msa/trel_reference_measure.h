// Pieces shared by the reference comparisons of the score mode (the SISY
// file, the HOMSTRAD alignment and the SABMARK folder): matching reference
// member names to rows, finding a reference residue by its number text, and
// the tally of reference residue pairs with its report and its store into the
// reference fields of the given alignment. Used inside the msa layer only.
#pragma once

#include <string>

struct _pdb_image;
struct _trel_msa;
struct _trel_options;

inline const char* ref_text(const char* s) { return s ? s : ""; }

// The row name equals name, or does after the program's decorations
// ("_multi", "_flex", "_pivot", "_query") are cut.
bool ref_name_matches(const char* row_name, const char* name);
// The first residue of image whose number text (with insertion code) is
// resnum, or -1.
int ref_find_resnum(const _pdb_image* image, const char* resnum);
// The first column of msa whose cell of row holds residue, or -1.
int ref_find_column(const _trel_msa* msa, int row, int residue);
// The run name: the job name when set and not empty, else the root name of
// path ("tryps" for tryps.ali, and for a packed tryps.ali.gz alike).
std::string ref_run_name(const char* path, const _trel_options* options);

// Accumulated measures of reference residue pairs.
struct RefTally {
  int pairs = 0, ident = 0, viol = 0, afps = 0;
  double sum = 0.0;  // squared CA distances
  double rmsd() const;  // -1 without pairs
};

// One reference residue pair, residue ra of a and rb of b: adds its squared
// CA distance, a violation above 8 A and an identity for equal residue
// names, and reports it as "<label> pair: ...". True when it lies within
// 3.5 A (a column of an aligned fragment pair).
bool ref_measure(RefTally& t, const char* label, const _pdb_image* a, int ra, const _pdb_image* b, int rb);
// "Found ... REFERENCE AFPs ..." and "Overall REFERENCE RMSD ..." lines.
void ref_report(const RefTally& t);
// Identities, AFPs, pairs and violations per structure pair (P pairs of
// structures) and the RMSD into the reference fields of msa.
void ref_store(_trel_msa* msa, const RefTally& t, int P);
