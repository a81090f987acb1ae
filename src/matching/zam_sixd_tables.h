// Tables of the FFT layouts of the six-dimensional search and its rotation
// buffers. A correlation over three Euler angles becomes one 3-D transform
// through Wigner small-d values at a right angle: with
// G[l][u][v][m] = i^(v-m) d^l_uv(pi/2) d^l_um(pi/2), the sum over u of
// G[l][u][v][m] e^(i u beta) is d^l_mv(beta). The L table folds in the range
// factors of a beta axis of M samples over a range A, so that its rows are
// the Fourier coefficients over that axis. The S and Y tables fold a
// translation into the products of the two sides once per separation, so
// that the receptor's rotation can come after it (sm_load). Complex values
// are pairs (real part first) of doubles, or of floats where said. Makers
// allocate their results from the guarded allocator (zam_vm_free); the
// scale factors of sl_make are process-wide, made by the search's master
// before its workers start. Nothing here takes a lock except the rotation
// pre-pass, which reports through mailbox 6.
#pragma once

#include <cstdint>

#include "harmonics/zam_tm.h"
#include "runtime/zam_thread.h"

struct _sixd_worker;

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
// L table, single-precision complex, M rows; row t holds for t in
// [t_first, t_last] (modulo M) the sums over u of lambda_u(t) G[l][u][v][m]
// (the Fourier coefficients of d^l_mv over the beta axis), other rows zero:
// method 1 (the 3-D layout): S = sum (2l+1)^2 values a row, l = 0..L and
//   v, m = -l..l at (t mod M) S + l(4l^2-1)/3 + (v+l)(2l+1) + m+l;
// method 0 (the 5-D layout's sums over a degree): (2L+1)^2 runs of N values
//   a row, v, m = -L..L and l = 0..N-1 at
//   (((t mod M)(2L+1) + v+L)(2L+1) + m+L) N + l, zero where l < |v|, |m|
//   or l > L; its range factors are sl_make's (made here when they are not
//   those of L, M and A).
// Returns 0 when memory fails (out null).
int lm_make(int method, int L, int N, int t_first, int t_last, int M, double A, const int* lumv_map,
            const double* g, float** out);
// Values in one row of the method-1 L table of degrees 0..L.
int lm_row(int L);
// Values in one row of the method-0 table.
int lm_row0(int L, int N);
// Scale factors: the process-wide range factors lambda_u(t), u = -L..L,
// of an axis of M samples over the range `angle` (sixd_lambda), replacing
// any made before. Returns 0 when memory fails.
int sl_make(int L, int M, double angle);
// The factors of sl_make when they were made for L, M and angle, else
// null: M complex values for each u, u = -L first.
const double* sl_factors(int L, int M, double angle);

// Y[jqnlv] and S[jqlmv] for one separation (maps of ym_make and sm_make,
// j, l = 0..L = N-1): with a and b the n_vec complex vectors of the
// receptor and the ligand (q basis, term c at c N(N+1)(2N+1)/6; the
// receptor first + i second, the ligand second + i first, so that the real
// part of conj(a) b pairs each first array with the other side's second)
// and T_c the packed translation matrix of term c (tm_values, term c at
// c tm3_dim(N-1), the tm3_table order), for each term in turn
//   Y[j q n l v] = sum over n' of T_c^v(n' j; n l) a_c(n', j, q),
// and over the terms
//   S[j q l m v] = sum over c and n of conj(Y[j q n l v]) b_c(n, l, m).
// The receptor turned by Rr and then translated by T is
// X(n,l,v) = sum over j, q of D^j_vq(Rr) Y[j q n l |v|], so the products
// of the 3-D layout P[l][v][m] = sum over n of conj(X(n,l,v)) b(n,l,m) are
//   sum over j >= |v| and q of conj(D^j_vq(Rr)) S[j q l m |v|],
// with D^j_vq = e^(-i v alpha) d^j_vq(beta) e^(-i q gamma). Y is scratch
// (it holds the last term's values). Nothing is written for an order
// outside 1..36.
void sm_load(int L, int N, int n_vec, const double* tm_values, const double* a, const double* b, const int* s_map,
             double* s_values, const int* y_map, double* y_values);

// The 4-D layouts' vectors of receptor sample `sample` (rotation buffers
// of the search record) at separation R: out_a the receptor's complex
// vectors (second + i first) moved along z by -R when the record's
// sym_local is set, else by R x sym_LtoW, then times phase_a; out_b the
// ligand's vectors of the same sample (first + i second) times phase_b.
// A null phase is no turn; each phase is one order-N vector (znlm_phi).
// work holds n_vec complex vectors. With no terms the work vector is
// translated (GTO) into both outputs. Returns 0 when a translation matrix
// could not be made.
int setup_4d_translation(int N, int n_vec, int sample, ZamTm3_struct* tm, double R, const double* phase_a,
                         const double* phase_b, double* work, double* out_a, double* out_b);

// Megabytes that the GPU forms of the 1-D and 3-D layouts would keep on a
// device for a pass of the worker record p (no device exists here; the
// search reports the figure when a GPU is asked for): the working set of
// one receptor sample and distance, plus, when flag is non-zero, the
// device's copies of the rotation buffers.
int mb_1d_gpu(int flag, const _sixd_worker* p);
int mb_3d_gpu(int flag, const _sixd_worker* p);

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
