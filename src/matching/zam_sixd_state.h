// State of the six-dimensional rotational search shared by its master, its
// workers and its consumer: the pose-code layout, the scan block that
// carries scored poses from a worker to the consumer, the progress record
// of a pass, and the search record that the master fills before a pass and
// that everything else only reads while the pass runs. One search runs at a
// time: the record is process-wide and takes no lock.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/zam_transform.h"
// _ZamProgress, the progress record of a threaded pass: in a search pass
// done and abort change only under the writer side of mailbox 7.
#include "harmonics/zam_skin.h"

// Pose code (signed 64 bits), from the top: bits 48-63 the distance code of
// the separation, bits 32-47 the receptor rotation index (signed 16 bits),
// bits 16-31 the ligand rotation index in re-sampled codes (the remaining
// FFT axes in the FFT layouts), bits 0-15 the index along the scanned axis.
constexpr int64_t ZAM_SIXD_END = -1;   // end of a work item
// Receptor samples a pose code can name: indices 0..32767 of its signed
// 16-bit field (box sampling of a fine grid can ask for more).
constexpr int ZAM_SIXD_MAX_RECEPTOR = 32768;
constexpr int64_t ZAM_SIXD_HOLE = -2;  // unused place in a slice of codes

inline int64_t sixd_code(int did, int rec, int lig, int scan) {
  return (int64_t)(((uint64_t)(did & 0xffff) << 48) | ((uint64_t)(rec & 0xffff) << 32) |
                   ((uint64_t)(lig & 0xffff) << 16) | (uint64_t)(scan & 0xffff));
}
inline int sixd_code_did(int64_t c) { return (int)(((uint64_t)c >> 48) & 0xffff); }
inline int sixd_code_rec(int64_t c) { return (int16_t)(((uint64_t)c >> 32) & 0xffff); }
inline int sixd_code_lig(int64_t c) { return (int16_t)(((uint64_t)c >> 16) & 0xffff); }
inline int sixd_code_scan(int64_t c) { return (int)((uint64_t)c & 0xffff); }

// The poses one worker kept in one work item, in the order it scored them:
// a worker fills its own and hands it whole to the consumer at the item's end.
struct _scan_block {
  int item;            // the work item, 0 .. items of the pass - 1
  float orientations;  // poses the item covered
  std::vector<int64_t> codes;
  std::vector<float> scores;
};

// The search record. The master owns every array here and fills the record
// before it starts a pass; workers, the consumer and the rotation pre-pass
// only read it, except that the pre-pass writes the sample slots of the
// rotation buffers named by its own codes.
struct _sixd_search_state {
  int problem_type;        // of the docking specification
  int r12_substeps;        // m > 0: a re-sampled pose is tried at 2m+1 distances
  double r12_substep;      // their spacing
  double r12_start;        // separation of the starting pose
  int64_t start_code;      // code of the starting pose
  float score_threshold;   // a pose is kept when its score is below this

  int N;                   // order of the coefficient vectors of the pass
  int n_vec;               // correlation terms
  int* vec_types;          // basis type of each term's translation (1 GTO, else ETO)
  // Unrotated receptor and ligand arrays, first and second, term c at c x
  // anlm_size(N). The search correlates receptor first with ligand second
  // and receptor second with ligand first.
  double* anlm_phi_base;
  double* anlm_rho_base;
  double* bnlm_phi_base;
  double* bnlm_rho_base;
  // The same rotated to every sample: sample s at s x n_vec x anlm_size(N).
  double* anlm_phi_rot;
  double* anlm_rho_rot;
  double* bnlm_phi_rot;
  double* bnlm_rho_rot;

  // Rotation samples: the first rotation of each receptor sample, the second
  // one (null: none), the ligand rotations, and the maps from an active
  // sample (one within its side's range) to its row of the table.
  Euler* rrot1;
  Euler* rrot2;
  Euler* lrot1;
  int n_rrot;
  int n_lrot;
  int* ract2all;
  int* lact2all;
  int n_ract;
  int n_lact;
  double receptor_range;   // largest beta of an active receptor sample
  double ligand_range;

  // The 4-D layouts translate the receptor by -R when sym_local is set, else
  // by R x sym_LtoW (the pose-list parameters of the specification).
  int sym_local;
  double sym_LtoW;
};

extern _sixd_search_state zam_sixd_state;

// The keep test of every producer: below the threshold; a NaN never passes.
inline bool sixd_keeps(float score) { return score < zam_sixd_state.score_threshold; }
