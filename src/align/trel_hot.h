// Operations around the live aligner: hot fragments (strand-like runs that
// already superpose well) and the masks and weights they put on score
// planes, a pool of threads that runs the anchor search tile by tile, a
// count of weighted pairs, a "tight" refit that tests a register shift of
// one residue (as between paired strands), and scoring inside a box.
#pragma once

#include "align/trel_align.h"
#include "geometry/zam_transform.h"
#include "runtime/zam_thread.h"

struct _pdb_peptide;
struct _trel_seg;

// Mailbox of the tile pool: each worker takes one writer turn on it, the
// collector one reader turn per worker.
constexpr int TREL_TILE_MAILBOX = ZAM_MAILBOX_TILES;

// Shared tally of the tile pool: workers not yet collected (set before the
// threads start), tiles run so far (starts at 0), and its mailbox
// (TREL_TILE_MAILBOX).
using _trel_tile_tally = _zam_collector;

// One worker's job. The worker owns results[first..last] and buf; tiles,
// traces and peptides are shared read-only.
struct _trel_tile_job {
  _trel_tile_tally* tally;
  int first;               // first tile index
  int last;                // last tile index (inclusive)
  _trel_align** results;   // one result per tile (null when a tile gives none)
  int n;                   // query length
  int m;                   // target length
  _trel_a_box* tiles;
  int cycles;              // rigid cycles passed on
  _trel_seg* qseg;
  _trel_seg* tseg;
  _pdb_peptide* qpep;
  _pdb_peptide* tpep;
  float range;
  float match;
  _trel_align_buf* buf;    // the worker's own buffer, K matrix set up
};

// Marks (fragment record's reserved field = 1) every kind-2 fragment 1..k
// with at least three pairs closer than cut under T. Others keep their mark.
void setHotFragments(_trel_align* a, Matrix3D T, float cut, _pdb_peptide* qpep,
                     _pdb_peptide* tpep);
// Writes mark into the buffer's first mask plane at the pairs of the hot
// fragment records 0..k-1.
void markHotFragments(int n, int m, unsigned char mark, _trel_align* a, _trel_align_buf* buf);
// Multiplies plane (rows of m+2 cells) by factor at the pairs of hot records 0..k-1.
void biasHotFragments(int n, int m, _trel_align* a, float factor, float* plane);
// Sets to 1 the cells within 4 residues of every pair of the hot records
// 0..k-1, then inverts the box's residue cells (1 where a cell was 0, else
// 0): inside the box only cells away from every hot pair stay set. Cells
// outside the box keep the first step's marks.
void trel_setGmask(int n, int m, _trel_a_box box, _trel_align* a, unsigned char* mask);
// Zeroes plane at the pairs of fragment records 1..k-1 that carry a strike
// mark (extra[0]); nothing with fewer than two fragments.
void strikeOutKmatrix(int n, int m, _trel_align* a, float* plane);

// Worker (a zam_thread_fn on a _trel_tile_job): anchors its tiles in order,
// adds its tile count to the tally on the writer side of the tile mailbox,
// then ends its thread.
void* trel_run_tile_thread(void* job);
// Collector (a zam_thread_fn on a _trel_tile_tally): one reader turn of the
// tile mailbox per outstanding worker; reports at debug level above 0, then
// ends its thread.
void* trel_tile_consumer(void* tally);

// Pairs with a non-zero fit weight over the columns of fragment record k
// (record 0 for k below 1); 0 for a missing record. The two ints are not read.
int zam_countAlignPep(int unused1, int unused2, int k, _trel_align* a);

// Fit of fragment record k over its tight core (columns of G value at least
// 0.4), choosing between no shift and a target register shift of +1 or -1 by
// the tight score; the ordinary fitFragment when the core is shorter than 3.
// m is the target length. Reports at debug level above 1.
Matrix3D fitFragmentTight(int m, int k, _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                          _trel_fit_buf fb);
// Fit of the target (residues shifted by shift, kept inside 0..m-1) onto the
// query over the pairs of columns first..last; identity with 3 pairs or fewer.
Matrix3D fitTight(int m, int first, int last, int shift, _trel_align* a, _pdb_peptide* qpep,
                  _pdb_peptide* tpep, _trel_fit_buf fb);
// Tight score of the same pairs under T: per pair the CA G-score plus the CB
// G-score (the CA G-score again when either residue has no CB).
float scoreTight(int m, int first, int last, int shift, Matrix3D T, _trel_align* a,
                 _pdb_peptide* qpep, _pdb_peptide* tpep, _trel_fit_buf fb);
// Scores the weighted pairs of a inside the box under T: pairs closer than
// cut get their G value and squared distance written and summed; *G gets the
// sum and *R the RMS distance of the pairs within close (both 0 when none is
// that close). Returns the count of close pairs.
int scoreFragmentBox(int n, int m, _trel_a_box box, _trel_align* a, _pdb_peptide* qpep,
                     _pdb_peptide* tpep, Matrix3D T, float cut, float close, float* G, float* R,
                     _trel_fit_buf fb);
