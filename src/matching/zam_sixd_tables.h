// Tables of the FFT layouts of the six-dimensional search and its rotation
// buffers. A correlation over three Euler angles becomes one 3-D transform
// through Wigner small-d values at a right angle: with
// G[l][u][v][m] = i^(v-m) d^l_uv(pi/2) d^l_um(pi/2), the sum over u of
// G[l][u][v][m] e^(i u beta) is d^l_mv(beta). The L table folds in the range
// factors of a beta axis of M samples over a range A, so that its rows are
// the Fourier coefficients over that axis. Complex values are pairs (real
// part first) of doubles, or of floats where said. Makers allocate their
// results from the guarded allocator (zam_vm_free); nothing here takes a lock
// except the rotation pre-pass, which reports through mailbox 6.
#pragma once

#include <cstdint>

#include "runtime/zam_thread.h"

// Map u^2 + u + m -> start of the (2u+1) x (2u+1) block of (u, m),
// u = 0..L; returns the value count, the sum of (2u+1)^3 (0 when memory fails).
int lumv_make(int L, int** map);
// S[jqlmv]: map (j^2+j+q)(L+1)^2 + l^2+l+m -> start of a run of min(j,l)+1
// complex values (zeroed). Returns the value count; 0 with null arrays for L < 0.
int sm_make(int L, int** map, double** values);
// Y[jqnlv]: map (j^2+j+q) N(N+1)/2 + n(n-1)/2 + l -> start of a run of
// min(j,l)+1 complex values (zeroed). Returns the value count.
int ym_make(int L, int N, int** map, double** values);
// n_values complex values of G in the blocks of the lumv map (row t, column m
// of block (l, v): i^(t-m) d^l_vt(pi/2) d^l_vm(pi/2)).
void gm_make(int L, int n_values, const int* lumv_map, double** values);
// Range factor lambda_u(t): the M-point transform of exp(i k u A/M)/M, so that
// the sum over t of lambda_u(t) exp(2 pi i k t/M) is exp(i k u A/M).
void sixd_lambda(int M, double A, int u, double* out /* M complex */);
// L table (method 1): single-precision complex, M rows of S = sum (2l+1)^2
// values; for t in [t_first, t_last] (modulo M), l = 0..L, v, m = -l..l at
// (t mod M) S + l(4l^2-1)/3 + (v+l)(2l+1) + m+l: the sum over u of
// lambda_u(t) G[l][u][v][m]. Other rows stay zero. Returns 0 when memory
// fails (out null).
int lm_make(int method, int L, int N, int t_first, int t_last, int M, double A, const int* lumv_map,
            const double* g, float** out);
// Values in one row of the L table of degrees 0..L.
int lm_row(int L);

// Rotation buffers of the search record (zam_sixd_state.h): sized for the
// active samples of each side and filled by the threaded pre-pass (every
// term's arrays rotated by rrot1[ract2all[r]] and lrot1[lact2all[l]]).
// Returns 0 when memory fails (nothing kept).
int zam_fill_rot_buffers(int n_threads);
// Frees the four buffers (null accepted) and sets them to null.
void free_rot_buffers();
// Warns that the machine may be short of memory for mb megabytes.
void warn_rot_buffers(int mb);
// Megabytes the rotation buffers take for the record's sample counts.
int mb_rot_buffers();

// Pre-pass bodies. A worker takes items of the work list; each item is a
// slice of pose codes whose low 16 bits say what to rotate (1 receptor
// sample at bits 32-47, 2 ligand sample at bits 16-31, 3 both; -1 nothing).
struct _sixd_rot_task {
  int cpu;
  const int64_t* codes;     // the slices, per_item codes each
  int per_item;
  _zam_collector* collect;  // counts the rotations (mailbox 6)
};
void* zam_run_rot_cpu_thread(void* arg);
void* zam_rotate_consumer(void* arg);
