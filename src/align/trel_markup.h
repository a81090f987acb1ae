// Alignments meet whole structure images: re-scoring an alignment from the CA
// atoms of two images, superposing a fresh copy of a structure onto a moved
// one over the anchor residues, and the per-residue masks that tell the PDB
// writers which residues to write. Also an all-in-one alignment of two images
// and the RMSD of two images under a given alignment.
#pragma once

#include "align/trel_align.h"

struct _pdb_image;

// Fills a's columns (distances, G values, symbols) and totals (counts, G-,
// M-, T-scores, RMSDs, span, maximum distance) from the CA atoms of the two
// images under a's superposition, close meaning within contact. Segment and
// anchor counts are left as they are. Nothing for a null argument.
void trel_markupAlignPdb(_trel_align* a, _pdb_image* qimage, _pdb_image* timage, float contact);
// Superposition of fresh onto moved over the target residues of a's anchor
// pairs (segment 1), or of all its pairs when fewer than 5 columns are
// anchored. Identity for a null argument or fewer than one usable pair.
Matrix3D trel_fitAnchorTarget(_trel_align* a, _pdb_image* moved, _pdb_image* fresh);
// The same over the query residues.
Matrix3D trel_fitAnchorQuery(_trel_align* a, _pdb_image* moved, _pdb_image* fresh);
// Residue masks from a's columns: mode 1 hides unaligned residues and shows
// aligned ones, -1 the reverse, 0 shows every residue of a column; other
// modes change nothing. A null image is skipped; residue indices outside an
// image are ignored.
void trel_pdbAlignMask(_trel_align* a, int mode, _pdb_image* qimage, _pdb_image* timage);
// Residue masks of one member of a multiple-alignment table (columns rows of
// members entries, residue index or -1): a column counts as aligned when two
// or more members have a residue in it; modes as for trel_pdbAlignMask.
// Nothing for a member outside 0..members-1.
void trel_pdbProfileMask(int member, int members, int columns, int mode, const int* table,
                         _pdb_image* image);
// Full alignment of two images (traces, peptide arrays and a work buffer made
// and freed here; both images get their secondary-structure letters). A new
// alignment owned by the caller, or null for a null image or when the
// alignment fails. start is not read.
_trel_align* trel_pdbFitAlign(_pdb_image* qimage, _pdb_image* timage, Matrix3D start);
// Close-pair RMSD of the two images under a and M (a's distance fields are
// rewritten); 99.99 when no pair is close, 0 for a null argument.
float trel_pdbRmsdAlign(_pdb_image* qimage, _pdb_image* timage, Matrix3D M, _trel_align* a);
