// Skin and grid integration: a cubic grid of flag bytes (which cells belong
// to which region of a sampled structure), with optional grids of typed
// values, becomes coefficient vectors of order N over GTO radial functions
// times real spherical harmonics, by the midpoint rule over the cells. Bits 0
// and 1 feed the first pair of skin outputs (on the tool's road sig and tau),
// bits 2 and 3 the second; a cell carrying both bits of a pair gives each
// half. Bit 4 feeds the first typed block (its value grid weighting each
// type), bit 5 the second. The work runs on the worker threads of the thread
// layer when there are worker slots, else in the calling thread; both roads
// sum blocks of 256 cells each on its own, add the block sums of a fixed
// number of chunks of consecutive blocks in block order and the chunk sums in
// chunk order, so they give the same bits with any number of threads. A
// worker that cannot be started leaves its chunks to the others, or to the
// calling thread.
//
// Left out: the abort flag of the progress record (never set here).
#pragma once

#include "geometry/zam_transform.h"
#include "runtime/zam_thread.h"

// Progress of a threaded pass: id (5 here), chunks done, chunks in total,
// abort flag (never set here).
struct _ZamProgress {
  int id;
  int done;
  int total;
  int abort;
};

// What the workers of one integration share (file-private layout).
struct _zam_integrate_job;

// One worker's argument: its task descriptor, the shared job and the
// collector (workers still to hand over, cells integrated).
struct _zam_integrate_task {
  _zam_task task;
  _zam_integrate_job* job;
  _zam_collector* tally;
};

// Grid of n^3 cells of edge d; cell (i, j, k) at i + n(j + n k) has its
// centre at origin + ((i + 0.5) d, (j + 0.5) d, (k + 0.5) d). a1..a4 hold
// N(N+1)(2N+1)/6 doubles each and are cleared first; skin is only read.
// Every pass here returns 1, or 0 after a message, reading and writing
// nothing, for n < 0 or a grid of more cells than an int counts (n above
// 1290; zam_grid_points).
int zam_skin_integrate(int N, int n, double d, Point3D origin, const unsigned char* skin, double* a1, double* a2,
                       double* a3, double* a4);

// Grid integration of two docking models at once: o1, o2 (first model's
// skin vectors), e1 (its typed block, T vectors one after the other), o3,
// o4, e2 (the second model's), each added to, not cleared, and skipped when
// null. values1 and values2 hold T values per cell (type t of cell c at
// c T + t) and weight the basis vector of the cells with bit 4 (values1,
// into e1) or bit 5 (values2, into e2); each grid is used on its own, and a
// null grid or T = 0 leaves its block untouched. Takes the threaded road
// (zam_integrate_thread) when there are worker slots.
int zam_grid_integrate(double* o1, double* o2, double* e1, double* o3, double* o4, double* e2, int N, int T, int n,
                       double d, Point3D origin, const unsigned char* flags, const double* values1,
                       const double* values2);
// The threaded road of zam_grid_integrate (same arguments and results).
int zam_integrate_thread(double* o1, double* o2, double* e1, double* o3, double* o4, double* e2, int N, int T, int n,
                         double d, Point3D origin, const unsigned char* flags, const double* values1,
                         const double* values2);

// Worker bodies (one for both passes, under the names of each): sum chunks
// from the shared work list into the job's chunk sums, report each chunk
// through mailbox 7 and the cell count to the collector, then end.
void* zam_run_skin_thread(void* task);
void* zam_run_integrate_thread(void* task);
// Collector bodies: wait for every worker's report and print the total.
void* zam_skin_consumer(void* tally);
void* zam_integrate_consumer(void* tally);
// The progress loop of a threaded pass: reads mailbox 7 until every chunk is
// reported.
void show_integrate_progress(_ZamProgress* p);

// out = the radial Laplacian of the order-N GTO vector in: element (n', l, m)
// is the sum over n of hnjl(n', n, l) in(n, l, m). Every element written.
void zam_skin_laplacian(int N, const double* in, double* out);
