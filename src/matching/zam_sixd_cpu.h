// CPU correlation workers of the six-dimensional search. A pose is a
// receptor rotation Rr, a separation R along z and a ligand rotation Rl; its
// score is the overlap of the receptor moved by Rl^-1 T(-R) Rr with the
// ligand (receptor first array against ligand second, receptor second
// against ligand first, summed over the terms), so that the transform
// Rr^-1 Tz(R) Rl puts the ligand onto the receptor. Lower is better.
//
// The 3-D body scores, for one receptor sample and separation, every
// rotation Q = Rl^-1 = Euler(alpha, beta, gamma) of a grid at once by one
// 3-D transform: axis 0 gamma (the twist, scanned for its minimum), axis 1
// beta over the ligand range, axis 2 alpha. The 6-D body scores single poses
// directly; the search checks the first against it.
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
};

// The 3-D body (detached thread; arg: a _sixd_worker).
void* zam_run_3d_cpu_thread(void* arg);
// The 1-D refinement body: every code (receptor sample, distance, ligand
// sample in bits 16-31; the rotation tables' rows, which the record's active
// maps then name one for one) is scored over a whole turn of dims[0] (a
// power of two) twist steps at once, and every local minimum of the turn is
// kept, with no threshold test.
void* zam_run_1r_cpu_thread(void* arg);
// The 6-D body: every code (receptor sample, distance, ligand sample in bits
// 16-31 and the twist sample of a turn of dims[0] steps in bits 0-15) scored
// directly.
void* zam_run_6d_cpu_thread(void* arg);

// The pose of a code of the 3-D layout.
void sixd_pose_3d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig);
// The pose of a code of the 6-D layout.
void sixd_pose_6d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig);
// Direct score of one pose from the search record's unrotated arrays
// (order N, n_vec terms). NaN when a matrix could not be made.
double sixd_pose_score(int N, int n_vec, Euler rec, double R, Euler lig);
