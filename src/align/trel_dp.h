// Box dynamic programming on the score planes of a work buffer: the fill pass
// (match, query-gap and target-gap states with per-position gap-open
// penalties), the traceback that turns the best path into a new alignment,
// the fragment pass that cuts its columns into runs of well-scored pairs,
// and a score-only pass over the whole matrix for trace pre-scoring.
// Every call works only on its own buffer; threads align in their own buffers.
#pragma once

#include <cstdint>

#include "align/trel_align.h"

// Result of the score-only pass.
struct _trel_dp_score {
  int steps;    // traceback steps (path length)
  int aligned;  // pairs on the path
  int span;     // steps from the first to the last pair, both included; 1 when none
  float score;  // sum of the score cells of the pairs
};

// K-score alignment of a box with gap penalties: trel_alignBox with the K and
// K-factor planes, fragment floor g_min_kscore. A new alignment owned by the
// caller (trel_freeAlign), or null (with a report) when the box or the
// lengths do not fit the buffer.
_trel_align* trel_alignKbox(int n, int m, _trel_a_box box, _trel_align_buf* buf);
// G-score alignment of a box without gap penalties (G and G-factor planes,
// floor g_min_gscore); as trel_alignKbox otherwise.
_trel_align* trel_alignGbox(int n, int m, _trel_a_box box, _trel_align_buf* buf);
// Fill and traceback of a box on score plane S (times factor plane B when B
// is not null). penalties 0 aligns without gap penalties. fraglen is not used
// (fragments are runs of at least 2 pairs). New alignment or null as above.
_trel_align* trel_alignBox(int n, int m, _trel_a_box box, int penalties, int fraglen,
                           float floor, const float* S, const float* B, _trel_align_buf* buf);
// The fill pass over the box: the direction plane of the buffer, each cell's
// code the step into it (0 diagonal, 1 query gap, 2 target gap) plus 4 when
// its query-gap state is above its target-gap state. The H, E and F states
// take turns in two rows (row r at offset (r & 1)(m + 2)), so the last two
// rows of the box stay there. Returns 1, or 0 (with a report) when the box
// or the lengths do not fit.
int trel_doTheDP(int n, int m, _trel_a_box box, int penalties, const float* S, const float* B,
                 _trel_align_buf* buf);
// Traceback of the last fill of the box into a new alignment (columns from the
// start of the box to its end, fragments made with floor); null (with a
// report) when the box or the lengths do not fit. A negative score on the
// path becomes a gap, with a warning at debug level above 0.
_trel_align* trel_realignBox(int n, int m, _trel_a_box box, int fraglen, float floor,
                             const float* S, _trel_align_buf* buf);
// Fragment pass: numbers the columns by runs of flagged and unflagged
// columns (a column is flagged when it pairs two residues outside any segment
// with a K or G value above floor; single flagged columns are unflagged) and
// fills the fragment array (fragment 0 the whole alignment). flags holds at
// least ncolumns entries of scratch. fraglen is not used.
void makeFragments(_trel_align* align, int fraglen, float floor, int16_t* flags);
// Score-only fill and traceback over the whole n x m matrix of S (no factor
// plane); the H, E and F planes serve as rolling rows. When the lengths do
// not fit the buffer: a report and {0, 0, 1, 0}.
_trel_dp_score trel_scoreDP(int n, int m, int penalties, const float* S, _trel_align_buf* buf);
// trel_alignBox over the whole matrix.
_trel_align* trel_alignAll(int n, int m, int penalties, int fraglen, float floor, const float* S,
                           const float* B, _trel_align_buf* buf);
