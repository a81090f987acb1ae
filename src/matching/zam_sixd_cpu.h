// CPU correlation workers of the six-dimensional search. A pose is a
// receptor rotation Rr, a separation R along z and a ligand rotation Rl; its
// score is the overlap of the receptor moved by Rl^-1 T(-R) Rr with the
// ligand (receptor first array against ligand second, receptor second
// against ligand first, summed over the terms), so that the transform
// Rr^-1 Tz(R) Rl puts the ligand onto the receptor. Lower is better.
//
// The layouts, each a body for a pass and one for the refinement of a
// coarse pass's re-sampled best poses, all scoring poses exactly as the 6-D
// body does (up to single precision in the transforms):
// - 3-D (the tool's): for one receptor sample and separation, every
//   rotation Q = Rl^-1 = Euler(alpha, beta, gamma) of a grid at once by one
//   3-D transform: axis 0 gamma (the twist, scanned for its minimum), axis 1
//   beta over the ligand range, axis 2 alpha.
// - 3X: the same grid and poses, axes (beta, alpha, gamma), the twist last;
//   the translation is folded once per separation into the S table
//   (zam_sixd_tables.h) and the receptor rotation comes in through its
//   Wigner matrices: P[l][v][m] = sum over j >= |v|, q of
//   conj(D^j_vq(Rr)) S[j q l m |v|].
// - 5-D: per separation one transform over the receptor's beta and gamma
//   and the ligand grid of the 3-D layout: axes (receptor beta over the
//   receptor range, receptor gamma, beta, alpha, gamma). With the method-0
//   L tables of both beta axes, the input at (tr, q, t, m, v) is
//   sum over j of Lr[tr][q][v][j] sum over l of L[t][v][m][l] S[j q l m |v|],
//   Rr = Euler(0, beta_r, gamma_r). Exact only while the receptor, ligand
//   and twist band limits all reach the highest degree N - 1: a lower one
//   cuts the sums (kept poses off by 5 of the -1000 at band limit 6, order
//   10), which zam_sixd_search warns of once.
// - 1-D: per receptor sample, separation and ligand sample, the twist of
//   the ligand by a 1-D Fourier series (the 1R body over every ligand sample).
// - 4-D: both sides take the receptor's rotation samples; for sample s, a
//   fourth angle w about y and the twist t, Rr = Rz(t) Rs and
//   Rl = Ry(w) Rz(t) Ls: the two copies differ by a turn about an axis
//   square to their separation (a turn without screw, as in cyclic
//   assemblies). With X the receptor of sample s moved by -R and Y the
//   ligand of sample s, the score is the real part of the sum over p of
//   e^(i p t) F_w(p), F_w(p) = sum over l, m - k = p of d^l_mk(w) P[l][m][k],
//   P[l][m][k] = sum over n of conj(X(n,l,m)) Y(n,l,k): one 1-D transform
//   per fourth angle. The angles are samples over omega_range, or 2 pi / k
//   for the cyclic orders k (the solution then carries k, and the turn about
//   y is not in the ligand's Euler angles). The pose-list searches' turns
//   phi_a and phi_b join t on their side.
// - 6-D: no transform: a code per pose, every pose scored directly. The
//   receptor of sample r moved by -R (once per sample and separation)
//   against the ligand turned by its sample's rotation (once per sample) and
//   then by the twist about z: its score is the overlap of the two as they
//   stand (rotations keep dot products). Slow by nature; the refinement of
//   its coarse pass is the 1R body, as for the 1-D layout.
//
// Workers take items of the work list, read the search record
// (zam_sixd_state.h) and their own worker record, and report through the
// scan blocks and mailbox 7 (zam_sixd_store.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "geometry/zam_transform.h"
#include "matching/zam_sixd_state.h"

// One pass's worker record, filled by the master and read by every worker.
struct _sixd_worker {
  int cpu;                 // for messages
  int N;                   // order of the pass
  int n_vec;               // terms
  int dims[3];             // axis lengths of the 3-D layout (gamma, beta, alpha)
  int band[2];             // band limits of the gamma and alpha axes
  double beta_range;       // range sampled by the beta axis
  const float* L;          // the L table of the pass (lm_make), dims[1] rows
  const int64_t* codes;    // the work items' slices of pose codes
  int per_item;            // codes per item
  _ZamProgress* progress;
  std::atomic<int>* failed;  // set to 1 when a pose could not be translated (reported)

  // 5-D: the receptor's axes (beta over receptor_range, gamma), its band
  // limit, and the method-0 L tables of the ligand's and the receptor's beta
  // axes (zam_sixd_tables.h).
  int rdims[2];
  int rband;
  double receptor_range;
  const float* L0;
  const float* L0r;
  // 4-D: the fourth angles and their packed small-d matrices (degrees
  // 0..N-1, rlm_size(N-1) doubles each); the first cyclic order (angle w is
  // 2 pi / (symmetry + w)), 0 for sampled angles; the turns about z of the
  // receptor and the ligand with their phase vectors (null: no turn).
  int n_omega;
  const double* omega;
  const double* omega_d;
  int symmetry;
  double phi_a, phi_b;
  const double* phase_a;
  const double* phase_b;
};

// The 3-D body (detached thread; arg: a _sixd_worker).
void* zam_run_3d_cpu_thread(void* arg);
// The 1-D refinement body: every code (receptor sample, distance, ligand
// sample in bits 16-31; the rotation tables' rows, which the record's active
// maps then name one for one) is scored over a whole turn of dims[0] (a
// power of two) twist steps at once, and every local minimum of the turn is
// kept, with no threshold test.
void* zam_run_1r_cpu_thread(void* arg);
// The 1-D body: every code (receptor sample, distance) is scored against
// every active ligand sample over a turn of dims[0] (a power of two) twist
// steps; a turn whose lowest value passes the threshold keeps each of its
// local minima that passes it (ligand sample in bits 16-31).
void* zam_run_1d_cpu_thread(void* arg);
// The 4-D body: every code (receptor sample, distance) over all fourth
// angles and a turn of dims[0] twist steps; per angle the lowest value of
// the turn (angle index in bits 16-31).
void* zam_run_4d_cpu_thread(void* arg);
// The 4-D refinement: every code (receptor row, distance, angle index in
// bits 16-31) over one turn, its lowest value.
void* zam_run_4r_cpu_thread(void* arg);
// The 3X body: the grid of the 3-D layout through the S and Y tables,
// axes (beta, alpha, gamma); codes and poses as the 3-D layout's.
void* zam_run_3x_cpu_thread(void* arg);
// The 5-D body: every code (a distance) over the receptor's and the
// ligand's grids; bits 32-47 the receptor position (beta index x rdims[1]
// + gamma index), bits 16-31 and 0-15 as the 3-D layout's.
void* zam_run_5d_cpu_thread(void* arg);
// The 6-D body: every code (receptor sample, distance, ligand sample in bits
// 16-31 and the twist sample of a turn of dims[0] steps in bits 0-15) scored
// directly; at debug level 1 the seconds of the translations, the rotations
// and the dot products, and the poses scored.
void* zam_run_6d_cpu_thread(void* arg);

// The pose of a code of the 3-D layout.
void sixd_pose_3d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig);
// The pose of a code of the 6-D layout (also the 1-D and 1R codes).
void sixd_pose_6d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig);
// The pose of a code of the 4-D layouts; *symmetry the cyclic order (0 for
// a sampled angle, which is then in the ligand rotation).
void sixd_pose_4d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig, int* symmetry);
// The pose of a code of the 5-D layout.
void sixd_pose_5d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig);
// Direct score of one pose from the search record's unrotated arrays
// (order N, n_vec terms). NaN when a matrix could not be made.
double sixd_pose_score(int N, int n_vec, Euler rec, double R, Euler lig);
