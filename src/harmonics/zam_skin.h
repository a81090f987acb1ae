// Skin integration: a cubic grid of flag bytes (which cells belong to which
// region of a sampled structure) becomes four coefficient vectors of order N
// over GTO radial functions times real spherical harmonics, by the midpoint
// rule over the cells. Bits 0 and 1 feed the first pair of outputs (on the
// tool's road sig and tau), bits 2 and 3 the second; a cell carrying both
// bits of a pair gives each half. The work runs on the worker threads of the
// thread layer when there are worker slots, else in the calling thread;
// both roads sum blocks of 256 cells each on its own, add the block sums of
// a fixed number of chunks of consecutive blocks in block order and the
// chunk sums in chunk order, so they give the same bits with any number of
// threads.
#pragma once

#include "geometry/zam_transform.h"

// Progress of a threaded pass: id (5 here), blocks done, blocks in total,
// abort flag (never set here).
struct _ZamProgress {
  int id;
  int done;
  int total;
  int abort;
};

// Grid of n^3 cells of edge d; cell (i, j, k) at i + n(j + n k) has its
// centre at origin + ((i + 0.5) d, (j + 0.5) d, (k + 0.5) d). a1..a4 hold
// N(N+1)(2N+1)/6 doubles each and are cleared first; skin is only read.
void zam_skin_integrate(int N, int n, double d, Point3D origin, const unsigned char* skin, double* a1, double* a2,
                        double* a3, double* a4);
// The progress loop of a threaded pass: reads mailbox 7 until every block is
// reported.
void show_integrate_progress(_ZamProgress* p);
