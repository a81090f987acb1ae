// Pairwise structural alignment of a query chain with a target chain: the
// full pipeline (K-score matrix, a rigid, quick or anchor start, optional
// flexible extension and tidying, final markup), a one-superposition variant,
// and an alignment of two traces without any superposition with its
// sequence-level markup. Each call uses only the caller's work buffer and
// takes no lock; the result is a new alignment owned by the caller.
#pragma once

#include "align/trel_align.h"

struct _pdb_image;
struct _pdb_peptide;
struct _trel_seg;

// Full alignment of a query (n residues: qseg, qpep) with a target (m
// residues: tseg, timage), returning a new alignment (trel_freeAlign) whose
// superposition maps target coordinates onto the query. seeds < 0 starts
// rigidly from start, 0 from one K-score alignment, > 0 by anchor search with
// rule; cycles rigid refits (a negative count is taken as 0, except that the
// quick start reads it as "no refinement"); flex == 1 adds the flexible
// extension, which moves timage in place (tight: one core segment, else the
// anchor fragments); tidy non-zero tidies before the markup. frame is not
// read. Null, after a report, when a length is below 1, the target image
// holds fewer than m residues or buf was made for shorter chains. Warns when
// the flexible extension finds no anchor.
_trel_align* trel_makeAlignFit(int n, int m, int rule, int threads, int seeds, int cycles, int flex,
                               int tight, int tidy, _trel_seg* qseg, _trel_seg* tseg,
                               _pdb_peptide* qpep, _pdb_image* timage, Matrix3D start,
                               Matrix3D frame, float range, float contact, float match,
                               _trel_align_buf* buf);
// One K-score alignment, one weighted superposition over all its pairs and
// the final markup; start is not read and timage is not moved. Null as for
// trel_makeAlignFit.
_trel_align* trel_makeAlignOneFit(int n, int m, _trel_seg* qseg, _trel_seg* tseg,
                                  _pdb_peptide* qpep, _pdb_image* timage, Matrix3D start,
                                  float range, float contact, float match, _trel_align_buf* buf);
// One K-score alignment of two traces without superposition, marked up by
// residue letters. Either trace may be null (all pairs then marked '$').
// Null after a report when the lengths do not fit buf.
_trel_align* trel_makeAlignNoFit(int n, int m, _trel_seg* qseg, _trel_seg* tseg,
                                 _trel_align_buf* buf);
// Sequence-level markup in place: pair counts, BLOSUM62 G values and G-score,
// M-score = G-score / min(n, m), K-score, symbols '#' (equal letters) and
// '$'; distances and RMSDs 0. Builds the BLOSUM62 tables when needed (lock 10).
void markupAlignNoFit(int n, int m, _trel_align* a, _trel_seg* qseg, _trel_seg* tseg,
                      _trel_align_buf* buf);
