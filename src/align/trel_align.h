// Records shared by every step of the pairwise aligner: the alignment result
// (a header, its columns and its fragments), the score-matrix box, and the
// per-thread work buffer that holds every score plane, so that no alignment
// allocates matrices. Also their allocation, sizing, copying and release.
#pragma once

#include <cstdint>

#include "geometry/zam_transform.h"

// Score planes: for a query of n and a target of m residues a plane holds
// (n+2) x (m+2) cells, row-major with rows of m+2 cells. Query residue i is
// row i+1, target residue j column j+1; rows 0 and n+1 and columns 0 and m+1
// are borders. A box operation touches its residues plus one border row and
// column on each side.
inline int64_t trel_cell(int i, int j, int m) { return (int64_t)(i + 1) * (m + 2) + (j + 1); }

// A box of the score matrix, inclusive on both sides; first > last on a side
// makes it empty on that side. The whole matrix is {0, n-1, 0, m-1}.
struct _trel_a_box {
  int qfirst;  // query first residue (0-based)
  int qlast;   // query last residue
  int tfirst;  // target first residue
  int tlast;   // target last residue
};

// One alignment column.
struct _trel_a_column {
  int qres;      // query residue, -1 for a gap in the query
  int tres;      // target residue, -1 for a gap in the target
  int frag;      // fragment number (1-based), set by the fragment pass
  int seg;       // rigid segment number, 0 outside every anchored segment
  float score;   // DP cell score on the path (0 for gaps); the pair's weight in rigid
                 // fits, where 0 keeps the pair out of the superposition
  float kscore;  // K value: DP cell score, then the K-plane cell after markup
  float gscore;  // G value: DP cell score, then the pair's G-score after markup
  float d2;      // squared pair distance after superposition, -1 for gaps
  char mark;     // '*' DP pair, ' ' gap; after markup '@' '*' '#' '$'
};

// One fragment: a run of columns. Fragment 0 always describes the whole
// alignment (columns 0..ncolumns-1).
struct _trel_a_frag {
  int first;     // first column
  int last;      // last column (inclusive)
  int kind;      // 2 gapless run of 4+ pairs, 1 gapless run of exactly 3, else 0
  int reserved;  // 0
  int qcount;    // columns with a query residue; fragment 0: query span
  int tcount;    // columns with a target residue; fragment 0: target span
  int npairs;    // columns with both residues; fragment 0: close-pair count
  int extra[3];  // zero when made
  Matrix3D tf;   // identity when made; the fragment's own fit once superposed
};

// One alignment of a query with a target. The header is zero-filled when made;
// columns and frags come from the array allocators (kget1B_0) so that
// trel_freeAlign can release them.
struct _trel_align {
  int ncolumns;          // column count
  int nfrags;            // fragment count k; frags holds k+1 records
  int naligned;          // columns holding both residues
  int nmatched;          // close pairs
  int nidentity;         // pairs with identical residue letters
  int ncover;            // path steps from the first to the last aligned pair
  int nsegments;         // segment count
  int nanchor;           // pairs of segment 1
  int nid_matched;       // identical close pairs ('@')
  int nid_unmatched;     // identical far pairs ('#')
  int nother_matched;    // different close pairs ('*')
  int nother_unmatched;  // different far pairs ('$')
  int spare[2];          // carried and copied, never written by the aligner
  _trel_a_column* columns;
  _trel_a_frag* frags;
  float kscore;          // K-score (the DP path score)
  float jscore;          // written by the search, not by the aligner
  float gscore;          // G-score (the DP path score until markup)
  float fscore;
  float mscore;
  float tscore;
  float rmsd_aligned;    // over all pairs
  float rmsd_matched;    // over close pairs
  float rmsd_anchor;     // over anchor pairs
  float max_dist;        // largest pair distance, -1 when none is non-zero
  float contact;         // contact distance used
  float spare_f;         // carried and copied, never written by the aligner
  Matrix3D tf;           // maps target coordinates onto the query frame
};

// One entry of the flexible extension's box stack.
struct _trel_a_stack {
  _trel_a_box box;
  float dist;    // distance threshold
  int reserved;  // always 0
};

// Point and weight scratch of the rigid fits, handed around by value; each
// array holds size entries (3 max(n+2, m+2) for the buffer's n and m).
struct _trel_fit_buf {
  Point3D* qpts;  // query points
  Point3D* tpts;  // target points
  double* wts;    // weights
  int size;
};

// One thread's scratch, sized for a query of at most nmax and a target of at
// most mmax residues: P = (nmax+2)(mmax+2) cells per plane, R = 2(mmax+2)
// cells of two rows, L = nmax+mmax+4 per-column entries, X = max(nmax+2,
// mmax+2). Used by one thread at a time;
// its contents never outlive one alignment. Planes are laid out for the n
// and m of the current call (rows of m+2 cells), which must not exceed
// nmax and mmax: check with trel_alignBufFits.
struct _trel_align_buf {
  int seg;     // current segment number (flexible extension)
  int nstack;  // entries on the box stack
  float qeta;  // query gap-extension penalty
  float teta;  // target gap-extension penalty
  Point3D* qpts;            // 3X fit scratch: query points
  Point3D* tpts;            // 3X fit scratch: target points
  double* wts;              // 3X fit scratch: weights
  _trel_a_column* columns;  // L, zero-filled: traceback columns
  _trel_a_frag* frags;      // L, zero-filled: fragment scratch
  _trel_a_stack* stack;     // L, zero-filled: box stack
  float* kplane;            // P: K-scores
  float* gplane;            // P: G-scores
  float* kfactor;           // P: K-factor plane
  float* gfactor;           // P: G-factor plane
  unsigned char* mask1;     // P, zero-filled
  unsigned char* mask2;     // P, zero-filled
  float* dplane;            // P: squared pair distances after superposition
  int* iplane;              // P: integer plane
  unsigned char* dir;       // P: traceback directions
  float* hplane;            // R: DP match scores, the rows in turn
  float* eplane;            // R: DP query-gap scores, the rows in turn
  float* fplane;            // R: DP target-gap scores, the rows in turn
  float* qopen;             // nmax+2: query gap-open penalties by cell row
  float* topen;             // mmax+2: target gap-open penalties by cell column
  float* zero;              // L, zero-filled: stands in for the penalty arrays
  double* d2_all;           // L: squared distances of all pairs (final markup)
  double* d2_close;         // L: of close pairs
  double* d2_anchor;        // L: of anchor pairs
  int16_t* path;            // L: traceback step flags, also per-column marks
  int16_t* qsegs;           // nmax+2: per query residue segment number
  int16_t* tsegs;           // mmax+2: per target residue segment number
  int nmax;                 // query length the buffer was made for
  int mmax;                 // target length the buffer was made for
  int64_t cells;            // P
};

// Array of max(threads, 1) new buffers for a query of at most n and a target
// of at most m residues (negative lengths count as 0). Sizes are computed in
// 64 bits. Arrays not said to be zero-filled are uninitialised. At debug
// level above 1 prints the per-thread and total size. Allocation failure ends
// the run (array allocators). Release with trel_freeAlignBuf.
_trel_align_buf** trel_allocAlignBuf(int threads, int n, int m);
// Kilobytes of one buffer for n and m residues (an estimate by element sizes).
int64_t trel_sizeAlignBuf(int n, int m);
// Releases max(threads, 1) buffers and the pointer array; null is ignored.
void trel_freeAlignBuf(int threads, _trel_align_buf** bufs);
// 1 when buf was made for at least n query and m target residues (and
// n, m >= 0); else reports with zam_err which lengths were refused and
// returns 0. A null buf is refused the same way.
int trel_alignBufFits(const _trel_align_buf* buf, int n, int m);
// The fit scratch of a buffer (three arrays of 3X entries).
_trel_fit_buf trel_fitBuf(_trel_align_buf* buf);
// Gives the system back the pages of every plane of buf past its first
// cells cells (see zam_vm_trim): a thread that met one long pair need not
// hold that pair's memory for the rest of a run. The planes past those cells
// read as zeros afterwards, as in a new buffer.
void trel_trimAlignBuf(_trel_align_buf* buf, int64_t cells);
// Copies the K, K-factor and G-factor planes and the gap-open arrays laid out
// for n and m from one buffer into another; nothing (with a report) when
// either buffer does not fit n and m.
void trel_copyAlignBuf(int n, int m, const _trel_align_buf* from, _trel_align_buf* to);

// Releases an alignment with its column and fragment arrays; null is ignored.
void trel_freeAlign(_trel_align* align);
// New copy of an alignment (null for null): a zero-filled header copying the
// whole header, a zero-filled column array with room for n+m+2 records (or for
// ncolumns when that is larger) holding the columns, and, only when the source
// has fragments, a zero-filled fragment array with the same room holding
// fragments 0..nfrags. Release with trel_freeAlign.
_trel_align* trel_copyAlign(int n, int m, const _trel_align* align);
