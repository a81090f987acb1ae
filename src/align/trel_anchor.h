// Anchor search: the first good rigid superposition of the target onto the
// query inside a box of the score matrix. A global search seeds rigid fits
// from the whole K-score alignment and its well-fitting fragments; a tiled
// search does the same inside overlapping strips, for local anchors in long
// chains. Every search needs the box's K matrix set up beforehand.
#pragma once

#include "align/trel_align.h"

struct _pdb_peptide;
struct _trel_seg;

// Anchor by rule: 1 global only, 2 tiled then global, else global then tiled
// when the global M-score is below 0.5 (both marked up with contact). Returns
// a new alignment owned by the caller, never null. threads and seeds are not
// read. Debug lines above 0.
_trel_align* findAnchor(int n, int m, _trel_a_box box, int rule, int threads, int seeds, int cycles,
                        _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep, _pdb_peptide* tpep,
                        float range, float contact, float match, _trel_align_buf* buf);
// Best rigid fit seeded by the K-score alignment of the box and its
// fragments; a new alignment, never null.
_trel_align* findAnchorGlobal(int n, int m, _trel_a_box box, int threads, int seeds, int cycles,
                              _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                              _pdb_peptide* tpep, float range, float match, _trel_align_buf* buf);
// Best of the tiled searches with tiles of 100 and 72 residues, each refined
// by one rigid cycle over the whole box; null when no tile gave an anchor.
_trel_align* findAnchorTiled(int n, int m, _trel_a_box box, int threads, int seeds, int cycles,
                             _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                             _pdb_peptide* tpep, float range, float match, _trel_align_buf* buf);
// Best anchor over the tiles of size T of the box, or null.
_trel_align* doAnchorTiles(int n, int m, _trel_a_box box, int T, int threads, int seeds, int cycles,
                           _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                           _pdb_peptide* tpep, float range, float match, _trel_align_buf* buf);
// Best anchor inside one tile, or null.
_trel_align* doAnchorOneTile(int n, int m, _trel_a_box tile, int cycles, _trel_seg* qseg,
                             _trel_seg* tseg, _pdb_peptide* qpep, _pdb_peptide* tpep, float range,
                             float match, _trel_align_buf* buf);
// Stores a new tile array (owned by the caller, kfree) in *tiles and returns
// its length, at least 1. T below 1 counts as 1. Debug lines above 0 and 1.
int trel_makeTiles(_trel_a_box box, int T, _trel_a_box** tiles);
