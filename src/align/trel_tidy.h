// Tidying of a superposed alignment: far pairs become gaps, the insertions
// and deletions inside each gap region are grouped so that one side's gap
// columns come before the other's, and the superposition is refitted over the
// pairs that remain. Every step returns a new alignment and leaves its input
// unchanged; the caller frees both with trel_freeAlign.
#pragma once

#include "align/trel_align.h"

struct _pdb_peptide;

// The whole tidying: far pairs split (beyond contact), gap regions regrouped,
// unweighted refit over the remaining pairs (kept when fewer than 4). The
// result carries no fragment records; its scores are those of a until the
// final markup. Null for a null a.
_trel_align* Trel_tidyAlign(int n, int m, _trel_align* a, float contact, _pdb_peptide* qpep,
                            _pdb_peptide* tpep, _trel_align_buf* buf);
// Copy of a in which every pair whose stored squared distance exceeds
// contact^2 becomes a query-only column followed by a target-only column.
// Null for a null a.
_trel_align* trel_tidyBadContacts(int n, int m, _trel_align* a, float contact);
// Copy of a whose gap regions are regrouped: before the first pair
// target-only columns first, after the last pair query-only columns first,
// between two pairs query-only first but only where the region flips between
// the two kinds at least twice. Null for a null a.
_trel_align* trel_tidyGapFlips(int n, int m, _trel_align* a);
// Writes columns c0..c1 of from into to at the same positions, grouped: with
// lead 1 the columns without a query residue first, with lead 0 those without
// a target residue first; each group keeps its order.
void copyGapRange(int lead, int c0, int c1, _trel_align* from, _trel_align* to);
// Number of neighbouring columns in c0..c1 that differ in holding a query residue.
int countStaircaseFlips(int c0, int c1, _trel_align* a);
// Sets a's superposition to the unweighted fit of its pairs' target CA onto
// their query CA; unchanged with fewer than 4 pairs.
void trel_tidyFit(_trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep, _trel_fit_buf fb);
// First pair column at or after c / last at or before c; -1 when none or
// when c is outside the columns.
int findNextPair(int c, _trel_align* a);
int findPrevPair(int c, _trel_align* a);
// Looks for lone close pairs among far pairs (windows of 3 columns on each
// side) and clears the score plane around each; 1 when one was found.
// Debug lines above 1.
int tidySingletons(int n, int m, float dist, _trel_align* a, _trel_align_buf* buf);
// Sets the G-plane cells of the box spanned by columns c0..c1 to g_chi and the
// cell of pair (q, t) to g_zeta.
void zapAlignedPair(int n, int m, int q, int t, int c0, int c1, _trel_align* a,
                    _trel_align_buf* buf);
