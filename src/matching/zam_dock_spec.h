// The records that steer and collect a rotational FFT search: the docking
// settings (one per run, written at start-up and then only read), the
// docking job with its solution array, and one scored pose. Holds the library
// defaults, the matching preset, and the allocation and release of solutions.
// Nothing here reports errors or takes locks.
#pragma once

#include <cstdint>

#include "geometry/zam_transform.h"

// Correlation input of one running search; its layout belongs to the search.
struct _docking_data;

// One entry of a singly linked rotamer list hanging from a solution; the
// docking code builds the lists (records and coordinate buffers from the
// library allocator) and zam_free_solutions releases them.
struct _rotamer {
  _rotamer* next;
  void* coords;  // coordinate buffer, null when none
};

// Steering of a search. Allocate it zero-filled (e.g. kget1B_0) before
// zam_setDockSpec; angles are degrees for "step" fields and radians for
// "range" fields, distances in angstroms.
struct _docking_spec {
  int max_solutions;        // best solutions kept and returned
  int problem_type;         // 1 matching, 2 docking, 3 docking over orientation pairs, 4-5 pose lists
  int score_type;           // kind of correlation (meaning depends on the problem type)
  int scan_order;           // order of the coarse pass; 0: one pass at order
  int order;                // order of the final pass and of the coefficient vectors
  int fft_mode;             // search layout: 1-6 one- to six-dimensional, 7 a second 3-D one
  int gpu_devices;          // 0 runs on the CPU
  int refine_mode;          // refinement of the kept solutions; 0 none
  int receptor_samples;     // receptor rotation samples (sphere points)
  int ligand_samples;       // ligand rotation samples
  int twist_samples;        // twist samples
  int receptor_bandlimit;   // FFT band limits of the three angles
  int ligand_bandlimit;
  int twist_bandlimit;
  int r12_substeps;         // k > 0 divides the distance step by k; 0 divides nothing
  int symmetry;             // FFT mode 4: non-zero searches cyclic orders symmetry_min..max
  int symmetry_min;
  int symmetry_max;
  double omega_range;       // range of the fourth angle in FFT mode 4 (radians)
  int sym_local;            // pose-list search parameters, passed on unchanged
  double sym_LtoW;
  double sym_phiA;
  double sym_phiB;
  double score_scale;       // factor on every correlation score; 0 means 1 (zam_dock_score_scale)
  double score_threshold;   // score threshold of the search
  double receptor_step;     // angular steps, degrees
  double ligand_step;
  double twist_step;
  double r12_step;          // step of the separation distance
  double r12_offset;        // added to the start of the distance range
  double r12_range;         // width of the distance range searched
  double grid_spacing;      // cell size of the docking sampling grids
  double potential_scale;   // first parameter of the grid potential-energy expansion
  double potential_cutoff;  // distance limit of the docking coefficient set-up
  double receptor_range;    // rotation ranges, radians (pi: whole sphere; 2 pi: full twist)
  double ligand_range;
  double twist_range;
  int box_mode;             // 1 or 2: box sampling of translations; 0 off
  double box_size;          // edge of the sampling box
  double ligand_weight_p;   // P in the second ligand shape array b2 - P b1
  double ligand_weight_q;   // Q in the first ligand shape array b1 - Q b2
  double grid_weight;       // scale of the GRID term (halved when applied)
  double receptor_shape_weight;  // W: receptor shape arrays scaled by -W/1000
  double skin_weight;       // matching type 2: skin array weighted w, shape array 1 - w
  double elec_weight;       // E: receptor electrostatics scaled by 6.0302926809374995 E
  double piper_weight;      // applied as weight x 4.184
  // Set by the knowledge-based potential set-up only (0 in a fresh record).
  int kb_channels;          // knowledge-based potential arrays plus one
  int kb_mode;
  double kb_value;
  unsigned char kb_flag;
};

// One scored pose.
struct _solution {
  int16_t receptor_model;   // 1 on allocation
  int16_t ligand_model;     // 1 on allocation
  int64_t pose_code;        // packed distance and orientation indices (the search's layout)
  float Etotal;
  float Eshape;
  float Eforce;
  float Eair;
  float rms;                // deviation from a native complex; negative: none
  float r12;                // separation distance
  Euler receptor_rotation;
  Euler ligand_rotation;
  int16_t bumps;            // -1 on allocation: not counted
  int16_t symmetry;         // cyclic order; k != 0 adds a turn of 2 pi / k about y to the ligand
  int16_t receptor_orientation;  // index of the receptor rotation sample
  _rotamer* receptor_rotamers;   // owned by the solution
  _rotamer* ligand_rotamers;
};

// One search's results. Allocate it zero-filled; it is then empty.
struct _docking {
  int n_solutions;          // records allocated
  int n_kept;               // valid solutions, set by whoever fills the array
  int n_clusters;           // clusters found by the tool's clustering
  _docking_data* data;      // correlation input of a running search, else null
  _solution* solutions;     // n_solutions records
  int* order;               // three index arrays of n_solutions entries, identity on allocation;
  int* cluster;             // cluster number of each solution (-1 for none) once clustered
  int* index;
};

// Library defaults of every field that has one (kb fields, sym_phiA and
// sym_phiB are left as they are).
void zam_setDockSpec(_docking_spec* spec);

// The tool's start-up values: the library defaults (zam_setDockSpec) with the
// fields that its matching needs overwritten (1000 solutions, matching, one
// pass at order 10, 20/10/5.6 degree steps, distance range 6, cut-off 40).
// The driver calls it on a zero-filled record before parsing its options.
void setup_zam_options(_docking_spec* spec);

// The library's matching preset (sym_phiA, sym_phiB, score_threshold,
// potential_scale and the kb fields are left as they are).
void zam_setMatchSpec(_docking_spec* spec);

// The factor applied to correlation scores: score_scale, with 0 taken as 1.
double zam_dock_score_scale(const _docking_spec* spec);

// Releases what d holds, then allocates n zero-filled solutions (model
// numbers 1, bump count -1) and the three index arrays (identity order) from
// the guarded allocator; n_solutions = n (n < 0 is taken as 0), n_kept and
// n_clusters 0. Release with zam_free_solutions.
void zam_alloc_solutions(_docking* d, int n);

// Deletes every solution's rotamer lists and the solution and index arrays
// (pointers reset to null); n_solutions, n_kept and n_clusters become 0 (a
// cluster count must not outlive the cluster numbers it counts); data
// stays. Safe on an empty (zero-filled) job; null d is ignored.
void zam_free_solutions(_docking* d);

// The pose of solution s's ligand in the receptor's frame (both about their
// model origins): the ligand rotation, then the shift by r12 along +z, then
// the inverse receptor rotation.
Matrix3D zam_solution_tf(const _solution* s);

// FFT band limit B of an angle sampled at step (radians): int(pi / step), so
// that 2B samples cover a turn at the step (5.6 degrees gives 32 and 64
// samples, 7.5 gives 24, 10 gives 18); at least 1 (also for a step that is
// not positive), at most 4096.
int zam_fft_bandlimit(double step);

// The derived samplings of a search from its angular steps (degrees): the
// three band limits by zam_fft_bandlimit, the receptor and ligand rotation
// counts by platonic_resolution, and twice the twist band limit of twist
// samples. Builds the point sets (setup_platonic) when not yet built.
void zam_dock_derive_samples(_docking_spec* spec);
