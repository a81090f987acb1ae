// Profile block rescoring: a study of the stretches of a profile where the
// pivot has no residues. Each such block is scored as the profile has it,
// then rebuilt progressively with every other long-enough member as pivot
// and scored again; the scores are reported, the profile is never changed.
// The profile is read through its per-row trace records and points
// (align/trel_profile.h), never through its structure objects.
#pragma once

#include "align/trel_profile.h"
#include "geometry/zam_transform.h"

struct _trel_align_buf;
struct _trel_options;

// One block of profile columns.
struct _trel_m_block {
  int first;    // first column
  int last;     // last column (inclusive)
  int length;   // longest residue span of a member inside the block
  int* ranges;  // 2 per member: first and last residue inside the block, -1 when none (owned)
};

// Reports "Refine:" with the profile's size, finds the pivot-free blocks and
// reports every block's score as it stands and as rebuilt around each
// member spanning more than 4 of its residues. options is not read. A
// rebuild that does not fit buf is reported and skipped.
void trel_refineProfileFrag(const _trel_profile* profile, const _trel_options* options,
                            _trel_align_buf* buf);
// New block over columns first..last of the profile (freeMblock), with each
// member's residue range; reports the block and the ranges.
_trel_m_block* makeMblock(const _trel_profile* profile, int first, int last);
// Releases the ranges and the block; null is ignored.
void freeMblock(_trel_m_block* block);
// order[0..members-1] = the members by residue span in the block, longest
// first (among equal spans the higher-numbered member first). buf is not read.
void sortBlockFragments(const _trel_profile* profile, const _trel_m_block* block, int* order,
                        _trel_align_buf* buf);
// Block score in [0, 1] of rows 0..count-1 of a column map (entry c x count
// + s: absolute residue index or -1) over columns first..last: the M-score of
// those columns, normalised by the rows' residue spans in them, summed, less
// the longest. members[s] is the profile row whose structure map row s holds
// (null: row s itself). block is not read.
float scoreMblock(const _trel_profile* profile, const _trel_m_block* block, int count, int first,
                  int last, const int* map, const int* members);
// One column's part of an M-score, max(S, 1) - 1: S sums the M-score
// Gaussian of each residue's CA distance to the centroid of the column's
// residues (map and members as for scoreMblock); 0 with fewer than 2 residues.
float trel_columnMscore(const _trel_profile* profile, const int* map, int count, const int* members,
                        int column);
// Score of one residue (CA point, one-letter code letter) against column
// column of a map of count rows laid out as for scoreMblock, leaving out map
// row skip (-1: none): the mean G-score of its distances to the column's
// residues, blended with their mean BLOSUM62 value by g_blosum.
float trel_getPscore(Point3D point, char letter, int skip, int column, const _trel_profile* profile,
                     const int* map, int count, const int* members);
