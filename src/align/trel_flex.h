// Flexible extension: lets the target bend by splitting an alignment into
// rigid segments, one per anchor, and moving the target's own coordinates
// piece by piece so that each segment sits on the query. Works through the
// buffer's stack of score-matrix boxes: each popped box is searched for an
// anchor, its close runs become a new segment, its target residues are moved,
// and its still unanchored parts are pushed as new boxes.
#pragma once

#include "align/trel_align.h"

struct _pdb_image;
struct _pdb_peptide;
struct _trel_seg;

// Box kinds of boxType.
enum { TREL_BOX_INITIAL = 0, TREL_BOX_NTERM = 1, TREL_BOX_CTERM = 2, TREL_BOX_INTERIOR = 3 };

// Gives segment number seg to every run of at least minlen columns of
// fragments 1..nf that hold close pairs (squared distance below match^2) and
// no segment yet, extends the segments over repeated-residue gap columns,
// rebuilds a's fragments as runs of equal segment number and, when a run was
// found, writes the numbers into the buffer's per-residue arrays. Returns the
// number of runs. Uses the buffer's mark array. Debug lines above 1.
int assignAnchorSegment(int seg, int minlen, float match, _trel_align* a, _trel_align_buf* buf);
// Box spanned by the residues of columns c0..c1; a side without residues (or
// an empty range) gives -1 for both its ends.
_trel_a_box getFragmentBox(int c0, int c1, _trel_align* a);
// Writes the segment number of every pair column (above 0) into the buffer's
// query and target per-residue arrays.
void updateSegIDs(_trel_align* a, _trel_align_buf* buf);
// Pushes, with distance match, the box of every run of segment-0 columns of
// fragments 1..nf that spans at least 4 query and 4 target residues.
void pushPendingFragments(_trel_align* a, float match, _trel_align_buf* buf);
// Pushes the core box of a's segmented pairs (distance 2.5) and the N- and
// C-terminal boxes around it (distance match), the core first; returns the
// new stack count, or 0 when nothing was pushed. core is not read.
int pushCoreSegment(int n, int m, _trel_align* a, float match, float core, _trel_align_buf* buf);
// Searches box for an anchor within dist and, when it has a run of 4 close
// pairs, makes it the next segment: moves the box's target residues in
// timage, fits and bridges its fragments, reloads tpep and pushes the
// unanchored parts. Debug lines above 0.
void processBox(int n, int m, _trel_a_box box, int threads, int seeds, int cycles,
                _pdb_image* timage, _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                _pdb_peptide* tpep, float range, float dist, _trel_align_buf* buf);
// TREL_BOX_INITIAL for the whole matrix, NTERM for a box starting at 0/0 that
// does not reach both ends, CTERM for one ending at n-1/m-1 that does not
// start at both 0, INTERIOR otherwise.
int boxType(int n, int m, _trel_a_box box);
// Moves the target residues of box by a's superposition, sets it to the
// identity and reloads tpep. Debug lines above 1.
void moveAnchorBox(int n, int m, _trel_a_box box, _pdb_image* timage, _trel_align* a,
                   _pdb_peptide* qpep, _pdb_peptide* tpep, _trel_align_buf* buf);
// Fits each anchored fragment of a on its own, moves it, and moves the
// fragments between and around them by bridging fits; reloads tpep. Nothing
// when a has no anchored fragment. seg is not read. Debug lines above 1.
void fitAnchorFragments(int n, int m, _trel_a_box box, int seg, _pdb_image* timage,
                        _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                        _trel_align_buf* buf);
// Moves the target residues of fragment record k by M (each once) and sets
// the record's superposition to the identity; nothing for k outside 0..nf.
// Debug line above 1.
void moveFragment(int n, int m, int k, _trel_align* a, _pdb_image* timage, Matrix3D M,
                  _trel_align_buf* buf);
